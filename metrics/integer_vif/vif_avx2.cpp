// AVX2 row kernels of the VIF, bit-identical to the scalar ones.
//
// Every filter is a sum of products of 16-bit taps and samples, taken two taps at a time with
// _mm256_madd_epi16. Samples that do not fit a signed 16-bit lane are centred first (x - 32768,
// an exclusive or of the top bit); each filter's taps sum to 65536, so the centring subtracts
// exactly 2^31 from the sum, and adding it back modulo 2^32 gives the exact unsigned sum. The
// 32-bit moments are filtered as their high and low halves, and joined after the rounding shift.
// The three taps of the coarsest scale exceed 32767 at the centre; all three are even, so that
// filter runs on half taps and doubles its sum.
#include <immintrin.h>

#include <algorithm>

#include "metrics/integer_vif/vif.h"

namespace vq::vif {
namespace {

// A filter as madd operands: taps (2p, 2p + 1) in each 32-bit lane, the odd last tap paired
// with 0; `shift` 1 when the taps are halved.
struct Pairs {
  __m256i c[9];
  int n;
  int shift;
};

Pairs pairs_of(int scale) {
  Pairs p;
  const int taps = kTaps[scale];
  p.shift = scale == 3 ? 1 : 0;
  p.n = (taps + 1) / 2;
  for (int i = 0; i < p.n; ++i) {
    const uint32_t a = uint32_t(kFilter[scale][2 * i]) >> p.shift;
    const uint32_t b = 2 * i + 1 < taps ? uint32_t(kFilter[scale][2 * i + 1]) >> p.shift : 0;
    p.c[i] = _mm256_set1_epi32(int32_t(a | (b << 16)));
  }
  return p;
}

const __m256i kTop16 = _mm256_set1_epi16(int16_t(0x8000));
const __m256i kTop32 = _mm256_set1_epi32(int32_t(0x80000000u));

// The exact unsigned sum from the sum of centred samples.
inline __m256i uncentre(__m256i s, int shift) {
  return _mm256_xor_si256(_mm256_slli_epi32(s, shift), kTop32);
}

inline __m256i load16(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// The 8-bit samples of 16 columns as 16-bit lanes.
inline __m256i load8(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Adds the madd of rows a, b (taps 2p, 2p + 1) to the two halves of a column sum, in the lane
// order of unpacklo / unpackhi.
inline void madd_rows(__m256i a, __m256i b, __m256i c, __m256i* lo, __m256i* hi) {
  *lo = _mm256_add_epi32(*lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), c));
  *hi = _mm256_add_epi32(*hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), c));
}

// 16 32-bit sums in unpack lane order, stored in column order.
inline void store32(uint32_t* out, __m256i lo, __m256i hi) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute2x128_si256(lo, hi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
}

// 16 sums below 2^16 in unpack lane order, stored in column order as 16-bit samples.
inline void store16(uint16_t* out, __m256i lo, __m256i hi) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_packus_epi32(lo, hi));
}

