// Test helpers: packed DIB frames built in memory from a picture given top row first.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "convert/convert.h"
#include "video/video.h"

namespace vq::test {

// The seed of randomized tests: VQ_TEST_SEED when set, so a failing case can be rerun.
inline uint32_t base_seed() {
  const char* env = std::getenv("VQ_TEST_SEED");
  return env ? uint32_t(std::strtoul(env, nullptr, 0)) : 20240601u;
}

// The scalar form first, then every tier this processor has, by the flags that select them.
inline std::vector<std::pair<const char*, uint32_t>> tiers() {
  const uint32_t sse2 = kCpuMmx | kCpuSse2;
  const std::pair<const char*, uint32_t> all[] = {{"scalar", 0},
                                                  {"mmx", kCpuMmx},
                                                  {"sse2", sse2},
                                                  {"avx2", sse2 | kCpuAvx2},
                                                  {"avx512", sse2 | kCpuAvx2 | kCpuAvx512}};
  std::vector<std::pair<const char*, uint32_t>> out;
  for (const auto& [name, flags] : all)
    if ((detect_cpu_flags() & flags) == flags) out.emplace_back(name, flags);
  return out;
}

// The scalar form and the fastest tier this processor has: whole pictures (libvmaf's logs) are
// scored at these two, while each kernel's randomized test holds every tier to scalar bit for bit.
inline std::vector<std::pair<const char*, uint32_t>> scalar_and_best() {
  std::vector<std::pair<const char*, uint32_t>> t = tiers();
  if (t.size() > 2) t.erase(t.begin() + 1, t.end() - 1);
  return t;
}

struct Bgr {
  uint8_t b, g, r;
};

// A picture of w x h pixels, row 0 at the top.
struct Picture {
  int w = 0, h = 0;
  std::vector<Bgr> px;
  Bgr& at(int x, int y) { return px[size_t(y) * w + x]; }
  const Bgr& at(int x, int y) const { return px[size_t(y) * w + x]; }
};

inline Picture solid(int w, int h, Bgr c) {
  return Picture{w, h, std::vector<Bgr>(size_t(w) * h, c)};
}

enum class Rows { kPadded, kPacked };
enum class Order { kBottomUp, kTopDown };

// `bits` of rgb_frame for 16-bit 5-6-5 pixels.
inline constexpr int kBits565 = 565;

// Encodes `pic` as a packed DIB frame of 8 (the green component as an index, no palette), 16
// (5-5-5, components >> 3), 24 or 32 bits, or of kBits565 (16-bit 5-6-5: red and blue >> 3,
// green >> 2). `header_size` above 40 leaves filler
// bytes (0xEE) between the header and the pixels.
inline std::vector<uint8_t> rgb_frame(const Picture& pic, int bits, Rows rows = Rows::kPadded,
                                      Order order = Order::kBottomUp, uint32_t header_size = 40) {
  const int bpp = bits == kBits565 ? 2 : bits / 8;
  const size_t packed = size_t(pic.w) * bpp;
  const size_t pitch = rows == Rows::kPadded ? (packed + 3) & ~size_t(3) : packed;
  std::vector<uint8_t> f(header_size + pitch * pic.h, 0xEE);
  BitmapInfoHeader h;
  h.biSize = header_size;
  h.biWidth = pic.w;
  h.biHeight = order == Order::kBottomUp ? pic.h : -pic.h;
  h.biBitCount = uint16_t(8 * bpp);
  h.biSizeImage = uint32_t(pitch * pic.h);
  write_bitmap_info_header(h, f.data());
  for (int y = 0; y < pic.h; ++y) {
    const int stored = order == Order::kBottomUp ? pic.h - 1 - y : y;
    uint8_t* row = f.data() + header_size + size_t(stored) * pitch;
    for (int x = 0; x < pic.w; ++x) {
      const Bgr c = pic.at(x, y);
      uint8_t* p = row + size_t(x) * bpp;
      if (bpp == 1) {
        p[0] = c.g;
      } else if (bpp == 2) {
        const int w = bits == kBits565 ? (c.b >> 3) | (c.g >> 2) << 5 | (c.r >> 3) << 11
                                       : (c.b >> 3) | (c.g >> 3) << 5 | (c.r >> 3) << 10;
        p[0] = uint8_t(w);
        p[1] = uint8_t(w >> 8);
      } else {
        p[0] = c.b;
        p[1] = c.g;
        p[2] = c.r;
        if (bits == 32) p[3] = 0x5A;
      }
    }
  }
  return f;
}

// `pic` as a bit-field frame (biCompression 3) of 16 (5-5-5), kBits565 or 32 bits, with the
// red, green and blue masks as the three words at byte 40 of a header of `header_size` bytes.
inline std::vector<uint8_t> bitfield_frame(const Picture& pic, int bits, uint32_t header_size = 52,
                                           Rows rows = Rows::kPadded,
                                           Order order = Order::kBottomUp) {
  std::vector<uint8_t> f = rgb_frame(pic, bits, rows, order, header_size);
  const uint32_t masks[3][3] = {
      {0x7C00, 0x03E0, 0x001F}, {0xF800, 0x07E0, 0x001F}, {0xFF0000, 0xFF00, 0xFF}};
  const uint32_t* m = masks[bits == 16 ? 0 : bits == kBits565 ? 1 : 2];
  f[16] = 3;
  for (int i = 0; i < 12; ++i)
    f[size_t(40 + i)] = uint8_t(m[i / 4] >> (8 * (i % 4)));
  return f;
}

// A YV12 frame: Y plane, then V, then U.
inline std::vector<uint8_t> yv12_frame(int w, int h, const std::vector<uint8_t>& y,
                                       const std::vector<uint8_t>& u,
                                       const std::vector<uint8_t>& v) {
  std::vector<uint8_t> f(40);
  BitmapInfoHeader hd;
  hd.biWidth = w;
  hd.biHeight = h;
  hd.biBitCount = 12;
  hd.biCompression = kFourccYV12;
  hd.biSizeImage = uint32_t(y.size() + u.size() + v.size());
  write_bitmap_info_header(hd, f.data());
  f.insert(f.end(), y.begin(), y.end());
  f.insert(f.end(), v.begin(), v.end());
  f.insert(f.end(), u.begin(), u.end());
  return f;
}

inline DibFrame view(const std::vector<uint8_t>& f) {
  return DibFrame{f.data(), f.size()};
}

// A planar 4:2:0 image of w x h in one block, planes at 0, S and S + S/4.
struct Planar {
  int w, h;
  std::vector<uint8_t> buf;
  Planar(int w_, int h_, uint8_t fill = 0xCD)
      : w(w_), h(h_), buf(size_t(w_) * h_ + 2 * (size_t(w_) * h_ / 4), fill) {}
  size_t s() const { return size_t(w) * h; }
  uint8_t* y() { return buf.data(); }
  uint8_t* u() { return buf.data() + s(); }
  uint8_t* v() { return buf.data() + s() + s() / 4; }
  uint8_t Y(int x, int r) const { return buf[size_t(r) * w + x]; }
  uint8_t U(int x, int r) const { return buf[s() + size_t(r) * (w / 2) + x]; }
  uint8_t V(int x, int r) const { return buf[s() + s() / 4 + size_t(r) * (w / 2) + x]; }
};

// A picture's planes packed row after row, as `-f rawvideo` writes them and a YUV file holds them.
template <class Bytes = std::string>
Bytes packed(const vq::Picture& p) {
  Bytes out;
  const size_t bytes = size_t(sample_bytes(p.depth));
  for (int k = 0; k < (p.layout == ChromaLayout::kGray ? 1 : 3); ++k) {
    const int32_t w = k ? p.chroma_width : p.width, h = k ? p.chroma_height : p.height;
    for (int32_t y = 0; y < h; ++y)
      out.insert(out.end(), p.plane[k] + y * p.pitch[k], p.plane[k] + y * p.pitch[k] + w * bytes);
  }
  return out;
}

}  // namespace vq::test
