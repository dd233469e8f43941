// Helpers shared by the vector forms of the RGB converters (MMX, SSE2, AVX2).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "convert/rgb_block.h"

namespace vq::rgb {
// Internal linkage: each converter file compiles these with its own instruction-set flags,
// and the linker must not pick one file's copy for another.
namespace {

// The converters know only the rows they are handed: `height` rows of `width * kBytes` bytes,
// `pitch` apart, starting at `top`. The highest byte they may read is the last byte of the row
// at the highest address (the top row when pitch < 0, the bottom row when pitch > 0); bytes
// between rows belong to the same buffer. Returns one past that byte.
inline const uint8_t* rows_end(const uint8_t* top, ptrdiff_t pitch, int32_t height, int32_t width,
                               int bytes_per_pixel) {
  const uint8_t* last = top + ptrdiff_t(height - 1) * pitch;
  return std::max(top, last) + ptrdiff_t(width) * bytes_per_pixel;
}

// How many vector steps of one row pair may run with full-width loads. A step covers
// `step_bytes` source bytes of each row but loads `load_bytes` (>= step_bytes) from the step's
// first byte; `upper` and `lower` are the pair's two rows, `end` what rows_end() gave.
// At most `steps`; the blocks after them go to the scalar tail.
inline int safe_steps(const uint8_t* upper, const uint8_t* lower, const uint8_t* end, int steps,
                      ptrdiff_t step_bytes, ptrdiff_t load_bytes) {
  const ptrdiff_t room = end - std::max(upper, lower);
  if (room < load_bytes) return 0;
  const ptrdiff_t fit = (room - load_bytes) / step_bytes + 1;
  return fit < steps ? int(fit) : steps;
}

// The row-pair loop every vector form shares: `step(upper, lower, y0, y1, u, v)` converts
// kBlocksPerStep blocks and loads kLoadBytes from each row's step start; the blocks its full
// loads cannot safely cover go to the scalar tail.
template <int kForm, int kBlocksPerStep, ptrdiff_t kLoadBytes, typename Step>
inline void convert_rows(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src,
                         int32_t width, int32_t height, int32_t luma_stride, ptrdiff_t src_pitch,
                         Step step) {
  constexpr int kBytes = kPixelBytes<kForm>;
  if (width < 2 || height < 2) return;
  const int n = width / 2;
  const int m = height / 2;
  const ptrdiff_t cstride = chroma_stride(width, luma_stride);
  const uint8_t* end = rows_end(src, src_pitch, height, width, kBytes);
  constexpr ptrdiff_t kStepBytes = 2 * kBlocksPerStep * kBytes;
  for (int i = 0; i < m; ++i) {
    const uint8_t* upper = src + 2 * i * src_pitch;
    const uint8_t* lower = upper + src_pitch;
    uint8_t* y0 = y_dst + ptrdiff_t(2 * i) * luma_stride;
    uint8_t* y1 = y0 + luma_stride;
    uint8_t* u = u_dst + i * cstride;
    uint8_t* v = v_dst + i * cstride;
    const int steps = safe_steps(upper, lower, end, n / kBlocksPerStep, kStepBytes, kLoadBytes);
    for (int s = 0; s < steps; ++s) {
      const ptrdiff_t px = ptrdiff_t(s) * 2 * kBlocksPerStep;
      step(upper + px * kBytes, lower + px * kBytes, y0 + px, y1 + px, u + s * kBlocksPerStep,
           v + s * kBlocksPerStep);
    }
    convert_blocks<kForm>(upper, lower, y0, y1, u, v, steps * kBlocksPerStep, n);
  }
}

}  // namespace
}  // namespace vq::rgb