// Scale 0 of 8-bit pictures. Its filter is symmetric, so rows k and 16 - k share a tap: the
// means add the two rows' samples first (at most 510), and each moment takes both rows' products
// in one madd of the interleaved samples (at most 130050), times the tap in 32 bits. Every sum
// stays exact modulo 2^32, where the moments fit.
void stat_v8_avx2(const uint8_t* const* ref, const uint8_t* const* dis, int w, const StatRow& out) {
  const Pairs P = pairs_of(0);
  const __m256i round = _mm256_set1_epi32(128);
  const __m256i zero = _mm256_setzero_si256();
  __m256i tap[9];
  for (int k = 0; k < 9; ++k)
    tap[k] = _mm256_set1_epi32(kFilter[0][k]);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i m1l = round, m1h = round, m2l = round, m2h = round;
    __m256i xxl = zero, xxh = zero, yyl = zero, yyh = zero, xyl = zero, xyh = zero;
    // Moments of rows k and 16 - k (the centre row paired with zeros), times tap k.
    auto moments = [&](__m256i a0, __m256i a1, __m256i b0, __m256i b1, __m256i t) {
      const __m256i al = _mm256_unpacklo_epi16(a0, a1), ah = _mm256_unpackhi_epi16(a0, a1);
      const __m256i bl = _mm256_unpacklo_epi16(b0, b1), bh = _mm256_unpackhi_epi16(b0, b1);
      auto add = [t](__m256i* acc, __m256i x, __m256i y) {
        *acc = _mm256_add_epi32(*acc, _mm256_mullo_epi32(_mm256_madd_epi16(x, y), t));
      };
      add(&xxl, al, al);
      add(&xxh, ah, ah);
      add(&yyl, bl, bl);
      add(&yyh, bh, bh);
      add(&xyl, al, bl);
      add(&xyh, ah, bh);
    };
    __m256i fa[8], fb[8];
    for (int k = 0; k < 8; ++k) {
      const __m256i a0 = load8(ref[k] + j), a1 = load8(ref[16 - k] + j);
      const __m256i b0 = load8(dis[k] + j), b1 = load8(dis[16 - k] + j);
      fa[k] = _mm256_add_epi16(a0, a1);
      fb[k] = _mm256_add_epi16(b0, b1);
      moments(a0, a1, b0, b1, tap[k]);
    }
    const __m256i ac = load8(ref[8] + j), bc = load8(dis[8] + j);
    moments(ac, zero, bc, zero, tap[8]);
    for (int p = 0; p < 4; ++p) {
      madd_rows(fa[2 * p], fa[2 * p + 1], P.c[p], &m1l, &m1h);
      madd_rows(fb[2 * p], fb[2 * p + 1], P.c[p], &m2l, &m2h);
    }
    madd_rows(ac, zero, P.c[4], &m1l, &m1h);
    madd_rows(bc, zero, P.c[4], &m2l, &m2h);
    store16(out.mu1 + j, _mm256_srli_epi32(m1l, 8), _mm256_srli_epi32(m1h, 8));
    store16(out.mu2 + j, _mm256_srli_epi32(m2l, 8), _mm256_srli_epi32(m2h, 8));
    store32(out.xx + j, xxl, xxh);
    store32(out.yy + j, yyl, yyh);
    store32(out.xy + j, xyl, xyh);
  }
  if (j < w) {
    const uint8_t* r[17];
    const uint8_t* d[17];
    for (int k = 0; k < kTaps[0]; ++k) {
      r[k] = ref[k] + j;
      d[k] = dis[k] + j;
    }
    scalar_kernels().stat_v8(r, d, w - j,
                             {out.mu1 + j, out.mu2 + j, out.xx + j, out.yy + j, out.xy + j});
  }
}

// (hi * 2^16 + lo + round) >> shift modulo 2^32, for shift in 1..16.
inline __m256i join(__m256i hi, __m256i lo, __m128i up, __m128i down, __m256i round) {
  return _mm256_add_epi32(_mm256_sll_epi32(hi, up),
                          _mm256_srl_epi32(_mm256_add_epi32(lo, round), down));
}

