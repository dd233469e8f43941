// AVX2 forms of the 24-bit, 32-bit and 5-6-5 converters: sixteen 2x2 blocks (32 pixels of each
// row) per step, the remaining blocks of a row pair through the scalar block routine.
//
// The arithmetic is that of the SSE2 form (pixels in 32-bit lanes, PMADDWD with the luma and
// chroma weights, logical shift for luma, arithmetic shift for chroma). The 256-bit registers
// work as two 128-bit halves, so the loads place pixel groups such that the in-lane packs come
// out in picture order: register k holds pixels 4g .. 4g+3 in its low half and 4(g+2) ..
// 4(g+2)+3 in its high half, with g = 0, 1, 4, 5. 5-6-5 pixels come in 32-byte loads of 16
// pixels; widened to 32-bit lanes by the in-lane unpacks, pixels 0-3 | 8-11 and 4-7 | 12-15 of
// a load are exactly those groups.
#include <immintrin.h>

#include "convert/convert.h"
#include "convert/rgb_block.h"
#include "convert/rgb_simd.h"

namespace vq {
namespace {

constexpr int kBlocksPerStep = 16;

inline __m256i load2x16(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
}

// Pixel groups g (low half) and g + 2 (high half) as 32-bit lanes (blue, green, red, any).
// Reads 16 bytes from the start of each group.
template <int kBytes>
inline __m256i load8(const uint8_t* row, int g) {
  const __m256i x = load2x16(row + 4 * g * kBytes, row + 4 * (g + 2) * kBytes);
  if constexpr (kBytes == 4) {
    return x;
  } else {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm256_shuffle_epi8(x, spread);
  }
}

struct Weights {
  __m256i byte_mask = _mm256_set1_epi32(0x00FF00FF);
  __m256i five_bits = _mm256_set1_epi16(0xF8);  // a 5-bit field moved to bits 3..7
  __m256i six_bits = _mm256_set1_epi16(0xFC);   // a 6-bit field moved to bits 2..7
  __m256i luma_br = _mm256_set1_epi32(66 << 16 | 25);
  __m256i luma_g = _mm256_set1_epi32(129);
  __m256i u_br = _mm256_set1_epi32(int32_t(uint32_t(-38) << 16 | 112));
  __m256i u_g = _mm256_set1_epi32(int32_t(uint16_t(-74)));
  __m256i v_br = _mm256_set1_epi32(int32_t(112u << 16 | uint16_t(-18)));
  __m256i v_g = _mm256_set1_epi32(int32_t(uint16_t(-94)));
};

inline __m256i luma8(__m256i br, __m256i gx, const Weights& w) {
  const __m256i sum =
      _mm256_add_epi32(_mm256_madd_epi16(br, w.luma_br), _mm256_madd_epi16(gx, w.luma_g));
  return _mm256_srli_epi32(sum, 8);
}

// Block sums >> 10 in lanes 0, 2, 4, 6 from the column sums of eight columns.
inline __m256i chroma4(__m256i br, __m256i gx, __m256i w_br, __m256i w_g) {
  const __m256i col = _mm256_add_epi32(_mm256_madd_epi16(br, w_br), _mm256_madd_epi16(gx, w_g));
  return _mm256_srai_epi32(_mm256_add_epi32(col, _mm256_srli_epi64(col, 32)), 10);
}

inline __m256i even_lanes(__m256i a, __m256i b) {
  return _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Row k of a step: luma of pixel groups (kGroups[k]) of both rows, and their block sums.
struct Quarter {
  __m256i y0, y1, u, v;
};

// Pixel groups g | g + 2 of `row` as (blue, red) and (green, 0) halves of 32-bit lanes.
template <int kForm>
inline void split8(const uint8_t* row, int g, const Weights& w, __m256i* br, __m256i* gx) {
  if constexpr (kForm == rgb::k565) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * (g / 4)));
    const __m256i b = _mm256_and_si256(_mm256_slli_epi16(x, 3), w.five_bits);
    const __m256i gr = _mm256_and_si256(_mm256_srli_epi16(x, 3), w.six_bits);
    const __m256i r = _mm256_and_si256(_mm256_srli_epi16(x, 8), w.five_bits);
    const __m256i zero = _mm256_setzero_si256();
    *br = g % 4 ? _mm256_unpackhi_epi16(b, r) : _mm256_unpacklo_epi16(b, r);
    *gx = g % 4 ? _mm256_unpackhi_epi16(gr, zero) : _mm256_unpacklo_epi16(gr, zero);
  } else {
    const __m256i a = load8<kForm>(row, g);
    *br = _mm256_and_si256(a, w.byte_mask);
    *gx = _mm256_srli_epi16(a, 8);
  }
}

