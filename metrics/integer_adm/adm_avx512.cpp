// AVX-512 row kernels of ADM, bit-identical to the scalar ones: the AVX2 tier's arithmetic on
// twice the lanes, with mask registers where the AVX2 tier blends and narrows vector masks.
// GCC 12's AVX-512 header fills the unused source of its unmasked forms with an undefined
// register, which its own uninitialised-value warnings then report.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "metrics/integer_adm/adm.h"

namespace vq::adm {
namespace {

// Runs step(j) for j = first, first + n, ... while a whole step fits below end, then once at
// end - n when that leaves fewer than n columns and the step may start there: each step's outputs
// depend on its own inputs only, so the overlap writes the same values again. Returns the first
// column left undone.
template <int n, class Step>
inline int steps(int first, int end, Step step) {
  int j = first;
  for (; j + n <= end; j += n)
    step(j);
  if (j < end && end - n >= first) {
    step(end - n);
    j = end;
  }
  return j;
}

// The sum of the eight 64-bit lanes, in unsigned arithmetic: the sums are unsigned and may
// wrap as the scalar code's do (the library's reduction adds them as signed values).
inline uint64_t lane_sum(__m512i v) {
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, v);
  uint64_t sum = 0;
  for (const uint64_t l : lanes)
    sum += l;
  return sum;
}

// Two int16 taps in one 32-bit lane, for _mm512_madd_epi16 over interleaved rows.
inline __m512i tap_pair(int a, int b) {
  return _mm512_set1_epi32(
      int32_t(uint32_t(uint16_t(int16_t(a))) | (uint32_t(uint16_t(int16_t(b))) << 16)));
}

// The low taps (15826, 27411, 7345, -4240) and the high ones (-4240, -7345, 27411, -15826),
// paired over rows or samples (0, 1) and (2, 3).
struct TapPairs {
  __m512i lo01 = tap_pair(15826, 27411), lo23 = tap_pair(7345, -4240);
  __m512i hi01 = tap_pair(-4240, -7345), hi23 = tap_pair(27411, -15826);
};

// The vertical taps of 32 samples of four rows, rounded by `bias` and `shift` and saturated to
// 16 bits; unpack and pack both work within 128-bit lanes, so the order comes back as it was.
inline void taps16(const __m512i s[4], __m512i bias_lo, __m512i bias_hi, __m128i sh, int16_t* lo,
                   int16_t* hi) {
  const TapPairs c;
  const __m512i a01l = _mm512_unpacklo_epi16(s[0], s[1]), a01h = _mm512_unpackhi_epi16(s[0], s[1]);
  const __m512i a23l = _mm512_unpacklo_epi16(s[2], s[3]), a23h = _mm512_unpackhi_epi16(s[2], s[3]);
  auto sum = [&](__m512i c01, __m512i c23, __m512i x01, __m512i x23, __m512i bias) {
    const __m512i v = _mm512_add_epi32(_mm512_madd_epi16(x01, c01), _mm512_madd_epi16(x23, c23));
    return _mm512_sra_epi32(_mm512_add_epi32(v, bias), sh);
  };
  _mm512_storeu_si512(lo, _mm512_packs_epi32(sum(c.lo01, c.lo23, a01l, a23l, bias_lo),
                                             sum(c.lo01, c.lo23, a01h, a23h, bias_lo)));
  _mm512_storeu_si512(hi, _mm512_packs_epi32(sum(c.hi01, c.hi23, a01l, a23l, bias_hi),
                                             sum(c.hi01, c.hi23, a01h, a23h, bias_hi)));
}

void dwt_v8_avx512(const uint8_t* const rows[4], int w, int16_t* lo, int16_t* hi) {
  // The low taps sum to 46342; centring the samples on 128 folds into the bias.
  const __m512i bias_lo = _mm512_set1_epi32(-46342 * 128 + 128);
  const __m512i bias_hi = _mm512_set1_epi32(128);
  const __m128i sh = _mm_cvtsi32_si128(8);
  const int done = steps<32>(0, w, [&](int j) {
    __m512i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] =
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + j)));
    taps16(s, bias_lo, bias_hi, sh, lo + j, hi + j);
  });
  if (done < w) {
    const uint8_t* tail[4] = {rows[0] + done, rows[1] + done, rows[2] + done, rows[3] + done};
    scalar_kernels().dwt_v8(tail, w - done, lo + done, hi + done);
  }
}

void dwt_v16_avx512(const uint16_t* const rows[4], int w, int depth, int16_t* lo, int16_t* hi) {
  const int32_t half = 1 << (depth - 1);
  const __m512i bias_lo = _mm512_set1_epi32(-46342 * half + half);
  const __m512i bias_hi = _mm512_set1_epi32(half);
  const __m128i sh = _mm_cvtsi32_si128(depth);
  const int done = steps<32>(0, w, [&](int j) {
    __m512i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = _mm512_loadu_si512(rows[k] + j);
    taps16(s, bias_lo, bias_hi, sh, lo + j, hi + j);
  });
  if (done < w) {
    const uint16_t* tail[4] = {rows[0] + done, rows[1] + done, rows[2] + done, rows[3] + done};
    scalar_kernels().dwt_v16(tail, w - done, depth, lo + done, hi + done);
  }
}

