// Pixel conversion: packed DIB frames in, planar 4:2:0 images out; the reverse, planar 4:2:0 to
// RGB24, for pictures shown to people; and the processor features that choose the kernels.
//
// A packed DIB frame is a 40-byte BITMAPINFOHEADER (or a longer header whose first 40 bytes have
// that layout) followed by one frame's pixels. The planar 4:2:0 image is a Y plane of W x H
// samples followed, in separate destinations, by a U (Cb) and a V (Cr) plane of (W/2) x (H/2)
// samples each, every row packed without gaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vq {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

inline constexpr uint32_t kBiRgb = 0;
inline constexpr uint32_t kBiBitfields = 3;  // RGB with red, green and blue masks after 40 bytes
inline constexpr uint32_t kFourccYV12 = fourcc('Y', 'V', '1', '2');
inline constexpr uint32_t kBitmapInfoHeaderSize = 40;

// A fourcc as text for people ("XVID", "H264"); bytes that are not printable show as '?', and
// trailing blanks go.
[[nodiscard]] std::string fourcc_text(uint32_t code);

// BITMAPINFOHEADER, field for field; stored little-endian, read and written byte by byte.
struct BitmapInfoHeader {
  uint32_t biSize = kBitmapInfoHeaderSize;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: bottom-up rows; negative: top-down rows
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = kBiRgb;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};

// Reads the 40 header bytes at `bytes`; 0 when fewer than 40 bytes are available.
[[nodiscard]] int read_bitmap_info_header(const uint8_t* bytes, size_t size, BitmapInfoHeader* out);
void write_bitmap_info_header(const BitmapInfoHeader& header, uint8_t out[kBitmapInfoHeaderSize]);

