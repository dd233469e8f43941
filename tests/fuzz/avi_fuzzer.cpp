// Fuzz target: any bytes opened as an AVI file, every frame fetched, read whole and converted
// when the pixel pipeline takes it. Built with libFuzzer by run.sh, and replayed over the seed
// corpus by the normal test suite.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#include "avi/avi.h"
#include "avi/byte_source.h"
#include "avi/reader.h"
#include "convert/convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vq;
  // The packets as a decoder would read them.
  AviReader reader;
  if (reader.open(std::make_unique<ByteSource>(std::make_unique<InputFile>("fuzz", data, size)))) {
    std::vector<uint8_t> packet;
    for (int32_t i = 0; i < reader.packet_count(); ++i) {
      if (reader.read_packet(i, &packet) && packet.size() != reader.entry(i).size) __builtin_trap();
      (void)reader.is_keyframe(i);
    }
  }
  AviVideoSource source;
  if (!source.open_memory(data, size)) return 0;
  // The index holds at most one entry per 8 bytes of file: past that every fetch fails alike.
  const int64_t frames = std::min<int64_t>(source.length(), int64_t(size / 8) + 2);
  std::vector<uint8_t> planes;
  for (int32_t i = 0; i < frames; ++i) {
    DibFrame frame;
    if (!source.get_frame(i, &frame)) continue;
    // Every byte handed out is read, and the sum kept so that the reads stay.
    if (std::accumulate(frame.data, frame.data + frame.size, 0u) == 0xFFFFFFFFu) return 0;
    FrameLayout layout;
    if (!describe_frame(frame, g_converter_table, &layout)) continue;
    const size_t luma = size_t(layout.width) * size_t(layout.height);
    const size_t chroma = size_t(layout.width / 2) * size_t(layout.height / 2);
    planes.assign(luma + 2 * chroma, 0);
    if (!convert_to_planar(frame, planes.data(), planes.data() + luma,
                           planes.data() + luma + chroma)) {
      __builtin_trap();  // described but not converted
    }
  }
  return 0;
}
