// AVX2 SSIM kernels. Block sums: 16 samples (4 blocks) of each row per step, widened to 16 bits
// on load, summed as in the SSE2 form and joined into block sums by a horizontal add. Row ends:
// the SSE2 method on 8 windows per step, adding windows 8j .. 8j+3 into the four double lanes
// before 8j+4 .. 8j+7, the scalar order. Deeper samples: the SSE2 methods on 4 blocks and on 4
// windows per step.
#include <immintrin.h>

#include "metrics/ssim/ssim_kernels.h"

namespace vq {

namespace {

inline __m256i load(const int32_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
inline __m256i load(const int64_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Four 64-bit integers of magnitude below 2^51 as floats, rounded once (see ssim_sse2.cpp).
inline __m128 to_float(__m256i x) {
  const __m256d magic = _mm256_set1_pd(6755399441055744.0);  // 2^52 + 2^51
  const __m256i bits = _mm256_add_epi64(x, _mm256_castpd_si256(magic));
  return _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_castsi256_pd(bits), magic));
}

// The four sums of 16 samples of four rows: s1 and s2 per sample column (16-bit), ss and s12 per
// pair of columns (32-bit).
struct Sums16 {
  __m256i s1, s2, ss, s12;
};

inline Sums16 sum16(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b) {
  Sums16 r{};
  for (int y = 0; y < 4; ++y) {
    const __m256i va =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + y * pitch_a)));
    const __m256i vb =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + y * pitch_b)));
    r.s1 = _mm256_add_epi16(r.s1, va);
    r.s2 = _mm256_add_epi16(r.s2, vb);
    r.ss = _mm256_add_epi32(r.ss,
                            _mm256_add_epi32(_mm256_madd_epi16(va, va), _mm256_madd_epi16(vb, vb)));
    r.s12 = _mm256_add_epi32(r.s12, _mm256_madd_epi16(va, vb));
  }
  return r;
}

// Blocks 0..3 from a vector of column-pair sums 0..7.
inline __m128i join_pairs(__m256i p) {
  // Per 128-bit half: [b0 b1 b0 b1 | b2 b3 b2 b3].
  const __m256i h = _mm256_hadd_epi32(p, p);
  return _mm256_castsi256_si128(_mm256_permute4x64_epi64(h, _MM_SHUFFLE(3, 1, 2, 0)));
}

// The sums of two blocks of 16-bit samples (block 0 in the low 128-bit half, block 1 in the
// high one): s1 and s2 in four 32-bit lanes each, ss and s12 in two 64-bit lanes each (the
// products of the even and of the odd samples).
struct Sums2x16 {
  __m256i s1, s2, ss, s12;
};

inline Sums2x16 sum2x16(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b) {
  Sums2x16 r{};
  for (int y = 0; y < 4; ++y) {
    const __m256i ae =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + y * pitch_a)));
    const __m256i be =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + y * pitch_b)));
    const __m256i ao = _mm256_srli_epi64(ae, 32), bo = _mm256_srli_epi64(be, 32);
    r.s1 = _mm256_add_epi32(r.s1, ae);
    r.s2 = _mm256_add_epi32(r.s2, be);
    const __m256i sq =
        _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epu32(ae, ae), _mm256_mul_epu32(ao, ao)),
                         _mm256_add_epi64(_mm256_mul_epu32(be, be), _mm256_mul_epu32(bo, bo)));
    r.ss = _mm256_add_epi64(r.ss, sq);
    r.s12 = _mm256_add_epi64(r.s12,
                             _mm256_add_epi64(_mm256_mul_epu32(ae, be), _mm256_mul_epu32(ao, bo)));
  }
  return r;
}

// Blocks 0..3 as 64-bit lanes from the 32-bit lanes of blocks 0, 1 (p) and 2, 3 (q).
inline __m256i join_quads(__m256i p, __m256i q) {
  __m256i t = _mm256_hadd_epi32(p, q);  // [b0 b0 b2 b2 | b1 b1 b3 b3]
  t = _mm256_hadd_epi32(t, t);          // [b0 b2 b0 b2 | b1 b3 b1 b3]
  t = _mm256_permutevar8x32_epi32(t, _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5));
  return _mm256_cvtepu32_epi64(_mm256_castsi256_si128(t));
}

