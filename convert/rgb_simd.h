// Helpers shared by the vector forms of the RGB converters (MMX, SSE2, AVX2).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

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

}  // namespace
}  // namespace vq::rgb
