// How the program reaches FFmpeg's libraries: they are linked into a module of their own
// (vidqual-ffmpeg.so) that the program loads the first time a file needs them, so that raw AVI,
// Y4M and raw YUV are read without loading them at all (their start-up is most of a short run's
// time), and so that the program still runs on a machine that lacks them. The module hands the
// program one table of its entry points.
#pragma once

#include <cstdint>

#include "decode/decode.h"

namespace vq {

struct DecodeModule {
  // The build both sides come from (the configure run's stamp): a table of another build may be
  // laid out otherwise and is not used.
  const char* stamp;
  std::unique_ptr<Decompressor> (*open_decompressor)(const StreamFormat& stream,
                                                     PacketSource* packets);
  std::unique_ptr<VideoSource> (*open_input)(std::unique_ptr<InputFile> input, std::string* why,
                                             int64_t max_pixels);
  std::unique_ptr<VideoSource> (*open_path)(const char* path, std::string* why, int64_t max_pixels);
  std::unique_ptr<VideoSource> (*open_memory)(const uint8_t* data, size_t size, std::string* why);
  int (*convert_picture)(const Picture& in, ChromaLayout layout, int depth, PictureBuffer* out,
                         std::string* why, bool keep_range);
  int (*scale_picture)(const Picture& in, int32_t width, int32_t height, ChromaLayout layout,
                       bool full_range, ScaleFilter filter, PictureBuffer* out, std::string* why);
  void (*free_state)(PictureBuffer::State* state);
  int (*rgb_picture)(const Picture& in, int depth, PictureBuffer* out, std::string* why);
};

// Whether an AVI stream needs a decoder at all: false for frames the converters read as they are
// (RGB, bit fields, YV12), whatever codec the handler names, and for formats no decoder is
// tried on (an unreadable header, a bad size).
[[nodiscard]] bool stream_needs_decoder(const StreamFormat& stream);

}  // namespace vq

// The module's one exported symbol.
extern "C" const vq::DecodeModule* vidqual_decode_module();
