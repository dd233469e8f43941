// SSE2 SSIM kernels. Block sums: 16 samples (4 blocks) of each row per step, in two runs of 8
// widened to 16 bits; the sample sums add up in 16-bit lanes (at most 4 x 255), the squares and
// products pair-summed by PMADDWD into 32-bit lanes, and each block's two pair sums joined at the
// end. Row ends: 4 windows per step; their sums (s1, s2 <= 16320 fit 16 bits) are multiplied by
// PMADDWD, the score formed in float as the scalar form does, and added in double into the same
// lanes. Deeper samples: block sums of 2 blocks per step with 64-bit products (PMULUDQ); row
// ends of 2 windows per step, their scores added in float in order.
#include <emmintrin.h>

#include "metrics/ssim/ssim_kernels.h"

namespace vq {

namespace {

// [p0 + p1, p2 + p3, q0 + q1, q2 + q3] of two vectors of pair sums.
inline __m128i join_pairs(__m128i p, __m128i q) {
  const __m128 fp = _mm_castsi128_ps(p), fq = _mm_castsi128_ps(q);
  const __m128i even = _mm_castps_si128(_mm_shuffle_ps(fp, fq, _MM_SHUFFLE(2, 0, 2, 0)));
  const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(fp, fq, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm_add_epi32(even, odd);
}

// The four sums of 8 samples of four rows: s1 and s2 per sample column (16-bit), ss and s12 per
// pair of columns (32-bit).
struct Sums8 {
  __m128i s1, s2, ss, s12;
};

inline Sums8 sum8(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b) {
  const __m128i zero = _mm_setzero_si128();
  Sums8 r{zero, zero, zero, zero};
  for (int y = 0; y < 4; ++y) {
    const __m128i va =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + y * pitch_a)), zero);
    const __m128i vb =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + y * pitch_b)), zero);
    r.s1 = _mm_add_epi16(r.s1, va);
    r.s2 = _mm_add_epi16(r.s2, vb);
    r.ss = _mm_add_epi32(r.ss, _mm_add_epi32(_mm_madd_epi16(va, va), _mm_madd_epi16(vb, vb)));
    r.s12 = _mm_add_epi32(r.s12, _mm_madd_epi16(va, vb));
  }
  return r;
}

// [p0 + p1 + p2 + p3, q0 + q1 + q2 + q3] of two vectors of 32-bit sums, as 64-bit lanes.
inline __m128i join_quads(__m128i p, __m128i q) {
  const __m128i t = _mm_add_epi32(_mm_unpacklo_epi32(p, q), _mm_unpackhi_epi32(p, q));
  return _mm_unpacklo_epi32(_mm_add_epi32(t, _mm_srli_si128(t, 8)), _mm_setzero_si128());
}

// [p0 + p1, q0 + q1] of two vectors of 64-bit sums.
inline __m128i join_twos(__m128i p, __m128i q) {
  return _mm_add_epi64(_mm_unpacklo_epi64(p, q), _mm_unpackhi_epi64(p, q));
}

inline __m128i load(const int32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load(const int64_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Two 64-bit integers of magnitude below 2^51 as floats in the low half, rounded once as a
// direct conversion rounds: placed in the mantissa of 2^52 + 2^51, which is then taken away
// exactly, and the exact double rounded to float.
inline __m128 to_float(__m128i x) {
  const __m128d magic = _mm_set1_pd(6755399441055744.0);  // 2^52 + 2^51
  const __m128i bits = _mm_add_epi64(x, _mm_castpd_si128(magic));
  return _mm_cvtpd_ps(_mm_sub_pd(_mm_castsi128_pd(bits), magic));
}

}  // namespace

void ssim_block_sums8_sse2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                           int32_t blocks, int32_t* sums, size_t stride) {
  const __m128i ones = _mm_set1_epi16(1);
  int32_t k = 0;
  for (; blocks - k >= 4; k += 4) {
    const Sums8 l = sum8(a + 4 * k, pitch_a, b + 4 * k, pitch_b);
    const Sums8 h = sum8(a + 4 * k + 8, pitch_a, b + 4 * k + 8, pitch_b);
    const __m128i r[4] = {join_pairs(_mm_madd_epi16(l.s1, ones), _mm_madd_epi16(h.s1, ones)),
                          join_pairs(_mm_madd_epi16(l.s2, ones), _mm_madd_epi16(h.s2, ones)),
                          join_pairs(l.ss, h.ss), join_pairs(l.s12, h.s12)};
    for (size_t c = 0; c < 4; ++c)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + k + c * stride), r[c]);
  }
  ssim_block_sums8_scalar(a + 4 * k, pitch_a, b + 4 * k, pitch_b, blocks - k, sums + k, stride);
}