template <int N, int S>
void stat_v16_scale(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                    int shift_mu, int shift_sq, const StatRow& out) {
  const Pairs P = pairs_of(scale);
  constexpr int taps = 2 * N - 1;  // kTaps[scale]
  const __m256i round_mu = _mm256_set1_epi32(int32_t(1u << (shift_mu - 1)));
  const __m256i round_sq = _mm256_set1_epi32(int32_t(1u << (shift_sq - 1)));
  const __m128i mu_down = _mm_cvtsi32_si128(shift_mu);
  const __m128i sq_up = _mm_cvtsi32_si128(16 - shift_sq), sq_down = _mm_cvtsi32_si128(shift_sq);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i s[16];
    for (__m256i& v : s)
      v = _mm256_setzero_si256();
    for (int p = 0; p < N; ++p) {
      const int k0 = 2 * p, k1 = std::min(2 * p + 1, taps - 1);
      const __m256i a0 = load16(ref[k0] + j), a1 = load16(ref[k1] + j);
      const __m256i b0 = load16(dis[k0] + j), b1 = load16(dis[k1] + j);
      auto lo = [](__m256i x, __m256i y) {
        return _mm256_xor_si256(_mm256_mullo_epi16(x, y), kTop16);
      };
      auto hi = [](__m256i x, __m256i y) {
        return _mm256_xor_si256(_mm256_mulhi_epu16(x, y), kTop16);
      };
      madd_rows(_mm256_xor_si256(a0, kTop16), _mm256_xor_si256(a1, kTop16), P.c[p], &s[0], &s[1]);
      madd_rows(_mm256_xor_si256(b0, kTop16), _mm256_xor_si256(b1, kTop16), P.c[p], &s[2], &s[3]);
      madd_rows(hi(a0, a0), hi(a1, a1), P.c[p], &s[4], &s[5]);
      madd_rows(lo(a0, a0), lo(a1, a1), P.c[p], &s[6], &s[7]);
      madd_rows(hi(b0, b0), hi(b1, b1), P.c[p], &s[8], &s[9]);
      madd_rows(lo(b0, b0), lo(b1, b1), P.c[p], &s[10], &s[11]);
      madd_rows(hi(a0, b0), hi(a1, b1), P.c[p], &s[12], &s[13]);
      madd_rows(lo(a0, b0), lo(a1, b1), P.c[p], &s[14], &s[15]);
    }
    for (__m256i& v : s)
      v = _mm256_xor_si256(_mm256_slli_epi32(v, S), kTop32);
    auto mu = [&](__m256i v) { return _mm256_srl_epi32(_mm256_add_epi32(v, round_mu), mu_down); };
    store16(out.mu1 + j, mu(s[0]), mu(s[1]));
    store16(out.mu2 + j, mu(s[2]), mu(s[3]));
    store32(out.xx + j, join(s[4], s[6], sq_up, sq_down, round_sq),
            join(s[5], s[7], sq_up, sq_down, round_sq));
    store32(out.yy + j, join(s[8], s[10], sq_up, sq_down, round_sq),
            join(s[9], s[11], sq_up, sq_down, round_sq));
    store32(out.xy + j, join(s[12], s[14], sq_up, sq_down, round_sq),
            join(s[13], s[15], sq_up, sq_down, round_sq));
  }
  if (j < w) {
    const uint16_t* r[17];
    const uint16_t* d[17];
    for (int k = 0; k < taps; ++k) {
      r[k] = ref[k] + j;
      d[k] = dis[k] + j;
    }
    scalar_kernels().stat_v16(r, d, w - j, scale, shift_mu, shift_sq,
                              {out.mu1 + j, out.mu2 + j, out.xx + j, out.yy + j, out.xy + j});
  }
}

// The scales past the first, their filters as constants (see stat_h_avx2).
void stat_v16_avx2(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                   int shift_mu, int shift_sq, const StatRow& out) {
  switch (scale) {
    case 0:
      return stat_v16_scale<9, 0>(ref, dis, w, scale, shift_mu, shift_sq, out);
    case 1:
      return stat_v16_scale<5, 0>(ref, dis, w, scale, shift_mu, shift_sq, out);
    case 2:
      return stat_v16_scale<3, 0>(ref, dis, w, scale, shift_mu, shift_sq, out);
    default:
      return stat_v16_scale<2, 1>(ref, dis, w, scale, shift_mu, shift_sq, out);
  }
}

