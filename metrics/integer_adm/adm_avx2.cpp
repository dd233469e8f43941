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

// Scale 1's vertical taps of int16 rows, whole in 32 bits, 16 samples a step: the pairwise
// multiply-adds of taps16 without its rounding; unpack interleaves within 128-bit lanes, so the
// halves are put back in order before they are stored.
void dwt_v16w_avx2(const int16_t* const rows[4], int w, int32_t* lo, int32_t* hi) {
  const __m256i lo01 = _mm256_set1_epi32(int32_t(uint32_t(uint16_t(15826)) | (27411u << 16)));
  const __m256i lo23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(7345)) | (uint32_t(uint16_t(int16_t(-4240))) << 16)));
  const __m256i hi01 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(int16_t(-4240))) | (uint32_t(uint16_t(int16_t(-7345))) << 16)));
  const __m256i hi23 = _mm256_set1_epi32(
      int32_t(uint32_t(uint16_t(27411)) | (uint32_t(uint16_t(int16_t(-15826))) << 16)));
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i s[4];
    for (int k = 0; k < 4; ++k)
      s[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + j));
    const __m256i a01l = _mm256_unpacklo_epi16(s[0], s[1]),
                  a01h = _mm256_unpackhi_epi16(s[0], s[1]);
    const __m256i a23l = _mm256_unpacklo_epi16(s[2], s[3]),
                  a23h = _mm256_unpackhi_epi16(s[2], s[3]);
    auto store = [&](__m256i c01, __m256i c23, int32_t* out) {
      const __m256i l =
          _mm256_add_epi32(_mm256_madd_epi16(a01l, c01), _mm256_madd_epi16(a23l, c23));
      const __m256i h =
          _mm256_add_epi32(_mm256_madd_epi16(a01h, c01), _mm256_madd_epi16(a23h, c23));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                          _mm256_permute2x128_si256(l, h, 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j + 8),
                          _mm256_permute2x128_si256(l, h, 0x31));
    };
    store(lo01, lo23, lo);
    store(hi01, hi23, hi);
  }
  if (j < w) {
    const int16_t* tail[4] = {rows[0] + j, rows[1] + j, rows[2] + j, rows[3] + j};
    scalar_kernels().dwt_v16w(tail, w - j, lo + j, hi + j);
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

// The sum of the four 64-bit lanes, wrapping as unsigned sums do.
inline uint64_t lane_sum(__m256i v) {
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// Arithmetic shift right of 64-bit lanes, which AVX2 lacks: the logical shift of the value with
// its sign folded away, the sign folded back.
inline __m256i sra64(__m256i x, __m128i s) {
  const __m256i sign = _mm256_cmpgt_epi64(_mm256_setzero_si256(), x);
  return _mm256_xor_si256(_mm256_srl_epi64(_mm256_xor_si256(x, sign), s), sign);
}

// The summed cube terms of eight masked values below 2^29, where the square's shift is at least
// 29 and its rounding at most 2^29: each square then stays below 2^29 and each product below
// 2^58, so unsigned products and logical shifts give the scalar code's signed values.
inline bool small_cubes_apply(int sh_sq, int64_t add_sq, int64_t add_cub) {
  return sh_sq >= 29 && add_sq >= 0 && add_sq <= (int64_t(1) << 29) && add_cub >= 0 &&
         add_cub < (int64_t(1) << 62);
}
inline __m256i small_cubes(__m256i v, __m256i add_sq, __m128i sh_sq, __m256i add_cub,
                           __m128i sh_cub) {
  const __m256i v_odd = _mm256_srli_epi64(v, 32);
  const __m256i sq_even = _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v, v), add_sq), sh_sq);
  const __m256i sq_odd =
      _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v_odd, v_odd), add_sq), sh_sq);
  return _mm256_add_epi64(
      _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(sq_even, v), add_cub), sh_cub),
      _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(sq_odd, v_odd), add_cub), sh_cub));
}
// Whether every lane of the three masked rows is below 2^29.
inline bool all_small(const __m256i v[3]) {
  const __m256i limit = _mm256_set1_epi32((1 << 29) - 1);
  const __m256i over = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpgt_epi32(v[0], limit), _mm256_cmpgt_epi32(v[1], limit)),
      _mm256_cmpgt_epi32(v[2], limit));
  return _mm256_testz_si256(over, over);
}

