// SSIM of plane pairs: identical planes, every window edge of small planes against a direct
// reference, every tier against the scalar form on seeded random planes (integers and bits
// equal, guard bands around the block sums). The tool's SSIM against FFmpeg's ssim filter on
// real encodes is checked end to end (e2e_inputs_test). Set VQ_TEST_SEED to rerun with another
// seed; a failing case prints its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "metrics/ssim/ssim.h"
#include "report/report.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::base_seed;
using test::tiers;

// A plane pair in heap blocks that end exactly at the last sample: A random, B = A plus noise of
// +-spread (clamped). `extra` samples between rows.
struct Planes {
  std::vector<uint8_t> a, b;
  ptrdiff_t pitch;
  int32_t w, h;
  int depth;
  unsigned at(const std::vector<uint8_t>& p, int32_t x, int32_t y) const {
    const uint8_t* s = p.data() + y * pitch + (depth > 8 ? 2 * x : x);
    return depth > 8 ? unsigned(s[0] | s[1] << 8) : s[0];
  }
  uint64_t sse() const {
    uint64_t sum = 0;
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const int64_t d = int64_t(at(a, x, y)) - at(b, x, y);
        sum += uint64_t(d * d);
      }
    }
    return sum;
  }
};

Planes make_planes(int32_t w, int32_t h, int depth, int32_t extra, int spread, uint32_t seed) {
  std::mt19937 rng(seed);
  const int bps = depth > 8 ? 2 : 1, max = (1 << depth) - 1;
  Planes p{{}, {}, ptrdiff_t(w + extra) * bps, w, h, depth};
  const size_t size = size_t(h - 1) * size_t(p.pitch) + size_t(w) * bps;
  p.a.resize(size);
  p.b.resize(size);
  for (size_t i = 0; i < size; i += bps) {
    const int va = int(rng() % unsigned(max + 1));
    const int vb = std::clamp(va + int(rng() % unsigned(2 * spread + 1)) - spread, 0, max);
    for (int k = 0; k < bps; ++k) {
      p.a[i + k] = uint8_t(va >> 8 * k);
      p.b[i + k] = uint8_t(vb >> 8 * k);
    }
  }
  return p;
}

int score(uint32_t flags, const Planes& p, SsimPlane* out, bool bottom_up = false) {
  const size_t last = size_t(p.h - 1) * size_t(p.pitch);
  const ptrdiff_t pitch = bottom_up ? -p.pitch : p.pitch;
  return ssim_plane(select_ssim_kernels(flags), p.a.data() + (bottom_up ? last : 0), pitch,
                    p.b.data() + (bottom_up ? last : 0), pitch, p.w, p.h, p.depth, out);
}

// Every 8x8 window with corners on the 4-sample grid inside the whole 4x4 blocks, summed from
// its 64 samples and scored as FFmpeg scores one window; their plain mean.
double reference_ssim(const Planes& p) {
  const double max = (1 << p.depth) - 1;
  const int64_t c1 = int64_t(.01 * .01 * max * max * 64 + .5);
  const int64_t c2 = int64_t(.03 * .03 * max * max * 64 * 63 + .5);
  double sum = 0;
  int n = 0;
  for (int32_t wy = 0; wy + 8 <= p.h / 4 * 4; wy += 4) {
    for (int32_t wx = 0; wx + 8 <= p.w / 4 * 4; wx += 4, ++n) {
      int64_t s1 = 0, s2 = 0, ss = 0, s12 = 0;
      for (int32_t y = wy; y < wy + 8; ++y) {
        for (int32_t x = wx; x < wx + 8; ++x) {
          const int64_t va = p.at(p.a, x, y), vb = p.at(p.b, x, y);
          s1 += va, s2 += vb, ss += va * va + vb * vb, s12 += va * vb;
        }
      }
      const int64_t vars = ss * 64 - s1 * s1 - s2 * s2, covar = s12 * 64 - s1 * s2;
      sum += float(2 * s1 * s2 + c1) * float(2 * covar + c2) /
             (float(s1 * s1 + s2 * s2 + c1) * float(vars + c2));
    }
  }
  return sum / n;
}

TEST(Ssim, IdenticalPlanesScoreOneAndTheCeiling) {
  const int32_t sizes[][2] = {{1, 1}, {7, 5}, {3, 40}, {8, 8}, {33, 17}, {641, 361}};
  for (const auto& [name, flags] : tiers()) {
    for (int depth : {8, 10, 16}) {
      for (const auto& s : sizes) {
        Planes p = make_planes(s[0], s[1], depth, 3, 0, base_seed());
        p.b = p.a;
        SsimPlane r;
        ASSERT_EQ(1, score(flags, p, &r)) << name;
        EXPECT_EQ(1.0, r.value) << name << " " << depth << " " << s[0] << "x" << s[1];
        EXPECT_EQ(90.0, ssim_db(r.value));
      }
    }
  }
  const double ones[3] = {1, 1, 1};
  const int64_t samples[3] = {641 * 361, 321 * 181, 321 * 181};
  EXPECT_NEAR(1.0, ssim_all(ones, samples), 1e-15);
  EXPECT_EQ(90.0, ssim_db(ssim_all(ones, samples)));
  EXPECT_NEAR(10.0, ssim_db(0.9), 1e-12);
}