void sub_v8_avx2(const uint8_t* const* ref, const uint8_t* const* dis, int w, uint16_t* ref_out,
                 uint16_t* dis_out) {
  const Pairs P = pairs_of(1);
  const __m256i round = _mm256_set1_epi32(128);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i al = round, ah = round, bl = round, bh = round;
    for (int p = 0; p < P.n; ++p) {
      const int k0 = 2 * p, k1 = std::min(2 * p + 1, kTaps[1] - 1);
      madd_rows(load8(ref[k0] + j), load8(ref[k1] + j), P.c[p], &al, &ah);
      madd_rows(load8(dis[k0] + j), load8(dis[k1] + j), P.c[p], &bl, &bh);
    }
    store16(ref_out + j, _mm256_srli_epi32(al, 8), _mm256_srli_epi32(ah, 8));
    store16(dis_out + j, _mm256_srli_epi32(bl, 8), _mm256_srli_epi32(bh, 8));
  }
  if (j < w) {
    const uint8_t* r[17];
    const uint8_t* d[17];
    for (int k = 0; k < kTaps[1]; ++k) {
      r[k] = ref[k] + j;
      d[k] = dis[k] + j;
    }
    scalar_kernels().sub_v8(r, d, w - j, ref_out + j, dis_out + j);
  }
}

void sub_v16_avx2(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                  int shift, uint16_t* ref_out, uint16_t* dis_out) {
  const Pairs P = pairs_of(scale);
  const int taps = kTaps[scale];
  const __m256i round = _mm256_set1_epi32(int32_t(1u << (shift - 1)));
  const __m128i down = _mm_cvtsi32_si128(shift);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i s[4];
    for (__m256i& v : s)
      v = _mm256_setzero_si256();
    for (int p = 0; p < P.n; ++p) {
      const int k0 = 2 * p, k1 = std::min(2 * p + 1, taps - 1);
      madd_rows(_mm256_xor_si256(load16(ref[k0] + j), kTop16),
                _mm256_xor_si256(load16(ref[k1] + j), kTop16), P.c[p], &s[0], &s[1]);
      madd_rows(_mm256_xor_si256(load16(dis[k0] + j), kTop16),
                _mm256_xor_si256(load16(dis[k1] + j), kTop16), P.c[p], &s[2], &s[3]);
    }
    auto out = [&](__m256i v) {
      return _mm256_srl_epi32(_mm256_add_epi32(uncentre(v, P.shift), round), down);
    };
    store16(ref_out + j, out(s[0]), out(s[1]));
    store16(dis_out + j, out(s[2]), out(s[3]));
  }
  if (j < w) {
    const uint16_t* r[17];
    const uint16_t* d[17];
    for (int k = 0; k < taps; ++k) {
      r[k] = ref[k] + j;
      d[k] = dis[k] + j;
    }
    scalar_kernels().sub_v16(r, d, w - j, scale, shift, ref_out + j, dis_out + j);
  }
}

// The horizontal taps of 8 outputs whose first taps are the samples at q, q + 2, .., centred
// as they are loaded.
inline __m256i htaps(const uint16_t* q, const Pairs& P) {
  __m256i s = _mm256_madd_epi16(_mm256_xor_si256(load16(q), kTop16), P.c[0]);
  for (int p = 1; p < P.n; ++p)
    s = _mm256_add_epi32(s, _mm256_madd_epi16(_mm256_xor_si256(load16(q + 2 * p), kTop16), P.c[p]));
  return uncentre(s, P.shift);
}

void sub_h_avx2(const uint16_t* ref, const uint16_t* dis, int n, int scale, uint16_t* ref_out,
                uint16_t* dis_out) {
  const Pairs P = pairs_of(scale);
  const int half = kTaps[scale] / 2;
  const __m256i round = _mm256_set1_epi32(32768);
  auto out = [&](const uint16_t* q) {
    const __m256i v = _mm256_srli_epi32(_mm256_add_epi32(htaps(q, P), round), 16);
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08));
  };
  int j = 0;
  // Output j's taps start at column 2j - half; the last step reads up to column 2n + half - 1.
  for (; j + 8 <= n; j += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ref_out + j), out(ref + 2 * j - half));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dis_out + j), out(dis + 2 * j - half));
  }
  if (j < n)
    scalar_kernels().sub_h(ref + 2 * j, dis + 2 * j, n - j, scale, ref_out + j, dis_out + j);
}