// Scale 0's contrast masking, eight columns a step in 32-bit lanes; the square and the cube
// are taken in 64 bits, even and odd lanes apart (the masked value is never negative, so its
// square is an unsigned product; the square, truncated to 32 bits as the scalar code keeps
// it, may be negative, so the cube is a signed one).
int mask_row16_avx2(const MaskRow16& m, int j0, int j1, int64_t inner[3]) {
  const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
  __m256i rf[3], add_sq[3], add_cub[3];
  __m128i sh_sub[3], sh_sq[3], sh_cub[3];
  __m256i acc[3];
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm256_set1_epi32(m.rf[t]);
    add_sq[t] = _mm256_set1_epi64x(m.add_sq[t]);
    add_cub[t] = _mm256_set1_epi64x(m.add_cub[t]);
    sh_sub[t] = _mm_cvtsi32_si128(m.sh_sub[t]);
    sh_sq[t] = _mm_cvtsi32_si128(m.sh_sq[t]);
    sh_cub[t] = _mm_cvtsi32_si128(int(m.sh_cub[t]));
    acc[t] = _mm256_setzero_si256();
  }
  bool small = true;
  for (int t = 0; t < 3; ++t)
    small = small && small_cubes_apply(m.sh_sq[t], m.add_sq[t], m.add_cub[t]);
  auto load32 = [](const uint32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  };
  auto load16 = [](const int16_t* p) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  };
  int j = j0;
  for (; j + 8 <= j1; j += 8) {
    const __m256i ring = _mm256_add_epi32(
        _mm256_sub_epi32(
            _mm256_add_epi32(_mm256_add_epi32(load32(m.col + j - 1), load32(m.col + j)),
                             load32(m.col + j + 1)),
            load32(m.sm + j)),
        load32(m.own + j));
    __m256i vs[3];
    for (int t = 0; t < 3; ++t) {
      const __m256i v = _mm256_abs_epi32(_mm256_mullo_epi32(load16(m.src[t] + j), rf[t]));
      vs[t] = _mm256_max_epi32(_mm256_sub_epi32(v, _mm256_sll_epi32(ring, sh_sub[t])),
                               _mm256_setzero_si256());
    }
    if (small && all_small(vs)) {
      for (int t = 0; t < 3; ++t)
        acc[t] = _mm256_add_epi64(acc[t],
                                  small_cubes(vs[t], add_sq[t], sh_sq[t], add_cub[t], sh_cub[t]));
      continue;
    }
    for (int t = 0; t < 3; ++t) {
      const __m256i v = vs[t];
      const __m256i v_odd = _mm256_srli_epi64(v, 32);
      const __m256i sq_even =
          _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v, v), add_sq[t]), sh_sq[t]);
      const __m256i sq_odd =
          _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v_odd, v_odd), add_sq[t]), sh_sq[t]);
      const __m256i cube_even =
          sra64(_mm256_add_epi64(_mm256_mul_epi32(_mm256_and_si256(sq_even, low32), v), add_cub[t]),
                sh_cub[t]);
      const __m256i cube_odd = sra64(
          _mm256_add_epi64(_mm256_mul_epi32(_mm256_and_si256(sq_odd, low32), v_odd), add_cub[t]),
          sh_cub[t]);
      acc[t] = _mm256_add_epi64(acc[t], _mm256_add_epi64(cube_even, cube_odd));
    }
  }
  for (int t = 0; t < 3; ++t)
    inner[t] += int64_t(lane_sum(acc[t]));
  return j;
}

// Eight 32-bit lanes of int16 values, and back (the low 16 bits of each lane, as a cast keeps).
inline __m256i load16x8(const int16_t* p) {
  return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline void store16x8(int16_t* p, __m256i v) {
  v = _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
  v = _mm256_permute4x64_epi64(_mm256_packs_epi32(v, v), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(v));
}

// A float of each lane's value, where the lane holds a sum in 0 .. 2^31 or -2^31 .. 2^31 that
// has wrapped to -2^31 only at 2^31.
inline __m256 float_of_wrapped(__m256i v) {
  const __m256i min = _mm256_set1_epi32(INT32_MIN);
  return _mm256_blendv_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(2147483648.0f),
                          _mm256_castsi256_ps(_mm256_cmpeq_epi32(v, min)));
}

// Two masks of four 64-bit lanes as one of eight 32-bit lanes.
inline __m256i narrow_masks(__m256d lo, __m256d hi) {
  const __m256i idx = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256i l = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(lo), idx);
  const __m256i h = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(hi), idx);
  return _mm256_inserti128_si256(l, _mm256_castsi256_si128(h), 1);
}

