// The AVX2 block kernel of PSNR-HVS-M: eight block pairs at once, one per 32-bit lane, each lane
// taking exactly the scalar steps (the same integer DCT, the same float operations in the same
// order, no fused multiply-adds), so that every lane's terms carry the scalar bits.
#include <immintrin.h>

#include <bit>
#include <cmath>

#include "metrics/psnr_hvs/psnr_hvs.h"

namespace vq::hvs {
namespace {

using V = __m256i;

// The integer DCT's steps on 32-bit lanes, one block in each.
struct Lanes32 {
  static V add(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
  // Halving toward zero.
  static V half(V a) { return _mm256_srai_epi32(add(a, _mm256_srli_epi32(a, 31)), 1); }
  // a * c / 2^s rounded half up, for 11 and 12-bit samples: the products in 64 bits, even lanes
  // and odd lanes apart, each result's low 32 bits taken back (a logical shift leaves them as
  // the arithmetic one does).
  template <int32_t c, int s>
  static V scale(V a) {
    const V k = _mm256_set1_epi32(c);
    const V round = _mm256_set1_epi64x(int64_t(1) << (s - 1));
    const V even = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(a, k), round), s);
    const V odd = _mm256_srli_epi64(
        _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(a, 32), k), round), s);
    return _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xaa);
  }
};

