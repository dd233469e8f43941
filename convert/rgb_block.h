// Colour arithmetic shared by every RGB converter form: 8-bit BT.601 studio-range weights, no
// rounding term, divisions as arithmetic right shifts (floor toward minus infinity).
//   Y = ((25 B + 129 G + 66 R) >> 8) + 16                 per pixel
//   U = ((112 sB - 74 sG - 38 sR) >> 10) + 128            per 2x2 block, s = sum of 4 pixels
//   V = ((-18 sB - 94 sG + 112 sR) >> 10) + 128
// The SIMD forms hand the columns their vectors do not cover to convert_blocks(), so every
// form agrees with the scalar one by construction at the row ends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq::rgb {
// Internal linkage: each converter file compiles these with its own instruction-set flags,
// and the linker must not pick one file's copy for another.
namespace {

inline uint8_t luma(int b, int g, int r) {
  return uint8_t(((25 * b + 129 * g + 66 * r) >> 8) + 16);
}
inline uint8_t chroma_u(int sb, int sg, int sr) {
  return uint8_t(((112 * sb - 74 * sg - 38 * sr) >> 10) + 128);
}
inline uint8_t chroma_v(int sb, int sg, int sr) {
  return uint8_t(((-18 * sb - 94 * sg + 112 * sr) >> 10) + 128);
}

// The pixel forms: 2 (5-5-5 in 16 bits), 3 and 4 (bytes blue, green, red, [unused]), and k565
// (5-6-5 in 16 bits), with their sizes in bytes.
inline constexpr int k565 = 5;
template <int kForm>
inline constexpr int kPixelBytes = kForm == k565 ? 2 : kForm;

// Blue, green and red of one pixel, 8-bit. 5-bit fields count eight times their value, the
// 6-bit green of 5-6-5 four times (0 .. 252).
template <int kForm>
inline void load_bgr(const uint8_t* p, int* b, int* g, int* r) {
  if constexpr (kForm == 2) {
    const int w = p[0] | p[1] << 8;
    *b = (w & 31) << 3;
    *g = ((w >> 5) & 31) << 3;
    *r = ((w >> 10) & 31) << 3;
  } else if constexpr (kForm == k565) {
    const int w = p[0] | p[1] << 8;
    *b = (w & 31) << 3;
    *g = ((w >> 5) & 63) << 2;
    *r = ((w >> 11) & 31) << 3;
  } else {
    *b = p[0];
    *g = p[1];
    *r = p[2];
  }
}

// Converts blocks j0 .. n-1 of one row pair: `top` and `bottom` are the two source rows (upper
// picture row first), `y0`/`y1` the two Y rows, `u`/`v` the chroma row.
template <int kForm>
inline void convert_blocks(const uint8_t* top, const uint8_t* bottom, uint8_t* y0, uint8_t* y1,
                           uint8_t* u, uint8_t* v, int j0, int n) {
  constexpr int kBytes = kPixelBytes<kForm>;
  for (int j = j0; j < n; ++j) {
    int b[4], g[4], r[4];
    load_bgr<kForm>(top + (2 * j) * kBytes, &b[0], &g[0], &r[0]);
    load_bgr<kForm>(top + (2 * j + 1) * kBytes, &b[1], &g[1], &r[1]);
    load_bgr<kForm>(bottom + (2 * j) * kBytes, &b[2], &g[2], &r[2]);
    load_bgr<kForm>(bottom + (2 * j + 1) * kBytes, &b[3], &g[3], &r[3]);
    y0[2 * j] = luma(b[0], g[0], r[0]);
    y0[2 * j + 1] = luma(b[1], g[1], r[1]);
    y1[2 * j] = luma(b[2], g[2], r[2]);
    y1[2 * j + 1] = luma(b[3], g[3], r[3]);
    const int sb = b[0] + b[1] + b[2] + b[3];
    const int sg = g[0] + g[1] + g[2] + g[3];
    const int sr = r[0] + r[1] + r[2] + r[3];
    u[j] = chroma_u(sb, sg, sr);
    v[j] = chroma_v(sb, sg, sr);
  }
}

// Distance between chroma rows for a luma stride: width/2 + floor((stride - width)/2).
inline ptrdiff_t chroma_stride(int32_t width, int32_t luma_stride) {
  return width / 2 + ((ptrdiff_t(luma_stride) - width) >> 1);
}

}  // namespace
}  // namespace vq::rgb