// 2^30 / m truncated, for m in 1 .. 32768, as the reciprocal table holds it, without a gather:
// the double quotient is within 2^-22 of the true one, which is an integer or at least 2^-15
// from the next, so truncating it gives the table's value (lanes with m = 0 are not used).
inline __m256i reciprocal(__m256i m) {
  const __m256d num = _mm256_set1_pd(1073741824.0);
  const __m128i lo =
      _mm256_cvttpd_epi32(_mm256_div_pd(num, _mm256_cvtepi32_pd(_mm256_castsi256_si128(m))));
  const __m128i hi =
      _mm256_cvttpd_epi32(_mm256_div_pd(num, _mm256_cvtepi32_pd(_mm256_extracti128_si256(m, 1))));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// The restored coefficients where `adjust` is set, as the angle test lets them grow: rst times
// the gain limit in doubles, up to the distorted value d (down to it for negative o), truncated
// as the scalar conversion is.
inline __m256i gain_limited(__m256i rst, __m256i o, __m256i d, __m256i adjust, __m256d gain) {
  if (_mm256_testz_si256(adjust, adjust)) return rst;
  __m128i part[2];
  for (int hlf = 0; hlf < 2; ++hlf) {
    auto half = [&](__m256i v) {
      return _mm256_cvtepi32_pd(hlf ? _mm256_extracti128_si256(v, 1) : _mm256_castsi256_si128(v));
    };
    const __m256d g2 = _mm256_mul_pd(half(rst), gain);
    const __m256d dd = half(d);
    const __m256d pos = _mm256_cmp_pd(half(o), _mm256_setzero_pd(), _CMP_GT_OQ);
    part[hlf] =
        _mm256_cvttpd_epi32(_mm256_blendv_pd(_mm256_max_pd(g2, dd), _mm256_min_pd(g2, dd), pos));
  }
  const __m256i adj = _mm256_inserti128_si256(_mm256_castsi128_si256(part[0]), part[1], 1);
  return _mm256_blendv_epi8(rst, adj, adjust);
}

// Scale 0's decoupling, eight columns a step. The angle test is the scalar code's, in doubles;
// the division by the reference coefficient is its reciprocal (the table's, computed) and a
// 64-bit product, even and odd lanes apart; the gain-limited values are taken in doubles and
// truncated, as the scalar conversions do, or at a gain limit of 1 as integers.
int decouple16_avx2(const DecoupleRow16& m, int j0, int j1) {
  const __m256d inv4096 = _mm256_set1_pd(1.0 / 4096.0);
  const __m256d cos_sq = _mm256_set1_pd(double(m.cos1_sq));
  const __m256d gain = _mm256_set1_pd(m.gain_limit);
  const __m256d zero_d = _mm256_setzero_pd();
  const __m256i zero = _mm256_setzero_si256();
  const __m256i unit = _mm256_set1_epi32(32768);
  const __m256i half64 = _mm256_set1_epi64x(16384);
  const __m256i half32 = _mm256_set1_epi32(16384);
  const bool unit_gain = m.gain_limit == 1.0;
  int j = j0;
  for (; j + 8 <= j1; j += 8) {
    __m256i o[3], d[3];
    for (int t = 0; t < 3; ++t) {
      o[t] = load16x8(m.ref[t] + j);
      d[t] = load16x8(m.dis[t] + j);
    }
    // The angle test, in doubles, as the scalar code makes it.
    auto angle_of = [&] {
      const __m256i dp =
          _mm256_add_epi32(_mm256_mullo_epi32(o[0], d[0]), _mm256_mullo_epi32(o[1], d[1]));
      const __m256i om =
          _mm256_add_epi32(_mm256_mullo_epi32(o[0], o[0]), _mm256_mullo_epi32(o[1], o[1]));
      const __m256i tm =
          _mm256_add_epi32(_mm256_mullo_epi32(d[0], d[0]), _mm256_mullo_epi32(d[1], d[1]));
      const __m256 dpf = float_of_wrapped(dp), omf = float_of_wrapped(om),
                   tmf = float_of_wrapped(tm);
      __m256d angle_half[2];
      for (int hlf = 0; hlf < 2; ++hlf) {
        auto half = [&](__m256 v) {
          return _mm256_cvtps_pd(hlf ? _mm256_extractf128_ps(v, 1) : _mm256_castps256_ps128(v));
        };
        const __m256d dd = _mm256_mul_pd(half(dpf), inv4096);
        const __m256d rhs = _mm256_mul_pd(_mm256_mul_pd(cos_sq, _mm256_mul_pd(half(omf), inv4096)),
                                          _mm256_mul_pd(half(tmf), inv4096));
        angle_half[hlf] = _mm256_and_pd(_mm256_cmp_pd(dd, zero_d, _CMP_GE_OQ),
                                        _mm256_cmp_pd(_mm256_mul_pd(dd, dd), rhs, _CMP_GE_OQ));
      }
      return narrow_masks(angle_half[0], angle_half[1]);
    };
    __m256i rst[3], open[3];
    for (int t = 0; t < 3; ++t) {
      const __m256i rec = _mm256_sign_epi32(reciprocal(_mm256_abs_epi32(o[t])), o[t]);
      const __m256i pe = _mm256_add_epi64(_mm256_mul_epi32(rec, d[t]), half64);
      const __m256i po = _mm256_add_epi64(
          _mm256_mul_epi32(_mm256_srli_epi64(rec, 32), _mm256_srli_epi64(d[t], 32)), half64);
      // Below 2^46 in magnitude: a non-negative quotient fits the low 31 bits of its lane.
      const __m256i neg =
          _mm256_blend_epi32(_mm256_cmpgt_epi64(zero, pe), _mm256_cmpgt_epi64(zero, po), 0xAA);
      const __m256i q = _mm256_blend_epi32(_mm256_srli_epi64(pe, 15),
                                           _mm256_slli_epi64(_mm256_srli_epi64(po, 15), 32), 0xAA);
      const __m256i o_zero = _mm256_cmpeq_epi32(o[t], zero);
      __m256i k = _mm256_andnot_si256(neg, _mm256_min_epi32(q, unit));
      k = _mm256_blendv_epi8(k, unit, o_zero);
      rst[t] = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(k, o[t]), half32), 15);
      open[t] = _mm256_andnot_si256(o_zero, _mm256_cmpgt_epi32(k, zero));
    }
    if (unit_gain) {
      // At a gain limit of 1 the angle test can only pull rst to d (down to it where o > 0, up
      // to it where o < 0), as integers: the test is made only where that would change a value.
      __m256i moved[3], any = zero;
      for (int t = 0; t < 3; ++t) {
        const __m256i to_d =
            _mm256_blendv_epi8(_mm256_max_epi32(rst[t], d[t]), _mm256_min_epi32(rst[t], d[t]),
                               _mm256_cmpgt_epi32(o[t], zero));
        open[t] = _mm256_andnot_si256(_mm256_cmpeq_epi32(to_d, rst[t]), open[t]);
        moved[t] = to_d;
        any = _mm256_or_si256(any, open[t]);
      }
      if (!_mm256_testz_si256(any, any)) {
        const __m256i angle = angle_of();
        for (int t = 0; t < 3; ++t)
          rst[t] = _mm256_blendv_epi8(rst[t], moved[t], _mm256_and_si256(angle, open[t]));
      }
    } else {
      const __m256i angle = angle_of();
      for (int t = 0; t < 3; ++t)
        rst[t] = gain_limited(rst[t], o[t], d[t], _mm256_and_si256(angle, open[t]), gain);
    }
    for (int t = 0; t < 3; ++t) {
      store16x8(m.r[t] + j, rst[t]);
      store16x8(m.a[t] + j, _mm256_sub_epi32(d[t], rst[t]));
    }
  }
  return j;
}