void ssim_block_sums16_sse2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                            ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride) {
  const __m128i zero = _mm_setzero_si128();
  int32_t k = 0;
  for (; blocks - k >= 2; k += 2) {
    // Per block (l: block k, h: block k + 1): s1, s2 in four 32-bit lanes, ss and s12 in two
    // 64-bit lanes (the products of the even and of the odd samples).
    __m128i s1l = zero, s1h = zero, s2l = zero, s2h = zero;
    __m128i ssl = zero, ssh = zero, s12l = zero, s12h = zero;
    for (int y = 0; y < 4; ++y) {
      const __m128i va =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + y * pitch_a + ptrdiff_t(8) * k));
      const __m128i vb =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + y * pitch_b + ptrdiff_t(8) * k));
      const __m128i a32[2] = {_mm_unpacklo_epi16(va, zero), _mm_unpackhi_epi16(va, zero)};
      const __m128i b32[2] = {_mm_unpacklo_epi16(vb, zero), _mm_unpackhi_epi16(vb, zero)};
      s1l = _mm_add_epi32(s1l, a32[0]);
      s1h = _mm_add_epi32(s1h, a32[1]);
      s2l = _mm_add_epi32(s2l, b32[0]);
      s2h = _mm_add_epi32(s2h, b32[1]);
      __m128i* ss[2] = {&ssl, &ssh};
      __m128i* s12[2] = {&s12l, &s12h};
      for (int h = 0; h < 2; ++h) {
        const __m128i ae = a32[h], ao = _mm_srli_epi64(a32[h], 32);
        const __m128i be = b32[h], bo = _mm_srli_epi64(b32[h], 32);
        const __m128i sq =
            _mm_add_epi64(_mm_add_epi64(_mm_mul_epu32(ae, ae), _mm_mul_epu32(ao, ao)),
                          _mm_add_epi64(_mm_mul_epu32(be, be), _mm_mul_epu32(bo, bo)));
        *ss[h] = _mm_add_epi64(*ss[h], sq);
        *s12[h] =
            _mm_add_epi64(*s12[h], _mm_add_epi64(_mm_mul_epu32(ae, be), _mm_mul_epu32(ao, bo)));
      }
    }
    int64_t* out = sums + k;
    const __m128i r[4] = {join_quads(s1l, s1h), join_quads(s2l, s2h), join_twos(ssl, ssh),
                          join_twos(s12l, s12h)};
    for (size_t c = 0; c < 4; ++c)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c * stride), r[c]);
  }
  ssim_block_sums16_scalar(a + ptrdiff_t(8) * k, pitch_a, b + ptrdiff_t(8) * k, pitch_b, blocks - k,
                           sums + k, stride);
}