// (a * b + 2^31) >> 32 of 8 unsigned 32-bit lanes.
inline __m256i product_hi(__m256i a, __m256i b) {
  const __m256i round = _mm256_set1_epi64x(int64_t(1) << 31);
  const __m256i even = _mm256_add_epi64(_mm256_mul_epu32(a, b), round);
  const __m256i odd =
      _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32)), round);
  return _mm256_blend_epi32(_mm256_srli_epi64(even, 32), odd, 0xAA);
}

// The VIF terms summed per lane: the logs and the count in 32-bit lanes (flushed every stretch
// of a row, before they could overflow), the linear variance in 64-bit lanes. Only the
// numerator's logs differ from one gain limit to the next.
struct TermSums {
  __m256i num_log[kMaxGainLimits] = {};
  __m256i den_log = _mm256_setzero_si256();
  __m256i num_lin = _mm256_setzero_si256();
  __m256i den_lin = _mm256_setzero_si256();
};

// The gain limits as lanes: each limit, and the smaller of it and the first, past which the
// gain makes its numerator differ from the first's.
struct LimitLanes {
  int count;
  __m256d limit[kMaxGainLimits];
  __m256d apart[kMaxGainLimits];
};

LimitLanes limit_lanes(const GainLimits& g) {
  LimitLanes l;
  l.count = g.count;
  for (int i = 0; i < g.count; ++i) {
    l.limit[i] = _mm256_set1_pd(g.limit[i]);
    l.apart[i] = _mm256_set1_pd(std::min(g.limit[i], g.limit[0]));
  }
  return l;
}

// The table entry at `idx` plus 2048 * k.
inline __m256i log2_entry(__m256i idx, __m256i k, const uint16_t* table) {
  const __m256i t = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), idx, 2);
  return _mm256_add_epi32(_mm256_and_si256(t, _mm256_set1_epi32(0xffff)), _mm256_slli_epi32(k, 11));
}

// log2(v) * 2048 of 8 lanes of v >= 2^17, as log2_fixed takes it: the table at v's 16 leading
// bits plus 2048 per further bit. v's leading bit comes from its float, exact once its low 8 bits
// are cleared. Any other v reads inside the table too (at 0, or below 65536).
inline __m256i log2_u32(__m256i v, const uint16_t* table) {
  const __m256 f = _mm256_cvtepi32_ps(_mm256_and_si256(v, _mm256_set1_epi32(~0xff)));
  const __m256i k =
      _mm256_sub_epi32(_mm256_srli_epi32(_mm256_castps_si256(f), 23), _mm256_set1_epi32(127 + 15));
  return log2_entry(_mm256_srlv_epi32(v, k), k, table);
}

// The same of two sets of 4 doubles holding integers (below 2^53), from their bits: the leading
// bit and the 15 below it are the implicit one and the top of the mantissa. The 8 results are in
// the lane order a0 b0 a1 b1 a2 b2 a3 b3.
inline __m256i log2_f64(__m256d a, __m256d b, const uint16_t* table) {
  const __m256i x = _mm256_castpd_si256(a), y = _mm256_castpd_si256(b);
  const __m256i m = _mm256_set1_epi64x(0x7fff);
  const __m256i idx = _mm256_or_si256(
      _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi64(x, 37), m),
                      _mm256_slli_epi64(_mm256_and_si256(_mm256_srli_epi64(y, 37), m), 32)),
      _mm256_set1_epi32(0x8000));
  const __m256i e =
      _mm256_or_si256(_mm256_srli_epi64(x, 52), _mm256_slli_epi64(_mm256_srli_epi64(y, 52), 32));
  return log2_entry(idx, _mm256_sub_epi32(e, _mm256_set1_epi32(1023 + 15)), table);
}

// log2 * 2048 of (gain clamped to `limit`)^2 * s1, rounded toward zero, plus n1: the
// numerator's first log of 8 lanes, their gains and variances as two sets of 4 doubles.
inline __m256i num_log2(const __m256d* g, const __m256d* d1, const __m256d* n1, __m256d limit,
                        const uint16_t* table) {
  __m256d n2[2];
  for (int h = 0; h < 2; ++h) {
    const __m256d gl = _mm256_min_pd(g[h], limit);
    n2[h] = _mm256_add_pd(_mm256_round_pd(_mm256_mul_pd(_mm256_mul_pd(gl, gl), d1[h]),
                                          _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC),
                          n1[h]);
  }
  // log2_f64's lane order back to the pixels' order.
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  return _mm256_permutevar8x32_epi32(log2_f64(n2[0], n2[1], table), order);
}