// The taps of scales 1..3 in 64-bit lanes: _mm256_mul_epi32 multiplies the even 32-bit lanes, so
// the odd ones are shifted down to them. A right shift of at most 32 leaves the kept 32 bits the
// same whether it is arithmetic or logical, so the logical one serves.
inline __m256i taps64(__m256i s0, __m256i s1, __m256i s2, __m256i s3, const int32_t c[4],
                      __m256i add, __m128i sh) {
  __m256i v = _mm256_add_epi64(_mm256_mul_epi32(s0, _mm256_set1_epi32(c[0])),
                               _mm256_mul_epi32(s1, _mm256_set1_epi32(c[1])));
  v = _mm256_add_epi64(v, _mm256_mul_epi32(s2, _mm256_set1_epi32(c[2])));
  v = _mm256_add_epi64(v, _mm256_mul_epi32(s3, _mm256_set1_epi32(c[3])));
  return _mm256_srl_epi64(_mm256_add_epi64(v, add), sh);
}

constexpr int32_t kLo32[4] = {15826, 27411, 7345, -4240};
constexpr int32_t kHi32[4] = {-4240, -7345, 27411, -15826};

void dwt_v32_avx2(const int32_t* const rows[4], int w, int64_t add, int shift, int32_t* lo,
                  int32_t* hi) {
  const __m256i a = _mm256_set1_epi64x(add);
  const __m128i sh = _mm_cvtsi32_si128(shift);
  int j = 0;
  for (; j + 8 <= w; j += 8) {
    __m256i e[4], o[4];
    for (int k = 0; k < 4; ++k) {
      e[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + j));
      o[k] = _mm256_srli_epi64(e[k], 32);
    }
    auto both = [&](const int32_t c[4], int32_t* out) {
      const __m256i ev = taps64(e[0], e[1], e[2], e[3], c, a, sh);
      const __m256i od = taps64(o[0], o[1], o[2], o[3], c, a, sh);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                          _mm256_blend_epi32(ev, _mm256_slli_epi64(od, 32), 0xAA));
    };
    both(kLo32, lo);
    both(kHi32, hi);
  }
  if (j < w) {
    const int32_t* tail[4] = {rows[0] + j, rows[1] + j, rows[2] + j, rows[3] + j};
    scalar_kernels().dwt_v32(tail, w - j, add, shift, lo + j, hi + j);
  }
}

// Horizontal taps of scales 1..3, four outputs a step: output j's taps 2j-1, 2j are the 64-bit
// lane of the row loaded from 2j-1 and 2j+1, 2j+2 that of the row loaded from 2j+1.
void dwt_h32_avx2(const int32_t* lo, const int32_t* hi, int w, int64_t add, int shift, int32_t* a,
                  int32_t* v, int32_t* h, int32_t* d) {
  const __m256i ad = _mm256_set1_epi64x(add);
  const __m128i sh = _mm_cvtsi32_si128(shift);
  const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const int inner_end = (w - 1) / 2;
  int j = 1;
  for (; j + 4 <= inner_end; j += 4) {
    auto band = [&](const int32_t* row, const int32_t c[4], int32_t* out) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * j - 1));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 2 * j + 1));
      const __m256i r = taps64(x, _mm256_srli_epi64(x, 32), y, _mm256_srli_epi64(y, 32), c, ad, sh);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j),
                       _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(r, low_dwords)));
    };
    band(lo, kLo32, a);
    band(lo, kHi32, v);
    band(hi, kLo32, h);
    band(hi, kHi32, d);
  }
  dwt_h32_edges(lo, hi, w, j, add, shift, a, v, h, d);
}

