// Video: the picture type that readers and decoders hand out and metrics read, and the source
// seam that the comparison run consumes. Every reader (AVI, Y4M / raw YUV, FFmpeg's containers)
// implements VideoSource; none of them knows about the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "convert/convert.h"

namespace vq {

// How the chroma planes of a YUV picture are sampled. Gray pictures have a luma plane only.
enum class ChromaLayout : uint8_t { k420, k422, k444, kGray };

// The layout's name in notices and reports: "4:2:0", "4:2:2", "4:4:4", "gray".
[[nodiscard]] constexpr const char* chroma_layout_name(ChromaLayout layout) {
  switch (layout) {
    case ChromaLayout::k420:
      return "4:2:0";
    case ChromaLayout::k422:
      return "4:2:2";
    case ChromaLayout::k444:
      return "4:4:4";
    case ChromaLayout::kGray:
      break;
  }
  return "gray";
}

// Chroma plane size of a `width` x `height` picture, rounded up as every YUV file stores it
// (a 641x361 4:2:0 picture has 321x181 chroma planes).
struct PlaneSize {
  int32_t width = 0;
  int32_t height = 0;
};
[[nodiscard]] constexpr PlaneSize chroma_size(ChromaLayout layout, int32_t width, int32_t height) {
  switch (layout) {
    case ChromaLayout::k420:
      return {(width + 1) / 2, (height + 1) / 2};
    case ChromaLayout::k422:
      return {(width + 1) / 2, height};
    case ChromaLayout::k444:
      return {width, height};
    case ChromaLayout::kGray:
      break;
  }
  return {0, 0};
}

// A decoded picture as its producer holds it: planes with pitches, not copied. Plane 0 is Y,
// plane 1 U (Cb), plane 2 V (Cr). Samples of depth 8 are bytes; samples of depth 9 to 16 are
// 16-bit little-endian words holding values below 2^depth. Pitches are in bytes and may be
// negative. The chroma planes are chroma_width x chroma_height samples: chroma_size() for
// pictures read from YUV files and containers; (width/2) x (height/2) for the pictures of a
// compressed AVI stream, which keep the form the AVI path has always compared.
struct Picture {
  ChromaLayout layout = ChromaLayout::k420;
  int depth = 8;
  bool full_range = false;  // JPEG-range samples (0..peak) rather than studio range
  int32_t width = 0;
  int32_t height = 0;
  int32_t chroma_width = 0;
  int32_t chroma_height = 0;
  const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  ptrdiff_t pitch[3] = {0, 0, 0};
  // The matrix coefficients its stream states, by their H.273 numbers (FFmpeg's AVColorSpace:
  // 1 BT.709, 5 and 6 BT.601, 9 BT.2020, ...); 2, unspecified, where the stream states none (Y4M,
  // raw YUV, AVI). Only a conversion to RGB reads it.
  uint8_t matrix = 2;
};

// Bytes per sample of a picture of `depth` bits.
[[nodiscard]] constexpr int sample_bytes(int depth) {
  return depth > 8 ? 2 : 1;
}

// One frame as a source hands it out: a picture (used in place), or a frame read but refused:
// nothing makes a picture of it (a raw format without a converter, a stream no decoder took),
// so the pair it is in is refused with `refused`, after its stated size is compared. A packed
// DIB frame (`dib`) passes only between a decoder and the AVI source, which converts it.
struct Frame {
  DibFrame dib;
  Picture picture;
  std::string refused;
  int64_t stated_width = 0;
  int64_t stated_height = 0;
  [[nodiscard]] bool is_picture() const { return picture.width > 0; }
};

// What a source tells about its stream, for notices and reports.
struct SourceInfo {
  std::string container;     // "AVI", "Y4M", "raw YUV", or libavformat's name ("mov,mp4,...")
  std::string codec;         // "rawvideo", "h264", "DIB 24-bit", ...
  std::string pixel_format;  // "yuv420p", "yuv420p10le", "bgr24", ...
  int32_t width = 0;
  int32_t height = 0;
  int32_t rate_num = 0;  // frames per second as rate_num / rate_den; 0 when not known
  int32_t rate_den = 0;
  // Frames in the stream. When length_known is false it is an estimate (a container's
  // statement, good for a progress line) or 0 (a pipe): the stream ends where a fetch says so.
  int32_t length = 0;
  bool length_known = true;
  // How the stream asks to be shown, as far as it says: the rotation of its display matrix in
  // degrees as FFmpeg states it, 0 to 359 (pictures are scored as stored), and its colour
  // description by FFmpeg's names ("bt709", "smpte2084", "tv" or "pc"); empty when not stated.
  int32_t rotation = 0;
  std::string color_primaries;
  std::string color_transfer;
  std::string color_range;
  // The file's size over its duration, as its container states them, in kbit/s; 0 when either
  // is not known (a raw or decoded stream, a pipe).
  double bitrate_kbps = 0;
};

// The outcome of one fetch.
enum class Fetch : uint8_t {
  kFrame,       // *out holds frame `index`
  kEnd,         // the stream ended before frame `index` (only sources whose length is not known)
  kError,       // frame `index` exists (or should) but cannot be delivered
  kOutOfMemory  // the memory it needs cannot be had
};

// The source seam. A source owns everything it reads through; the frame it hands out stays
// valid until its next fetch or its end. A source whose length is known serves any index in
// any order, unless it says otherwise (one view of a file that several runs read at once); a
// streaming source (a pipe) serves indexes in increasing order only.
class VideoSource {
 public:
  VideoSource() = default;
  VideoSource(const VideoSource&) = delete;
  VideoSource& operator=(const VideoSource&) = delete;
  virtual ~VideoSource() = default;