// Scale 1's vertical taps of int16 rows, whole in 32 bits, 32 samples a step: the 128-bit lanes
// of the low and high unpacked halves are put back in sample order before they are stored.
void dwt_v16w_avx512(const int16_t* const rows[4], int w, int32_t* lo, int32_t* hi) {
  const TapPairs c;
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  const int done = steps<32>(0, w, [&](int j) {
    __m512i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = _mm512_loadu_si512(rows[k] + j);
    const __m512i a01l = _mm512_unpacklo_epi16(s[0], s[1]),
                  a01h = _mm512_unpackhi_epi16(s[0], s[1]);
    const __m512i a23l = _mm512_unpacklo_epi16(s[2], s[3]),
                  a23h = _mm512_unpackhi_epi16(s[2], s[3]);
    auto store = [&](__m512i c01, __m512i c23, int32_t* out) {
      const __m512i l =
          _mm512_add_epi32(_mm512_madd_epi16(a01l, c01), _mm512_madd_epi16(a23l, c23));
      const __m512i h =
          _mm512_add_epi32(_mm512_madd_epi16(a01h, c01), _mm512_madd_epi16(a23h, c23));
      _mm512_storeu_si512(out + j, _mm512_permutex2var_epi64(l, first, h));
      _mm512_storeu_si512(out + j + 16, _mm512_permutex2var_epi64(l, second, h));
    };
    store(c.lo01, c.lo23, lo);
    store(c.hi01, c.hi23, hi);
  });
  if (done < w) {
    const int16_t* tail[4] = {rows[0] + done, rows[1] + done, rows[2] + done, rows[3] + done};
    scalar_kernels().dwt_v16w(tail, w - done, lo + done, hi + done);
  }
}

// Horizontal taps, 16 outputs a step: output j takes the pairs (2j-1, 2j) and (2j+1, 2j+2),
// adjacent 16-bit pairs of the rows loaded from 2j-1 and from 2j+1; the sums are saturated to
// 16 bits in order.
inline __m256i htaps(const int16_t* row, int j, __m512i c01, __m512i c23) {
  const __m512i a = _mm512_loadu_si512(row + 2 * j - 1);
  const __m512i b = _mm512_loadu_si512(row + 2 * j + 1);
  const __m512i v = _mm512_add_epi32(_mm512_madd_epi16(a, c01), _mm512_madd_epi16(b, c23));
  return _mm512_cvtsepi32_epi16(
      _mm512_srai_epi32(_mm512_add_epi32(v, _mm512_set1_epi32(32768)), 16));
}

void dwt_h16_avx512(const int16_t* lo, const int16_t* hi, int w, int16_t* a, int16_t* v, int16_t* h,
                    int16_t* d) {
  const TapPairs c;
  // Outputs 1 .. (w-1)/2 - 1 read inside the row; the scalar kernel does the ends.
  const int inner_end = (w - 1) / 2;
  auto store = [](int16_t* p, __m256i x) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), x); };
  const int done = steps<16>(1, inner_end, [&](int j) {
    store(a + j, htaps(lo, j, c.lo01, c.lo23));
    store(v + j, htaps(lo, j, c.hi01, c.hi23));
    store(h + j, htaps(hi, j, c.lo01, c.lo23));
    store(d + j, htaps(hi, j, c.hi01, c.hi23));
  });
  dwt_h16_edges(lo, hi, w, done, a, v, h, d);
}

// The taps of scales 1..3 in 64-bit lanes of the even 32-bit lanes' values; a right shift of at
// most 32 leaves the kept 32 bits the same whether it is arithmetic or logical.
inline __m512i taps64(__m512i s0, __m512i s1, __m512i s2, __m512i s3, const int32_t c[4],
                      __m512i add, __m128i sh) {
  __m512i v = _mm512_add_epi64(_mm512_mul_epi32(s0, _mm512_set1_epi32(c[0])),
                               _mm512_mul_epi32(s1, _mm512_set1_epi32(c[1])));
  v = _mm512_add_epi64(v, _mm512_mul_epi32(s2, _mm512_set1_epi32(c[2])));
  v = _mm512_add_epi64(v, _mm512_mul_epi32(s3, _mm512_set1_epi32(c[3])));
  return _mm512_srl_epi64(_mm512_add_epi64(v, add), sh);
}

constexpr int32_t kLo32[4] = {15826, 27411, 7345, -4240};
constexpr int32_t kHi32[4] = {-4240, -7345, 27411, -15826};
constexpr __mmask16 kOdd = 0xAAAA;

void dwt_v32_avx512(const int32_t* const rows[4], int w, int64_t add, int shift, int32_t* lo,
                    int32_t* hi) {
  const __m512i a = _mm512_set1_epi64(add);
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const int done = steps<16>(0, w, [&](int j) {
    __m512i e[4], o[4];
    for (int k = 0; k < 4; ++k) {
      e[k] = _mm512_loadu_si512(rows[k] + j);
      o[k] = _mm512_srli_epi64(e[k], 32);
    }
    auto both = [&](const int32_t c[4], int32_t* out) {
      const __m512i ev = taps64(e[0], e[1], e[2], e[3], c, a, sh);
      const __m512i od = taps64(o[0], o[1], o[2], o[3], c, a, sh);
      _mm512_storeu_si512(out + j, _mm512_mask_blend_epi32(kOdd, ev, _mm512_slli_epi64(od, 32)));
    };
    both(kLo32, lo);
    both(kHi32, hi);
  });
  if (done < w) {
    const int32_t* tail[4] = {rows[0] + done, rows[1] + done, rows[2] + done, rows[3] + done};
    scalar_kernels().dwt_v32(tail, w - done, add, shift, lo + done, hi + done);
  }
}

