// ssimulacra2's kernels at every tier against the scalar ones, and its scores where they are known
// without the reference tool: equal pictures, and which way the score moves. The tool's own
// values on FFmpeg's PNGs are checked end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "metrics/ssimulacra2/ssimulacra2.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

using ssim2::Kernels;
using ssim2::kLanes;

// Floats in 0..hi, with an exact 0 now and then; a picture's XYB and its moments lie there.
std::vector<float> floats(test::Rng& rng, size_t n, float hi) {
  std::vector<float> v(n);
  for (float& f : v)
    f = rng.below(32) == 0 ? 0.0f : hi * float(rng() % 1000003) / 1000003.0f;
  return v;
}

TEST(Ssimulacra2, TiersEqualScalar) {
  test::every_tier(38, 60, ssim2::kernels_for, [](const Kernels(&k)[2], test::Rng& rng, int round) {
    const int w = test::sweep(rng, round, 1, 700);
    const size_t n = size_t(w);
    // Linear RGB to XYB: light from black to past white.
    {
      const auto r = floats(rng, n, 1.2f), g = floats(rng, n, 1.2f), b = floats(rng, n, 1.2f);
      std::vector<test::Twin<float>> out(3, test::Twin<float>(n, -7.0f));
      for (int t = 0; t < 2; ++t)
        k[t].xyb(r.data(), g.data(), b.data(), w, out[0][t], out[1][t], out[2][t]);
      ASSERT_TRUE(test::same(out)) << "xyb, " << w << " samples";
    }
    // Rows along: eight rows, some of them products, into guarded outputs.
    {
      std::vector<std::vector<float>> a(kLanes), b(kLanes);
      const float* pa[kLanes];
      const float* pb[kLanes];
      for (int l = 0; l < kLanes; ++l) {
        a[size_t(l)] = floats(rng, n, 1.0f);
        b[size_t(l)] = floats(rng, n, 1.0f);
        pa[l] = a[size_t(l)].data();
        pb[l] = rng.below(2) ? b[size_t(l)].data() : nullptr;
      }
      std::vector<test::Twin<float>> out(kLanes, test::Twin<float>(n, -7.0f));
      std::vector<float> scratch(2 * size_t(kLanes) * (n + 16));
      for (int t = 0; t < 2; ++t) {
        float* po[kLanes];
        for (int l = 0; l < kLanes; ++l)
          po[l] = out[size_t(l)][t];
        k[t].blur_rows(pa, pb, w, po, scratch.data());
      }
      ASSERT_TRUE(test::same(out)) << "blur_rows, " << w << " samples";
    }
    // Columns: bands of steps from a random state, rows above or not, the warm-up's steps
    // without outputs, the state carried from band to band.
    {
      std::vector<test::Twin<float>> state(6, test::Twin<float>(n, -7.0f));
      const auto init = floats(rng, 6 * n, 1.0f);
      for (size_t s = 0; s < 6; ++s)
        for (int t = 0; t < 2; ++t)
          std::copy_n(init.begin() + ptrdiff_t(s * n), n, state[s][t]);
      for (int band = 0; band < 3; ++band) {
        const int steps = 1 + int(rng.below(ssim2::kBand));
        const auto in = floats(rng, 2 * size_t(steps) * n, 1.0f);
        std::vector<test::Twin<float>> out(size_t(steps), test::Twin<float>(n, -7.0f));
        const float* top[ssim2::kBand];
        const float* bottom[ssim2::kBand];
        bool warm[ssim2::kBand];
        for (int i = 0; i < steps; ++i) {
          top[i] = rng.below(3) ? in.data() + size_t(2 * i) * n : nullptr;
          bottom[i] = in.data() + size_t(2 * i + 1) * n;
          warm[i] = band == 0 && rng.below(2);
        }
        for (int t = 0; t < 2; ++t) {
          float* st[6];
          float* o[ssim2::kBand];
          for (int s = 0; s < 6; ++s)
            st[s] = state[size_t(s)][t];
          for (int i = 0; i < steps; ++i)
            o[i] = warm[i] ? nullptr : out[size_t(i)][t];
          k[t].blur_columns(top, bottom, steps, w, st, o);
        }
        ASSERT_TRUE(test::same(out)) << "blur_columns outputs, band " << band;
        ASSERT_TRUE(test::same(state)) << "blur_columns state, band " << band;
      }
    }
    // The maps' sums, added onto running sums: moments near their means and far from them.
    {
      const auto mu1 = floats(rng, n, 1.0f), mu2 = floats(rng, n, 1.0f);
      std::vector<float> s11(n), s22(n), s12(n);
      const auto spread = floats(rng, 3 * n, 0.05f);
      for (size_t x = 0; x < n; ++x) {
        s11[x] = mu1[x] * mu1[x] + spread[x];
        s22[x] = mu2[x] * mu2[x] + spread[n + x];
        s12[x] = mu1[x] * mu2[x] + spread[2 * n + x] - 0.025f;
      }
      double ssim[2][8], edge[2][16];
      const auto start = floats(rng, 24, 10.0f);
      for (int t = 0; t < 2; ++t) {
        std::copy_n(start.begin(), 8, ssim[t]);
        std::copy_n(start.begin() + 8, 16, edge[t]);
        k[t].ssim_sums(mu1.data(), mu2.data(), s11.data(), s22.data(), s12.data(), w, ssim[t]);
        k[t].edge_sums(s11.data(), mu1.data(), s22.data(), mu2.data(), w, edge[t]);
      }
      for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(test::same_bits(ssim[0][i], ssim[1][i])) << "ssim sum " << i << ", " << w;
      for (int i = 0; i < 16; ++i)
        ASSERT_TRUE(test::same_bits(edge[0][i], edge[1][i])) << "edge sum " << i << ", " << w;
    }
  });
}