// The same steps on 16-bit lanes, a block of the reference and one of the distorted picture
// in each pair of lanes. Following every step of both passes as a linear form of the 64 samples
// plus its worst rounding bounds each value by 2075 for samples in 0..255 and by 8219 for
// 0..1023, inside 16 bits; and (a * c + 2^(s-1)) >> s is mulhrs(a, c << (15 - s)), its
// product (a * c' >> 14) + 1 >> 1 being the same rounding for every c' below 2^15.
struct Lanes16 {
  static V add(V a, V b) { return _mm256_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V half(V a) { return _mm256_srai_epi16(add(a, _mm256_srli_epi16(a, 15)), 1); }
  template <int32_t c, int s>
  static V scale(V a) {
    static_assert((c << (15 - s)) < 32768);
    return _mm256_mulhrs_epi16(a, _mm256_set1_epi16(int16_t(c << (15 - s))));
  }
};

// One 8-point pass of the scalar DCT's lifting steps on the lanes L gives.
template <class L>
void fdct8(const V* x, int stride, V* y) {
  V a0 = x[0], a1 = x[7 * stride], a2 = x[2 * stride], a3 = x[5 * stride];
  V a4 = x[1 * stride], a5 = x[6 * stride], a6 = x[3 * stride], a7 = x[4 * stride];
  a1 = L::sub(a0, a1);
  const V h1 = L::half(a1);
  a0 = L::sub(a0, h1);
  a4 = L::add(a4, a5);
  const V h4 = L::half(a4);
  a5 = L::sub(a5, h4);
  a3 = L::sub(a2, a3);
  a2 = L::sub(a2, L::half(a3));
  a6 = L::add(a6, a7);
  const V h6 = L::half(a6);
  a7 = L::sub(h6, a7);
  a0 = L::add(a0, h6);
  a6 = L::sub(a0, a6);
  a2 = L::sub(h4, a2);
  a4 = L::sub(a2, a4);
  a0 = L::sub(a0, L::template scale<13573, 15>(a4));
  a4 = L::add(a4, L::template scale<11585, 14>(a0));
  a0 = L::sub(a0, L::template scale<13573, 15>(a4));
  a6 = L::sub(a6, L::template scale<21895, 15>(a2));
  a2 = L::add(a2, L::template scale<15137, 14>(a6));
  a6 = L::sub(a6, L::template scale<21895, 15>(a2));
  a3 = L::add(a3, L::template scale<19195, 15>(a5));
  a5 = L::add(a5, L::template scale<11585, 14>(a3));
  a3 = L::sub(a3, L::template scale<7489, 13>(a5));
  a7 = L::sub(L::half(a5), a7);
  a5 = L::sub(a5, a7);
  a3 = L::sub(h1, a3);
  a1 = L::sub(a1, a3);
  a7 = L::add(a7, L::template scale<3227, 15>(a1));
  a1 = L::sub(a1, L::template scale<6393, 15>(a7));
  a7 = L::add(a7, L::template scale<3227, 15>(a1));
  a5 = L::add(a5, L::template scale<2485, 13>(a3));
  a3 = L::sub(a3, L::template scale<18205, 15>(a5));
  a5 = L::add(a5, L::template scale<2485, 13>(a3));
  y[0] = a0;
  y[1] = a1;
  y[2] = a2;
  y[3] = a3;
  y[4] = a4;
  y[5] = a5;
  y[6] = a6;
  y[7] = a7;
}

// Both pictures' blocks at once: packed as [s0..s3 d0..d3 | s4..s7 d4..d7] and unpacked back
// by sign-extending each 128-bit half's low and high words.
void fdct8x8_pair(V* s, V* d) {
  V p[64], t[64];
  for (int i = 0; i < 64; ++i)
    p[i] = _mm256_packs_epi32(s[i], d[i]);
  for (int c = 0; c < kBlock; ++c)
    fdct8<Lanes16>(p + c, kBlock, t + c * kBlock);
  for (int v = 0; v < kBlock; ++v)
    fdct8<Lanes16>(t + v, kBlock, p + v * kBlock);
  for (int i = 0; i < 64; ++i) {
    s[i] = _mm256_srai_epi32(_mm256_unpacklo_epi16(p[i], p[i]), 16);
    d[i] = _mm256_srai_epi32(_mm256_unpackhi_epi16(p[i], p[i]), 16);
  }
}

void fdct8x8(const V* in, V* out) {
  V t[64];
  for (int c = 0; c < kBlock; ++c)
    fdct8<Lanes32>(in + c, kBlock, t + c * kBlock);
  for (int v = 0; v < kBlock; ++v)
    fdct8<Lanes32>(t + v, kBlock, out + v * kBlock);
}

// Sample i of block l into lane l of b[i], clamped to the peak: each row's eight 8-sample
// stretches (at steps of 7) are loaded whole and transposed, stretch l to lane l.
void load(const Plane& p, int depth, int x, int y, V* b) {
  const V peak = _mm256_set1_epi32((1 << depth) - 1);
  for (int i = 0; i < kBlock; ++i) {
    const uint8_t* row = p.data + ptrdiff_t(y + i) * p.pitch;
    V* out = b + i * kBlock;
    __m128i seg[kLanes];
    if (depth == 8) {
      for (int l = 0; l < kLanes; ++l)
        seg[l] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + x + l * kStep));
      // Byte j of stretches 0-1, 2-3, ... side by side, then of 0-3 and 4-7, then of all eight.
      __m128i q[4];
      for (int h = 0; h < 2; ++h) {
        const __m128i ab = _mm_unpacklo_epi8(seg[4 * h], seg[4 * h + 1]);
        const __m128i cd = _mm_unpacklo_epi8(seg[4 * h + 2], seg[4 * h + 3]);
        q[h] = _mm_unpacklo_epi16(ab, cd);      // bytes 0..3
        q[2 + h] = _mm_unpackhi_epi16(ab, cd);  // bytes 4..7
      }
      const __m128i r[4] = {_mm_unpacklo_epi32(q[0], q[1]), _mm_unpackhi_epi32(q[0], q[1]),
                            _mm_unpacklo_epi32(q[2], q[3]), _mm_unpackhi_epi32(q[2], q[3])};
      for (int k = 0; k < 4; ++k) {
        out[2 * k] = _mm256_cvtepu8_epi32(r[k]);
        out[2 * k + 1] = _mm256_cvtepu8_epi32(_mm_srli_si128(r[k], 8));
      }
    } else {
      for (int l = 0; l < kLanes; ++l)
        seg[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * (x + l * kStep)));
      __m128i lo[4], hi[4];
      for (int k = 0; k < 4; ++k) {
        lo[k] = _mm_unpacklo_epi16(seg[2 * k], seg[2 * k + 1]);  // samples 0..3 of two stretches
        hi[k] = _mm_unpackhi_epi16(seg[2 * k], seg[2 * k + 1]);  // samples 4..7
      }
      // q[j / 2 + 4 * g]: samples j and j + 1 of stretches 4g .. 4g + 3.
      __m128i q[8];
      for (int g = 0; g < 2; ++g) {
        q[4 * g] = _mm_unpacklo_epi32(lo[2 * g], lo[2 * g + 1]);
        q[4 * g + 1] = _mm_unpackhi_epi32(lo[2 * g], lo[2 * g + 1]);
        q[4 * g + 2] = _mm_unpacklo_epi32(hi[2 * g], hi[2 * g + 1]);
        q[4 * g + 3] = _mm_unpackhi_epi32(hi[2 * g], hi[2 * g + 1]);
      }
      for (int k = 0; k < 4; ++k) {
        out[2 * k] =
            _mm256_min_epi32(_mm256_cvtepu16_epi32(_mm_unpacklo_epi64(q[k], q[4 + k])), peak);
        out[2 * k + 1] =
            _mm256_min_epi32(_mm256_cvtepu16_epi32(_mm_unpackhi_epi64(q[k], q[4 + k])), peak);
      }
    }
  }
}

