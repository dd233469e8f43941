// The reader picker: an input opened once and handed to the reader its first bytes call for.
#include <cstring>
#include <new>
#include <string_view>

#include "avi/avi.h"
#include "decode/decode.h"
#include "source/source.h"
#include "y4m/y4m.h"

namespace vq {

bool is_raw_yuv_name(const char* path) {
  const std::string_view p(path);
  if (p.size() < 4) return false;
  const std::string_view ext = p.substr(p.size() - 4);
  return ext.size() == 4 && ext[0] == '.' && (ext[1] | 0x20) == 'y' && (ext[2] | 0x20) == 'u' &&
         (ext[3] | 0x20) == 'v';
}

namespace {

// The refusal of a picture above the limit, naming the option that raises it.
std::string too_large(int64_t width, int64_t height, int64_t limit) {
  return "its pictures (" + std::to_string(width) + "x" + std::to_string(height) +
         ") are larger than " + std::to_string(limit) +
         " samples per plane; --max-pixels=N raises the limit";
}

OpenStatus checked(std::unique_ptr<VideoSource>* out, int64_t limit, std::string* why) {
  if (!*out) return OpenStatus::kFailed;
  const SourceInfo& info = (*out)->info();
  if (int64_t(info.width) * info.height > limit) {
    *why = too_large(info.width, info.height, limit);
    out->reset();
    return OpenStatus::kFailed;
  }
  return OpenStatus::kOpened;
}

}  // namespace

OpenStatus open_video(const char* path, const OpenOptions& options,
                      std::unique_ptr<VideoSource>* out, std::string* why) {
  try {
    std::unique_ptr<InputFile> file;
    const OpenStatus s = open_input_file(path, &file, why);
    if (s != OpenStatus::kOpened) return s;
    return open_video(std::move(file), options, out, why);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OpenStatus::kOutOfMemory;
  }
}

OpenStatus open_video(std::unique_ptr<InputFile> file, const OpenOptions& options,
                      std::unique_ptr<VideoSource>* out, std::string* why) {
  try {
    const std::string path = file->path();
    const std::string& head = file->peek(12);
    if (head.size() == 12 && head.compare(0, 4, "RIFF") == 0 && head.compare(8, 4, "AVI ") == 0) {
      if (!file->regular()) {
        *why = "an AVI file must be a regular file (it cannot be read from a pipe)";
        return OpenStatus::kFailed;
      }
      auto avi = std::make_unique<AviVideoSource>(options.cpu_flags);
      if (!avi->open(std::move(file))) {
        *why = "not a readable AVI file (no video stream, or its format cannot be read)";
        return OpenStatus::kFailed;
      }
      *out = std::move(avi);
      return checked(out, options.max_pixels, why);
    }
    if (head.compare(0, 10, "YUV4MPEG2 ") == 0) {
      *out = open_y4m(std::move(file), why);
      return checked(out, options.max_pixels, why);
    }
    if (is_raw_yuv_name(path.c_str())) {
      RawYuvFormat format;
      if (options.raw_width < 1 || options.raw_height < 1) {
        *why = "headerless YUV needs its size: --size=WxH";
        return OpenStatus::kFailed;
      }
      if (!parse_pix_fmt(options.raw_pix_fmt.c_str(), &format)) {
        *why = "unknown pixel format " + options.raw_pix_fmt;
        return OpenStatus::kFailed;
      }
      format.width = options.raw_width;
      format.height = options.raw_height;
      if (int64_t(format.width) * format.height > options.max_pixels) {
        *why = too_large(format.width, format.height, options.max_pixels);
        return OpenStatus::kFailed;
      }
      *out = open_raw_yuv(std::move(file), format, why);
      return *out ? OpenStatus::kOpened : OpenStatus::kFailed;
    }
    if (head.empty()) {
      *why = "empty file";
      return OpenStatus::kFailed;
    }
    if (!file->regular()) {
      *why =
          "not a regular file, and not a Y4M stream (a pipe carries Y4M: ffmpeg -f yuv4mpegpipe)";
      return OpenStatus::kFailed;
    }
    if (!have_ffmpeg()) {
      *why = "not an AVI, Y4M or YUV file; other containers need FFmpeg's libraries (" +
             ffmpeg_absence() + ")";
      return OpenStatus::kFailed;
    }
    *out = open_container(std::move(file), why, options.max_pixels);
    if (*out) return checked(out, options.max_pixels, why);
    return *why == "out of memory" ? OpenStatus::kOutOfMemory : OpenStatus::kFailed;
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OpenStatus::kOutOfMemory;
  }
}

}  // namespace vq
