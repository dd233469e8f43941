// Fuzz target: any bytes opened as a Y4M file twice, as a regular file (frames found by walking
// the FRAME lines, read at their offsets) and as a stream (read in order), and as raw YUV of a
// size and layout its first bytes choose. Every frame is fetched up to a cap and read whole, and
// both ways must agree: the same frames, equal bytes, and an unreadable frame at the same index.
// Built with libFuzzer by run.sh, and replayed over the seed corpus by the normal test suite.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "y4m/y4m.h"

namespace {

using namespace vq;

// The bytes as a file: a memfd, `regular` or read as a stream from its start.
std::unique_ptr<InputFile> memory_file(const uint8_t* data, size_t size, bool regular) {
  const int fd = memfd_create("y4m_fuzz", 0);
  if (fd < 0) __builtin_trap();
  for (size_t at = 0; at < size;) {
    const ssize_t r = ::write(fd, data + at, size - at);
    if (r <= 0) __builtin_trap();
    at += size_t(r);
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) __builtin_trap();
  return std::make_unique<InputFile>("fuzz", fd, regular, regular ? size : 0);
}

// Every sample byte of a picture, summed so that the reads stay.
uint32_t plane_sum(const Picture& p, int k) {
  const int32_t w = (k ? p.chroma_width : p.width) * sample_bytes(p.depth);
  const int32_t h = k ? p.chroma_height : p.height;
  uint32_t sum = 0;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      sum = sum * 31 + p.plane[k][y * p.pitch[k] + x];
  return sum;
}

// Fetches frames from both sources in order until the stream stops, checking that they agree.
void compare(VideoSource& file, VideoSource& stream, int32_t cap) {
  if (!file.info().length_known || stream.info().length_known) __builtin_trap();
  Fetch last = Fetch::kFrame;
  for (int32_t i = 0; i < cap && last == Fetch::kFrame; ++i) {
    Frame a, b;
    const Fetch fa = file.get_frame(i, &a);
    last = stream.get_frame(i, &b);
    if (i >= file.info().length) {
      if (fa != Fetch::kError || last != Fetch::kEnd) __builtin_trap();
      break;
    }
    if (fa != last) __builtin_trap();
    if (fa != Fetch::kFrame) continue;
    for (int k = 0; k < (a.picture.layout == ChromaLayout::kGray ? 1 : 3); ++k)
      if (plane_sum(a.picture, k) != plane_sum(b.picture, k)) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string why_file, why_stream;
  auto file = open_y4m(memory_file(data, size, true), &why_file);
  auto stream = open_y4m(memory_file(data, size, false), &why_stream);
  if (!file != !stream || why_file != why_stream) __builtin_trap();
  if (file) compare(*file, *stream, 256);
  // Raw YUV of up to 16x16 samples, the layout and depth from the first bytes.
  if (size < 3) return 0;
  RawYuvFormat format{data[0] % 16 + 1, data[1] % 16 + 1, ChromaLayout(data[2] % 4),
                      8 + (data[2] / 4) % 9};
  file = open_raw_yuv(memory_file(data, size, true), format, nullptr);
  stream = open_raw_yuv(memory_file(data, size, false), format, nullptr);
  // A file of whole frames opens with their count; one with bytes over is refused (a stream
  // cannot know its size, and opens).
  const PlaneSize c = chroma_size(format.layout, format.width, format.height);
  const size_t frame = size_t(format.width * format.height + 2 * c.width * c.height) *
                       size_t(sample_bytes(format.depth));
  if (!stream || !file != (size % frame != 0)) __builtin_trap();
  if (!file) return 0;
  if (file->info().length != int32_t(size / frame)) __builtin_trap();
  compare(*file, *stream, 64);
  return 0;
}
