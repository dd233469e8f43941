// SSE2 error sum: |a - b| per byte (two saturating subtractions), widened to 16 bits and squared
// and pair-summed by PMADDWD into 32-bit lanes. A lane gains at most 2 x 255^2 = 130050 per
// vector, so the 32-bit lanes are moved into 64-bit totals every 8192 vectors (at most about
// 1.07e9), long before they could wrap.
#include <emmintrin.h>

#include <algorithm>

#include "metrics/psnr/sse_kernels.h"

namespace vq {

uint64_t sum_squared_error_sse2(const uint8_t* a, const uint8_t* b, size_t n) {
  constexpr size_t kVectorsPerFlush = 8192;
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero;  // two 64-bit lanes
  size_t i = 0;
  while (n - i >= 16) {
    const size_t end = i + 16 * std::min((n - i) / 16, kVectorsPerFlush);
    __m128i acc0 = zero, acc1 = zero;
    for (; i < end; i += 16) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const __m128i d = _mm_or_si128(_mm_subs_epu8(va, vb), _mm_subs_epu8(vb, va));
      const __m128i lo = _mm_unpacklo_epi8(d, zero), hi = _mm_unpackhi_epi8(d, zero);
      acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(lo, lo));
      acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(hi, hi));
    }
    total = _mm_add_epi64(total, _mm_unpacklo_epi32(acc0, zero));
    total = _mm_add_epi64(total, _mm_unpackhi_epi32(acc0, zero));
    total = _mm_add_epi64(total, _mm_unpacklo_epi32(acc1, zero));
    total = _mm_add_epi64(total, _mm_unpackhi_epi32(acc1, zero));
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), total);
  return lanes[0] + lanes[1] + sum_squared_error_scalar(a + i, b + i, n - i);
}

}  // namespace vq