// Eight columns a step: each orientation's weighted coefficient kept in 16 bits, its |x| * 4369
// giving both terms (8738 |x| is twice it), each term kept in 16 bits and added in 32.
void csf16_avx2(const CsfRow16& row, int j0, int j1) {
  __m256i rf[3], add[3];
  __m128i sh[3];
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm256_set1_epi32(row.rf[t]);
    add[t] = _mm256_set1_epi32(row.add[t]);
    sh[t] = _mm_cvtsi32_si128(row.shift[t]);
  }
  const __m256i k4369 = _mm256_set1_epi32(4369), k2048 = _mm256_set1_epi32(2048);
  auto to16 = [](__m256i v) { return _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16); };
  int j = j0;
  for (; j + 8 <= j1; j += 8) {
    __m256i tot = _mm256_setzero_si256(), own = tot;
    for (int t = 0; t < 3; ++t) {
      const __m256i xv = to16(_mm256_sra_epi32(
          _mm256_add_epi32(_mm256_mullo_epi32(load16x8(row.src[t] + j), rf[t]), add[t]), sh[t]));
      const __m256i p = _mm256_mullo_epi32(_mm256_abs_epi32(xv), k4369);
      tot = _mm256_add_epi32(tot, to16(_mm256_srai_epi32(_mm256_add_epi32(p, k2048), 12)));
      own = _mm256_add_epi32(
          own, to16(_mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(p, p), k2048), 12)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row.tot + j), tot);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row.own + j), own);
  }
  if (j < j1) scalar_kernels().csf16(row, j, j1);
}

// x in 64-bit products, even and odd lanes apart: the factor may pass 2^31, so its signed
// product is corrected by the coefficient times 2^32; f is the high half of a signed product.
void csf32_avx2(const int32_t* src, int n, uint32_t rf, int32_t* x, int32_t* f) {
  const __m256i r = _mm256_set1_epi32(int32_t(rf));
  const bool big = rf >= 0x80000000u;
  const __m256i round = _mm256_set1_epi64x(1 << 27);
  const __m256i k = _mm256_set1_epi32(143165577);
  const __m256i add_f = _mm256_set1_epi64x(INT32_MIN);
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + j));
    const __m256i so = _mm256_srli_epi64(s, 32);
    auto weigh = [&](__m256i v) {
      __m256i p = _mm256_mul_epi32(v, r);
      if (big) p = _mm256_add_epi64(p, _mm256_slli_epi64(v, 32));
      return _mm256_srli_epi64(_mm256_add_epi64(p, round), 28);
    };
    const __m256i xv = _mm256_blend_epi32(weigh(s), _mm256_slli_epi64(weigh(so), 32), 0xAA);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(x + j), xv);
    const __m256i m = _mm256_abs_epi32(xv);
    const __m256i fe = _mm256_add_epi64(_mm256_mul_epi32(m, k), add_f);
    const __m256i fo = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(m, 32), k), add_f);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(f + j),
                        _mm256_blend_epi32(_mm256_srli_epi64(fe, 32), fo, 0xAA));
  }
  if (j < n) scalar_kernels().csf32(src + j, n - j, rf, x + j, f + j);
}

