// AVX2 SSIM kernels: the SSE2 method on 32 samples (8 blocks) of each row per step, and on 8
// windows per step. Within each 128-bit half the block sums come out in order; the row ends add
// windows 8j .. 8j+3 into the four double lanes before 8j+4 .. 8j+7, the scalar order.
#include <immintrin.h>

#include "compare/ssim_kernels.h"

namespace vq {

namespace {

inline __m256i join_pairs(__m256i p, __m256i q) {
  const __m256 fp = _mm256_castsi256_ps(p), fq = _mm256_castsi256_ps(q);
  const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(fp, fq, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(fp, fq, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm256_add_epi32(even, odd);
}

inline __m256i load(const int32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace

void ssim_block_sums8_avx2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                           int32_t blocks, int32_t* sums, size_t stride) {
  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi16(1);
  int32_t k = 0;
  for (; blocks - k >= 8; k += 8) {
    __m256i s1l = zero, s1h = zero, s2l = zero, s2h = zero;
    __m256i ssl = zero, ssh = zero, s12l = zero, s12h = zero;
    for (int y = 0; y < 4; ++y) {
      const __m256i va =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + y * pitch_a + 4 * k));
      const __m256i vb =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + y * pitch_b + 4 * k));
      // Per 128-bit half: samples 0..7 in the low words, 8..15 in the high ones.
      const __m256i al = _mm256_unpacklo_epi8(va, zero), ah = _mm256_unpackhi_epi8(va, zero);
      const __m256i bl = _mm256_unpacklo_epi8(vb, zero), bh = _mm256_unpackhi_epi8(vb, zero);
      s1l = _mm256_add_epi16(s1l, al);
      s1h = _mm256_add_epi16(s1h, ah);
      s2l = _mm256_add_epi16(s2l, bl);
      s2h = _mm256_add_epi16(s2h, bh);
      ssl = _mm256_add_epi32(
          ssl, _mm256_add_epi32(_mm256_madd_epi16(al, al), _mm256_madd_epi16(bl, bl)));
      ssh = _mm256_add_epi32(
          ssh, _mm256_add_epi32(_mm256_madd_epi16(ah, ah), _mm256_madd_epi16(bh, bh)));
      s12l = _mm256_add_epi32(s12l, _mm256_madd_epi16(al, bl));
      s12h = _mm256_add_epi32(s12h, _mm256_madd_epi16(ah, bh));
    }
    int32_t* out = sums + k;
    const __m256i r[4] = {join_pairs(_mm256_madd_epi16(s1l, ones), _mm256_madd_epi16(s1h, ones)),
                          join_pairs(_mm256_madd_epi16(s2l, ones), _mm256_madd_epi16(s2h, ones)),
                          join_pairs(ssl, ssh), join_pairs(s12l, s12h)};
    for (size_t c = 0; c < 4; ++c)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c * stride), r[c]);
  }
  ssim_block_sums8_scalar(a + 4 * k, pitch_a, b + 4 * k, pitch_b, blocks - k, sums + k, stride);
}

double ssim_row_end8_avx2(const int32_t* row0, const int32_t* row1, size_t stride,
                          int32_t windows) {
  const __m256i c1 = _mm256_set1_epi32(kSsimC1), c2 = _mm256_set1_epi32(kSsimC2);
  __m256d lanes = _mm256_setzero_pd();
  int32_t i = 0;
  for (; windows - i >= 8; i += 8) {
    __m256i s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = _mm256_add_epi32(_mm256_add_epi32(load(row0 + o), load(row0 + o + 1)),
                              _mm256_add_epi32(load(row1 + o), load(row1 + o + 1)));
    }
    const __m256i s1s2 = _mm256_madd_epi16(s[0], s[1]);
    const __m256i s1s1 = _mm256_madd_epi16(s[0], s[0]), s2s2 = _mm256_madd_epi16(s[1], s[1]);
    const __m256i vars = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_slli_epi32(s[2], 6), s1s1), s2s2);
    const __m256i covar = _mm256_sub_epi32(_mm256_slli_epi32(s[3], 6), s1s2);
    const __m256 n1 = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(s1s2, s1s2), c1));
    const __m256 n2 = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(covar, covar), c2));
    const __m256 d1 = _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(s1s1, s2s2), c1));
    const __m256 d2 = _mm256_cvtepi32_ps(_mm256_add_epi32(vars, c2));
    const __m256 score = _mm256_div_ps(_mm256_mul_ps(n1, n2), _mm256_mul_ps(d1, d2));
    lanes = _mm256_add_pd(lanes, _mm256_cvtps_pd(_mm256_castps256_ps128(score)));
    lanes = _mm256_add_pd(lanes, _mm256_cvtps_pd(_mm256_extractf128_ps(score, 1)));
  }
  double lane[4];
  _mm256_storeu_pd(lane, lanes);
  ssim_row_end8_lanes(row0, row1, stride, i, windows, lane);
  return (lane[0] + lane[2]) + (lane[1] + lane[3]);
}

}  // namespace vq
