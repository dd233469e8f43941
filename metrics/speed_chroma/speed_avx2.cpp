// The AVX2 forms of SpEED's fit kernels: the covariance sums four to a register, the window's
// means and centred rows a block row to a register, the matrix products eight columns to a
// register; each sum adds its terms in the scalar form's order, unfused, so every value has the
// scalar form's bits.
#include <immintrin.h>

#include <algorithm>

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

void centre_avx2(const float* d, size_t stride, int sw, int sh, double* centred) {
  constexpr int kBlock = 5;
  // Lanes 0..4 of a block row; the masked lanes read nothing.
  const __m256i row5 = _mm256_setr_epi32(-1, -1, -1, -1, -1, 0, 0, 0);
  __m256 total[kBlock];
  for (auto& t : total)
    t = _mm256_setzero_ps();
  for (int i = 0; i < sh; ++i)
    for (int j = 0; j < sw; ++j) {
      const float* at = d + size_t(i) * stride + size_t(j);
      for (int r = 0; r < kBlock; ++r)
        total[r] = _mm256_add_ps(total[r], _mm256_maskload_ps(at + size_t(r) * stride, row5));
    }
  alignas(32) float sums[kBlock][8];
  for (int r = 0; r < kBlock; ++r)
    _mm256_store_ps(sums[r], total[r]);
  const float count = float(size_t(sw) * size_t(sh));
  double mean_of[kN + 3] = {};  // read four at a time from each block row's first
  for (int r = 0; r < kBlock; ++r)
    for (int c = 0; c < kBlock; ++c)
      mean_of[r * kBlock + c] = double(sums[r][c] / count);
  for (int i = 0; i < sh; ++i)
    for (int j = 0; j < sw; ++j) {
      const float* at = d + size_t(i) * stride + size_t(j);
      for (int r = 0; r < kBlock; ++r) {
        const float* row = at + size_t(r) * stride;
        const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(row));
        _mm256_storeu_pd(centred + r * kBlock,
                         _mm256_sub_pd(v, _mm256_loadu_pd(mean_of + r * kBlock)));
        centred[r * kBlock + 4] = double(row[4]) - mean_of[r * kBlock + 4];
      }
      centred += kPad;
    }
}

void multiply_avx2(float* dst, const float* x, const float* y, int n, int cols) {
  constexpr int kWide = 4;  // registers of eight columns summed side by side
  for (int i = 0; i < n; ++i)
    for (int j0 = 0; j0 < cols; j0 += 8 * kWide) {
      __m256i mask[kWide];
      __m256 acc[kWide];
      for (int g = 0; g < kWide; ++g) {
        const int left = cols - (j0 + 8 * g);
        mask[g] =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(left), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        acc[g] = _mm256_setzero_ps();
      }
      const int groups = std::min(kWide, (cols - j0 + 7) / 8);
      for (int k = 0; k < n; ++k) {
        const __m256 xk = _mm256_set1_ps(x[i * n + k]);
        const float* yk = y + size_t(k) * size_t(cols) + size_t(j0);
        for (int g = 0; g < groups; ++g)
          acc[g] =
              _mm256_add_ps(acc[g], _mm256_mul_ps(xk, _mm256_maskload_ps(yk + 8 * g, mask[g])));
      }
      for (int g = 0; g < groups; ++g)
        _mm256_maskstore_ps(dst + size_t(i) * size_t(cols) + size_t(j0 + 8 * g), mask[g], acc[g]);
    }
}

}  // namespace vq::speed
