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

// A product whose factor from x is zero adds a zero, which leaves any sum that starts at +0 as
// it was (such a sum is never -0), unless its row of y holds an infinity or a NaN: those terms
// are skipped. The solver's reflections are zero outside their trailing block, so most are.
void multiply_avx2(float* dst, const float* x, const float* y, int n, int cols) {
  constexpr int kWide = 4;  // registers of eight columns summed side by side
  constexpr int kMaxOrder = 32;
  bool finite[kMaxOrder] = {};  // rows past kMaxOrder are never skipped
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (int k = 0; k < n && k < kMaxOrder; ++k) {
    __m256 bad = _mm256_setzero_ps();
    for (int j = 0; j < cols; j += 8) {
      const __m256i in = _mm256_cmpgt_epi32(_mm256_set1_epi32(cols - j), lanes);
      const __m256 v = _mm256_maskload_ps(y + size_t(k) * size_t(cols) + size_t(j), in);
      // v - v is 0 for a finite v and NaN otherwise.
      bad = _mm256_or_ps(bad, _mm256_cmp_ps(_mm256_sub_ps(v, v), _mm256_setzero_ps(), _CMP_NEQ_UQ));
    }
    finite[k] = _mm256_movemask_ps(bad) == 0;
  }
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
        if (x[i * n + k] == 0.0f && k < kMaxOrder && finite[k]) continue;
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

// Sixteen columns a step in two registers; a word's level is its float times the power of two
// the scalar form divides by, the same float.
void column_blur_avx2(const uint8_t* const* rows, int taps, const float* coef, int w, int depth,
                      float* out) {
  const __m256 inv = _mm256_set1_ps(depth == 10 ? 0.25f : depth == 12 ? 1.0f / 16 : 1.0f / 256);
  const __m256 minus128 = _mm256_set1_ps(-128.0f);
  int x = 0;
  for (; x + 16 <= w; x += 16) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = acc0;
    for (int k = 0; k < taps; ++k) {
      __m256 lo, hi;
      if (depth == 8) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + x));
        lo = _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b)), minus128);
        hi =
            _mm256_add_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(b, 8))), minus128);
      } else {
        const __m256i v =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + 2 * size_t(x)));
        auto level = [&](__m128i h) {
          return _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(h)), inv),
                               minus128);
        };
        lo = level(_mm256_castsi256_si128(v));
        hi = level(_mm256_extracti128_si256(v, 1));
      }
      const __m256 c = _mm256_set1_ps(coef[k]);
      acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(c, lo));
      acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(c, hi));
    }
    _mm256_storeu_ps(out + x, acc0);
    _mm256_storeu_ps(out + x + 8, acc1);
  }
  if (x < w) {
    const size_t bytes = depth == 8 ? 1 : 2;
    const uint8_t* tail[64];  // the filter has at most 27 taps (kernel scale 3)
    for (int k = 0; k < taps && k < 64; ++k)
      tail[k] = rows[k] + bytes * size_t(x);
    column_blur_scalar(tail, taps, coef, w - x, depth, out + x);
  }
}

}  // namespace vq::speed
