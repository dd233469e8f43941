// AVX2 row kernels of the ADM DWT, bit-identical to the scalar ones: the four vertical taps as
// two pairwise multiply-adds of interleaved rows, 16 samples a step.
#include <immintrin.h>

#include "metrics/integer_adm/adm.h"

namespace vq::adm {
namespace {

// Taps (15826, 27411, 7345, -4240) low and (-4240, -7345, 27411, -15826) high, paired for
// _mm256_madd_epi16 over rows (0, 1) and (2, 3).
inline void taps16(__m256i s0, __m256i s1, __m256i s2, __m256i s3, __m256i bias_lo, __m256i bias_hi,
                   int shift, int16_t* lo, int16_t* hi) {
  const __m256i lo01 = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(15826)) | (27411u << 16)));
  const __m256i lo23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(7345)) | (uint32_t(uint16_t(int16_t(-4240))) << 16)));
  const __m256i hi01 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(int16_t(-4240))) | (uint32_t(uint16_t(int16_t(-7345))) << 16)));
  const __m256i hi23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(27411)) | (uint32_t(uint16_t(int16_t(-15826))) << 16)));
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const __m256i a01l = _mm256_unpacklo_epi16(s0, s1), a01h = _mm256_unpackhi_epi16(s0, s1);
  const __m256i a23l = _mm256_unpacklo_epi16(s2, s3), a23h = _mm256_unpackhi_epi16(s2, s3);
  auto sum = [&](__m256i c01, __m256i c23, __m256i x01, __m256i x23, __m256i bias) {
    const __m256i v = _mm256_add_epi32(_mm256_madd_epi16(x01, c01), _mm256_madd_epi16(x23, c23));
    return _mm256_sra_epi32(_mm256_add_epi32(v, bias), sh);
  };
  // unpack works within 128-bit lanes and packs does too, so the order comes back as it was.
  const __m256i l = _mm256_packs_epi32(sum(lo01, lo23, a01l, a23l, bias_lo),
                                       sum(lo01, lo23, a01h, a23h, bias_lo));
  const __m256i h = _mm256_packs_epi32(sum(hi01, hi23, a01l, a23l, bias_hi),
                                       sum(hi01, hi23, a01h, a23h, bias_hi));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo), l);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(hi), h);
}

void dwt_v8_avx2(const uint8_t* const rows[4], int w, int16_t* lo, int16_t* hi) {
  // The low taps sum to 46342; centring the samples on 128 folds into the bias.
  const __m256i bias_lo = _mm256_set1_epi32(-46342 * 128 + 128);
  const __m256i bias_hi = _mm256_set1_epi32(128);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[k] + j)));
    taps16(s[0], s[1], s[2], s[3], bias_lo, bias_hi, 8, lo + j, hi + j);
  }
  if (j < w) {
    const uint8_t* tail[4] = {rows[0] + j, rows[1] + j, rows[2] + j, rows[3] + j};
    scalar_kernels().dwt_v8(tail, w - j, lo + j, hi + j);
  }
}

void dwt_v16_avx2(const uint16_t* const rows[4], int w, int depth, int16_t* lo, int16_t* hi) {
  const int32_t half = 1 << (depth - 1);
  const __m256i bias_lo = _mm256_set1_epi32(-46342 * half + half);
  const __m256i bias_hi = _mm256_set1_epi32(half);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + j));
    taps16(s[0], s[1], s[2], s[3], bias_lo, bias_hi, depth, lo + j, hi + j);
  }
  if (j < w) {
    const uint16_t* tail[4] = {rows[0] + j, rows[1] + j, rows[2] + j, rows[3] + j};
    scalar_kernels().dwt_v16(tail, w - j, depth, lo + j, hi + j);
  }
}

// Horizontal taps, 8 outputs a step: output j takes the pairs (2j-1, 2j) and (2j+1, 2j+2),
// which are adjacent 16-bit pairs of the rows loaded from 2j-1 and from 2j+1.
inline __m128i htaps(const int16_t* row, int j, __m256i c01, __m256i c23) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * j - 1));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * j + 1));
  __m256i v = _mm256_add_epi32(_mm256_madd_epi16(a, c01), _mm256_madd_epi16(b, c23));
  v = _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_set1_epi32(32768)), 16);
  v = _mm256_permute4x64_epi64(_mm256_packs_epi32(v, v), 0x08);
  return _mm256_castsi256_si128(v);
}

void dwt_h16_avx2(const int16_t* lo, const int16_t* hi, int w, int16_t* a, int16_t* v, int16_t* h,
                  int16_t* d) {
  const __m256i lo01 = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(15826)) | (27411u << 16)));
  const __m256i lo23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(7345)) | (uint32_t(uint16_t(int16_t(-4240))) << 16)));
  const __m256i hi01 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(int16_t(-4240))) | (uint32_t(uint16_t(int16_t(-7345))) << 16)));
  const __m256i hi23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(27411)) | (uint32_t(uint16_t(int16_t(-15826))) << 16)));
  // Outputs 1 .. (w-1)/2 - 1 read inside the row; the scalar kernel does the ends.
  const int inner_end = (w - 1) / 2;
  int j = 1;
  for (; j + 8 <= inner_end; j += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + j), htaps(lo, j, lo01, lo23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j), htaps(lo, j, hi01, hi23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h + j), htaps(hi, j, lo01, lo23));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + j), htaps(hi, j, hi01, hi23));
  }
  dwt_h16_edges(lo, hi, w, j, a, v, h, d);
}

}  // namespace

void use_avx2(Kernels* k) {
  k->dwt_v8 = dwt_v8_avx2;
  k->dwt_v16 = dwt_v16_avx2;
  k->dwt_h16 = dwt_h16_avx2;
}

}  // namespace vq::adm