// Horizontal taps of scales 1..3, eight outputs a step: output j's taps 2j-1, 2j are the 64-bit
// lane of the row loaded from 2j-1 and 2j+1, 2j+2 that of the row loaded from 2j+1; each lane's
// low half is the output.
void dwt_h32_avx512(const int32_t* lo, const int32_t* hi, int w, int64_t add, int shift, int32_t* a,
                    int32_t* v, int32_t* h, int32_t* d) {
  const __m512i ad = _mm512_set1_epi64(add);
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const int inner_end = (w - 1) / 2;
  const int done = steps<8>(1, inner_end, [&](int j) {
    auto band = [&](const int32_t* row, const int32_t c[4], int32_t* out) {
      const __m512i x = _mm512_loadu_si512(row + 2 * j - 1);
      const __m512i y = _mm512_loadu_si512(row + 2 * j + 1);
      const __m512i r = taps64(x, _mm512_srli_epi64(x, 32), y, _mm512_srli_epi64(y, 32), c, ad, sh);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm512_cvtepi64_epi32(r));
    };
    band(lo, kLo32, a);
    band(lo, kHi32, v);
    band(hi, kLo32, h);
    band(hi, kHi32, d);
  });
  dwt_h32_edges(lo, hi, w, done, add, shift, a, v, h, d);
}

// Sixteen 32-bit lanes of int16 values, and back (the low 16 bits of each lane, as a cast keeps).
inline __m512i load16x16(const int16_t* p) {
  return _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
inline void store16x16(int16_t* p, __m512i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtepi32_epi16(v));
}
// The low 16 bits of each lane, sign-extended.
inline __m512i to16(__m512i v) {
  return _mm512_srai_epi32(_mm512_slli_epi32(v, 16), 16);
}

// Scale 0's contrast sensitivity weights, sixteen columns a step, as csf16_avx2 makes them.
void csf16_avx512(const CsfRow16& row, int j0, int j1) {
  __m512i rf[3], add[3];
  __m128i sh[3];
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm512_set1_epi32(row.rf[t]);
    add[t] = _mm512_set1_epi32(row.add[t]);
    sh[t] = _mm_cvtsi32_si128(row.shift[t]);
  }
  const __m512i k4369 = _mm512_set1_epi32(4369), k2048 = _mm512_set1_epi32(2048);
  const int done = steps<16>(j0, j1, [&](int j) {
    __m512i tot = _mm512_setzero_si512(), own = tot;
    for (int t = 0; t < 3; ++t) {
      const __m512i xv = to16(_mm512_sra_epi32(
          _mm512_add_epi32(_mm512_mullo_epi32(load16x16(row.src[t] + j), rf[t]), add[t]), sh[t]));
      const __m512i p = _mm512_mullo_epi32(_mm512_abs_epi32(xv), k4369);
      tot = _mm512_add_epi32(tot, to16(_mm512_srai_epi32(_mm512_add_epi32(p, k2048), 12)));
      own = _mm512_add_epi32(
          own, to16(_mm512_srai_epi32(_mm512_add_epi32(_mm512_add_epi32(p, p), k2048), 12)));
    }
    _mm512_storeu_si512(row.tot + j, tot);
    _mm512_storeu_si512(row.own + j, own);
  });
  if (done < j1) scalar_kernels().csf16(row, done, j1);
}

// Whether the cube terms of masked values below 2^29 may be taken in unsigned products and
// logical shifts (see small_cubes).
inline bool small_cubes_apply(int sh_sq, int64_t add_sq, int64_t add_cub) {
  return sh_sq >= 29 && add_sq >= 0 && add_sq <= (int64_t(1) << 29) && add_cub >= 0 &&
         add_cub < (int64_t(1) << 62);
}
// The summed cube terms of sixteen masked values below 2^29, where the square's shift is at least
// 29 and its rounding at most 2^29: each square stays below 2^29 and each product below 2^58.
inline __m512i small_cubes(__m512i v, __m512i add_sq, __m128i sh_sq, __m512i add_cub,
                           __m128i sh_cub) {
  const __m512i v_odd = _mm512_srli_epi64(v, 32);
  const __m512i sq_even = _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(v, v), add_sq), sh_sq);
  const __m512i sq_odd =
      _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(v_odd, v_odd), add_sq), sh_sq);
  return _mm512_add_epi64(
      _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(sq_even, v), add_cub), sh_cub),
      _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(sq_odd, v_odd), add_cub), sh_cub));
}
// The general cube terms: the masked value is never negative, so its square is an unsigned
// product; the square, kept in 32 bits as the scalar code keeps it, may be negative, so the
// cube is a signed product and an arithmetic shift.
inline __m512i cubes(__m512i v, __m512i add_sq, __m128i sh_sq, __m512i add_cub, __m128i sh_cub) {
  const __m512i v_odd = _mm512_srli_epi64(v, 32);
  const __m512i sq_even = _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(v, v), add_sq), sh_sq);
  const __m512i sq_odd =
      _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(v_odd, v_odd), add_sq), sh_sq);
  return _mm512_add_epi64(
      _mm512_sra_epi64(_mm512_add_epi64(_mm512_mul_epi32(sq_even, v), add_cub), sh_cub),
      _mm512_sra_epi64(_mm512_add_epi64(_mm512_mul_epi32(sq_odd, v_odd), add_cub), sh_cub));
}
// Whether every lane of the three non-negative masked rows is below 2^29.
inline bool all_small(const __m512i v[3]) {
  const __m512i any = _mm512_or_si512(_mm512_or_si512(v[0], v[1]), v[2]);
  return _mm512_test_epi32_mask(any, _mm512_set1_epi32(~((1 << 29) - 1))) == 0;
}

