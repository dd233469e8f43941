// BITMAPINFOHEADER read and written byte by byte, and fourcc codes as text.
#include "convert/convert.h"

namespace vq {

std::string fourcc_text(uint32_t code) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = char((code >> (8 * i)) & 0xFF);
    s += c >= 0x20 && c < 0x7F ? c : '?';
  }
  while (!s.empty() && s.back() == ' ')
    s.pop_back();
  return s;
}
namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

}  // namespace

int read_bitmap_info_header(const uint8_t* bytes, size_t size, BitmapInfoHeader* out) {
  if (bytes == nullptr || size < kBitmapInfoHeaderSize) return 0;
  BitmapInfoHeader h;
  h.biSize = le32(bytes);
  h.biWidth = int32_t(le32(bytes + 4));
  h.biHeight = int32_t(le32(bytes + 8));
  h.biPlanes = le16(bytes + 12);
  h.biBitCount = le16(bytes + 14);
  h.biCompression = le32(bytes + 16);
  h.biSizeImage = le32(bytes + 20);
  h.biXPelsPerMeter = int32_t(le32(bytes + 24));
  h.biYPelsPerMeter = int32_t(le32(bytes + 28));
  h.biClrUsed = le32(bytes + 32);
  h.biClrImportant = le32(bytes + 36);
  *out = h;
  return 1;
}

void write_bitmap_info_header(const BitmapInfoHeader& h, uint8_t out[kBitmapInfoHeaderSize]) {
  put32(out, h.biSize);
  put32(out + 4, uint32_t(h.biWidth));
  put32(out + 8, uint32_t(h.biHeight));
  put16(out + 12, h.biPlanes);
  put16(out + 14, h.biBitCount);
  put32(out + 16, h.biCompression);
  put32(out + 20, h.biSizeImage);
  put32(out + 24, uint32_t(h.biXPelsPerMeter));
  put32(out + 28, uint32_t(h.biYPelsPerMeter));
  put32(out + 32, h.biClrUsed);
  put32(out + 36, h.biClrImportant);
}

}  // namespace vq