// add_terms of 8 lanes at every gain limit.
inline void terms8(__m256i s1, __m256i s2, __m256i s12, const LimitLanes& limits,
                   const uint16_t* table, TermSums* t) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i noise = _mm256_set1_epi32(131072);
  s2 = _mm256_max_epi32(s2, zero);
  const __m256i is_log = _mm256_cmpgt_epi32(s1, _mm256_set1_epi32(131072 - 1));
  const __m256i lin = _mm256_andnot_si256(is_log, s2);
  t->num_lin = _mm256_add_epi64(
      t->num_lin, _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(lin)),
                                   _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lin, 1))));
  t->den_lin = _mm256_sub_epi32(t->den_lin, _mm256_andnot_si256(is_log, _mm256_set1_epi32(-1)));
  // Lanes below the noise floor take no logs, nor do those without a positive covariance and
  // distorted variance: flat stretches of a picture skip that work entirely.
  if (_mm256_testz_si256(is_log, is_log)) return;
  const __m256i den =
      _mm256_sub_epi32(log2_u32(_mm256_add_epi32(s1, noise), table), _mm256_set1_epi32(2048 * 17));
  t->den_log = _mm256_add_epi32(t->den_log, _mm256_and_si256(is_log, den));
  const __m256i is_num = _mm256_and_si256(
      is_log, _mm256_and_si256(_mm256_cmpgt_epi32(s12, zero), _mm256_cmpgt_epi32(s2, zero)));
  if (_mm256_testz_si256(is_num, is_num)) return;
  // The gain and the variance it leaves, in double as libvmaf takes them, 4 lanes at a time.
  const double eps = 65536 * 1.0e-10;
  __m256d g[2], d1[2], n1d[2];
  __m128i sv[2];
  for (int h = 0; h < 2; ++h) {
    auto half = [h](__m256i v) {
      return h ? _mm256_extracti128_si256(v, 1) : _mm256_castsi256_si128(v);
    };
    d1[h] = _mm256_cvtepi32_pd(half(s1));
    const __m256d d2 = _mm256_cvtepi32_pd(half(s2)), d12 = _mm256_cvtepi32_pd(half(s12));
    g[h] = _mm256_div_pd(d12, _mm256_add_pd(d1[h], _mm256_set1_pd(eps)));
    sv[h] = _mm_max_epi32(_mm256_cvttpd_epi32(_mm256_sub_pd(d2, _mm256_mul_pd(g[h], d12))),
                          _mm_setzero_si128());
    n1d[h] = _mm256_cvtepi32_pd(_mm_add_epi32(sv[h], _mm256_castsi256_si128(noise)));
  }
  const __m256i log_n1 = log2_u32(_mm256_add_epi32(_mm256_set_m128i(sv[1], sv[0]), noise), table);
  const __m256i num = _mm256_and_si256(
      is_num, _mm256_sub_epi32(num_log2(g, d1, n1d, limits.limit[0], table), log_n1));
  t->num_log[0] = _mm256_add_epi32(t->num_log[0], num);
  if (limits.count == 1) return;
  // A further limit's numerator is the first's in every lane whose gain is below both limits;
  // its logs are taken only when some lane's gain is above.
  const int num_lanes = _mm256_movemask_ps(_mm256_castsi256_ps(is_num));
  for (int i = 1; i < limits.count; ++i) {
    const int above = _mm256_movemask_pd(_mm256_cmp_pd(g[0], limits.apart[i], _CMP_GT_OQ)) |
                      (_mm256_movemask_pd(_mm256_cmp_pd(g[1], limits.apart[i], _CMP_GT_OQ)) << 4);
    if ((above & num_lanes) == 0) {
      t->num_log[i] = _mm256_add_epi32(t->num_log[i], num);
      continue;
    }
    const __m256i num_i = _mm256_and_si256(
        is_num, _mm256_sub_epi32(num_log2(g, d1, n1d, limits.limit[i], table), log_n1));
    t->num_log[i] = _mm256_add_epi32(t->num_log[i], num_i);
  }
}