// Scale 0's contrast masking, sixteen columns a step, as mask_row16_avx2 does it.
int mask_row16_avx512(const MaskRow16& m, int j0, int j1, int64_t inner[3]) {
  __m512i rf[3], add_sq[3], add_cub[3], acc[3];
  __m128i sh_sub[3], sh_sq[3], sh_cub[3];
  bool small = true;
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm512_set1_epi32(m.rf[t]);
    add_sq[t] = _mm512_set1_epi64(m.add_sq[t]);
    add_cub[t] = _mm512_set1_epi64(m.add_cub[t]);
    sh_sub[t] = _mm_cvtsi32_si128(m.sh_sub[t]);
    sh_sq[t] = _mm_cvtsi32_si128(m.sh_sq[t]);
    sh_cub[t] = _mm_cvtsi32_si128(int(m.sh_cub[t]));
    acc[t] = _mm512_setzero_si512();
    small = small && small_cubes_apply(m.sh_sq[t], m.add_sq[t], m.add_cub[t]);
  }
  int j = j0;
  for (; j + 16 <= j1; j += 16) {
    const __m512i ring = _mm512_add_epi32(
        _mm512_sub_epi32(_mm512_add_epi32(_mm512_add_epi32(_mm512_loadu_si512(m.col + j - 1),
                                                           _mm512_loadu_si512(m.col + j)),
                                          _mm512_loadu_si512(m.col + j + 1)),
                         _mm512_loadu_si512(m.sm + j)),
        _mm512_loadu_si512(m.own + j));
    __m512i vs[3];
    for (int t = 0; t < 3; ++t) {
      const __m512i v = _mm512_abs_epi32(_mm512_mullo_epi32(load16x16(m.src[t] + j), rf[t]));
      vs[t] = _mm512_max_epi32(_mm512_sub_epi32(v, _mm512_sll_epi32(ring, sh_sub[t])),
                               _mm512_setzero_si512());
    }
    const bool fast = small && all_small(vs);
    for (int t = 0; t < 3; ++t)
      acc[t] = _mm512_add_epi64(
          acc[t], fast ? small_cubes(vs[t], add_sq[t], sh_sq[t], add_cub[t], sh_cub[t])
                       : cubes(vs[t], add_sq[t], sh_sq[t], add_cub[t], sh_cub[t]));
  }
  for (int t = 0; t < 3; ++t)
    inner[t] += lane_sum(acc[t]);
  return j;
}

// 2^30 / m truncated for m in 1 .. 32768, as the reciprocal table holds it: the double quotient
// truncated (see the AVX2 tier); lanes with m = 0 are not used.
inline __m512i reciprocal(__m512i m) {
  const __m512d num = _mm512_set1_pd(1073741824.0);
  const __m256i lo =
      _mm512_cvttpd_epi32(_mm512_div_pd(num, _mm512_cvtepi32_pd(_mm512_castsi512_si256(m))));
  const __m256i hi =
      _mm512_cvttpd_epi32(_mm512_div_pd(num, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(m, 1))));
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// A float of each lane's value, where the lane holds a sum in 0 .. 2^31 or -2^31 .. 2^31 that
// has wrapped to -2^31 only at 2^31.
inline __m512 float_of_wrapped(__m512i v) {
  return _mm512_mask_mov_ps(_mm512_cvtepi32_ps(v),
                            _mm512_cmpeq_epi32_mask(v, _mm512_set1_epi32(INT32_MIN)),
                            _mm512_set1_ps(2147483648.0f));
}

// The low and high eight lanes of a float vector, as doubles.
inline __m512d low_pd(__m512 v) {
  return _mm512_cvtps_pd(_mm512_castps512_ps256(v));
}
inline __m512d high_pd(__m512 v) {
  return _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(v), 1)));
}
inline __m512d low_pd(__m512i v) {
  return _mm512_cvtepi32_pd(_mm512_castsi512_si256(v));
}
inline __m512d high_pd(__m512i v) {
  return _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(v, 1));
}

// The restored coefficients where `adjust` is set, as the angle test lets them grow: rst times
// the gain limit in doubles, up to the distorted value d (down to it for positive o), truncated
// as the scalar conversion is.
inline __m512i gain_limited(__m512i rst, __m512i o, __m512i d, __mmask16 adjust, __m512d gain) {
  if (adjust == 0) return rst;
  const __mmask16 pos = _mm512_cmpgt_epi32_mask(o, _mm512_setzero_si512());
  auto half = [&](__m512d g2, __m512d dd, __mmask8 p) {
    return _mm512_cvttpd_epi32(
        _mm512_mask_blend_pd(p, _mm512_max_pd(g2, dd), _mm512_min_pd(g2, dd)));
  };
  const __m256i lo = half(_mm512_mul_pd(low_pd(rst), gain), low_pd(d), __mmask8(pos & 0xff));
  const __m256i hi = half(_mm512_mul_pd(high_pd(rst), gain), high_pd(d), __mmask8(pos >> 8));
  return _mm512_mask_mov_epi32(rst, adjust, _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1));
}