// One packed DIB frame: `size` counts the header and every pixel byte the frame really holds.
struct DibFrame {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The converter calling contract. `src` is the first byte of the picture's top row and
// `src_pitch` the signed distance in bytes from one picture row to the next one down, so the
// converters never care whether the frame was stored bottom-up or top-down, padded or packed.
// `height` is the row count (positive). Y rows lie `luma_stride` samples apart in the RGB
// converters; the chroma rows lie width/2 + floor((luma_stride - width)/2) apart. Every
// converter writes U into the first chroma destination and V into the second, the top picture
// row into planar row 0, and leaves samples it does not compute (odd last row/column) untouched.
#define VQ_CONVERTER(name)                                                                     \
  void name(uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst, const uint8_t* src, int32_t width, \
            int32_t height, int32_t luma_stride, ptrdiff_t src_pitch)
typedef VQ_CONVERTER((*ConverterFn));

// Scalar routines: the reference every other form must match byte for byte.
VQ_CONVERTER(rgb555_to_planar420);
VQ_CONVERTER(rgb24_to_planar420);
VQ_CONVERTER(rgb32_to_planar420);
// 5-6-5: 5-bit red and blue count eight times their value, 6-bit green four times (0 .. 252).
VQ_CONVERTER(rgb565_to_planar420);
// YV12: Y plane (rows src_pitch apart), then V, then U, each (width/2) x (height/2) packed.
VQ_CONVERTER(yv12_to_planar420);

// Vector forms of the 24-bit, 32-bit and (from SSE2 up) 5-6-5 converters; each writes exactly
// the scalar routine's bytes.
// The MMX pair keeps its loop state in process-wide words: MMX conversions must never overlap.
// The SSE2 and AVX2 forms keep no state. None of them reads a byte outside the rows handed in.
VQ_CONVERTER(rgb24_to_planar420_mmx);
VQ_CONVERTER(rgb32_to_planar420_mmx);
VQ_CONVERTER(rgb24_to_planar420_sse2);
VQ_CONVERTER(rgb32_to_planar420_sse2);
VQ_CONVERTER(rgb24_to_planar420_avx2);
VQ_CONVERTER(rgb32_to_planar420_avx2);
VQ_CONVERTER(rgb565_to_planar420_sse2);
VQ_CONVERTER(rgb565_to_planar420_avx2);

// Processor features that choose the converter forms.
enum CpuFlags : uint32_t {
  kCpuMmx = 1u << 0,
  kCpuSse2 = 1u << 1,
  kCpuAvx2 = 1u << 2,    // with FMA, only when the OS also saves YMM state
  kCpuAvx512 = 1u << 3,  // F, DQ, BW and VL, only when the OS also saves ZMM state
};

// This processor's features, probed once (CPUID, XGETBV) and kept; 0 on processors other than
// x86. Every kernel table takes its flags as an input, so a run may ask for a lower tier (these
// flags with some cleared) and no kernel of it probes again.
[[nodiscard]] uint32_t detect_cpu_flags();
// The MMX probe itself, and the probe run under a guard that counts any fault as "no MMX".
[[nodiscard]] bool detect_mmx();
[[nodiscard]] bool detect_mmx_guarded();

// The converter table: seven slots in their historical order, then the 5-6-5 converter. The
// table converts frames in only, so its planar-to-RGB slots stay empty; pictures shown to people
// go the other way through planar420_to_rgb24 below.
enum ConverterSlot {
  kSlotRgb32ToPlanar = 0,
  kSlotPlanarToRgb32 = 1,
  kSlotRgb24ToPlanar = 2,
  kSlotPlanarToRgb24 = 3,
  kSlotRgb555ToPlanar = 4,
  kSlotPlanarToRgb555 = 5,
  kSlotPlanarToRgb565 = 6,
  kSlotRgb565ToPlanar = 7,
  kConverterSlots = 8,
};

struct ConverterTable {
  ConverterFn slot[kConverterSlots];
};

// The process-wide table: scalar routines from static initialisation, rewritten once by
// init_converter_table() before main runs, read-only afterwards.
extern ConverterTable g_converter_table;

// Fills `table` for the given processor features: scalar first, then tier by tier.
void fill_converter_table(ConverterTable* table, uint32_t cpu_flags);
// The start-up fill: g_converter_table for this processor's features.
void init_converter_table();

enum class PixelFormat { kRgb555, kRgb24, kRgb32, kYv12, kRgb565 };

// Everything a converter needs to know about one frame, worked out once from its header and
// the number of bytes it holds.
struct FrameLayout {
  PixelFormat format = PixelFormat::kRgb24;
  int32_t width = 0;
  int32_t height = 0;            // row count, always positive
  const uint8_t* top = nullptr;  // first byte of the top picture row (YV12: of the Y plane)
  ptrdiff_t pitch = 0;           // bytes from one picture row to the next one down
  ConverterFn convert = nullptr;
};

// Picks the converter for `frame` from biCompression/biBitCount and works out where its rows
// are. Bit fields (kBiBitfields) take their red, green and blue masks from the three words at
// byte 40, which biSize must cover: 7C00/03E0/001F at 16 bits is 5-5-5, F800/07E0/001F 5-6-5,
// 00FF0000/0000FF00/000000FF at 32 bits the 32-bit form; other masks are unsupported. The
// pixels start at biSize; RGB rows are DIB-padded to 4 bytes when the frame holds
// enough bytes for that, packed when it holds only enough for packed rows. Returns 0 for an
// unsupported format, an empty slot, a width below 1, a height of 0, or a frame that holds
// fewer bytes than its converter reads.
[[nodiscard]] int describe_frame(const DibFrame& frame, const ConverterTable& table,
                                 FrameLayout* out);

// Converts `frame` into the three planes (laid out for its width: Y rows W apart, chroma rows
// W/2 apart). 1 when converted; 0, destinations untouched, when describe_frame refuses it.
[[nodiscard]] int convert_to_planar(const DibFrame& frame, uint8_t* y_dst, uint8_t* u_dst,
                                    uint8_t* v_dst);
[[nodiscard]] int convert_to_planar_with(const ConverterTable& table, const DibFrame& frame,
                                         uint8_t* y_dst, uint8_t* u_dst, uint8_t* v_dst);

// The reverse conversion, for pictures shown to people: an 8-bit planar picture (BT.601 studio
// range) to packed RGB24, R, G, B byte order, top row first, `rgb_pitch` bytes from row to row.
// Chroma is upsampled by repetition (nearest sample). The chroma planes are normally half size
// either way, rounded up ((w+1)/2 x (h+1)/2) or down (w/2 x h/2: the last odd luma column or row
// repeats the chroma before it); a chroma plane as wide or as tall as the luma plane is read
// one-to-one along that axis, so 4:2:2 and 4:4:4 pictures convert too. Each channel is
// rounded to the nearest integer and clamped to 0..255. Returns 0, `rgb` untouched, for an
// empty picture, a missing plane or chroma larger than luma.
struct PlanarImage {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  ptrdiff_t y_pitch = 0;  // bytes, may be negative
  ptrdiff_t u_pitch = 0;
  ptrdiff_t v_pitch = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t chroma_width = 0;
  int32_t chroma_height = 0;
};
[[nodiscard]] int planar420_to_rgb24(const PlanarImage& src, uint8_t* rgb, ptrdiff_t rgb_pitch);

}  // namespace vq