// The masking of scales 1..3, eight columns a step, as mask_row16_avx2 does scale 0's: the
// ring's orientation terms are high halves of signed 64-bit products, the weighted coefficients
// those of csf32_avx2.
int mask_row32_avx2(const MaskRow32& m, int j0, int j1, int64_t inner[3]) {
  const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
  const __m256i add_sq = _mm256_set1_epi64x(m.add_sq), add_cub = _mm256_set1_epi64x(m.add_cub);
  const __m128i sh_sq = _mm_cvtsi32_si128(m.sh_sq), sh_cub = _mm_cvtsi32_si128(int(m.sh_cub));
  const __m256i k = _mm256_set1_epi32(286331153), add_f = _mm256_set1_epi64x(INT32_MIN);
  const __m256i round = _mm256_set1_epi64x(1 << 27);
  const bool small = small_cubes_apply(m.sh_sq, m.add_sq, m.add_cub);
  __m256i rf[3], acc[3];
  for (int t = 0; t < 3; ++t) {
    rf[t] = _mm256_set1_epi32(int32_t(m.rf[t]));
    acc[t] = _mm256_setzero_si256();
  }
  auto load = [](const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); };
  int j = j0;
  for (; j + 8 <= j1; j += 8) {
    __m256i ring =
        _mm256_sub_epi32(_mm256_add_epi32(_mm256_add_epi32(load(m.col + j - 1), load(m.col + j)),
                                          load(m.col + j + 1)),
                         load(m.sm + j));
    for (int t = 0; t < 3; ++t) {
      const __m256i a = _mm256_abs_epi32(load(m.x[t] + j));
      const __m256i qe = _mm256_add_epi64(_mm256_mul_epi32(a, k), add_f);
      const __m256i qo = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), k), add_f);
      ring = _mm256_add_epi32(ring, _mm256_blend_epi32(_mm256_srli_epi64(qe, 32), qo, 0xAA));
    }
    __m256i vs[3];
    for (int t = 0; t < 3; ++t) {
      const bool big = m.rf[t] >= 0x80000000u;
      auto weigh = [&](__m256i s) {
        __m256i p = _mm256_mul_epi32(s, rf[t]);
        if (big) p = _mm256_add_epi64(p, _mm256_slli_epi64(s, 32));
        return _mm256_srli_epi64(_mm256_add_epi64(p, round), 28);
      };
      const __m256i s = load(m.src[t] + j);
      __m256i v = _mm256_blend_epi32(weigh(s),
                                     _mm256_slli_epi64(weigh(_mm256_srli_epi64(s, 32)), 32), 0xAA);
      vs[t] = _mm256_max_epi32(_mm256_sub_epi32(_mm256_abs_epi32(v), ring), _mm256_setzero_si256());
    }
    if (small && all_small(vs)) {
      for (int t = 0; t < 3; ++t)
        acc[t] = _mm256_add_epi64(acc[t], small_cubes(vs[t], add_sq, sh_sq, add_cub, sh_cub));
      continue;
    }
    for (int t = 0; t < 3; ++t) {
      const __m256i v = vs[t];
      const __m256i v_odd = _mm256_srli_epi64(v, 32);
      const __m256i sq_even =
          _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v, v), add_sq), sh_sq);
      const __m256i sq_odd =
          _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v_odd, v_odd), add_sq), sh_sq);
      const __m256i cube_even = sra64(
          _mm256_add_epi64(_mm256_mul_epi32(_mm256_and_si256(sq_even, low32), v), add_cub), sh_cub);
      const __m256i cube_odd =
          sra64(_mm256_add_epi64(_mm256_mul_epi32(_mm256_and_si256(sq_odd, low32), v_odd), add_cub),
                sh_cub);
      acc[t] = _mm256_add_epi64(acc[t], _mm256_add_epi64(cube_even, cube_odd));
    }
  }
  for (int t = 0; t < 3; ++t)
    inner[t] += int64_t(lane_sum(acc[t]));
  return j;
}

// |c|^3 in 64-bit lanes: the square of a 16-bit magnitude fits 32 bits, its product with the
// magnitude is an unsigned 32 x 32 one.
uint64_t cube_sum16_avx2(const int16_t* row, int n) {
  __m256i acc = _mm256_setzero_si256();
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i v = _mm256_abs_epi32(load16x8(row + j));
    const __m256i sq = _mm256_mullo_epi32(v, v);
    acc = _mm256_add_epi64(acc, _mm256_mul_epu32(sq, v));
    acc = _mm256_add_epi64(acc,
                           _mm256_mul_epu32(_mm256_srli_epi64(sq, 32), _mm256_srli_epi64(v, 32)));
  }
  return lane_sum(acc) + scalar_kernels().cube_sum16(row + j, n - j);
}

// The terms of cube_sum32 in 64-bit lanes, even and odd lanes apart. The rounded square may pass
// 32 bits by one, so its product with the magnitude takes its high half too.
uint64_t cube_sum32_avx2(const int32_t* row, int n, int sh_sq, uint64_t add_sq, int sh_cub,
                         uint64_t add_cub) {
  const __m256i asq = _mm256_set1_epi64x(int64_t(add_sq)),
                acub = _mm256_set1_epi64x(int64_t(add_cub));
  const __m128i ssq = _mm_cvtsi32_si128(sh_sq), scub = _mm_cvtsi32_si128(sh_cub);
  __m256i acc = _mm256_setzero_si256();
  auto term = [&](__m256i v) {  // v: magnitudes in the low 32 bits of each 64-bit lane
    const __m256i q = _mm256_srl_epi64(_mm256_add_epi64(_mm256_mul_epu32(v, v), asq), ssq);
    const __m256i p =
        _mm256_add_epi64(_mm256_mul_epu32(q, v),
                         _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(q, 32), v), 32));
    return _mm256_srl_epi64(_mm256_add_epi64(p, acub), scub);
  };
  int j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i v =
        _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j)));
    acc = _mm256_add_epi64(acc, _mm256_add_epi64(term(v), term(_mm256_srli_epi64(v, 32))));
  }
  return lane_sum(acc) +
         scalar_kernels().cube_sum32(row + j, n - j, sh_sq, add_sq, sh_cub, add_cub);
}