// Sizes 8..17 put the last window on every edge a plane can have: whole blocks only, one to
// three samples left over, in both directions; widths to 27 give rows of up to 5 windows (4n + 1,
// the row end FFmpeg's x86 code scores wrongly, so its C code is what the reference follows).
TEST(Ssim, WindowEdgesMatchDirectReference) {
  for (const auto& [name, flags] : tiers()) {
    for (int depth : {8, 10}) {
      for (int32_t w = 8; w <= 27; ++w) {
        for (int32_t h = 8; h <= 17; ++h) {
          const uint32_t seed = base_seed() + uint32_t(w * 100 + h);
          const Planes p = make_planes(w, h, depth, w % 3, depth == 8 ? 30 : 120, seed);
          SsimPlane r;
          ASSERT_EQ(1, score(flags, p, &r));
          SCOPED_TRACE(testing::Message()
                       << name << " depth " << depth << " " << w << "x" << h << " seed " << seed);
          EXPECT_EQ(int64_t(w / 4 - 1) * (h / 4 - 1), r.windows);
          EXPECT_EQ(p.sse(), r.sse);
          // Deeper rows are summed in float, as FFmpeg sums them.
          EXPECT_NEAR(reference_ssim(p), r.value, depth == 8 ? 1e-12 : 1e-6);
        }
      }
    }
  }
}

TEST(Ssim, PlanesWithoutWindowAndRefusals) {
  // One window over the whole plane: black against white scores next to nothing.
  Planes p = make_planes(7, 30, 8, 0, 0, 1);
  std::fill(p.a.begin(), p.a.end(), 0);
  std::fill(p.b.begin(), p.b.end(), 255);
  SsimPlane r;
  ASSERT_EQ(1, score(0, p, &r));
  EXPECT_EQ(1, r.windows);
  EXPECT_EQ(7u * 30 * 255 * 255, r.sse);
  EXPECT_GE(r.value, 0.0);
  EXPECT_LT(r.value, 1e-3);
  SsimPlane untouched{5, 5, 5};
  const uint8_t px[64] = {};
  const SsimKernels k = select_ssim_kernels(0);
  EXPECT_EQ(0, ssim_plane(k, px, 8, px, 8, 0, 8, 8, &untouched));
  EXPECT_EQ(0, ssim_plane(k, px, 8, px, 8, 8, 0, 8, &untouched));
  EXPECT_EQ(0, ssim_plane(k, px, 8, px, 8, 8, 8, 7, &untouched));
  EXPECT_EQ(0, ssim_plane(k, px, 8, px, 8, 4, 4, 17, &untouched));
  EXPECT_EQ(5, untouched.windows);
}

TEST(Ssim, EveryTierMatchesScalar) {
  std::mt19937 pick(base_seed());
  const int32_t blocks[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 33, 480};
  for (int depth : {8, 12, 16}) {
    for (int32_t bw : blocks) {
      for (int rep = 0; rep < 4; ++rep) {
        const uint32_t seed = uint32_t(pick());
        const int32_t w = 4 * bw + rep, h = 4 + int32_t(pick() % 29);
        const int spread = rep == 0 ? 2 : rep == 1 ? 40 : 1 << depth;
        const Planes p = make_planes(w, h, depth, rep == 2 ? 5 : 0, spread, seed);
        SCOPED_TRACE(testing::Message()
                     << "depth " << depth << " " << w << "x" << h << " seed " << seed);
        // The block sums of the last block row, between guard bands.
        const size_t stride = size_t(bw) + 5, guard = 16;
        std::vector<int64_t> want, got;
        SsimPlane ref, plane;
        for (const auto& [name, flags] : tiers()) {
          const SsimKernels k = select_ssim_kernels(flags);
          got.assign(4 * stride + 2 * guard, 0x5A5A5A5A5A5A5A5A);
          const size_t row = size_t(h / 4 - 1) * 4 * size_t(p.pitch);
          if (depth == 8)
            k.block_sums8(p.a.data() + row, p.pitch, p.b.data() + row, p.pitch, bw,
                          reinterpret_cast<int32_t*>(got.data() + guard), stride);
          else
            k.block_sums16(p.a.data() + row, p.pitch, p.b.data() + row, p.pitch, bw,
                           got.data() + guard, stride);
          ASSERT_EQ(1, score(flags, p, &plane, rep == 3));
          if (!flags) {
            want = got;
            ref = plane;
            EXPECT_EQ(p.sse(), plane.sse);
            continue;
          }
          ASSERT_EQ(want, got) << name << " block sums";
          EXPECT_EQ(0, std::memcmp(&ref, &plane, sizeof ref))
              << name << " " << ref.value << " != " << plane.value;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vq