// The texture of both blocks' samples (ref's, then dist's), their float sums in the scalar order
// each, side by side so that the two chains of additions overlap. The quadrant sums and squares
// are kept in registers: each loop is unrolled whole, so the quadrant of every sample is known
// where it is added (in the scalar order, sample by sample).
void textures(const V* s, const V* d, __m256* ts, __m256* td) {
  const V* const b[2] = {s, d};
  V total[2], quad[2][4];
  for (int n = 0; n < 2; ++n) {
    total[n] = _mm256_setzero_si256();
    for (V& q : quad[n])
      q = total[n];
  }
#pragma GCC unroll 64
  for (int i = 0; i < 64; ++i) {
    const int q = (i >> 5) + ((i & 7) >> 2) * 2;
    for (int n = 0; n < 2; ++n) {
      total[n] = Lanes32::add(total[n], b[n][i]);
      quad[n][q] = Lanes32::add(quad[n][q], b[n][i]);
    }
  }
  __m256 mean[2], qmean[2][4], var[2], qvar[2][4];
  for (int n = 0; n < 2; ++n) {
    mean[n] = _mm256_div_ps(_mm256_cvtepi32_ps(total[n]), _mm256_set1_ps(64.f));
    for (int q = 0; q < 4; ++q) {
      qmean[n][q] = _mm256_div_ps(_mm256_cvtepi32_ps(quad[n][q]), _mm256_set1_ps(16.f));
      qvar[n][q] = _mm256_setzero_ps();
    }
    var[n] = _mm256_setzero_ps();
  }
#pragma GCC unroll 64
  for (int i = 0; i < 64; ++i) {
    const int q = (i >> 5) + ((i & 7) >> 2) * 2;
    for (int n = 0; n < 2; ++n) {
      const __m256 v = _mm256_cvtepi32_ps(b[n][i]);
      const __m256 dm = _mm256_sub_ps(v, mean[n]), e = _mm256_sub_ps(v, qmean[n][q]);
      var[n] = _mm256_add_ps(var[n], _mm256_mul_ps(dm, dm));
      qvar[n][q] = _mm256_add_ps(qvar[n][q], _mm256_mul_ps(e, e));
    }
  }
  const float var_scale = 1 / 63.f * 64, qvar_scale = 1 / 15.f * 16;
  __m256 out[2];
  for (int n = 0; n < 2; ++n) {
    const __m256 v = _mm256_mul_ps(var[n], _mm256_set1_ps(var_scale));
    for (__m256& q : qvar[n])
      q = _mm256_mul_ps(q, _mm256_set1_ps(qvar_scale));
    const __m256 ratio = _mm256_div_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(qvar[n][0], qvar[n][1]), qvar[n][2]), qvar[n][3]),
        v);
    out[n] = _mm256_blendv_ps(v, ratio, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
  }
  *ts = out[0];
  *td = out[1];
}

// The masking thresholds of both blocks' coefficients, side by side as the textures are. The
// squares of coefficients below 2^24 are exact products of exact floats, rounded once, as the
// scalar conversion of the 64-bit square rounds them.
void thresholds(const V* s, const V* d, __m256 ts, __m256 td, const float mask[64], __m256* ms,
                __m256* md) {
  const V* const c[2] = {s, d};
  const __m256 tex[2] = {ts, td};
  __m256 e[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
  for (int i = 1; i < 64; ++i) {
    for (int n = 0; n < 2; ++n) {
      const __m256 f = _mm256_cvtepi32_ps(c[n][i]);
      e[n] = _mm256_add_ps(e[n], _mm256_mul_ps(_mm256_mul_ps(f, f), _mm256_set1_ps(mask[i])));
    }
  }
  __m256 out[2];
  for (int n = 0; n < 2; ++n) {
    const __m256 et = _mm256_mul_ps(e[n], tex[n]);
    const __m256d d32 = _mm256_set1_pd(32.0);
    const __m128 lo = _mm256_cvtpd_ps(
        _mm256_div_pd(_mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(et))), d32));
    const __m128 hi = _mm256_cvtpd_ps(
        _mm256_div_pd(_mm256_sqrt_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(et, 1))), d32));
    out[n] = _mm256_set_m128(hi, lo);
  }
  *ms = out[0];
  *md = out[1];
}