// Blocks 0..3 from the 64-bit lane pairs of blocks 0, 1 (p) and 2, 3 (q).
inline __m256i join_twos(__m256i p, __m256i q) {
  const __m256i t = _mm256_add_epi64(_mm256_unpacklo_epi64(p, q), _mm256_unpackhi_epi64(p, q));
  return _mm256_permute4x64_epi64(t, _MM_SHUFFLE(3, 1, 2, 0));  // from [b0 b2 | b1 b3]
}

}  // namespace

void ssim_block_sums8_avx2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                           int32_t blocks, int32_t* sums, size_t stride) {
  const __m256i ones = _mm256_set1_epi16(1);
  int32_t k = 0;
  for (; blocks - k >= 4; k += 4) {
    const Sums16 l = sum16(a + 4 * k, pitch_a, b + 4 * k, pitch_b);
    const __m128i r[4] = {join_pairs(_mm256_madd_epi16(l.s1, ones)),
                          join_pairs(_mm256_madd_epi16(l.s2, ones)), join_pairs(l.ss),
                          join_pairs(l.s12)};
    for (size_t c = 0; c < 4; ++c)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + k + c * stride), r[c]);
  }
  ssim_block_sums8_scalar(a + 4 * k, pitch_a, b + 4 * k, pitch_b, blocks - k, sums + k, stride);
}

void ssim_block_sums16_avx2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                            ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride) {
  int32_t k = 0;
  for (; blocks - k >= 4; k += 4) {
    const Sums2x16 l = sum2x16(a + ptrdiff_t(8) * k, pitch_a, b + ptrdiff_t(8) * k, pitch_b);
    const Sums2x16 h =
        sum2x16(a + ptrdiff_t(8) * k + 16, pitch_a, b + ptrdiff_t(8) * k + 16, pitch_b);
    const __m256i r[4] = {join_quads(l.s1, h.s1), join_quads(l.s2, h.s2), join_twos(l.ss, h.ss),
                          join_twos(l.s12, h.s12)};
    for (size_t c = 0; c < 4; ++c)
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + k + c * stride), r[c]);
  }
  ssim_block_sums16_scalar(a + ptrdiff_t(8) * k, pitch_a, b + ptrdiff_t(8) * k, pitch_b, blocks - k,
                           sums + k, stride);
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

float ssim_row_end16_avx2(const int64_t* row0, const int64_t* row1, size_t stride, int32_t windows,
                          int64_t c1, int64_t c2) {
  const __m256i vc1 = _mm256_set1_epi64x(c1), vc2 = _mm256_set1_epi64x(c2);
  float row = 0;
  int32_t i = 0;
  for (; windows - i >= 4; i += 4) {
    __m256i s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = _mm256_add_epi64(_mm256_add_epi64(load(row0 + o), load(row0 + o + 1)),
                              _mm256_add_epi64(load(row1 + o), load(row1 + o + 1)));
    }
    const __m256i s1s2 = _mm256_mul_epu32(s[0], s[1]);
    const __m256i s1s1 = _mm256_mul_epu32(s[0], s[0]), s2s2 = _mm256_mul_epu32(s[1], s[1]);
    const __m256i vars = _mm256_sub_epi64(_mm256_sub_epi64(_mm256_slli_epi64(s[2], 6), s1s1), s2s2);
    const __m256i covar = _mm256_sub_epi64(_mm256_slli_epi64(s[3], 6), s1s2);
    const __m128 n1 = to_float(_mm256_add_epi64(_mm256_add_epi64(s1s2, s1s2), vc1));
    const __m128 n2 = to_float(_mm256_add_epi64(_mm256_add_epi64(covar, covar), vc2));
    const __m128 d1 = to_float(_mm256_add_epi64(_mm256_add_epi64(s1s1, s2s2), vc1));
    const __m128 d2 = to_float(_mm256_add_epi64(vars, vc2));
    float score[4];
    _mm_storeu_ps(score, _mm_div_ps(_mm_mul_ps(n1, n2), _mm_mul_ps(d1, d2)));
    for (float v : score)
      row += v;
  }
  return ssim_row_end16_from(row0, row1, stride, i, windows, c1, c2, row);
}

}  // namespace vq