  [[nodiscard]] virtual const SourceInfo& info() const = 0;
  [[nodiscard]] virtual Fetch get_frame(int32_t index, Frame* out) = 0;
  // Asks that every frame handed out from now on stay valid through the next `fetches` - 1
  // fetches (so that a run can score it on another thread without copying it). The count the
  // source keeps them for: 1, until the next fetch, unless it can do more.
  [[nodiscard]] virtual int32_t keep_frames(int32_t fetches) {
    (void)fetches;
    return 1;
  }
  // Whether any index may be asked for in any order; false: in increasing order only.
  [[nodiscard]] virtual bool any_order() const { return info().length_known; }
  // Why the last fetch failed, in a few words for a notice on stderr; empty when not known.
  [[nodiscard]] virtual std::string reason() const { return {}; }
};

}  // namespace vq

namespace vq {

// The one way bytes are read: an input as the reader picker opened it, once, and handed to the
// reader its first bytes call for. A file (the descriptor, closed with the object: whether it is
// regular, readable at any offset, and its size), standard input or a pipe (read in order only),
// or bytes in memory (tests, fuzzing: read as a regular file). The first bytes the picker read to
// recognise it are kept: pipes cannot give them back, so sequential reads serve them first.
class InputFile {
 public:
  InputFile(std::string path, int fd, bool regular, uint64_t size);
  // Bytes owned by the caller, which must outlive the input, named `name` in messages.
  InputFile(std::string name, const uint8_t* data, size_t size);
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] int fd() const { return fd_; }  // -1 for bytes in memory
  [[nodiscard]] bool regular() const { return regular_; }
  [[nodiscard]] uint64_t size() const { return size_; }  // 0 when not a regular file

  // Reads the first `n` bytes (fewer at the end of the input) and keeps them for sequential
  // reads; what it returns stays valid until the next call. Used by the picker only.
  [[nodiscard]] const std::string& peek(size_t n);
  // Sequential read from the current position (the peeked bytes first): fills `dst` with up to
  // `n` bytes, fewer only at the end of the input. The count read, or -1 on an I/O error.
  [[nodiscard]] int64_t read(void* dst, size_t n);
  // Positioned read of exactly `n` bytes of a regular file: 1 when all were read.
  [[nodiscard]] int read_at(uint64_t offset, void* dst, size_t n);
  // The same straight from the file, for a reader that keeps its own read-ahead.
  [[nodiscard]] int read_exactly(uint64_t offset, uint8_t* out, size_t n);

 private:
  // Up to n bytes from the current sequential position: the count, or -1 on an I/O error.
  [[nodiscard]] int64_t read_on(uint8_t* dst, size_t n);

  std::string path_;
  int fd_ = -1;
  const uint8_t* data_ = nullptr;  // bytes in memory, or nullptr
  uint64_t data_pos_ = 0;          // their sequential position
  bool regular_ = false;
  uint64_t size_ = 0;
  // Positioned reads of up to kReadAheadSmall bytes are served from a window of up to
  // kReadAheadWindow bytes (never more than the file holds) read in one call.
  static constexpr size_t kReadAheadSmall = 16 << 10;
  static constexpr size_t kReadAheadWindow = 256 << 10;

  std::string head_;     // bytes read by peek()
  size_t head_pos_ = 0;  // how many of them read() has handed out
  bool eof_ = false;
  std::string window_;  // the read-ahead window, from window_at_
  uint64_t window_at_ = 0;
};

enum class OpenStatus : uint8_t { kOpened, kFailed, kOutOfMemory };

// Opens `path` ("-": standard input) as an input. On failure *why says why in a few words ("no
// such file", "a directory, not a video file").
[[nodiscard]] OpenStatus open_input_file(const char* path, std::unique_ptr<InputFile>* out,
                                         std::string* why);

}  // namespace vq