// double(float(v)) of four int64 lanes, as the scalar conversions take it: the lanes' high and
// low halves make the double nearest v, which is v itself below 2^53, and then its rounding to
// float is v's own. Past 2^53 that double may lie exactly halfway between two floats where v
// did not (about one in 2^29 of such sums): those lanes are marked in `tie` for the scalar code.
inline __m256d double_of_float_of(__m256i v, __m256i* tie) {
  const __m256i split = _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
  const __m256d hi = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(split, 1)),
                                   _mm256_set1_pd(4294967296.0));
  const __m256d lo = _mm256_add_pd(
      _mm256_cvtepi32_pd(_mm_xor_si128(_mm256_castsi256_si128(split), _mm_set1_epi32(INT32_MIN))),
      _mm256_set1_pd(2147483648.0));
  const __m256d sum = _mm256_add_pd(hi, lo);
  // The 29 mantissa bits a float drops: exactly the half of its last place.
  const __m256i dropped =
      _mm256_and_si256(_mm256_castpd_si256(sum), _mm256_set1_epi64x((1 << 29) - 1));
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), sum);
  const __m256i inexact =
      _mm256_castpd_si256(_mm256_cmp_pd(magnitude, _mm256_set1_pd(9007199254740992.0), _CMP_GE_OQ));
  *tie = _mm256_or_si256(
      *tie, _mm256_and_si256(inexact, _mm256_cmpeq_epi64(dropped, _mm256_set1_epi64x(1 << 28))));
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(sum));
}