// Lets the restored coefficients of the three orientations grow where the angle test passes
// and `open` is set. At a gain limit of 1 the test can only pull rst to d: it is then made only
// where that would change a value.
template <class AngleOf>
inline void limit_gain(__m512i rst[3], const __m512i o[3], const __m512i d[3], __mmask16 open[3],
                       bool unit_gain, __m512d gain, AngleOf&& angle_of) {
  if (!unit_gain) {
    const __mmask16 angle = angle_of();
    for (int t = 0; t < 3; ++t)
      rst[t] = gain_limited(rst[t], o[t], d[t], __mmask16(angle & open[t]), gain);
    return;
  }
  const __m512i zero = _mm512_setzero_si512();
  __m512i moved[3];
  __mmask16 any = 0;
  for (int t = 0; t < 3; ++t) {
    moved[t] =
        _mm512_mask_blend_epi32(_mm512_cmpgt_epi32_mask(o[t], zero), _mm512_max_epi32(rst[t], d[t]),
                                _mm512_min_epi32(rst[t], d[t]));
    open[t] = _mm512_mask_cmpneq_epi32_mask(open[t], moved[t], rst[t]);
    any = __mmask16(any | open[t]);
  }
  if (any) {
    const __mmask16 angle = angle_of();
    for (int t = 0; t < 3; ++t)
      rst[t] = _mm512_mask_mov_epi32(rst[t], __mmask16(angle & open[t]), moved[t]);
  }
}

// Scale 0's decoupling, sixteen columns a step, as decouple16_avx2 does it. A column's outputs
// depend on its own inputs only, so a row's last columns are done as one step over its last
// sixteen.
int decouple16_avx512(const DecoupleRow16& m, int j0, int j1) {
  const __m512d inv4096 = _mm512_set1_pd(1.0 / 4096.0);
  const __m512d cos_sq = _mm512_set1_pd(double(m.cos1_sq));
  const __m512d gain = _mm512_set1_pd(m.gain_limit);
  const __m512d zero_d = _mm512_setzero_pd();
  const __m512i zero = _mm512_setzero_si512();
  const __m512i unit = _mm512_set1_epi32(32768);
  const __m512i half32 = _mm512_set1_epi32(16384);
  const bool unit_gain = m.gain_limit == 1.0;
  auto step = [&](int j) {
    __m512i o[3], d[3];
    for (int t = 0; t < 3; ++t) {
      o[t] = load16x16(m.ref[t] + j);
      d[t] = load16x16(m.dis[t] + j);
    }
    // The angle test, in doubles, as the scalar code makes it.
    auto angle_of = [&]() -> __mmask16 {
      const __m512i dp =
          _mm512_add_epi32(_mm512_mullo_epi32(o[0], d[0]), _mm512_mullo_epi32(o[1], d[1]));
      const __m512i om =
          _mm512_add_epi32(_mm512_mullo_epi32(o[0], o[0]), _mm512_mullo_epi32(o[1], o[1]));
      const __m512i tm =
          _mm512_add_epi32(_mm512_mullo_epi32(d[0], d[0]), _mm512_mullo_epi32(d[1], d[1]));
      const __m512 dpf = float_of_wrapped(dp), omf = float_of_wrapped(om),
                   tmf = float_of_wrapped(tm);
      auto test = [&](__m512d dpd, __m512d omd, __m512d tmd) {
        const __m512d dd = _mm512_mul_pd(dpd, inv4096);
        const __m512d rhs = _mm512_mul_pd(_mm512_mul_pd(cos_sq, _mm512_mul_pd(omd, inv4096)),
                                          _mm512_mul_pd(tmd, inv4096));
        return __mmask8(_mm512_cmp_pd_mask(dd, zero_d, _CMP_GE_OQ) &
                        _mm512_cmp_pd_mask(_mm512_mul_pd(dd, dd), rhs, _CMP_GE_OQ));
      };
      const __mmask8 lo = test(low_pd(dpf), low_pd(omf), low_pd(tmf));
      const __mmask8 hi = test(high_pd(dpf), high_pd(omf), high_pd(tmf));
      return __mmask16(lo | (unsigned(hi) << 8));
    };
    __m512i rst[3];
    __mmask16 open[3];
    for (int t = 0; t < 3; ++t) {
      // The quotient (rec * d + 2^14) >> 15, clamped to 0 .. 32768, in 32-bit lanes: it is 0
      // where o and d differ in sign, 32768 where |d| >= 2 |o| (rec * |d| is then at least
      // 2^31 - 2^16), and below that rec * |d| < 2^31, so the product of the magnitudes serves.
      const __mmask16 o_zero = _mm512_cmpeq_epi32_mask(o[t], zero);
      const __m512i mo = _mm512_abs_epi32(o[t]), md = _mm512_abs_epi32(d[t]);
      const __mmask16 same = _mm512_cmpge_epi32_mask(_mm512_xor_si512(o[t], d[t]), zero);
      const __mmask16 far = _mm512_cmpge_epi32_mask(md, _mm512_add_epi32(mo, mo));
      const __m512i q = _mm512_min_epu32(
          _mm512_srli_epi32(_mm512_add_epi32(_mm512_mullo_epi32(reciprocal(mo), md), half32), 15),
          unit);
      __m512i k = _mm512_maskz_mov_epi32(same, _mm512_mask_mov_epi32(q, far, unit));
      k = _mm512_mask_mov_epi32(k, o_zero, unit);
      rst[t] = _mm512_srai_epi32(_mm512_add_epi32(_mm512_mullo_epi32(k, o[t]), half32), 15);
      open[t] = _mm512_mask_cmpgt_epi32_mask(__mmask16(~o_zero), k, zero);
    }
    limit_gain(rst, o, d, open, unit_gain, gain, angle_of);
    for (int t = 0; t < 3; ++t) {
      store16x16(m.r[t] + j, rst[t]);
      store16x16(m.a[t] + j, _mm512_sub_epi32(d[t], rst[t]));
    }
  };
  return steps<16>(j0, j1, step);
}

