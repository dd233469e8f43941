// The converter table filled from CPU flags, and a raw frame's layout described and converted
// through it.
#include <cstdint>
#include <cstdlib>

#include "convert/convert.h"

namespace vq {

// Complete before any start-up code runs: the scalar routines.
ConverterTable g_converter_table = {{
    rgb32_to_planar420,
    nullptr,
    rgb24_to_planar420,
    nullptr,
    rgb555_to_planar420,
    nullptr,
    nullptr,
    rgb565_to_planar420,
}};

// Scalar routines first, then each tier the processor has replaces the 24- and 32-bit slots
// (from SSE2 up also the 5-6-5 slot), stopping at the first missing feature (a tier is only tried
// on top of the one below it). The 5-5-5 slot keeps its scalar routine on every processor.
void fill_converter_table(ConverterTable* table, uint32_t cpu_flags) {
  *table = ConverterTable{};
  table->slot[kSlotRgb32ToPlanar] = rgb32_to_planar420;
  table->slot[kSlotRgb24ToPlanar] = rgb24_to_planar420;
  table->slot[kSlotRgb555ToPlanar] = rgb555_to_planar420;
  table->slot[kSlotRgb565ToPlanar] = rgb565_to_planar420;
#if VQ_X86_SIMD
  if (!(cpu_flags & kCpuMmx)) return;
  table->slot[kSlotRgb32ToPlanar] = rgb32_to_planar420_mmx;
  table->slot[kSlotRgb24ToPlanar] = rgb24_to_planar420_mmx;
  if (!(cpu_flags & kCpuSse2)) return;
  table->slot[kSlotRgb32ToPlanar] = rgb32_to_planar420_sse2;
  table->slot[kSlotRgb24ToPlanar] = rgb24_to_planar420_sse2;
  table->slot[kSlotRgb565ToPlanar] = rgb565_to_planar420_sse2;
  if (!(cpu_flags & kCpuAvx2)) return;
  table->slot[kSlotRgb32ToPlanar] = rgb32_to_planar420_avx2;
  table->slot[kSlotRgb24ToPlanar] = rgb24_to_planar420_avx2;
  table->slot[kSlotRgb565ToPlanar] = rgb565_to_planar420_avx2;
#else
  (void)cpu_flags;
#endif
}

void init_converter_table() {
  fill_converter_table(&g_converter_table, detect_cpu_flags());
}

namespace {

// The start-up fill runs once, as a static initialiser, before main.
[[maybe_unused]] const int g_table_filled = (init_converter_table(), 1);

// The RGB form a bit-field frame's masks (red, green, blue at byte 40) name; 0 when they name
// none that is converted.
int bitfield_format(const DibFrame& frame, const BitmapInfoHeader& h, PixelFormat* format) {
  if (h.biSize < kBitmapInfoHeaderSize + 12) return 0;
  const uint8_t* m = frame.data + kBitmapInfoHeaderSize;
  auto mask = [m](int i) {
    return uint32_t(m[4 * i]) | uint32_t(m[4 * i + 1]) << 8 | uint32_t(m[4 * i + 2]) << 16 |
           uint32_t(m[4 * i + 3]) << 24;
  };
  const uint32_t r = mask(0), g = mask(1), b = mask(2);
  if (h.biBitCount == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x001F) {
    *format = PixelFormat::kRgb555;
  } else if (h.biBitCount == 16 && r == 0xF800 && g == 0x07E0 && b == 0x001F) {
    *format = PixelFormat::kRgb565;
  } else if (h.biBitCount == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF) {
    *format = PixelFormat::kRgb32;
  } else {
    return 0;
  }
  return 1;
}

}  // namespace

int describe_frame(const DibFrame& frame, const ConverterTable& table, FrameLayout* out) {
  BitmapInfoHeader h;
  if (!read_bitmap_info_header(frame.data, frame.size, &h)) return 0;
  if (h.biSize < kBitmapInfoHeaderSize || h.biSize > frame.size) return 0;
  if (h.biWidth < 1 || h.biHeight == 0 || h.biHeight == INT32_MIN) return 0;

  FrameLayout f;
  int bytes_per_pixel = 0;
  if (h.biCompression == kBiBitfields) {
    if (!bitfield_format(frame, h, &f.format)) return 0;
    switch (f.format) {
      case PixelFormat::kRgb555:
        f.convert = table.slot[kSlotRgb555ToPlanar];
        bytes_per_pixel = 2;
        break;
      case PixelFormat::kRgb565:
        f.convert = table.slot[kSlotRgb565ToPlanar];
        bytes_per_pixel = 2;
        break;
      default:
        f.convert = table.slot[kSlotRgb32ToPlanar];
        bytes_per_pixel = 4;
        break;
    }
  } else if (h.biCompression == kBiRgb) {
    switch (h.biBitCount) {
      case 16:
        f.format = PixelFormat::kRgb555;
        f.convert = table.slot[kSlotRgb555ToPlanar];
        bytes_per_pixel = 2;
        break;
      case 24:
        f.format = PixelFormat::kRgb24;
        f.convert = table.slot[kSlotRgb24ToPlanar];
        bytes_per_pixel = 3;
        break;
      case 32:
        f.format = PixelFormat::kRgb32;
        f.convert = table.slot[kSlotRgb32ToPlanar];
        bytes_per_pixel = 4;
        break;
      default:
        return 0;
    }
  } else if (h.biCompression == kFourccYV12) {
    f.format = PixelFormat::kYv12;
    f.convert = yv12_to_planar420;
  } else {
    return 0;
  }
  if (f.convert == nullptr) return 0;

  const uint64_t width = uint64_t(h.biWidth);
  const uint64_t height = uint64_t(std::llabs(int64_t(h.biHeight)));
  const uint64_t avail = frame.size - h.biSize;
  const uint8_t* pixels = frame.data + h.biSize;
  f.width = h.biWidth;
  f.height = int32_t(height);

  if (f.format == PixelFormat::kYv12) {
    const uint64_t need = width * height + 2 * (width / 2) * (height / 2);
    if (avail < need) return 0;
    f.top = pixels;
    f.pitch = ptrdiff_t(width);
  } else {
    // Rows padded to 4 bytes (the DIB rule) when the frame holds that much, else packed rows.
    const uint64_t packed = width * uint64_t(bytes_per_pixel);
    const uint64_t padded = (packed + 3) & ~uint64_t(3);
    uint64_t pitch;
    if (avail / height >= padded) {
      pitch = padded;
    } else if (avail / height >= packed) {
      pitch = packed;
    } else {
      return 0;
    }
    // Bottom-up frames (positive height) store the picture's top row last.
    if (h.biHeight > 0) {
      f.top = pixels + (height - 1) * pitch;
      f.pitch = -ptrdiff_t(pitch);
    } else {
      f.top = pixels;
      f.pitch = ptrdiff_t(pitch);
    }
  }
  *out = f;
  return 1;
}

int convert_to_planar_with(const ConverterTable& table, const DibFrame& frame, uint8_t* y_dst,
                           uint8_t* u_dst, uint8_t* v_dst) {
  FrameLayout f;
  if (!describe_frame(frame, table, &f)) return 0;
  f.convert(y_dst, u_dst, v_dst, f.top, f.width, f.height, f.width, f.pitch);
  return 1;
}

int convert_to_planar(const DibFrame& frame, uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst) {
  return convert_to_planar_with(g_converter_table, frame, y_dst, u_dst, v_dst);
}

}  // namespace vq
