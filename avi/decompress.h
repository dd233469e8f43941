// The decompressor seam: what a compressed stream needs from the container reader, and the
// probe that finds a decoder for it. Private to avi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "avi/avi.h"

namespace vq {

// The stream as the container knows it.
struct StreamFormat {
  uint32_t fcc_handler = 0;     // strh fccHandler
  std::vector<uint8_t> format;  // strf as stored: BITMAPINFOHEADER, then codec private data
  int32_t length = 0;           // strh dwLength; when that is 0 or 2^31 and more, the frames found
};

// The stream's chunks in file order, one per frame, as the container reader sees them.
class PacketSource {
 public:
  virtual ~PacketSource() = default;
  [[nodiscard]] virtual int32_t packet_count() const = 0;
  [[nodiscard]] virtual bool is_keyframe(int32_t index) const = 0;
  // Reads chunk `index` whole into *out (resized to its size; 0 for a dropped frame).
  // 0 when the chunk cannot be read (outside the file, I/O error).
  [[nodiscard]] virtual int read_packet(int32_t index, std::vector<uint8_t>* out) = 0;
};

class Decompressor {
 public:
  virtual ~Decompressor() = default;
  // Picture `index` of the stream (presentation order), decoded into `frame` as a packed DIB
  // frame (frame.prepare + set_filled). 1 when delivered, 0 when it cannot be decoded.
  [[nodiscard]] virtual int get_frame(int32_t index, FrameBuffer* frame) = 0;
};

// The decompressor probe: a decoder for `stream`, reading its chunks from `packets` (which
// outlives it), or null when the frames are to be handed out raw: fccHandler "DIB " or 0 with
// an uncompressed format, or no decoder for the codec.
[[nodiscard]] std::unique_ptr<Decompressor> open_decompressor(const StreamFormat& stream,
                                                              PacketSource* packets);

}  // namespace vq