// RGB pictures of w x h at `depth` bits: a gradient with stripes, and its copy with every
// `every`-th sample of each plane moved by `step` (held to the range).
struct RgbPair {
  std::vector<uint16_t> samples[2][3];
  test::Stored stored[2][3];
  Picture pictures[2];
  RgbPair(int w, int h, int depth, int every, int step) {
    const int peak = (1 << depth) - 1;
    for (int c = 0; c < 3; ++c) {
      auto& ref = samples[0][c];
      ref.resize(size_t(w) * size_t(h));
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ref[size_t(y * w + x)] =
              uint16_t(((x * 7 + y * 3 + c * 50) % 200 + (x / 4 % 2) * 40) * peak / 255);
      samples[1][c] = ref;
      for (size_t i = size_t(c); every > 0 && i < ref.size(); i += size_t(every))
        samples[1][c][i] = uint16_t(std::min(peak, int(ref[i]) + step * peak / 255));
    }
    for (int k = 0; k < 2; ++k) {
      for (int c = 0; c < 3; ++c)
        stored[k][c] = test::store(samples[k][c], w, h, depth, 5, c == 1);
      Picture& p = pictures[k];
      p = stored[k][0].luma();
      p.layout = ChromaLayout::k444;
      p.full_range = true;
      p.chroma_width = w;
      p.chroma_height = h;
      for (int c = 1; c < 3; ++c) {
        p.plane[c] = stored[k][c].top();
        p.pitch[c] = stored[k][c].pitch;
      }
    }
  }
  double score(ssim2::Scorer& s) const { return s.score(pictures[0], pictures[1]); }
};

// Equal pictures score 100 at every size (down to the smallest, whose coarser scales are
// skipped) and depth; the score falls as the change grows; every tier gives the same score,
// each scorer reused from pair to pair.
TEST(Ssimulacra2, ScoresFallWithTheChange) {
  const struct {
    int w, h, depth;
  } sizes[] = {{8, 8, 8}, {9, 17, 8}, {64, 48, 8}, {161, 97, 16}, {300, 33, 16}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s.w << "x" << s.h << " at " << s.depth << " bits");
    std::vector<std::unique_ptr<ssim2::Scorer>> scorers;
    for (const auto& tier : test::tiers()) {
      scorers.push_back(std::make_unique<ssim2::Scorer>(s.w, s.h, s.depth, tier.second));
      ASSERT_TRUE(scorers.back()->ok());
    }
    double last = 100.0;
    for (const int step : {2, 12, 60, 0}) {
      const RgbPair pair(s.w, s.h, s.depth, step ? 3 : 0, step);
      const double v = pair.score(*scorers[0]);
      if (step == 0)
        EXPECT_EQ(v, 100.0);
      else
        EXPECT_LT(v, last) << "step " << step;
      last = v;
      for (size_t t = 1; t < scorers.size(); ++t)
        EXPECT_EQ(pair.score(*scorers[t]), v) << test::tiers()[t].first << ", step " << step;
    }
  }
}

}  // namespace
}  // namespace vq
