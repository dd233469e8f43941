// Fuzz target: any bytes opened as a container through libavformat, the first pictures fetched
// and read whole, one fetch back to the start, and the picture converted as the run converts it.
// Built with libFuzzer by run.sh container_fuzzer, and replayed over its seed corpus by the normal
// test suite (builds with FFmpeg's libraries only).
#include <cstddef>
#include <cstdint>
#include <numeric>

extern "C" {
#include <libavutil/log.h>
}

#include "decode/decode.h"

namespace {

// Reads every sample of the picture's planes; their sum, so that the reads stay.
uint32_t read_all(const vq::Picture& p) {
  using namespace vq;
  const PlaneSize c = chroma_size(p.layout, p.width, p.height);
  if (p.chroma_width != c.width || p.chroma_height != c.height) __builtin_trap();
  uint32_t sum = 0;
  for (int k = 0; k < (p.layout == ChromaLayout::kGray ? 1 : 3); ++k) {
    const size_t row = size_t(k ? c.width : p.width) * size_t(sample_bytes(p.depth));
    for (int32_t r = 0; r < (k ? c.height : p.height); ++r) {
      const uint8_t* at = p.plane[k] + r * p.pitch[k];
      sum = std::accumulate(at, at + row, sum);
    }
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vq;
  av_log_set_level(AV_LOG_QUIET);
  std::string why;
  const std::unique_ptr<VideoSource> source = open_container_memory(data, size, &why);
  if (!source) return 0;
  Frame frame;
  uint32_t sum = 0;
  for (int32_t i : {0, 1, 2, 3, 0}) {
    const Fetch got = source->get_frame(i, &frame);
    if (got == Fetch::kEnd) continue;
    if (got != Fetch::kFrame) continue;
    if (!frame.is_picture()) __builtin_trap();
    sum += read_all(frame.picture);
  }
  if (source->get_frame(0, &frame) == Fetch::kFrame) {
    PictureBuffer converted;
    if (convert_picture(frame.picture, ChromaLayout::k420, 8, &converted)) {
      sum += read_all(converted.picture);
    }
  }
  return sum == 0xFFFFFFFFu ? 1 : 0;
}
