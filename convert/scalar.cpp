// The scalar converters of packed RGB frames to planar 4:2:0: every other tier's reference.
#include <cstring>

#include "convert/convert.h"
#include "convert/rgb_block.h"

namespace vq {
namespace {

template <int kForm>
void rgb_to_planar(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src,
                   int32_t width, int32_t height, int32_t luma_stride, ptrdiff_t src_pitch) {
  if (width < 2 || height < 2) return;
  const int n = width / 2;
  const int m = height / 2;
  const ptrdiff_t cstride = rgb::chroma_stride(width, luma_stride);
  for (int i = 0; i < m; ++i) {
    const uint8_t* top = src + 2 * i * src_pitch;
    uint8_t* y0 = y_dst + ptrdiff_t(2 * i) * luma_stride;
    rgb::convert_blocks<kForm>(top, top + src_pitch, y0, y0 + luma_stride, u_dst + i * cstride,
                               v_dst + i * cstride, 0, n);
  }
}

}  // namespace

VQ_CONVERTER(rgb24_to_planar420) {
  rgb_to_planar<3>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb32_to_planar420) {
  rgb_to_planar<4>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

VQ_CONVERTER(rgb565_to_planar420) {
  rgb_to_planar<rgb::k565>(y_dst, u_dst, v_dst, src, width, height, luma_stride, src_pitch);
}

// The 5-5-5 form lays its planes out for the width whatever the luma stride says.
VQ_CONVERTER(rgb555_to_planar420) {
  (void)luma_stride;
  rgb_to_planar<2>(y_dst, u_dst, v_dst, src, width, height, width, src_pitch);
}

// YV12 is already planar 4:2:0: a copy, Y rows src_pitch apart in the source, then V, then U
// packed behind the Y plane.
VQ_CONVERTER(yv12_to_planar420) {
  (void)luma_stride;
  if (width < 1 || height < 1) return;
  for (int32_t r = 0; r < height; ++r) {
    std::memcpy(y_dst + ptrdiff_t(r) * width, src + r * src_pitch, size_t(width));
  }
  const size_t k = size_t(width / 2) * size_t(height / 2);
  const uint8_t* v_src = src + ptrdiff_t(height) * src_pitch;
  if (k == 0) return;
  std::memcpy(v_dst, v_src, k);
  std::memcpy(u_dst, v_src + k, k);
}

}  // namespace vq
