// The frame a stream's format header calls for. Private to avi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq {

// The pixel bytes one frame of `format` (a BITMAPINFOHEADER) needs: the larger of biSizeImage
// and the size its width, height and bit count give with rows padded to 4 bytes (YV12: a full
// Y plane and two quarter chroma planes). Saturates instead of overflowing.
[[nodiscard]] uint64_t frame_pixel_bytes(const uint8_t* format, size_t size);

// The header that heads every raw frame: biSize bytes of `format`, at least the 40 of a
// BITMAPINFOHEADER (52 for bit fields, whose three masks follow the 40 bytes) and at most what
// the format holds, with biSize rewritten to that length so that the pixels are found right
// after it. *capacity gets frame_pixel_bytes. 0 when the
// format holds fewer than 40 bytes.
[[nodiscard]] int frame_header(const uint8_t* format, size_t size, std::vector<uint8_t>* header,
                               size_t* capacity);

}  // namespace vq