inline int64_t sum64(__m256i v) {
  alignas(32) int64_t a[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), v);
  return a[0] + a[1] + a[2] + a[3];
}

inline int64_t sum32(__m256i v) {
  alignas(32) int32_t a[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), v);
  int64_t s = 0;
  for (int32_t x : a)
    s += x;
  return s;
}

// Centred 16-bit streams of one stretch of a filtered row: the two means, then the high and
// low halves of each moment.
constexpr int kChunk = 256;
constexpr int kStreams = 8;
constexpr int kSpan = kChunk + 2 * kPad + 16;

void split_row(const StatRow& in, int from, int count, int16_t (*out)[kSpan]) {
  int i = 0;
  const __m256i low = _mm256_set1_epi32(0xffff);
  for (; i + 16 <= count; i += 16) {
    const int c = from + i;
    _mm256_store_si256(reinterpret_cast<__m256i*>(out[0] + i),
                       _mm256_xor_si256(load16(in.mu1 + c), kTop16));
    _mm256_store_si256(reinterpret_cast<__m256i*>(out[1] + i),
                       _mm256_xor_si256(load16(in.mu2 + c), kTop16));
    const uint32_t* sq[3] = {in.xx + c, in.yy + c, in.xy + c};
    for (int q = 0; q < 3; ++q) {
      const __m256i a = load16(sq[q]), b = load16(sq[q] + 8);
      const __m256i hi = _mm256_packus_epi32(_mm256_srli_epi32(a, 16), _mm256_srli_epi32(b, 16));
      const __m256i lo = _mm256_packus_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
      _mm256_store_si256(reinterpret_cast<__m256i*>(out[2 + 2 * q] + i),
                         _mm256_xor_si256(_mm256_permute4x64_epi64(hi, 0xD8), kTop16));
      _mm256_store_si256(reinterpret_cast<__m256i*>(out[3 + 2 * q] + i),
                         _mm256_xor_si256(_mm256_permute4x64_epi64(lo, 0xD8), kTop16));
    }
  }
  for (; i < count; ++i) {
    const int c = from + i;
    out[0][i] = int16_t(in.mu1[c] ^ 0x8000);
    out[1][i] = int16_t(in.mu2[c] ^ 0x8000);
    const uint32_t sq[3] = {in.xx[c], in.yy[c], in.xy[c]};
    for (int q = 0; q < 3; ++q) {
      out[2 + 2 * q][i] = int16_t((sq[q] >> 16) ^ 0x8000);
      out[3 + 2 * q][i] = int16_t((sq[q] & 0xffff) ^ 0x8000);
    }
  }
}

// The sum of the horizontal taps of 8 outputs whose first taps are at q, q + 2, ..: the
// filter's N tap pairs and its shift S known when compiled, so that the loop unrolls.
template <int N, int S>
inline __m256i htaps_centred(const int16_t* q, const Pairs& P) {
  __m256i s = _mm256_madd_epi16(load16(q), P.c[0]);
  for (int p = 1; p < N; ++p)
    s = _mm256_add_epi32(s, _mm256_madd_epi16(load16(q + 2 * p), P.c[p]));
  return _mm256_xor_si256(_mm256_slli_epi32(s, S), kTop32);
}

