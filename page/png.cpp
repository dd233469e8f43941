// PNG encoding through libpng into memory, and base64 for data: URIs.
#include <new>

#include "page/page.h"

#if VQ_HAVE_PNG
#include <png.h>
#endif

namespace vq {

#if VQ_HAVE_PNG
namespace {

// libpng reports errors through these: no message on stderr, a jump back to encode's setjmp.
[[noreturn]] void on_png_error(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void on_png_warning(png_structp, png_const_charp) {}

struct Sink {
  std::string bytes;
  bool out_of_memory = false;
};

void on_png_write(png_structp png, png_bytep data, size_t n) {
  auto* sink = static_cast<Sink*>(png_get_io_ptr(png));
  try {
    sink->bytes.append(reinterpret_cast<const char*>(data), n);
  } catch (const std::bad_alloc&) {
    sink->out_of_memory = true;
  }
  // Outside the handler: the jump must not leave a live exception behind.
  if (sink->out_of_memory) png_error(png, "out of memory");
}

void on_png_flush(png_structp) {}

// Writes rows of `bytes_per_pixel` bytes: RGB24, or indices into `palette` when it is given.
int encode_png(const uint8_t* rows, int32_t width, int32_t height, ptrdiff_t pitch,
               const uint8_t* palette, std::string* out) {
  if (!rows || width < 1 || height < 1) return 0;
  const size_t bytes_per_pixel = palette ? 1 : 3;
  Sink sink;
  try {
    // Room for rows that do not compress at all, so the file never moves while it grows.
    const size_t raw = size_t(height) * (bytes_per_pixel * size_t(width) + 1);
    sink.bytes.reserve(raw + raw / 64 + 4096);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_png_error, on_png_warning);
  if (!png) return 0;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return 0;
  }
  // Nothing set up after this point needs unwinding: `sink` lives in this frame, and libpng
  // frees its own blocks in png_destroy_write_struct.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return 0;
  }
  png_set_write_fn(png, &sink, on_png_write, on_png_flush);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
               palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (palette) {
    png_color colours[256];
    for (int i = 0; i < 256; ++i)
      colours[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
    png_set_PLTE(png, info, colours, 256);
  }
  // zlib level 1 and the Sub filter on every row. The gallery's images are reduced pictures
  // (640 x 360 for 1080p) and error maps; measured on those, level 1 encodes in about 60% of
  // level 3's time (a sixth of level 6's, libpng's default) for files
  // about a tenth larger. Sub keeps smooth gradients small; on test patterns no filter at all is
  // a little smaller still. Indices
  // are not filtered: their differences mean nothing. The report is written after the run, which
  // waits for it.
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, palette ? PNG_FILTER_NONE : PNG_FILTER_SUB);
  png_write_info(png, info);
  for (int32_t r = 0; r < height; ++r) {
    png_write_row(png, rows + r * pitch);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  out->swap(sink.bytes);
  return 1;
}

}  // namespace

bool png_available() {
  return true;
}

int encode_png_rgb24(const uint8_t* rgb, int32_t width, int32_t height, ptrdiff_t pitch,
                     std::string* out) {
  return encode_png(rgb, width, height, pitch, nullptr, out);
}

int encode_png_indexed(const uint8_t* index, int32_t width, int32_t height, ptrdiff_t pitch,
                       const uint8_t* palette, std::string* out) {
  return palette ? encode_png(index, width, height, pitch, palette, out) : 0;
}

#else

bool png_available() {
  return false;
}

int encode_png_rgb24(const uint8_t*, int32_t, int32_t, ptrdiff_t, std::string*) {
  return 0;
}

int encode_png_indexed(const uint8_t*, int32_t, int32_t, ptrdiff_t, const uint8_t*, std::string*) {
  return 0;
}

#endif

int append_base64(std::string_view bytes, std::string* out) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  try {
    out->reserve(out->size() + (bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
      const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                         uint8_t(bytes[i + 2]);
      const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
                            kAlphabet[v & 63]};
      out->append(quad, 4);
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
      uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
      if (rest == 2) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
      const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63],
                            rest == 2 ? kAlphabet[(v >> 6) & 63] : '=', '='};
      out->append(quad, 4);
    }
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
