// MMX forms of the 24- and 32-bit converters: one 2x2 block per pass of the block loop.
//
// Each pixel is widened to four 16-bit lanes (blue, green, red, and the byte after red) and
// multiply-added (PMADDWD) with weight constants whose fourth lane is 0, so the byte after red
// (the next pixel's blue in 24-bit rows, the unused fourth byte in 32-bit rows) never counts.
// The two 32-bit halves of a product are added, shifted right logically (for a negative chroma
// sum this differs from the arithmetic shift only in the top bits, never in the low byte that is
// stored) and offset by 16 or 128. The values never leave a byte, so no saturating pack is used.
#include <mmintrin.h>

#include <cstring>

#include "convert/convert.h"
#include "convert/rgb_block.h"
#include "convert/rgb_simd.h"

namespace vq {
namespace {

// The loop state of the MMX routines: one process-wide set, shared by both and rewritten at the
// start of every call that converts anything. MMX conversions must therefore never overlap.
struct MmxLoopState {
  ptrdiff_t luma_pair_step;   // added to the Y pointer after a row pair: 2 stride - 2 (W/2)
  ptrdiff_t chroma_row_step;  // added to the U and V pointers after a row pair
  ptrdiff_t source_rewind;    // subtracted from the source pointer after a row pair
  ptrdiff_t source_pitch;     // signed: from one picture row to the next one down
  int32_t blocks;             // blocks per row pair: W/2
  int32_t row_pairs_left;     // counted down in place
};

MmxLoopState g_mmx_state;

inline __m64 load32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return _mm_cvtsi32_si64(v);
}

inline __m64 load64(const uint8_t* p) {
  long long v;
  std::memcpy(&v, p, 8);
  return _mm_cvtsi64_m64(v);
}

// Adds the upper 32-bit half onto the lower one, shifts right by `shift` and adds `offset`;
// the low byte of the result is the sample.
inline uint8_t finish(__m64 products, int shift, __m64 offset) {
  __m64 s = _mm_add_pi32(products, _mm_srli_si64(products, 32));
  s = _mm_add_pi32(_mm_srli_pi32(s, shift), offset);
  return uint8_t(_mm_cvtsi64_si32(s));
}

template <int kBytes>
void convert_mmx(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src, int32_t width,
                 int32_t height, int32_t luma_stride, ptrdiff_t src_pitch) {
  if (width < 2 || height < 2) return;
  MmxLoopState& st = g_mmx_state;
  const int32_t n = width / 2;
  st.luma_pair_step = 2 * ptrdiff_t(luma_stride) - 2 * n;
  st.chroma_row_step = (ptrdiff_t(luma_stride) - width) >> 1;
  st.source_rewind = ptrdiff_t(2 * kBytes) * n - 2 * src_pitch;
  st.source_pitch = src_pitch;
  st.blocks = n;
  st.row_pairs_left = height / 2;

  // Per block and row: 4 bytes at the block's first pixel, 8 bytes at its second, so a block
  // loads kBytes + 8 bytes from its first byte. Only the row pair holding the highest-addressed
  // row can reach past the rows handed in; its last blocks go to the scalar tail.
  const uint8_t* end = rgb::rows_end(src, src_pitch, height, width, kBytes);

  const __m64 zero = _mm_setzero_si64();
  const __m64 luma_w = _mm_set_pi16(0, 66, 129, 25);
  const __m64 u_w = _mm_set_pi16(0, -38, -74, 112);
  const __m64 v_w = _mm_set_pi16(0, 112, -94, -18);
  const __m64 k16 = _mm_cvtsi32_si64(16);
  const __m64 k128 = _mm_cvtsi32_si64(128);

  const uint8_t* s = src;
  uint8_t* y = y_dst;
  uint8_t* u = u_dst;
  uint8_t* v = v_dst;
  do {
    const ptrdiff_t pitch = st.source_pitch;
    const uint8_t* row = s;
    uint8_t* y_row = y;
    uint8_t* u_row = u;
    uint8_t* v_row = v;
    const int fast = rgb::safe_steps(s, s + pitch, end, st.blocks, 2 * kBytes, kBytes + 8);
    for (int j = 0; j < fast; ++j) {
      // Upper row first: it is the higher picture row and lands on the even planar row.
      const __m64 p0 = _mm_unpacklo_pi8(load32(s), zero);
      const __m64 p1 = _mm_unpacklo_pi8(load64(s + kBytes), zero);
      const __m64 p2 = _mm_unpacklo_pi8(load32(s + pitch), zero);
      const __m64 p3 = _mm_unpacklo_pi8(load64(s + pitch + kBytes), zero);
      y[0] = finish(_mm_madd_pi16(p0, luma_w), 8, k16);
      y[1] = finish(_mm_madd_pi16(p1, luma_w), 8, k16);
      y[luma_stride] = finish(_mm_madd_pi16(p2, luma_w), 8, k16);
      y[luma_stride + 1] = finish(_mm_madd_pi16(p3, luma_w), 8, k16);
      const __m64 sum = _mm_add_pi16(_mm_add_pi16(p0, p1), _mm_add_pi16(p2, p3));
      *u = finish(_mm_madd_pi16(sum, u_w), 10, k128);
      *v = finish(_mm_madd_pi16(sum, v_w), 10, k128);
      s += 2 * kBytes;
      y += 2;
      ++u;
      ++v;
    }
    if (fast < st.blocks) {
      rgb::convert_blocks<kBytes>(row, row + pitch, y_row, y_row + luma_stride, u_row, v_row, fast,
                                  st.blocks);
      s += ptrdiff_t(2 * kBytes) * (st.blocks - fast);
      y += 2 * (st.blocks - fast);
      u += st.blocks - fast;
      v += st.blocks - fast;
    }
    s -= st.source_rewind;
    y += st.luma_pair_step;
    u += st.chroma_row_step;
    v += st.chroma_row_step;
  } while (--st.row_pairs_left != 0);
  _mm_empty();
}

}  // namespace

VQ_CONVERTER(rgb24_to_planar420_mmx) {
  convert_mmx<3>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb32_to_planar420_mmx) {
  convert_mmx<4>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

}  // namespace vq