double ssim_row_end8_sse2(const int32_t* row0, const int32_t* row1, size_t stride,
                          int32_t windows) {
  const __m128i c1 = _mm_set1_epi32(kSsimC1), c2 = _mm_set1_epi32(kSsimC2);
  __m128d lane01 = _mm_setzero_pd(), lane23 = _mm_setzero_pd();
  int32_t i = 0;
  for (; windows - i >= 4; i += 4) {
    __m128i s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = _mm_add_epi32(_mm_add_epi32(load(row0 + o), load(row0 + o + 1)),
                           _mm_add_epi32(load(row1 + o), load(row1 + o + 1)));
    }
    const __m128i s1s2 = _mm_madd_epi16(s[0], s[1]);
    const __m128i s1s1 = _mm_madd_epi16(s[0], s[0]), s2s2 = _mm_madd_epi16(s[1], s[1]);
    const __m128i vars = _mm_sub_epi32(_mm_sub_epi32(_mm_slli_epi32(s[2], 6), s1s1), s2s2);
    const __m128i covar = _mm_sub_epi32(_mm_slli_epi32(s[3], 6), s1s2);
    const __m128 n1 = _mm_cvtepi32_ps(_mm_add_epi32(_mm_add_epi32(s1s2, s1s2), c1));
    const __m128 n2 = _mm_cvtepi32_ps(_mm_add_epi32(_mm_add_epi32(covar, covar), c2));
    const __m128 d1 = _mm_cvtepi32_ps(_mm_add_epi32(_mm_add_epi32(s1s1, s2s2), c1));
    const __m128 d2 = _mm_cvtepi32_ps(_mm_add_epi32(vars, c2));
    const __m128 score = _mm_div_ps(_mm_mul_ps(n1, n2), _mm_mul_ps(d1, d2));
    lane01 = _mm_add_pd(lane01, _mm_cvtps_pd(score));
    lane23 = _mm_add_pd(lane23, _mm_cvtps_pd(_mm_movehl_ps(score, score)));
  }
  double lane[4];
  _mm_storeu_pd(lane, lane01);
  _mm_storeu_pd(lane + 2, lane23);
  ssim_row_end8_lanes(row0, row1, stride, i, windows, lane);
  return (lane[0] + lane[2]) + (lane[1] + lane[3]);
}

float ssim_row_end16_sse2(const int64_t* row0, const int64_t* row1, size_t stride, int32_t windows,
                          int64_t c1, int64_t c2) {
  const __m128i vc1 = _mm_set1_epi64x(c1), vc2 = _mm_set1_epi64x(c2);
  float row = 0;
  int32_t i = 0;
  for (; windows - i >= 2; i += 2) {
    __m128i s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = _mm_add_epi64(_mm_add_epi64(load(row0 + o), load(row0 + o + 1)),
                           _mm_add_epi64(load(row1 + o), load(row1 + o + 1)));
    }
    // s1, s2 < 2^32: PMULUDQ gives their full products.
    const __m128i s1s2 = _mm_mul_epu32(s[0], s[1]);
    const __m128i s1s1 = _mm_mul_epu32(s[0], s[0]), s2s2 = _mm_mul_epu32(s[1], s[1]);
    const __m128i vars = _mm_sub_epi64(_mm_sub_epi64(_mm_slli_epi64(s[2], 6), s1s1), s2s2);
    const __m128i covar = _mm_sub_epi64(_mm_slli_epi64(s[3], 6), s1s2);
    const __m128 n1 = to_float(_mm_add_epi64(_mm_add_epi64(s1s2, s1s2), vc1));
    const __m128 n2 = to_float(_mm_add_epi64(_mm_add_epi64(covar, covar), vc2));
    const __m128 d1 = to_float(_mm_add_epi64(_mm_add_epi64(s1s1, s2s2), vc1));
    const __m128 d2 = to_float(_mm_add_epi64(vars, vc2));
    float score[4];
    _mm_storeu_ps(score, _mm_div_ps(_mm_mul_ps(n1, n2), _mm_mul_ps(d1, d2)));
    row += score[0];
    row += score[1];
  }
  return ssim_row_end16_from(row0, row1, stride, i, windows, c1, c2, row);
}

}  // namespace vq