// The decoupling of scales 1..3, eight columns a step, even and odd columns apart where 64-bit
// lanes are needed. The angle test's sums are exact 64-bit products as the scalar code forms
// them, each rounded to float once (a step with a sum past 2^53 whose double lies halfway between
// two floats is left to the scalar code). A divisor of 2^15 or more is rounded to its best 15
// bits, its shift found from the exponent of its float (exact once its low 8 bits are cleared);
// the quotient is a 64-bit product shifted back by lane, as the scalar code takes it.
int decouple32_avx2(const DecoupleRow32& m, int j0, int j1) {
  const __m256d inv4096 = _mm256_set1_pd(1.0 / 4096.0);
  const __m256d cos_sq = _mm256_set1_pd(double(m.cos1_sq));
  const __m256d gain = _mm256_set1_pd(m.gain_limit);
  const __m256d zero_d = _mm256_setzero_pd();
  const __m256i zero = _mm256_setzero_si256();
  const __m256i unit = _mm256_set1_epi32(32768);
  const __m256i unit64 = _mm256_set1_epi64x(32768);
  const __m256i one64 = _mm256_set1_epi64x(1);
  const __m256i half64 = _mm256_set1_epi64x(16384);
  const __m256i low32 = _mm256_set1_epi64x(0xffffffff);
  const bool unit_gain = m.gain_limit == 1.0;
  int j = j0;
  for (; j + 8 <= j1; j += 8) {
    __m256i o[3], d[3];
    for (int t = 0; t < 3; ++t) {
      o[t] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m.ref[t] + j));
      d[t] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m.dis[t] + j));
    }
    // The angle test; `tie` marks a sum halfway between two floats.
    auto angle_of = [&](__m256i* tie) {
      __m256i angle_lanes[2];
      for (int odd = 0; odd < 2; ++odd) {
        auto lanes = [&](__m256i v) { return odd ? _mm256_srli_epi64(v, 32) : v; };
        const __m256i oh = lanes(o[0]), ov = lanes(o[1]), th = lanes(d[0]), tv = lanes(d[1]);
        auto scaled = [&](__m256i a, __m256i b, __m256i c, __m256i e) {
          const __m256i sum = _mm256_add_epi64(_mm256_mul_epi32(a, b), _mm256_mul_epi32(c, e));
          return _mm256_mul_pd(double_of_float_of(sum, tie), inv4096);
        };
        const __m256d dd = scaled(oh, th, ov, tv);
        const __m256d rhs =
            _mm256_mul_pd(_mm256_mul_pd(cos_sq, scaled(oh, oh, ov, ov)), scaled(th, th, tv, tv));
        angle_lanes[odd] = _mm256_castpd_si256(
            _mm256_and_pd(_mm256_cmp_pd(dd, zero_d, _CMP_GE_OQ),
                          _mm256_cmp_pd(_mm256_mul_pd(dd, dd), rhs, _CMP_GE_OQ)));
      }
      return _mm256_blend_epi32(angle_lanes[0], angle_lanes[1], 0xAA);
    };
    __m256i rst[3], open[3];
    for (int t = 0; t < 3; ++t) {
      // |o| as unsigned (2^31 for INT32_MIN), and its shift: floor(log2 |o|) - 14 past 2^15.
      const __m256i mag = _mm256_abs_epi32(o[t]);
      const __m256i big = _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_srli_epi32(mag, 15), zero),
                                           _mm256_set1_epi32(-1));
      const __m256i bits =
          _mm256_castps_si256(_mm256_cvtepi32_ps(_mm256_and_si256(mag, _mm256_set1_epi32(~0xff))));
      const __m256i log2 =
          _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(0xff)),
                           _mm256_set1_epi32(127));
      const __m256i sh = _mm256_and_si256(big, _mm256_sub_epi32(log2, _mm256_set1_epi32(14)));
      const __m256i round_den = _mm256_and_si256(
          big, _mm256_sllv_epi32(_mm256_set1_epi32(1), _mm256_sub_epi32(sh, _mm256_set1_epi32(1))));
      const __m256i den = _mm256_srlv_epi32(_mm256_add_epi32(mag, round_den), sh);
      const __m256i rec = _mm256_sign_epi32(reciprocal(den), o[t]);
      // (rec * d + 2^(14 + sh)) >> (15 + sh), clamped to 0 .. 32768, even and odd lanes apart.
      auto quotient = [&](__m256i r, __m256i dv, __m256i s) {
        const __m256i x =
            _mm256_add_epi64(_mm256_mul_epi32(r, dv),
                             _mm256_sllv_epi64(one64, _mm256_add_epi64(s, _mm256_set1_epi64x(14))));
        const __m256i neg = _mm256_cmpgt_epi64(zero, x);
        __m256i k = _mm256_srlv_epi64(x, _mm256_add_epi64(s, _mm256_set1_epi64x(15)));
        k = _mm256_blendv_epi8(k, unit64, _mm256_cmpgt_epi64(k, unit64));
        return _mm256_andnot_si256(neg, k);
      };
      const __m256i ke = quotient(rec, d[t], _mm256_and_si256(sh, low32));
      const __m256i ko = quotient(_mm256_srli_epi64(rec, 32), _mm256_srli_epi64(d[t], 32),
                                  _mm256_srli_epi64(sh, 32));
      const __m256i o_zero = _mm256_cmpeq_epi32(o[t], zero);
      const __m256i k =
          _mm256_blendv_epi8(_mm256_blend_epi32(ke, _mm256_slli_epi64(ko, 32), 0xAA), unit, o_zero);
      // (k * o + 2^14) >> 15 fits 32 bits, which a logical shift leaves as the arithmetic one.
      const __m256i re = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(k, o[t]), half64), 15);
      const __m256i ro = _mm256_srli_epi64(
          _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(k, 32), _mm256_srli_epi64(o[t], 32)),
                           half64),
          15);
      rst[t] = _mm256_blend_epi32(re, _mm256_slli_epi64(ro, 32), 0xAA);
      open[t] = _mm256_andnot_si256(o_zero, _mm256_cmpgt_epi32(k, zero));
    }
    if (unit_gain) {
      // At a gain limit of 1 the angle test can only pull rst to d, as decouple16_avx2 does:
      // the test (and its float ties) matters only where that would change a value.
      __m256i moved[3], any = zero;
      for (int t = 0; t < 3; ++t) {
        moved[t] =
            _mm256_blendv_epi8(_mm256_max_epi32(rst[t], d[t]), _mm256_min_epi32(rst[t], d[t]),
                               _mm256_cmpgt_epi32(o[t], zero));
        open[t] = _mm256_andnot_si256(_mm256_cmpeq_epi32(moved[t], rst[t]), open[t]);
        any = _mm256_or_si256(any, open[t]);
      }
      if (!_mm256_testz_si256(any, any)) {
        __m256i tie = zero;
        const __m256i angle = angle_of(&tie);
        if (!_mm256_testz_si256(tie, tie)) break;
        for (int t = 0; t < 3; ++t)
          rst[t] = _mm256_blendv_epi8(rst[t], moved[t], _mm256_and_si256(angle, open[t]));
      }
    } else {
      __m256i tie = zero;
      const __m256i angle = angle_of(&tie);
      if (!_mm256_testz_si256(tie, tie)) break;
      for (int t = 0; t < 3; ++t)
        rst[t] = gain_limited(rst[t], o[t], d[t], _mm256_and_si256(angle, open[t]), gain);
    }
    for (int t = 0; t < 3; ++t) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(m.r[t] + j), rst[t]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(m.a[t] + j), _mm256_sub_epi32(d[t], rst[t]));
    }
  }
  return j;
}

}  // namespace

void use_avx2(Kernels* k) {
  k->cube_sum16 = cube_sum16_avx2;
  k->cube_sum32 = cube_sum32_avx2;
  k->mask_row32 = mask_row32_avx2;
  k->csf16 = csf16_avx2;
  k->csf32 = csf32_avx2;
  k->dwt_v32 = dwt_v32_avx2;
  k->dwt_v16w = dwt_v16w_avx2;
  k->dwt_h32 = dwt_h32_avx2;
  k->decouple16 = decouple16_avx2;
  k->decouple32 = decouple32_avx2;
  k->mask_row16 = mask_row16_avx2;
  k->dwt_v8 = dwt_v8_avx2;
  k->dwt_v16 = dwt_v16_avx2;
  k->dwt_h16 = dwt_h16_avx2;
}

}  // namespace vq::adm
