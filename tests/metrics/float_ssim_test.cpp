// float_ssim's and float_ms_ssim's kernels at every tier against the scalar ones, bit for bit,
// shrinking and halving against their definitions, and how their requests group.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "metrics/float_ssim/fssim.h"
#include "metrics/float_ssim/taps.h"
#include "metrics/metric.h"
#include "tests/twin.h"

namespace vq {
namespace {

// Random floats in 0..255, a few in 0..1 to reach small variances, with guard samples after.
std::vector<float> random_row(std::mt19937& rng, int n) {
  std::uniform_real_distribution<float> d(0.0f, 255.0f);
  std::vector<float> v(size_t(n) + 16);
  for (float& x : v)
    x = (rng() % 8 == 0) ? float(rng() % 2) : d(rng);
  return v;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Windows of random rows (horizontal: n outputs of n + 10 inputs; vertical over 55 rows), the
// pooling of moments made consistent (variances near and below zero included) and the low pass
// over nine even/odd row pairs, every output between guard bands.
TEST(FloatSsimKernels, TiersEqualScalarBitForBit) {
  test::every_tier(
      18, 60, fssim::kernels_for, [](const fssim::Kernels(&k)[2], test::Rng& rng, int round) {
        const int n = test::sweep(rng, round, 1, 140);
        const std::vector<float> a = random_row(rng, n + 10), b = random_row(rng, n + 10);
        std::vector<std::vector<float>> rows;
        const float* rp[5 * fssim::kWindow];
        for (auto& r : rp)
          r = rows.emplace_back(random_row(rng, n)).data();
        std::vector<test::Twin<float>> h(5, test::Twin<float>(size_t(n), -7.0f)), v(h);
        for (int i : {0, 1}) {
          float* ph[5] = {h[0][i], h[1][i], h[2][i], h[3][i], h[4][i]};
          float* pv[5] = {v[0][i], v[1][i], v[2][i], v[3][i], v[4][i]};
          k[i].window_h(a.data(), b.data(), n, ph);
          k[i].window_v(rp, n, pv);
        }
        EXPECT_TRUE(test::same(h)) << "window_h n=" << n;
        EXPECT_TRUE(test::same(v)) << "window_v n=" << n;
        std::vector<float> mom[5];
        for (int x = 0; x < n; ++x) {
          const float m1 = a[size_t(x)], m2 = rng.below(4) == 0 ? m1 : b[size_t(x)];
          const float jitter = float(int(rng.below(5)) - 2);
          mom[0].push_back(m1);
          mom[1].push_back(m2);
          mom[2].push_back(m1 * m1 + jitter);
          mom[3].push_back(m2 * m2 + float(rng.below(300)));
          mom[4].push_back(m1 * m2 + jitter);
        }
        const float* mp[5] = {mom[0].data(), mom[1].data(), mom[2].data(), mom[3].data(),
                              mom[4].data()};
        double acc[2][16] = {};
        const int x0 = 2, x1 = x0 + n;
        const float *e[fssim::kLowPass], *o[fssim::kLowPass];
        for (int j = 0; j < fssim::kLowPass; ++j) {
          e[j] = rows.emplace_back(random_row(rng, x1 + 4)).data();
          o[j] = rows.emplace_back(random_row(rng, x1 + 4)).data();
        }
        test::Twin<float> low(size_t(n), -7.0f);
        for (int i : {0, 1}) {
          k[i].pool(mp, n, acc[i]);
          k[i].low_pass(e, o, x0, x1, low[i] - x0);
        }
        EXPECT_TRUE(test::same(acc)) << "pool n=" << n;
        EXPECT_TRUE(test::same(low)) << "low_pass n=" << n;
      });
}

// Luma read either way up (a negative pitch gives the rows bottom up) becomes its samples over
// 2^(depth - 8). Shrinking straight from the luma by a power of two gives the bits of the float
// road (luma to float, then the box average in double), edges mirrored; other factors are left
// to the float road.
TEST(FloatSsimKernels, ShrinkingFromLumaEqualsTheFloatRoad) {
  std::mt19937 rng(31);
  const struct {
    int w, h, factor, depth;
  } cases[] = {{45, 23, 2, 8},  {49, 50, 4, 8},  {97, 88, 8, 8},  {181, 177, 16, 8},
               {47, 29, 2, 10}, {64, 45, 4, 12}, {91, 90, 8, 16}, {33, 35, 2, 16},
               {44, 44, 3, 8},  {70, 70, 6, 10}};
  for (const auto& c : cases) {
    const int bpp = c.depth == 8 ? 1 : 2;
    std::vector<uint8_t> buf(size_t(c.w * c.h * bpp));
    std::vector<float> samples;
    for (size_t i = 0; i < buf.size(); i += size_t(bpp)) {
      const uint32_t v = uint32_t(rng()) % (1u << c.depth);
      buf[i] = uint8_t(v);
      if (bpp == 2) buf[i + 1] = uint8_t(v >> 8);
      samples.push_back(float(v) / float(1 << (c.depth - 8)));
    }
    const size_t n = size_t(fssim::shrunk(c.w, c.factor)) * size_t(fssim::shrunk(c.h, c.factor));
    for (const bool up : {false, true}) {
      SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " /" +
                   std::to_string(c.factor) + " depth " + std::to_string(c.depth) +
                   (up ? " bottom up" : ""));
      const ptrdiff_t pitch = c.w * bpp;
      const fssim::Plane p{up ? buf.data() + (c.h - 1) * pitch : buf.data(), up ? -pitch : pitch,
                           c.depth};
      std::vector<float> full(size_t(c.w * c.h)), want(n), got(n, -7.0f);
      fssim::to_float(p, c.w, c.h, full.data());
      for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x)
          ASSERT_EQ(full[size_t(y * c.w + x)], samples[size_t((up ? c.h - 1 - y : y) * c.w + x)]);
      fssim::box_shrink(full.data(), c.w, c.h, c.factor, want.data());
      const bool pow2 = (c.factor & (c.factor - 1)) == 0;
      ASSERT_EQ(pow2, fssim::box_shrink_luma(p, c.w, c.h, c.factor, got.data()));
      if (pow2) {
        EXPECT_TRUE(same_bits(want, got));
      }
    }
  }
}

// MS-SSIM's halving on every tier equals the 9x9 filter taken output by output with every
// index mirrored, edges included, on even and odd sizes down to the smallest scale.
TEST(FloatSsimKernels, LowPassShrinkEqualsTheFilterEverywhere) {
  std::mt19937 rng(47);
  const struct {
    int w, h;
  } sizes[] = {{88, 72}, {45, 30}, {22, 22}, {11, 11}, {12, 13}, {97, 61}, {150, 11}};
  const auto tiers = test::tiers();
  // Each tier's halving scratch, reused from size to size as MS-SSIM's scales reuse it.
  std::vector<std::vector<float>> scratch(2 * tiers.size());
  const auto mirror = [](int i, int n) { return i < 0 ? -1 - i : i >= n ? 2 * n - i - 1 : i; };
  for (const auto& sz : sizes) {
    std::vector<float> src = random_row(rng, sz.w * sz.h);
    const int sw = fssim::shrunk(sz.w, 2), sh = fssim::shrunk(sz.h, 2);
    std::vector<float> want(size_t(sw * sh));
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) {
        double sum = 0;
        for (int v = 0; v < fssim::kLowPass; ++v)
          for (int u = 0; u < fssim::kLowPass; ++u)
            sum += double(
                src[size_t(mirror(2 * y + v - 4, sz.h) * sz.w + mirror(2 * x + u - 4, sz.w))] *
                fssim::kLowPass2d[v][u]);
        want[size_t(y * sw + x)] = float(sum);
      }
    for (size_t t = 0; t < tiers.size(); ++t) {
      std::vector<float> got(size_t(sw * sh), -7.0f);
      fssim::low_pass_shrink(src.data(), sz.w, sz.h, fssim::kernels_for(tiers[t].second),
                             got.data(), &scratch[2 * t], &scratch[2 * t + 1]);
      EXPECT_TRUE(same_bits(want, got)) << tiers[t].first << " " << sz.w << "x" << sz.h;
    }
  }
}

