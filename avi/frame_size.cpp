// The size of a raw frame's pixels as its format states them, in arithmetic that cannot overflow.
#include "avi/frame_size.h"

#include <algorithm>
#include <limits>

#include "convert/convert.h"

namespace vq {
namespace {

uint64_t mul_sat(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) {
    return std::numeric_limits<uint64_t>::max();
  }
  return a * b;
}

uint64_t magnitude(int32_t v) {
  return v < 0 ? uint64_t(-int64_t(v)) : uint64_t(v);
}

}  // namespace

uint64_t frame_pixel_bytes(const uint8_t* format, size_t size) {
  BitmapInfoHeader h;
  if (!read_bitmap_info_header(format, size, &h)) return 0;
  const uint64_t w = magnitude(h.biWidth), rows = magnitude(h.biHeight);
  uint64_t computed;
  if (h.biCompression == kFourccYV12) {
    computed = mul_sat(w, rows) + 2 * mul_sat(w / 2, rows / 2);  // each term below 2^62
  } else {
    const uint64_t stride = (w * h.biBitCount + 31) / 32 * 4;  // w < 2^32, bit count < 2^16
    computed = mul_sat(stride, rows);
  }
  return std::max<uint64_t>(h.biSizeImage, computed);
}

int frame_header(const uint8_t* format, size_t size, std::vector<uint8_t>* header,
                 size_t* capacity) {
  BitmapInfoHeader h;
  if (!read_bitmap_info_header(format, size, &h)) return 0;
  size_t length = std::clamp<size_t>(h.biSize, kBitmapInfoHeaderSize, size);
  // Bit-field masks stored after a 40-byte header go into the frame's header with it.
  constexpr size_t kWithMasks = kBitmapInfoHeaderSize + 12;
  if (h.biCompression == kBiBitfields && length < kWithMasks && size >= kWithMasks) {
    length = kWithMasks;
  }
  header->assign(format, format + length);
  const uint32_t stored = uint32_t(length);
  for (int i = 0; i < 4; ++i)
    (*header)[size_t(i)] = uint8_t(stored >> (8 * i));
  const uint64_t bytes = frame_pixel_bytes(format, size);
  *capacity = size_t(std::min<uint64_t>(bytes, std::numeric_limits<size_t>::max()));
  return 1;
}

}  // namespace vq
