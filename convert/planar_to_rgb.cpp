// The reverse conversion: 8-bit planar 4:2:0 pictures (BT.601 studio range) to RGB24, for
// pictures shown to people.
#include <algorithm>

#include "convert/convert.h"

namespace vq {
namespace {

// BT.601 studio range back to RGB, weights scaled by 2^16:
//   R = 1.164383 (Y - 16) + 1.596027 (V - 128)
//   G = 1.164383 (Y - 16) - 0.391762 (U - 128) - 0.812968 (V - 128)
//   B = 1.164383 (Y - 16) + 2.017232 (U - 128)
// Half a unit is added before the arithmetic right shift, so each channel is rounded to the
// nearest integer (halves upward), then clamped to 0..255.
constexpr int kShift = 16;
constexpr int kHalf = 1 << (kShift - 1);
constexpr int kY = 76309;
constexpr int kRv = 104597;
constexpr int kGu = 25675;
constexpr int kGv = 53279;
constexpr int kBu = 132201;

inline uint8_t clamp_channel(int scaled) {
  return uint8_t(std::clamp((scaled + kHalf) >> kShift, 0, 255));
}

}  // namespace

int planar420_to_rgb24(const PlanarImage& src, uint8_t* rgb, ptrdiff_t rgb_pitch) {
  if (src.width < 1 || src.height < 1 || src.chroma_width < 1 || src.chroma_height < 1 ||
      src.chroma_width > src.width || src.chroma_height > src.height ||
      src.chroma_width < src.width / 2 || src.chroma_height < src.height / 2 || !src.y || !src.u ||
      !src.v || !rgb) {
    return 0;
  }
  // Half-size chroma along an axis covers two luma samples per chroma sample; full-size chroma
  // (4:2:2 rows, 4:4:4) one. A half-size plane that rounds down (w/2 for an odd width) has no
  // sample for the last luma column or row, which then repeats the one before it.
  const int sx = src.chroma_width < src.width ? 1 : 0;
  const int sy = src.chroma_height < src.height ? 1 : 0;
  for (int32_t r = 0; r < src.height; ++r) {
    const int32_t cr = std::min(r >> sy, src.chroma_height - 1);
    const uint8_t* y = src.y + r * src.y_pitch;
    const uint8_t* u = src.u + cr * src.u_pitch;
    const uint8_t* v = src.v + cr * src.v_pitch;
    uint8_t* out = rgb + r * rgb_pitch;
    for (int32_t c = 0; c < src.width; ++c) {
      const int32_t cc = std::min(c >> sx, src.chroma_width - 1);
      const int luma = kY * (y[c] - 16);
      const int d = u[cc] - 128;
      const int e = v[cc] - 128;
      out[3 * c] = clamp_channel(luma + kRv * e);
      out[3 * c + 1] = clamp_channel(luma - kGu * d - kGv * e);
      out[3 * c + 2] = clamp_channel(luma + kBu * d);
    }
  }
  return 1;
}

}  // namespace vq
