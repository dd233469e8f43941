// Which AVI streams go to a decoder, the same on both sides of the module.
#include "convert/convert.h"
#include "decode/module.h"

namespace vq {

bool stream_needs_decoder(const StreamFormat& stream) {
  BitmapInfoHeader bih;
  if (!read_bitmap_info_header(stream.format.data(), stream.format.size(), &bih)) return false;
  // Bit fields stay raw too: FFmpeg's raw decoder would ignore their masks.
  if (bih.biCompression == kBiRgb || bih.biCompression == kBiBitfields ||
      bih.biCompression == kFourccYV12) {
    return false;
  }
  return bih.biWidth >= 1 && bih.biHeight != 0 && bih.biHeight != INT32_MIN;
}

}  // namespace vq
