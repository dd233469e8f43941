// SpEED's fit kernels: every tier against the scalar form, bit for bit.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "metrics/speed_chroma/speed.h"
#include "tests/twin.h"

namespace vq {
namespace {

using test::Rng;
using test::Twin;

// Centred samples as the fit makes them (a float less a double mean), of magnitudes from a
// fraction to a few hundred, one row in eight all zero; the pads stay zero.
TEST(SpeedChroma, CovarianceTiersEqualScalar) {
  test::every_tier(
      0, 120, [](uint32_t f) { return speed::kernels_for(f).cov_sums; },
      [](const speed::CovSums(&k)[2], Rng& rng, int round) {
        const size_t n = size_t(test::sweep(rng, round, 1, 3000));
        std::vector<double> c(n * speed::kPad, 0.0);
        for (size_t i = 0; i < n; ++i) {
          if (rng.below(8) == 0) continue;
          const float scale = float(1u << rng.below(9)) / 4.0f;
          for (int b = 0; b < 25; ++b)
            c[i * speed::kPad + size_t(b)] =
                double(float(int(rng.below(20001)) - 10000) / 10000.0f * scale) - 0.0123456789 * b;
        }
        Twin<double> sums(25 * 25, -1.0);
        for (int t = 0; t < 2; ++t)
          k[t](c.data(), n, sums[t]);
        EXPECT_TRUE(test::same(sums));
      });
}

// The window's centred rows over sampled planes of a few sizes (levels about 0, as the fit sees
// them), the solver's products at order 25 against 25 columns or a row of blocks, and the column
// blur of the filter's sizes over samples of each depth.
TEST(SpeedChroma, FitKernelsTiersEqualScalar) {
  test::every_tier(1, 60, speed::kernels_for, [](const speed::Kernels(&k)[2], Rng& rng, int round) {
    const int w = 5 + test::sweep(rng, round, 0, 70), h = 5 + int(rng.below(40));
    std::vector<float> plane(size_t(w) * size_t(h));
    for (float& v : plane)
      v = float(int(rng.below(25601)) - 12800) / 100.0f;
    const int sw = w - 4, sh = h - 4;
    Twin<double> centred(size_t(sw) * size_t(sh) * speed::kPad, 0.0);
    for (int t = 0; t < 2; ++t)
      k[t].centre(plane.data(), size_t(w), sw, sh, centred[t]);
    EXPECT_TRUE(test::same(centred));

    const int cols = rng.below(2) ? 25 : test::sweep(rng, round, 1, 90);
    std::vector<float> x(25 * 25), y(size_t(25 * cols));
    // Zeros in x (the solver's reflections are mostly zero) meeting rows of y that hold an
    // infinity, whose zero products are not zeros.
    for (size_t i = 0; i < x.size(); ++i)
      x[i] = i % 25 < size_t(round % 25) ? 0.0f : plane[rng.below(uint32_t(plane.size()))] / 128.0f;
    for (float& v : y)
      v = rng.below(500) == 0 ? std::numeric_limits<float>::infinity()
                              : plane[rng.below(uint32_t(plane.size()))];
    Twin<float> product(size_t(25 * cols), -1.0f);
    for (int t = 0; t < 2; ++t)
      k[t].multiply(product[t], x.data(), y.data(), 25, cols);
    EXPECT_TRUE(test::same(product));

    static const int kDepths[] = {8, 10, 12, 16};
    const int depth = kDepths[rng.below(4)], taps = 3 + 2 * int(rng.below(13));
    const auto samples = rng.samples(size_t(taps) * size_t(w), depth);
    std::vector<uint8_t> bytes(samples.begin(), samples.end());
    std::vector<const uint8_t*> rows;
    std::vector<float> coef;
    for (int t = 0; t < taps; ++t) {
      rows.push_back(depth == 8 ? &bytes[size_t(t * w)]
                                : reinterpret_cast<const uint8_t*>(&samples[size_t(t * w)]));
      coef.push_back(x[size_t(t)]);
    }
    Twin<float> blurred(size_t(w), -1.0f);
    for (int t = 0; t < 2; ++t)
      k[t].column_blur(rows.data(), taps, coef.data(), w, depth, blurred[t]);
    EXPECT_TRUE(test::same(blurred)) << "depth " << depth << ", " << taps << " taps";
  });
}

}  // namespace
}  // namespace vq
