// SSE2 error sum of 16-bit samples, 8 per vector, in blocks of up to 32 vectors. |a - b| comes
// from two saturating subtractions. Each block is first summed the fast way: PMADDWD squares
// and pair-sums the differences into 32-bit lanes, which holds while every difference is below
// 2^13 (a lane gains at most 2 x 8191^2 per vector, under 2^32 after 32 vectors; larger ones are
// read as signed or wrap). The OR of the block's differences tells whether that held; if not,
// the block is summed again the exact way, which takes any difference: the low and high 16 bits
// of each square (PMULLW, PMULHUW) are pair-summed apart into 32-bit lanes, each half biased by
// -32768 so PMADDWD may read it as signed, the bias taken back by the lanes' start values. Once
// a block needed the exact way, the next blocks go that way directly until one of them has only
// small differences again.
#include <emmintrin.h>

#include <algorithm>

#include "metrics/psnr/sse_kernels.h"

namespace vq {
namespace {

inline __m128i abs_diff(const uint16_t* a, const uint16_t* b) {
  const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
  const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  return _mm_or_si128(_mm_subs_epu16(va, vb), _mm_subs_epu16(vb, va));
}

// The four 32-bit lanes of v added to the two 64-bit lanes of total.
inline __m128i add_lanes(__m128i total, __m128i v) {
  const __m128i zero = _mm_setzero_si128();
  return _mm_add_epi64(total,
                       _mm_add_epi64(_mm_unpacklo_epi32(v, zero), _mm_unpackhi_epi32(v, zero)));
}

}  // namespace

uint64_t sum_squared_error16_sse2(const uint16_t* a, const uint16_t* b, size_t n) {
  constexpr size_t kBlockVectors = 32;
  const __m128i zero = _mm_setzero_si128();
  const __m128i large = _mm_set1_epi16(int16_t(0xE000));  // a difference of 2^13 or more
  const __m128i bias = _mm_set1_epi16(int16_t(0x8000));
  const __m128i ones = _mm_set1_epi16(1);
  __m128i total = zero;  // two 64-bit lanes
  bool exact = false;
  size_t i = 0;
  while (n - i >= 8) {
    const size_t count = std::min((n - i) / 8, kBlockVectors), end = i + 8 * count;
    __m128i seen = zero;
    if (!exact) {
      __m128i acc = zero;
      for (size_t j = i; j < end; j += 8) {
        const __m128i d = abs_diff(a + j, b + j);
        seen = _mm_or_si128(seen, d);
        acc = _mm_add_epi32(acc, _mm_madd_epi16(d, d));
      }
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(seen, large), zero)) == 0xFFFF) {
        total = add_lanes(total, acc);
        i = end;
        continue;
      }
      seen = zero;
    }
    // Each lane gains (lo0 - 32768) + (lo1 - 32768) per vector: it starts at 65536 per vector
    // and ends at the true pair sums, at most 32 x 2 x 65535.
    __m128i acc_lo = _mm_set1_epi32(int32_t(65536 * count)), acc_hi = acc_lo;
    for (size_t j = i; j < end; j += 8) {
      const __m128i d = abs_diff(a + j, b + j);
      seen = _mm_or_si128(seen, d);
      const __m128i lo = _mm_mullo_epi16(d, d), hi = _mm_mulhi_epu16(d, d);
      acc_lo = _mm_add_epi32(acc_lo, _mm_madd_epi16(_mm_xor_si128(lo, bias), ones));
      acc_hi = _mm_add_epi32(acc_hi, _mm_madd_epi16(_mm_xor_si128(hi, bias), ones));
    }
    total = add_lanes(total, acc_lo);
    total = _mm_add_epi64(total, _mm_slli_epi64(add_lanes(zero, acc_hi), 16));
    exact = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(seen, large), zero)) != 0xFFFF;
    i = end;
  }
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), total);
  return lanes[0] + lanes[1] + sum_squared_error16_scalar(a + i, b + i, n - i);
}

}  // namespace vq
