// SSE2 forms of the 24-bit, 32-bit and 5-6-5 converters: eight 2x2 blocks (16 pixels of each
// row) per step, the remaining blocks of a row pair through the scalar block routine.
//
// Every pixel sits in a 32-bit lane as blue, green, red and one ignored byte. Masking keeps
// (blue, red) as two 16-bit halves, a 16-bit shift gives (green, ignored); PMADDWD with
// (25, 66) and (129, 0) then yields the luma sum of the pixel, which is below 65536 and is
// shifted right by 8. For chroma the (blue, red) and (green, ignored) halves of the two rows are
// added, multiply-added with the U or V weights into 32-bit column sums, the two columns of a
// block added, and the block sum shifted right arithmetically by 10 (floor toward minus
// infinity). All values stay in range, so the packs never saturate. 5-6-5 pixels are widened
// to that same lane form: blue, green and red shifted into 16-bit words and interleaved.
#include <emmintrin.h>

#include <cstring>

#include "convert/convert.h"
#include "convert/rgb_block.h"
#include "convert/rgb_simd.h"

namespace vq {
namespace {

constexpr int kBlocksPerStep = 8;

// Four pixels from `p` as 32-bit lanes (blue, green, red, any). Reads 16 bytes from `p`.
template <int kBytes>
inline __m128i load4(const uint8_t* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if constexpr (kBytes == 4) {
    return x;
  } else {
    // Pixels 0/1 in the low 64 bits, pixels 2/3 in the high ones, each pair at bytes 0 and 3.
    const __m128i q = _mm_unpacklo_epi64(x, _mm_srli_si128(x, 6));
    // Moves the second pixel of each pair from byte 3 to byte 4.
    const __m128i shifted = _mm_slli_epi64(q, 8);
    const __m128i low_lane = _mm_set_epi32(0, -1, 0, -1);
    return _mm_or_si128(_mm_and_si128(low_lane, q), _mm_andnot_si128(low_lane, shifted));
  }
}

struct Weights {
  __m128i byte_mask = _mm_set1_epi32(0x00FF00FF);
  __m128i five_bits = _mm_set1_epi16(0xF8);  // a 5-bit field moved to bits 3..7
  __m128i six_bits = _mm_set1_epi16(0xFC);   // a 6-bit field moved to bits 2..7
  __m128i luma_br = _mm_set1_epi32(66 << 16 | 25);
  __m128i luma_g = _mm_set1_epi32(129);
  __m128i u_br = _mm_set1_epi32(int32_t(uint32_t(-38) << 16 | 112));
  __m128i u_g = _mm_set1_epi32(int32_t(uint16_t(-74)));
  __m128i v_br = _mm_set1_epi32(int32_t(112u << 16 | uint16_t(-18)));
  __m128i v_g = _mm_set1_epi32(int32_t(uint16_t(-94)));
};

// Luma sums >> 8 of four pixels given as (blue, red) and (green, any) halves.
inline __m128i luma4(__m128i br, __m128i gx, const Weights& w) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, w.luma_br), _mm_madd_epi16(gx, w.luma_g));
  return _mm_srli_epi32(sum, 8);
}

// Block sums of two blocks (lanes 0 and 2) from the column sums of four columns.
inline __m128i chroma2(__m128i br, __m128i gx, __m128i w_br, __m128i w_g) {
  const __m128i col = _mm_add_epi32(_mm_madd_epi16(br, w_br), _mm_madd_epi16(gx, w_g));
  return _mm_srai_epi32(_mm_add_epi32(col, _mm_srli_epi64(col, 32)), 10);
}

// Lanes 0 and 2 of a, then of b.
inline __m128i even_lanes(__m128i a, __m128i b) {
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}