// x in 64-bit products, even and odd lanes apart, as csf32_avx2 takes them: the factor may pass
// 2^31, so its signed product is corrected by the coefficient times 2^32; f is the high half of
// a signed product.
void csf32_avx512(const int32_t* src, int n, uint32_t rf, int32_t* x, int32_t* f) {
  const __m512i r = _mm512_set1_epi32(int32_t(rf));
  const bool big = rf >= 0x80000000u;
  const __m512i round = _mm512_set1_epi64(1 << 27);
  const __m512i k = _mm512_set1_epi32(143165577);
  const __m512i add_f = _mm512_set1_epi64(INT32_MIN);
  const int done = steps<16>(0, n, [&](int j) {
    const __m512i s = _mm512_loadu_si512(src + j);
    auto weigh = [&](__m512i v) {
      __m512i p = _mm512_mul_epi32(v, r);
      if (big) p = _mm512_add_epi64(p, _mm512_slli_epi64(v, 32));
      return _mm512_srli_epi64(_mm512_add_epi64(p, round), 28);
    };
    const __m512i xv = _mm512_mask_blend_epi32(
        kOdd, weigh(s), _mm512_slli_epi64(weigh(_mm512_srli_epi64(s, 32)), 32));
    _mm512_storeu_si512(x + j, xv);
    const __m512i m = _mm512_abs_epi32(xv);
    const __m512i fe = _mm512_add_epi64(_mm512_mul_epi32(m, k), add_f);
    const __m512i fo = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(m, 32), k), add_f);
    _mm512_storeu_si512(f + j, _mm512_mask_blend_epi32(kOdd, _mm512_srli_epi64(fe, 32), fo));
  });
  if (done < n) scalar_kernels().csf32(src + done, n - done, rf, x + done, f + done);
}

// The masking of scales 1..3, sixteen columns a step, as mask_row32_avx2 does it.
int mask_row32_avx512(const MaskRow32& m, int j0, int j1, int64_t inner[3]) {
  const __m512i add_sq = _mm512_set1_epi64(m.add_sq), add_cub = _mm512_set1_epi64(m.add_cub);
  const __m128i sh_sq = _mm_cvtsi32_si128(m.sh_sq), sh_cub = _mm_cvtsi32_si128(int(m.sh_cub));
  const __m512i k = _mm512_set1_epi32(286331153), add_f = _mm512_set1_epi64(INT32_MIN);
  const __m512i round = _mm512_set1_epi64(1 << 27);
  const bool small = small_cubes_apply(m.sh_sq, m.add_sq, m.add_cub);
  __m512i rf[3], acc[3];
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm512_set1_epi32(int32_t(m.rf[t]));
    acc[t] = _mm512_setzero_si512();
  }
  int j = j0;
  for (; j + 16 <= j1; j += 16) {
    __m512i ring = _mm512_sub_epi32(
        _mm512_add_epi32(
            _mm512_add_epi32(_mm512_loadu_si512(m.col + j - 1), _mm512_loadu_si512(m.col + j)),
            _mm512_loadu_si512(m.col + j + 1)),
        _mm512_loadu_si512(m.sm + j));
    for (int t = 0; t < 3; ++t) {
      const __m512i a = _mm512_abs_epi32(_mm512_loadu_si512(m.x[t] + j));
      const __m512i qe = _mm512_add_epi64(_mm512_mul_epi32(a, k), add_f);
      const __m512i qo = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(a, 32), k), add_f);
      ring = _mm512_add_epi32(ring, _mm512_mask_blend_epi32(kOdd, _mm512_srli_epi64(qe, 32), qo));
    }
    __m512i vs[3];
    for (int t = 0; t < 3; ++t) {
      const bool big = m.rf[t] >= 0x80000000u;
      auto weigh = [&](__m512i s) {
        __m512i p = _mm512_mul_epi32(s, rf[t]);
        if (big) p = _mm512_add_epi64(p, _mm512_slli_epi64(s, 32));
        return _mm512_srli_epi64(_mm512_add_epi64(p, round), 28);
      };
      const __m512i s = _mm512_loadu_si512(m.src[t] + j);
      const __m512i v = _mm512_mask_blend_epi32(
          kOdd, weigh(s), _mm512_slli_epi64(weigh(_mm512_srli_epi64(s, 32)), 32));
      vs[t] = _mm512_max_epi32(_mm512_sub_epi32(_mm512_abs_epi32(v), ring), _mm512_setzero_si512());
    }
    const bool fast = small && all_small(vs);
    for (int t = 0; t < 3; ++t)
      acc[t] = _mm512_add_epi64(acc[t], fast ? small_cubes(vs[t], add_sq, sh_sq, add_cub, sh_cub)
                                             : cubes(vs[t], add_sq, sh_sq, add_cub, sh_cub));
  }
  for (int t = 0; t < 3; ++t)
    inner[t] += lane_sum(acc[t]);
  return j;
}

