// Raw DIB frames as planar pictures: YV12 viewed where it lies, every other format converted by
// the converter table, so that no reader hands the run anything but pictures.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "avi/avi.h"
#include "decode/decode.h"

namespace vq {
namespace {

// The MMX converters keep their loop state in process-wide words: two of them must never run
// at the same time (two sources may convert at once, one on the run's fetch thread).
std::mutex g_mmx;

bool is_mmx(ConverterFn f) {
  return f == rgb24_to_planar420_mmx || f == rgb32_to_planar420_mmx;
}

}  // namespace

DibPicture dib_picture(const ConverterTable& converters, const DibFrame& dib,
                       std::vector<uint8_t>* buffer, Picture* out, std::string* why) {
  FrameLayout f;
  if (!describe_frame(dib, converters, &f)) {
    BitmapInfoHeader h;
    if (read_bitmap_info_header(dib.data, dib.size, &h) && h.biCompression != kBiRgb &&
        h.biCompression != kFourccYV12 && h.biCompression != kBiBitfields) {
      // A compressed stream handed out as stored: no decoder took it.
      *why = "codec " + fourcc_text(h.biCompression) +
             (have_ffmpeg() ? ": FFmpeg's libraries have no decoder for it"
                            : " needs FFmpeg's libraries (" + ffmpeg_absence() + ")");
    } else {
      *why = "pixel format not supported";
    }
    return DibPicture::kRefused;
  }
  const int32_t w = f.width, h = f.height;
  if (int64_t(w) * h > INT32_MAX) {
    *why = "picture too large";
    return DibPicture::kRefused;
  }
  Picture p;
  p.width = w;
  p.height = h;
  p.chroma_width = w / 2;
  p.chroma_height = h / 2;
  const size_t s = size_t(w) * size_t(h), cw = size_t(w / 2), c = cw * size_t(h / 2);
  if (f.format == PixelFormat::kYv12) {
    // The Y plane (rows `pitch` apart), then V, then U.
    p.plane[0] = f.top;
    p.pitch[0] = f.pitch;
    p.plane[2] = f.top + s;
    p.plane[1] = f.top + s + c;
  } else {
    try {
      if (buffer->size() < s + 2 * c) buffer->resize(s + 2 * c);
    } catch (const std::bad_alloc&) {
      return DibPicture::kOutOfMemory;
    }
    uint8_t* y = buffer->data();
    {
      std::unique_lock<std::mutex> lock(g_mmx, std::defer_lock);
      if (is_mmx(f.convert)) lock.lock();
      f.convert(y, y + s, y + s + c, f.top, w, h, w, f.pitch);
    }
    // The converters leave the last column of an odd width and the last row of an odd height
    // unwritten: they count as 0, as in a zero-filled planar image.
    if (w & 1) {
      for (int32_t r = 0; r < h; ++r)
        y[size_t(r) * w + (w - 1)] = 0;
    }
    if (h & 1) std::memset(y + size_t(h - 1) * w, 0, size_t(w));
    p.plane[0] = y;
    p.pitch[0] = w;
    p.plane[1] = y + s;
    p.plane[2] = y + s + c;
  }
  p.pitch[1] = p.pitch[2] = ptrdiff_t(cw);
  *out = p;
  return DibPicture::kMade;
}

}  // namespace vq
