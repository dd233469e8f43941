// AVX2 error sum of 16-bit samples: the SSE2 method (see sse16_sse2.cpp) on 16 samples per
// vector. A 32-bit lane still takes one pair of samples per vector, so the same bounds hold:
// blocks of up to 32 vectors summed by VPMADDWD while every difference is below 2^13, summed
// again as low and high halves of the squares when not.
#include <immintrin.h>

#include <algorithm>

#include "metrics/psnr/sse_kernels.h"

namespace vq {
namespace {

inline __m256i abs_diff(const uint16_t* a, const uint16_t* b) {
  const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  return _mm256_or_si256(_mm256_subs_epu16(va, vb), _mm256_subs_epu16(vb, va));
}

// The eight 32-bit lanes of v added to the four 64-bit lanes of total.
inline __m256i add_lanes(__m256i total, __m256i v) {
  const __m256i zero = _mm256_setzero_si256();
  return _mm256_add_epi64(
      total, _mm256_add_epi64(_mm256_unpacklo_epi32(v, zero), _mm256_unpackhi_epi32(v, zero)));
}

}  // namespace

uint64_t sum_squared_error16_avx2(const uint16_t* a, const uint16_t* b, size_t n) {
  constexpr size_t kBlockVectors = 32;
  const __m256i zero = _mm256_setzero_si256();
  const __m256i large = _mm256_set1_epi16(int16_t(0xE000));  // a difference of 2^13 or more
  const __m256i bias = _mm256_set1_epi16(int16_t(0x8000));
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i total = zero;  // four 64-bit lanes
  bool exact = false;
  size_t i = 0;
  while (n - i >= 16) {
    const size_t count = std::min((n - i) / 16, kBlockVectors), end = i + 16 * count;
    __m256i seen = zero;
    if (!exact) {
      __m256i acc = zero;
      for (size_t j = i; j < end; j += 16) {
        const __m256i d = abs_diff(a + j, b + j);
        seen = _mm256_or_si256(seen, d);
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(d, d));
      }
      if (_mm256_testz_si256(seen, large)) {
        total = add_lanes(total, acc);
        i = end;
        continue;
      }
      seen = zero;
    }
    __m256i acc_lo = _mm256_set1_epi32(int32_t(65536 * count)), acc_hi = acc_lo;
    for (size_t j = i; j < end; j += 16) {
      const __m256i d = abs_diff(a + j, b + j);
      seen = _mm256_or_si256(seen, d);
      const __m256i lo = _mm256_mullo_epi16(d, d), hi = _mm256_mulhi_epu16(d, d);
      acc_lo = _mm256_add_epi32(acc_lo, _mm256_madd_epi16(_mm256_xor_si256(lo, bias), ones));
      acc_hi = _mm256_add_epi32(acc_hi, _mm256_madd_epi16(_mm256_xor_si256(hi, bias), ones));
    }
    total = add_lanes(total, acc_lo);
    total = _mm256_add_epi64(total, _mm256_slli_epi64(add_lanes(zero, acc_hi), 16));
    exact = !_mm256_testz_si256(seen, large);
    i = end;
  }
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), total);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] +
         sum_squared_error16_scalar(a + i, b + i, n - i);
}

}  // namespace vq