template <int kForm>
inline Quarter quarter(const uint8_t* upper, const uint8_t* lower, int g, const Weights& w) {
  __m256i a_br, a_gx, b_br, b_gx;
  split8<kForm>(upper, g, w, &a_br, &a_gx);
  split8<kForm>(lower, g, w, &b_br, &b_gx);
  const __m256i br = _mm256_add_epi16(a_br, b_br), gx = _mm256_add_epi16(a_gx, b_gx);
  return {luma8(a_br, a_gx, w), luma8(b_br, b_gx, w), chroma4(br, gx, w.u_br, w.u_g),
          chroma4(br, gx, w.v_br, w.v_g)};
}

// Two register pairs narrowed as soon as they are done, so few registers stay live:
// luma to 16 bits (pixels 0-7 | 8-15 of the half), block sums to blocks 0-3 | 4-7 of the half.
struct Half {
  __m256i y0, y1, u, v;
};

template <int kForm>
inline Half half(const uint8_t* upper, const uint8_t* lower, int g, const Weights& w) {
  const Quarter p = quarter<kForm>(upper, lower, g, w);
  const Quarter q = quarter<kForm>(upper, lower, g + 1, w);
  return {_mm256_packs_epi32(p.y0, q.y0), _mm256_packs_epi32(p.y1, q.y1), even_lanes(p.u, q.u),
          even_lanes(p.v, q.v)};
}

// 16-bit luma of pixels 0-7 | 8-15 and 16-23 | 24-31 to 32 bytes in picture order.
inline __m256i pack_luma(__m256i lo, __m256i hi) {
  const __m256i p = _mm256_packus_epi16(lo, hi);
  return _mm256_add_epi8(_mm256_permute4x64_epi64(p, _MM_SHUFFLE(3, 1, 2, 0)),
                         _mm256_set1_epi8(16));
}

template <int kForm>
inline void step16(const uint8_t* upper, const uint8_t* lower, uint8_t* y0, uint8_t* y1, uint8_t* u,
                   uint8_t* v, const Weights& w) {
  // Register pairs of pixel groups (0 | 2, 1 | 3) and (4 | 6, 5 | 7).
  const Half lo = half<kForm>(upper, lower, 0, w);
  const Half hi = half<kForm>(upper, lower, 4, w);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(y0), pack_luma(lo.y0, hi.y0));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(y1), pack_luma(lo.y1, hi.y1));
  // Halves: U blocks 0-3 and 8-11 | 4-7 and 12-15 after the 32-bit pack, likewise V.
  const __m256i u16 = _mm256_packs_epi32(lo.u, hi.u);
  const __m256i v16 = _mm256_packs_epi32(lo.v, hi.v);
  const __m256i uv = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(u16, v16),
                                                 _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  const __m256i biased = _mm256_xor_si256(uv, _mm256_set1_epi8(char(0x80)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(u), _mm256_castsi256_si128(biased));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(v), _mm256_extracti128_si256(biased, 1));
}

// The last 16-byte load of a step starts 28 pixels in (5-6-5: the last 32-byte load, 16).
template <int kForm>
void convert_avx2(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src, int32_t width,
                  int32_t height, int32_t luma_stride, ptrdiff_t src_pitch) {
  const Weights w;
  constexpr ptrdiff_t kLoadBytes = kForm == rgb::k565 ? 64 : 28 * kForm + 16;
  rgb::convert_rows<kForm, kBlocksPerStep, kLoadBytes>(
      y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch,
      [&w](const uint8_t* upper, const uint8_t* lower, uint8_t* y0, uint8_t* y1, uint8_t* u,
           uint8_t* v) { step16<kForm>(upper, lower, y0, y1, u, v, w); });
}

}  // namespace

VQ_CONVERTER(rgb24_to_planar420_avx2) {
  convert_avx2<3>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb32_to_planar420_avx2) {
  convert_avx2<4>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb565_to_planar420_avx2) {
  convert_avx2<rgb::k565>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

}  // namespace vq
