// AVI input: the first video stream of an AVI file, frame by frame: as packed DIB frames, and
// through the source seam as planar pictures (raw frames converted by the converter table).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "video/video.h"

namespace vq {

// The block that holds one packed DIB frame: the stream's (or decoder's) header, then pixels.
// Grows when a frame needs more room; never shrinks.
class FrameBuffer {
 public:
  FrameBuffer() = default;
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;
  virtual ~FrameBuffer() = default;

  // Makes room for `header_size` header bytes (copied from `header`) and `pixel_capacity` pixel
  // bytes, keeping the pixels already held. Returns the pixel area, or null when out of memory.
  uint8_t* prepare(const uint8_t* header, uint32_t header_size, size_t pixel_capacity);
  uint8_t* pixels() const { return block_ ? block_.get() + header_size_ : nullptr; }
  size_t capacity() const { return capacity_; }
  // The frame handed out: the header plus the `pixel_bytes` that the last fetch really filled.
  void set_filled(size_t pixel_bytes) { filled_ = pixel_bytes; }
  DibFrame frame() const { return DibFrame{block_.get(), block_ ? header_size_ + filled_ : 0}; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  uint32_t header_size_ = 0;
  size_t capacity_ = 0;
  size_t filled_ = 0;
};

// How a raw DIB frame became a picture.
enum class DibPicture : uint8_t { kMade, kRefused, kOutOfMemory };

// A raw DIB frame as a planar 4:2:0 picture of 8-bit samples with (W/2) x (H/2) chroma: YV12
// viewed where it lies, every other format converted by `converters` into *buffer (grown as
// needed; the last column of an odd width and the last row of an odd height count as 0, as in
// a zero-filled planar image). kRefused with *why in a few words ("pixel format not supported",
// "codec XVID: ...", "picture too large").
[[nodiscard]] DibPicture dib_picture(const ConverterTable& converters, const DibFrame& dib,
                                     std::vector<uint8_t>* buffer, Picture* out, std::string* why);

class AviReader;     // the container reader (RIFF, indexes), private to avi/
class ByteSource;    // where the reader's bytes come from, private to avi/
class Decompressor;  // a decoder for a compressed stream (decode/)

// One AVI file's first video stream. The source seam hands out pictures: raw frames, and
// frames a decoder gives as packed DIB frames, converted with the converter table for
// `cpu_flags`; a frame nothing converts is handed out refused, with the reason and its size.
class AviVideoSource final : public VideoSource {
 public:
  explicit AviVideoSource(uint32_t cpu_flags = detect_cpu_flags());
  ~AviVideoSource() override;

  // Reads `input` (a regular file or bytes in memory): 1 when it has a readable first video
  // stream, else 0.
  [[nodiscard]] int open(std::unique_ptr<InputFile> input);
  // The same for the file at `path`, and for bytes in memory (tests, fuzzing) that outlive the
  // source.
  [[nodiscard]] int open(const char* path);
  [[nodiscard]] int open_memory(const uint8_t* data, size_t size);
  // The stream header's length in frames.
  [[nodiscard]] int32_t length() const;
  // Frame `index` (0-based) as a packed DIB frame: raw frames, and decoded RGB pictures. 1 and
  // *out set when delivered; the frame stays valid until the next get_frame or the source's
  // end. 0 when the frame cannot be delivered or is a decoded YUV picture (see the Frame form).
  [[nodiscard]] int get_frame(int32_t index, DibFrame* out);

  // VideoSource
  [[nodiscard]] const SourceInfo& info() const override { return info_; }
  [[nodiscard]] Fetch get_frame(int32_t index, Frame* out) override;
  [[nodiscard]] std::string reason() const override { return reason_; }

 private:
  // The reason for a frame the header states but the file's chunks do not hold.
  [[nodiscard]] std::string missing_text(int32_t index) const;

  std::unique_ptr<AviReader> reader_;
  std::unique_ptr<Decompressor> decompressor_;
  FrameBuffer frame_;
  ConverterTable converters_;
  std::vector<uint8_t> planar_;  // the converted picture handed out last
  int32_t length_ = 0;
  SourceInfo info_;
  std::string reason_;  // why the last fetch failed
};

}  // namespace vq
