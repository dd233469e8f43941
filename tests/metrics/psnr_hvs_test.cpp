// psnr_hvs: planes read the same at any pitch, and its kernel tiers against the scalar ones (its
// libvmaf logs: logs_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "metrics/psnr_hvs/csf.h"
#include "metrics/psnr_hvs/psnr_hvs.h"
#include "tests/frames.h"
#include "tests/metrics/requests.h"

namespace vq {
namespace {

// A plane read bottom up through a negative pitch scores as the same rows stored top down, at
// 8 and 12 bits; at 10 bits a word above the peak reads as the peak.
TEST(PsnrHvs, ReadsAnyPitchAndClampsToThePeak) {
  std::mt19937 rng(5);
  for (const int depth : {8, 10, 12}) {
    const int w = 23, h = 17, peak = (1 << depth) - 1;
    std::vector<uint16_t> a(size_t(w * h)), b(a.size()), over(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      a[i] = uint16_t(rng() % uint32_t(peak + 1));
      b[i] = uint16_t(std::clamp(a[i] + int(rng() % 41) - 20, 0, peak));
      over[i] = a[i] == peak && depth > 8 ? 0xffff : a[i];  // every peak sample written as 0xffff
    }
    const auto error = [&](const std::vector<uint16_t>& x, bool up) {
      const test::Stored sx = test::store(x, w, h, depth, 0, up),
                         sb = test::store(b, w, h, depth, 0, up);
      return hvs::plane_error({sx.top(), sx.pitch, w, h}, {sb.top(), sb.pitch, w, h}, depth,
                              hvs::kCsfY, hvs::scalar_kernels());
    };
    const float down = error(a, false);
    EXPECT_GT(down, 0.0f) << depth;
    EXPECT_EQ(error(a, true), down) << depth;
    EXPECT_EQ(error(over, false), down) << depth;
  }
}

// Every tier's block kernel against the scalar one: random blocks at every depth, extreme
// samples among them, planes stored either way up, the terms' guard samples untouched.
TEST(PsnrHvs, BlockKernelTiersEqualScalar) {
  std::mt19937 rng(test::base_seed());
  const hvs::Kernels ref = hvs::scalar_kernels();
  float mask[64], weight[64];
  hvs::block_constants(hvs::kCsfCb, mask, weight);
  for (int iter = 0; iter < 60; ++iter) {
    const int depth = 8 + int(rng() % 5), peak = (1 << depth) - 1;
    const int w = 57 + int(rng() % 20), h = 8 + int(rng() % 6);
    std::vector<uint16_t> a(size_t(w * h)), b(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      // Smooth, noisy and extreme stretches: flat blocks, strong masking and full-range errors.
      const int mode = int(rng() % 4);
      a[i] = uint16_t(mode == 0 ? peak : int(rng() % uint32_t(peak + 1)));
      b[i] = uint16_t(mode == 1 ? 0 : mode == 2 ? a[i] : int(rng() % uint32_t(peak + 1)));
    }
    const int x = int(rng() % uint32_t(w - 56)), y = int(rng() % uint32_t(h - 7));
    SCOPED_TRACE("depth " + std::to_string(depth) + " at " + std::to_string(x) + "," +
                 std::to_string(y));
    const bool up = iter % 2;
    const test::Stored sa = test::store(a, w, h, depth, 6, up),
                       sb = test::store(b, w, h, depth, 6, up);
    const hvs::Plane pa{sa.top(), sa.pitch, w, h}, pb{sb.top(), sb.pitch, w, h};
    constexpr size_t kGuard = 16, n = 64 * hvs::kLanes;
    std::vector<float> want(n + 2 * kGuard, -7.f);
    ref.blocks8(pa, pb, depth, x, y, mask, weight, want.data() + kGuard);
    for (const auto& [tier, flags] : test::tiers()) {
      SCOPED_TRACE(tier);
      std::vector<float> got(want.size(), -7.f);
      hvs::kernels_for(flags).blocks8(pa, pb, depth, x, y, mask, weight, got.data() + kGuard);
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(float)), 0) << "term " << i;
    }
  }
  // The largest coefficients: each block is the sign pattern of one DCT basis function (0 or the
  // peak), the distorted one its inverse, at every depth.
  for (int depth = 8; depth <= 12; ++depth) {
    const int peak = (1 << depth) - 1, w = 57, h = 8;
    for (int basis = 0; basis < 64; ++basis) {
      std::vector<uint16_t> a(size_t(w * h)), b(a.size());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const double c = std::cos((2 * (x % 7) + 1) * (basis % 8) * M_PI / 16) *
                           std::cos((2 * y + 1) * (basis / 8) * M_PI / 16);
          a[size_t(y * w + x)] = uint16_t(c >= 0 ? peak : 0);
          b[size_t(y * w + x)] = uint16_t(c >= 0 ? 0 : peak);
        }
      const test::Stored sa = test::store(a, w, h, depth), sb = test::store(b, w, h, depth);
      const hvs::Plane pa{sa.top(), sa.pitch, w, h}, pb{sb.top(), sb.pitch, w, h};
      std::vector<float> want(64 * hvs::kLanes);
      ref.blocks8(pa, pb, depth, 0, 0, mask, weight, want.data());
      for (const auto& [tier, flags] : test::tiers()) {
        std::vector<float> got(want.size());
        hvs::kernels_for(flags).blocks8(pa, pb, depth, 0, 0, mask, weight, got.data());
        ASSERT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0)
            << tier << " depth " << depth << " basis " << basis;
      }
    }
  }
}