// Pixels 4k .. 4k+3 of `row` as (blue, red) and (green, 0) halves of 32-bit lanes. Reads 16
// bytes from pixel 4k (5-6-5: from pixel 8 * (k / 2)).
template <int kForm>
inline void split4(const uint8_t* row, int k, const Weights& w, __m128i* br, __m128i* gx) {
  if constexpr (kForm == rgb::k565) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * (k / 2)));
    const __m128i b = _mm_and_si128(_mm_slli_epi16(x, 3), w.five_bits);
    const __m128i g = _mm_and_si128(_mm_srli_epi16(x, 3), w.six_bits);
    const __m128i r = _mm_and_si128(_mm_srli_epi16(x, 8), w.five_bits);
    const __m128i zero = _mm_setzero_si128();
    *br = k % 2 ? _mm_unpackhi_epi16(b, r) : _mm_unpacklo_epi16(b, r);
    *gx = k % 2 ? _mm_unpackhi_epi16(g, zero) : _mm_unpacklo_epi16(g, zero);
  } else {
    const __m128i a = load4<kForm>(row + 4 * k * kForm);
    *br = _mm_and_si128(a, w.byte_mask);
    *gx = _mm_srli_epi16(a, 8);
  }
}

// Eight blocks: 16 pixels of `upper` and of `lower`.
template <int kForm>
inline void step8(const uint8_t* upper, const uint8_t* lower, uint8_t* y0, uint8_t* y1, uint8_t* u,
                  uint8_t* v, const Weights& w) {
  __m128i ly0[4], ly1[4], cu[4], cv[4];
  for (int k = 0; k < 4; ++k) {
    __m128i a_br, a_gx, b_br, b_gx;
    split4<kForm>(upper, k, w, &a_br, &a_gx);
    split4<kForm>(lower, k, w, &b_br, &b_gx);
    ly0[k] = luma4(a_br, a_gx, w);
    ly1[k] = luma4(b_br, b_gx, w);
    const __m128i br = _mm_add_epi16(a_br, b_br), gx = _mm_add_epi16(a_gx, b_gx);
    cu[k] = chroma2(br, gx, w.u_br, w.u_g);
    cv[k] = chroma2(br, gx, w.v_br, w.v_g);
  }
  const __m128i k16 = _mm_set1_epi8(16);
  const __m128i row0 =
      _mm_packus_epi16(_mm_packs_epi32(ly0[0], ly0[1]), _mm_packs_epi32(ly0[2], ly0[3]));
  const __m128i row1 =
      _mm_packus_epi16(_mm_packs_epi32(ly1[0], ly1[1]), _mm_packs_epi32(ly1[2], ly1[3]));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y0), _mm_add_epi8(row0, k16));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y1), _mm_add_epi8(row1, k16));
  const __m128i u16 = _mm_packs_epi32(even_lanes(cu[0], cu[1]), even_lanes(cu[2], cu[3]));
  const __m128i v16 = _mm_packs_epi32(even_lanes(cv[0], cv[1]), even_lanes(cv[2], cv[3]));
  const __m128i uv = _mm_xor_si128(_mm_packs_epi16(u16, v16), _mm_set1_epi8(char(0x80)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(u), uv);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(v), _mm_unpackhi_epi64(uv, uv));
}

// The last 16-byte load of a step starts 12 pixels in (5-6-5: 8 pixels, 16 bytes, in).
template <int kForm>
void convert_sse2(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src, int32_t width,
                  int32_t height, int32_t luma_stride, ptrdiff_t src_pitch) {
  const Weights w;
  constexpr ptrdiff_t kLoadBytes = kForm == rgb::k565 ? 32 : 12 * kForm + 16;
  rgb::convert_rows<kForm, kBlocksPerStep, kLoadBytes>(
      y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch,
      [&w](const uint8_t* upper, const uint8_t* lower, uint8_t* y0, uint8_t* y1, uint8_t* u,
           uint8_t* v) { step8<kForm>(upper, lower, y0, y1, u, v, w); });
}

}  // namespace

VQ_CONVERTER(rgb24_to_planar420_sse2) {
  convert_sse2<3>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb32_to_planar420_sse2) {
  convert_sse2<4>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb565_to_planar420_sse2) {
  convert_sse2<rgb::k565>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

}  // namespace vq
