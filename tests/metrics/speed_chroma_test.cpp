// SpEED's covariance sums: every kernel tier against the scalar form, bit for bit.
#include <gtest/gtest.h>

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
      0, 120, speed::cov_sums_for, [](const speed::CovSums(&k)[2], Rng& rng, int round) {
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

}  // namespace
}  // namespace vq