// The block terms' sum equals their serial float sum bit for bit: sums from zero to near the
// top of the range, terms that vanish against it, lie halfway between its steps, carry it into
// the next binade, or are larger than it.
TEST(PsnrHvs, AddTermsEqualsTheSerialSum) {
  std::mt19937 rng(test::base_seed() + 11);
  constexpr int n = 64 * hvs::kLanes;
  enum Terms { kZeros, kSmall, kTies, kNearTies, kCarry, kLarge, kMixed };
  const struct {
    float sum;
    Terms terms;
  } cases[] = {
      {0.f, kSmall},      {0.f, kZeros},       {1e-35f, kSmall}, {0x1p-100f, kSmall},
      {1.f, kSmall},      {1.f, kZeros},       {3.5f, kTies},    {1e6f, kTies},
      {1e6f, kNearTies},  {8388607.f, kCarry}, {1.9e7f, kCarry}, {1e7f, kSmall},
      {1e7f, kLarge},     {123.f, kMixed},     {5e8f, kMixed},   {0x1.fffffep125f, kSmall},
      {0x1p126f, kSmall}, {3e38f, kSmall},     {2.f, kLarge},    {7.75e4f, kMixed},
  };
  for (const auto& c : cases) {
    for (int rep = 0; rep < 20; ++rep) {
      const int e = std::ilogb(c.sum);
      const float step = c.sum > 0 ? std::ldexp(1.f, e - 23) : 1.f;  // the sum's own step
      std::uniform_real_distribution<float> unit(0.f, 1.f);
      std::vector<float> t(n, 0.f);
      for (int i = 0; i < n; ++i) {
        const Terms kind = c.terms == kMixed ? Terms(rng() % 6) : c.terms;
        const float r = unit(rng);
        switch (kind) {
          case kZeros:
            t[i] = rng() % 3 ? 0.f : -0.f;
            break;
          case kSmall:
            t[i] = r * step * 40;
            break;
          case kTies:
            t[i] = rng() % 8 ? r * step : step * (float(rng() % 9) + .5f);
            break;
          case kNearTies:
            t[i] = std::nextafter(step * (float(rng() % 9) + .5f), rng() % 2 ? 0.f : 1e30f);
            break;
          case kCarry:
            t[i] = r * c.sum / 200;
            break;
          case kLarge:
            t[i] = r * c.sum * 3;
            break;
          case kMixed:
            break;
        }
      }
      float want = c.sum;
      for (int lane = 0; lane < hvs::kLanes; ++lane)
        for (int i = 0; i < 64; ++i)
          want += t[size_t(i * hvs::kLanes + lane)];
      for (const auto& [tier, flags] : test::tiers()) {
        const float got = hvs::kernels_for(flags).add_terms(c.sum, t.data());
        ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0)
            << tier << " sum " << c.sum << " terms " << int(c.terms) << " got " << got;
      }
    }
  }
}

}  // namespace
}  // namespace vq