// Each request lands in one group: float_ms_ssim leads the full-resolution float_ssim requests
// wherever they stand; a shrinking float_ssim stays on its own.
TEST(FloatSsimJoined, GroupsFullResolutionRequestsUnderMsSsim) {
  std::vector<MetricRequest> r(4);
  std::string why;
  const char* text[] = {"float_ssim=scale=1", "float_ssim", "float_ms_ssim",
                        "float_ssim=scale=1:enable_db=true"};
  std::vector<const MetricRequest*> asked;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(parse_metric_request(text[i], &r[size_t(i)], &why)) << why;
    asked.push_back(&r[size_t(i)]);
  }
  const std::vector<MetricGroup> g = group_metric_requests(asked);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].lead, &r[1]);
  EXPECT_TRUE(g[0].joined.empty());
  EXPECT_EQ(g[1].lead, &r[2]);
  EXPECT_EQ(g[1].joined, (std::vector<const MetricRequest*>{&r[0], &r[3]}));
}

// One window reused across sizes, large to small and back as MS-SSIM's scales go, gives the bits
// of a fresh one: nothing left over from a larger size counts.
TEST(FloatSsimKernels, ReusedScratchEqualsFreshScratch) {
  std::mt19937 rng(53);
  const struct {
    int w, h;
  } sizes[] = {{96, 80}, {48, 40}, {24, 20}, {12, 11}, {97, 81}, {33, 70}, {96, 80}};
  for (const auto& [tier, flags] : test::tiers()) {
    const fssim::Kernels k = fssim::kernels_for(flags);
    fssim::Window reused(k);
    for (const auto& sz : sizes) {
      const std::vector<float> a = random_row(rng, sz.w * sz.h), b = random_row(rng, sz.w * sz.h);
      fssim::Window fresh(k);
      const fssim::Means want = fresh.run(a.data(), b.data(), sz.w, sz.h);
      const fssim::Means got = reused.run(a.data(), b.data(), sz.w, sz.h);
      EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0) << tier << " " << sz.w << "x" << sz.h;
    }
  }
}

TEST(FloatSsim, ShrinkFactorFollowsLibvmaf) {
  const struct {
    int w, h, scale, factor;
  } cases[] = {{176, 144, 0, 1},   {383, 1000, 0, 1},  {384, 384, 0, 2}, {1920, 1080, 0, 4},
               {3840, 2160, 0, 8}, {1920, 1080, 1, 1}, {64, 48, 3, 3}};
  for (const auto& c : cases)
    EXPECT_EQ(fssim::ssim_factor(c.w, c.h, c.scale), c.factor) << c.w << "x" << c.h;
}

}  // namespace
}  // namespace vq
