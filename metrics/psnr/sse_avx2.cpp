// AVX2 error sum: the SSE2 method on 32 bytes per vector. A 32-bit lane gains at most
// 2 x 255^2 = 130050 per vector, so the lanes are moved into 64-bit totals every 8192 vectors
// (at most about 1.07e9), long before they could wrap.
#include <immintrin.h>

#include <algorithm>

#include "metrics/psnr/sse_kernels.h"

namespace vq {

uint64_t sum_squared_error_avx2(const uint8_t* a, const uint8_t* b, size_t n) {
  constexpr size_t kVectorsPerFlush = 8192;
  const __m256i zero = _mm256_setzero_si256();
  __m256i total = zero;  // four 64-bit lanes
  size_t i = 0;
  while (n - i >= 32) {
    const size_t end = i + 32 * std::min((n - i) / 32, kVectorsPerFlush);
    __m256i acc0 = zero, acc1 = zero;
    for (; i < end; i += 32) {
      const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
      const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
      const __m256i d = _mm256_or_si256(_mm256_subs_epu8(va, vb), _mm256_subs_epu8(vb, va));
      const __m256i lo = _mm256_unpacklo_epi8(d, zero), hi = _mm256_unpackhi_epi8(d, zero);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(lo, lo));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(hi, hi));
    }
    total = _mm256_add_epi64(total, _mm256_unpacklo_epi32(acc0, zero));
    total = _mm256_add_epi64(total, _mm256_unpackhi_epi32(acc0, zero));
    total = _mm256_add_epi64(total, _mm256_unpacklo_epi32(acc1, zero));
    total = _mm256_add_epi64(total, _mm256_unpackhi_epi32(acc1, zero));
  }
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), total);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + sum_squared_error_scalar(a + i, b + i, n - i);
}

}  // namespace vq