// |c|^3 in 64-bit lanes: the square of a 16-bit magnitude fits 32 bits, its product with the
// magnitude is an unsigned 32 x 32 one.
uint64_t cube_sum16_avx512(const int16_t* row, int n) {
  __m512i acc = _mm512_setzero_si512();
  int j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512i v = _mm512_abs_epi32(load16x16(row + j));
    const __m512i sq = _mm512_mullo_epi32(v, v);
    acc = _mm512_add_epi64(acc, _mm512_mul_epu32(sq, v));
    acc = _mm512_add_epi64(acc,
                           _mm512_mul_epu32(_mm512_srli_epi64(sq, 32), _mm512_srli_epi64(v, 32)));
  }
  return lane_sum(acc) + scalar_kernels().cube_sum16(row + j, n - j);
}

// The terms of cube_sum32 in 64-bit lanes, even and odd lanes apart. The rounded square may pass
// 32 bits by one, so its product with the magnitude takes its high half too.
uint64_t cube_sum32_avx512(const int32_t* row, int n, int sh_sq, uint64_t add_sq, int sh_cub,
                           uint64_t add_cub) {
  const __m512i asq = _mm512_set1_epi64(int64_t(add_sq)),
                acub = _mm512_set1_epi64(int64_t(add_cub));
  const __m128i ssq = _mm_cvtsi32_si128(sh_sq), scub = _mm_cvtsi32_si128(sh_cub);
  __m512i acc = _mm512_setzero_si512();
  auto term = [&](__m512i v) {  // v: magnitudes in the low 32 bits of each 64-bit lane
    const __m512i q = _mm512_srl_epi64(_mm512_add_epi64(_mm512_mul_epu32(v, v), asq), ssq);
    const __m512i p =
        _mm512_add_epi64(_mm512_mul_epu32(q, v),
                         _mm512_slli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(q, 32), v), 32));
    return _mm512_srl_epi64(_mm512_add_epi64(p, acub), scub);
  };
  int j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512i v = _mm512_abs_epi32(_mm512_loadu_si512(row + j));
    acc = _mm512_add_epi64(acc, _mm512_add_epi64(term(v), term(_mm512_srli_epi64(v, 32))));
  }
  return lane_sum(acc) +
         scalar_kernels().cube_sum32(row + j, n - j, sh_sq, add_sq, sh_cub, add_cub);
}

// double(float(v)) of eight int64 lanes: the conversion of an int64 to float rounds it once to
// nearest, as the scalar conversion does.
inline __m512d double_of_float_of(__m512i v) {
  return _mm512_cvtps_pd(_mm512_cvtepi64_ps(v));
}

