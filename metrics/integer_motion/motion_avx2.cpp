// AVX2 motion kernels, bit-identical to the scalar ones. Eight outputs at a time in 32-bit lanes.
// The vertical sums fit 32 bits up to 15-bit samples; 16-bit ones take the 64-bit path. The
// horizontal sums (values up to 2^16 times taps adding up to 2^16) do not fit 32 bits, so each
// value is filtered as its high part (v >> 8) and its low byte, and the two are joined exactly:
// with A and B those sums, (256 A + B + 2^15) >> 16 equals (A + ((B + 2^15) >> 8)) >> 8.
#include <immintrin.h>

#include <cstdlib>

#include "metrics/integer_motion/motion.h"

namespace vq::motion {
namespace {

void vertical8_avx2(const uint8_t* const* prev, const uint8_t* const* cur, int w, int32_t* out) {
  __m256i f[5];
  for (int k = 0; k < 5; ++k)
    f[k] = _mm256_set1_epi32(kFilter[k]);
  const __m256i round = _mm256_set1_epi32(128);
  int j = 0;
  for (; j + 8 <= w; j += 8) {
    __m256i acc = round;
    for (int k = 0; k < 5; ++k) {
      const __m256i p =
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(prev[k] + j)));
      const __m256i c =
          _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(cur[k] + j)));
      acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(_mm256_sub_epi32(p, c), f[k]));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_srai_epi32(acc, 8));
  }
  for (; j < w; ++j) {
    int32_t acc = 128;
    for (int k = 0; k < 5; ++k)
      acc += kFilter[k] * (int32_t(prev[k][j]) - int32_t(cur[k][j]));
    out[j] = acc >> 8;
  }
}

void vertical16_avx2(const uint16_t* const* prev, const uint16_t* const* cur, int w, int depth,
                     int32_t* out) {
  const int64_t round = int64_t(1) << (depth - 1);
  int j = 0;
  if (depth <= 15) {
    __m256i f[5];
    for (int k = 0; k < 5; ++k)
      f[k] = _mm256_set1_epi32(kFilter[k]);
    const __m256i r = _mm256_set1_epi32(int32_t(round));
    const __m128i shift = _mm_cvtsi32_si128(depth);
    for (; j + 8 <= w; j += 8) {
      __m256i acc = r;
      for (int k = 0; k < 5; ++k) {
        const __m256i p =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev[k] + j)));
        const __m256i c =
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cur[k] + j)));
        acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(_mm256_sub_epi32(p, c), f[k]));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_sra_epi32(acc, shift));
    }
  }
  for (; j < w; ++j) {
    int64_t acc = round;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * (int32_t(prev[k][j]) - int32_t(cur[k][j]));
    out[j] = int32_t(acc >> depth);
  }
}

uint32_t horizontal_sad_avx2(const int32_t* row, int w) {
  __m256i f[5];
  for (int k = 0; k < 5; ++k)
    f[k] = _mm256_set1_epi32(kFilter[k]);
  const __m256i low = _mm256_set1_epi32(255);
  const __m256i half = _mm256_set1_epi32(1 << 15);
  __m256i sum = _mm256_setzero_si256();
  int j = 0;
  for (; j + 8 <= w; j += 8) {
    __m256i a = _mm256_setzero_si256(), b = half;
    for (int k = 0; k < 5; ++k) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j - 2 + k));
      a = _mm256_add_epi32(a, _mm256_mullo_epi32(_mm256_srai_epi32(v, 8), f[k]));
      b = _mm256_add_epi32(b, _mm256_mullo_epi32(_mm256_and_si256(v, low), f[k]));
    }
    const __m256i x = _mm256_srai_epi32(_mm256_add_epi32(a, _mm256_srai_epi32(b, 8)), 8);
    sum = _mm256_add_epi32(sum, _mm256_abs_epi32(x));
  }
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
  uint32_t sad = 0;
  for (const uint32_t l : lanes)
    sad += l;
  for (; j < w; ++j) {
    int64_t acc = 1 << 15;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * row[j - 2 + k];
    sad += uint32_t(std::abs(int32_t(acc >> 16)));
  }
  return sad;
}

}  // namespace

void use_avx2(Kernels* k) {
  k->vertical8 = vertical8_avx2;
  k->vertical16 = vertical16_avx2;
  k->horizontal_sad = horizontal_sad_avx2;
}

}  // namespace vq::motion