void blocks8_avx2(const Plane& ref, const Plane& dist, int depth, int x, int y,
                  const float mask[64], const float weight[64], float* terms) {
  V s[64], d[64];
  load(ref, depth, x, y, s);
  load(dist, depth, x, y, d);
  __m256 ts, td;
  textures(s, d, &ts, &td);
  if (depth <= 10) {
    fdct8x8_pair(s, d);
  } else {
    fdct8x8(s, s);
    fdct8x8(d, d);
  }
  __m256 ms, md;
  thresholds(s, d, ts, td, mask, &ms, &md);
  const __m256 m = _mm256_blendv_ps(ms, md, _mm256_cmp_ps(md, ms, _CMP_GT_OQ));
  for (int i = 0; i < 64; ++i) {
    __m256 err = _mm256_cvtepi32_ps(_mm256_abs_epi32(Lanes32::sub(s[i], d[i])));
    if (i != 0) {
      const __m256 t = _mm256_div_ps(m, _mm256_set1_ps(mask[i]));
      err = _mm256_blendv_ps(_mm256_sub_ps(err, t), _mm256_setzero_ps(),
                             _mm256_cmp_ps(err, t, _CMP_LT_OQ));
    }
    const __m256 w = _mm256_mul_ps(err, _mm256_set1_ps(weight[i]));
    _mm256_storeu_ps(terms + i * kLanes, _mm256_mul_ps(w, w));
  }
}

// The scalar add_terms eight terms at a time: the same rounding of each term to the sum's step,
// the same test of every term, the steps counted per lane and added at the end.
float add_terms_avx2(float sum, const float terms[64 * kLanes]) {
  if (sum >= 0x1p-100f && sum < 0x1p126f) {
    const uint32_t bits = std::bit_cast<uint32_t>(sum);
    const uint32_t floor_bits = bits & 0x7f800000u;
    const uint32_t magic_bits = floor_bits | 0x400000u;
    const __m256 magic = _mm256_castsi256_ps(_mm256_set1_epi32(int32_t(magic_bits)));
    const __m256 half_step =
        _mm256_castsi256_ps(_mm256_set1_epi32(int32_t(floor_bits - (24u << 23))));
    const __m256 limit = _mm256_castsi256_ps(_mm256_set1_epi32(int32_t(floor_bits - (1u << 23))));
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    const V vmagic = _mm256_set1_epi32(int32_t(magic_bits));
    V steps = _mm256_setzero_si256();
    __m256 bad = _mm256_setzero_ps();
    for (int i = 0; i < 64; ++i) {
      const __m256 x = _mm256_loadu_ps(terms + i * kLanes);
      const __m256 r = _mm256_add_ps(x, magic);
      const __m256 d = _mm256_and_ps(_mm256_sub_ps(x, _mm256_sub_ps(r, magic)), abs_mask);
      bad = _mm256_or_ps(bad, _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_NGE_UQ));
      bad = _mm256_or_ps(bad, _mm256_cmp_ps(x, limit, _CMP_NLT_UQ));
      bad = _mm256_or_ps(bad, _mm256_cmp_ps(d, half_step, _CMP_EQ_OQ));
      steps = Lanes32::add(steps, Lanes32::sub(_mm256_castps_si256(r), vmagic));
    }
    // Each lane's 64 steps stay below 2^28, all eight together below 2^31.
    const __m128i s4 =
        _mm_add_epi32(_mm256_castsi256_si128(steps), _mm256_extracti128_si256(steps, 1));
    const __m128i s2 = _mm_add_epi32(s4, _mm_unpackhi_epi64(s4, s4));
    const uint32_t total = uint32_t(_mm_cvtsi128_si32(_mm_add_epi32(s2, _mm_srli_epi64(s2, 32))));
    if (_mm256_movemask_ps(bad) == 0 && (bits & 0x7fffffu) + uint64_t(total) < 0x800000u)
      return std::bit_cast<float>(bits + total);
  }
  return add_terms_serially(sum, terms);
}

}  // namespace

void use_avx2(Kernels* k) {
  k->blocks8 = blocks8_avx2;
  k->add_terms = add_terms_avx2;
}

}  // namespace vq::hvs