// The variances and covariance of outputs j, j + 2, .., j + 14 (their taps from q on), stored
// at `out`, `out` + 8 and `out` + 16.
template <int N, int S>
inline void stat_h8(int16_t (*buf)[kSpan], int q, const Pairs& P, int32_t* out) {
  const __m256i m1 = htaps_centred<N, S>(buf[0] + q, P), m2 = htaps_centred<N, S>(buf[1] + q, P);
  const __m256i round = _mm256_set1_epi32(32768);
  auto moment = [&](int s) {
    return _mm256_add_epi32(
        htaps_centred<N, S>(buf[s] + q, P),
        _mm256_srli_epi32(_mm256_add_epi32(htaps_centred<N, S>(buf[s + 1] + q, P), round), 16));
  };
  _mm256_store_si256(reinterpret_cast<__m256i*>(out),
                     _mm256_sub_epi32(moment(2), product_hi(m1, m1)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(out + 8),
                     _mm256_sub_epi32(moment(4), product_hi(m2, m2)));
  _mm256_store_si256(reinterpret_cast<__m256i*>(out + 16),
                     _mm256_sub_epi32(moment(6), product_hi(m1, m2)));
}

template <int N, int S>
void stat_h_scale(const StatRow& in, int w, int scale, const GainLimits& gain, Sums* sums) {
  const Pairs P = pairs_of(scale);
  const int half = kTaps[scale] / 2;
  const uint16_t* table = log2_table();
  const LimitLanes limits = limit_lanes(gain);
  alignas(32) int16_t buf[kStreams][kSpan];
  // A stretch's filtered values first, then its terms: the terms' long chains of double
  // arithmetic and table reads overlap from one step to the next that way.
  alignas(32) int32_t sig[kChunk / 8][24];
  const int end = w & ~15;
  for (int j0 = 0; j0 < end; j0 += kChunk) {
    const int n = std::min(kChunk, end - j0);
    // Columns j0 - half .. j0 + n + half - 1 are read with taps; one more pairs with tap 0.
    const int count = std::min(n + 2 * half + 1, w + half - (j0 - half));
    split_row(in, j0 - half, count, buf);
    for (int s = 0; s < kStreams; ++s)
      std::fill(buf[s] + count, buf[s] + kSpan, int16_t(0));
    for (int j = 0; j < n; j += 16) {
      stat_h8<N, S>(buf, j, P, sig[j / 8]);
      stat_h8<N, S>(buf, j + 1, P, sig[j / 8 + 1]);
    }
    TermSums t;
    for (int i = 0; i < n / 8; ++i) {
      auto at = [&](int o) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(sig[i] + o));
      };
      terms8(at(0), at(8), at(16), limits, table, &t);
    }
    const int64_t den_log = sum32(t.den_log), num_lin = sum64(t.num_lin);
    const int64_t den_lin = sum32(t.den_lin);
    for (int l = 0; l < gain.count; ++l) {
      sums[l].num_log += sum32(t.num_log[l]);
      sums[l].den_log += den_log;
      sums[l].num_lin += num_lin;
      sums[l].den_lin += den_lin;
    }
  }
  if (end < w)
    scalar_kernels().stat_h({in.mu1 + end, in.mu2 + end, in.xx + end, in.yy + end, in.xy + end},
                            w - end, scale, gain, sums);
}

// Each scale's filter as constants: 17, 9 and 5 taps, and the coarsest's 3 on halved taps.
void stat_h_avx2(const StatRow& in, int w, int scale, const GainLimits& gain, Sums* sums) {
  static_assert(kTaps[0] == 17 && kTaps[1] == 9 && kTaps[2] == 5 && kTaps[3] == 3);
  switch (scale) {
    case 0:
      return stat_h_scale<9, 0>(in, w, scale, gain, sums);
    case 1:
      return stat_h_scale<5, 0>(in, w, scale, gain, sums);
    case 2:
      return stat_h_scale<3, 0>(in, w, scale, gain, sums);
    default:
      return stat_h_scale<2, 1>(in, w, scale, gain, sums);
  }
}

}  // namespace

void use_avx2(Kernels* k) {
  k->stat_v8 = stat_v8_avx2;
  k->stat_h = stat_h_avx2;
  k->stat_v16 = stat_v16_avx2;
  k->sub_v8 = sub_v8_avx2;
  k->sub_v16 = sub_v16_avx2;
  k->sub_h = sub_h_avx2;
}

}  // namespace vq::vif
