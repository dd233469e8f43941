// YUV files: Y4M (a text header, then each frame behind a FRAME line) and raw YUV (headerless
// planes, Y then U then V, of a size the user gives). Both are read natively: each frame is one
// read into a block the source owns, handed out in place as a Picture of the file's own layout and
// depth. A regular file serves any frame; a pipe, a FIFO or standard input serves frames in order
// and its length is known only at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "video/video.h"

namespace vq {

// The pictures of a raw YUV file, or of a Y4M stream as its header states them, and their rate.
struct RawYuvFormat {
  int32_t width = 0;
  int32_t height = 0;
  ChromaLayout layout = ChromaLayout::k420;
  int depth = 8;         // 8 to 16; above 8 every sample is a 16-bit little-endian word
  int32_t rate_num = 0;  // frames per second as rate_num / rate_den; 0/0 when not known
  int32_t rate_den = 0;
};

// The planar layouts by FFmpeg's names: "yuv420p", "yuv422p", "yuv444p", "gray" and their deeper
// forms ("yuv420p10le", "yuv444p12le", "gray10le"; depths 9, 10, 12, 14, 16). 1 and the layout
// and depth of *out set when `name` is one of them; the size in *out is kept.
[[nodiscard]] int parse_pix_fmt(const char* name, RawYuvFormat* out);
// FFmpeg's name of a layout and depth ("yuv420p", "yuv422p10le", "gray").
[[nodiscard]] std::string pix_fmt_name(ChromaLayout layout, int depth);
// "1920x1080": 1 and *width, *height set when well formed and within the largest picture read.
[[nodiscard]] int parse_frame_size(const char* text, int32_t* width, int32_t* height);

// A Y4M stream header: its pictures and frame rate (0/0 when F is not there), the sample range
// from XCOLORRANGE, and the length of the header line with its newline.
struct Y4mHeader {
  RawYuvFormat format;
  bool full_range = false;
  bool range_stated = false;  // an XCOLORRANGE tag gave it
  size_t line_size = 0;
};
// The longest header or FRAME line read, newline included.
constexpr size_t kY4mMaxLine = 4096;
// Parses the header at the start of `data`: 1 and *out set, or 0 and the reason in *why
// ("Y4M header: bad W").
[[nodiscard]] int parse_y4m_header(const char* data, size_t size, Y4mHeader* out, std::string* why);

// The sources. Null and the reason in *why when the file's header (or `format`) cannot be read.
[[nodiscard]] std::unique_ptr<VideoSource> open_y4m(std::unique_ptr<InputFile> file,
                                                    std::string* why);
[[nodiscard]] std::unique_ptr<VideoSource> open_raw_yuv(std::unique_ptr<InputFile> file,
                                                        const RawYuvFormat& format,
                                                        std::string* why);

}  // namespace vq