// The decoupling of scales 1..3, sixteen columns a step, even and odd columns apart where 64-bit
// lanes are needed, as decouple32_avx2 takes it; the angle test's sums are rounded to float
// straight from 64 bits, so no step is left to the scalar code for a rounding tie. A row's last
// columns are done as one step over its last sixteen.
int decouple32_avx512(const DecoupleRow32& m, int j0, int j1) {
  const __m512d inv4096 = _mm512_set1_pd(1.0 / 4096.0);
  const __m512d cos_sq = _mm512_set1_pd(double(m.cos1_sq));
  const __m512d gain = _mm512_set1_pd(m.gain_limit);
  const __m512d zero_d = _mm512_setzero_pd();
  const __m512i zero = _mm512_setzero_si512();
  const __m512i unit = _mm512_set1_epi32(32768);
  const __m512i unit64 = _mm512_set1_epi64(32768);
  const __m512i one64 = _mm512_set1_epi64(1);
  const __m512i half64 = _mm512_set1_epi64(16384);
  const __m512i low32 = _mm512_set1_epi64(0xffffffff);
  const bool unit_gain = m.gain_limit == 1.0;
  auto step = [&](int j) {
    __m512i o[3], d[3];
    for (int t = 0; t < 3; ++t) {
      o[t] = _mm512_loadu_si512(m.ref[t] + j);
      d[t] = _mm512_loadu_si512(m.dis[t] + j);
    }
    auto angle_of = [&]() -> __mmask16 {
      __m512i angle_lanes[2];
      for (int odd = 0; odd < 2; ++odd) {
        auto lanes = [&](__m512i v) { return odd ? _mm512_srli_epi64(v, 32) : v; };
        const __m512i oh = lanes(o[0]), ov = lanes(o[1]), th = lanes(d[0]), tv = lanes(d[1]);
        auto scaled = [&](__m512i a, __m512i b, __m512i c, __m512i e) {
          const __m512i sum = _mm512_add_epi64(_mm512_mul_epi32(a, b), _mm512_mul_epi32(c, e));
          return _mm512_mul_pd(double_of_float_of(sum), inv4096);
        };
        const __m512d dd = scaled(oh, th, ov, tv);
        const __m512d rhs =
            _mm512_mul_pd(_mm512_mul_pd(cos_sq, scaled(oh, oh, ov, ov)), scaled(th, th, tv, tv));
        angle_lanes[odd] =
            _mm512_movm_epi64(__mmask8(_mm512_cmp_pd_mask(dd, zero_d, _CMP_GE_OQ) &
                                       _mm512_cmp_pd_mask(_mm512_mul_pd(dd, dd), rhs, _CMP_GE_OQ)));
      }
      return _mm512_movepi32_mask(_mm512_mask_blend_epi32(kOdd, angle_lanes[0], angle_lanes[1]));
    };
    __m512i rst[3];
    __mmask16 open[3];
    for (int t = 0; t < 3; ++t) {
      // |o| as unsigned (2^31 for INT32_MIN), and its shift: floor(log2 |o|) - 14 past 2^15.
      const __m512i mag = _mm512_abs_epi32(o[t]);
      const __mmask16 big = _mm512_test_epi32_mask(mag, _mm512_set1_epi32(~0x7fff));
      const __m512i bits =
          _mm512_castps_si512(_mm512_cvtepi32_ps(_mm512_and_si512(mag, _mm512_set1_epi32(~0xff))));
      const __m512i log2 =
          _mm512_sub_epi32(_mm512_and_si512(_mm512_srli_epi32(bits, 23), _mm512_set1_epi32(0xff)),
                           _mm512_set1_epi32(127));
      const __m512i sh = _mm512_maskz_sub_epi32(big, log2, _mm512_set1_epi32(14));
      const __m512i round_den = _mm512_maskz_sllv_epi32(big, _mm512_set1_epi32(1),
                                                        _mm512_sub_epi32(sh, _mm512_set1_epi32(1)));
      const __m512i den = _mm512_srlv_epi32(_mm512_add_epi32(mag, round_den), sh);
      __m512i rec = reciprocal(den);
      rec = _mm512_mask_sub_epi32(rec, _mm512_cmplt_epi32_mask(o[t], zero), zero, rec);
      // (rec * d + 2^(14 + sh)) >> (15 + sh), clamped to 0 .. 32768, even and odd lanes apart.
      auto quotient = [&](__m512i r, __m512i dv, __m512i s) {
        const __m512i x =
            _mm512_add_epi64(_mm512_mul_epi32(r, dv),
                             _mm512_sllv_epi64(one64, _mm512_add_epi64(s, _mm512_set1_epi64(14))));
        const __m512i q = _mm512_min_epi64(
            _mm512_srlv_epi64(x, _mm512_add_epi64(s, _mm512_set1_epi64(15))), unit64);
        return _mm512_mask_mov_epi64(q, _mm512_cmplt_epi64_mask(x, zero), zero);
      };
      const __m512i ke = quotient(rec, d[t], _mm512_and_si512(sh, low32));
      const __m512i ko = quotient(_mm512_srli_epi64(rec, 32), _mm512_srli_epi64(d[t], 32),
                                  _mm512_srli_epi64(sh, 32));
      const __mmask16 o_zero = _mm512_cmpeq_epi32_mask(o[t], zero);
      const __m512i k = _mm512_mask_mov_epi32(
          _mm512_mask_blend_epi32(kOdd, ke, _mm512_slli_epi64(ko, 32)), o_zero, unit);
      // (k * o + 2^14) >> 15 fits 32 bits, which a logical shift leaves as the arithmetic one.
      const __m512i re = _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epi32(k, o[t]), half64), 15);
      const __m512i ro = _mm512_srli_epi64(
          _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(k, 32), _mm512_srli_epi64(o[t], 32)),
                           half64),
          15);
      rst[t] = _mm512_mask_blend_epi32(kOdd, re, _mm512_slli_epi64(ro, 32));
      open[t] = _mm512_mask_cmpgt_epi32_mask(__mmask16(~o_zero), k, zero);
    }
    limit_gain(rst, o, d, open, unit_gain, gain, angle_of);
    for (int t = 0; t < 3; ++t) {
      _mm512_storeu_si512(m.r[t] + j, rst[t]);
      _mm512_storeu_si512(m.a[t] + j, _mm512_sub_epi32(d[t], rst[t]));
    }
  };
  return steps<16>(j0, j1, step);
}

}  // namespace

void use_avx512(Kernels* k) {
  k->dwt_v8 = dwt_v8_avx512;
  k->dwt_v16 = dwt_v16_avx512;
  k->dwt_v16w = dwt_v16w_avx512;
  k->dwt_h16 = dwt_h16_avx512;
  k->dwt_v32 = dwt_v32_avx512;
  k->dwt_h32 = dwt_h32_avx512;
  k->csf16 = csf16_avx512;
  k->mask_row16 = mask_row16_avx512;
  k->decouple16 = decouple16_avx512;
  k->decouple32 = decouple32_avx512;
  k->csf32 = csf32_avx512;
  k->mask_row32 = mask_row32_avx512;
  k->cube_sum16 = cube_sum16_avx512;
  k->cube_sum32 = cube_sum32_avx512;
}

}  // namespace vq::adm
