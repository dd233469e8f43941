// The reader picker: opens a file (or standard input, named "-") once and hands that input to the
// reader its first bytes call for. "RIFF....AVI " is an AVI file, "YUV4MPEG2 " a Y4M stream, a
// name ending in ".yuv" headerless YUV of a stated size; anything else goes to FFmpeg's libraries
// when the build has them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "video/video.h"

namespace vq {

// The most samples a plane of one picture may have unless --max-pixels raises it: above 8K UHD,
// and far below what a few-KB file that declares a huge picture would make the decoder allocate.
constexpr int64_t kDefaultMaxPixels = int64_t(1) << 26;

// What the picker needs besides the path: the size and layout of headerless YUV, and the largest
// picture any reader accepts (refused before anything is decoded).
struct OpenOptions {
  int64_t max_pixels = kDefaultMaxPixels;  // --max-pixels=N
  int32_t raw_width = 0;                   // --size=WxH; 0 when not given
  int32_t raw_height = 0;
  std::string raw_pix_fmt = "yuv420p";  // --pix-fmt=
  // The processor features an AVI file's pixel converters may use: the run's
  // (RunSettings::cpu_flags), so that a lower tier asked for reaches them too.
  uint32_t cpu_flags = detect_cpu_flags();
};

// Opens `path`. On failure *why says why in a few words ("no such file", "not a video file",
// "no video stream", ...), for a notice on stderr.
[[nodiscard]] OpenStatus open_video(const char* path, const OpenOptions& options,
                                    std::unique_ptr<VideoSource>* out, std::string* why);
// The same for an input already opened (a file, a pipe or bytes in memory), read once: the
// picker's peek at its first bytes is served again to the reader it picks. Its path() decides
// whether it is headerless YUV.
[[nodiscard]] OpenStatus open_video(std::unique_ptr<InputFile> input, const OpenOptions& options,
                                    std::unique_ptr<VideoSource>* out, std::string* why);

// True when `path` names headerless YUV (it ends in ".yuv", in any case).
[[nodiscard]] bool is_raw_yuv_name(const char* path);

}  // namespace vq
