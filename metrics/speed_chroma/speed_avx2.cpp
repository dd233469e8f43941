// The AVX2 form of SpEED's covariance sums: four sums of one covariance row to a register, each
// adding its products in the scalar form's order, so every sum has the scalar form's bits.
#include <immintrin.h>

#include "metrics/speed_chroma/speed.h"

namespace vq::speed {
namespace {

constexpr int kN = 25;

// Row `a` of the sums, b = 0 .. 4 * kGroups - 1 (those past a are dropped).
template <int kGroups>
void cov_row(const double* centred, size_t samples, int a, double* sums) {
  __m256d acc[kGroups];
  for (int g = 0; g < kGroups; ++g)
    acc[g] = _mm256_setzero_pd();
  for (size_t n = 0; n < samples; ++n) {
    const double* c = centred + n * kPad;
    const __m256d da = _mm256_broadcast_sd(c + a);
    for (int g = 0; g < kGroups; ++g)
      acc[g] = _mm256_add_pd(acc[g], _mm256_mul_pd(da, _mm256_loadu_pd(c + 4 * g)));
  }
  alignas(32) double out[4 * kGroups];
  for (int g = 0; g < kGroups; ++g)
    _mm256_store_pd(out + 4 * g, acc[g]);
  for (int b = 0; b <= a; ++b)
    sums[a * kN + b] = out[b];
}

}  // namespace

void cov_sums_avx2(const double* centred, size_t samples, double* sums) {
  static_assert(kPad >= 28, "the last group of four reads elements 24 to 27");
  for (int a = 0; a < kN; ++a) {
    switch (a / 4) {
      case 0:
        cov_row<1>(centred, samples, a, sums);
        break;
      case 1:
        cov_row<2>(centred, samples, a, sums);
        break;
      case 2:
        cov_row<3>(centred, samples, a, sums);
        break;
      case 3:
        cov_row<4>(centred, samples, a, sums);
        break;
      case 4:
        cov_row<5>(centred, samples, a, sums);
        break;
      case 5:
        cov_row<6>(centred, samples, a, sums);
        break;
      default:
        cov_row<7>(centred, samples, a, sums);
        break;
    }
  }
}

}  // namespace vq::speed
