#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/convert.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::Bgr;
using test::Order;
using test::Picture;
using test::Planar;
using test::Rows;

// Every converter table this processor can run: scalar, then each tier it has.
std::vector<std::pair<std::string, ConverterTable>> tables() {
  std::vector<std::pair<std::string, ConverterTable>> out;
  const uint32_t have = detect_cpu_flags();
  const std::pair<const char*, uint32_t> tiers[] = {
      {"scalar", 0}, {"mmx", kCpuMmx}, {"sse2", kCpuMmx | kCpuSse2}, {"avx2", kCpuMmx | kCpuSse2 | kCpuAvx2}};
  for (const auto& [name, flags] : tiers) {
    if ((have & flags) != flags) continue;
    ConverterTable t;
    fill_converter_table(&t, flags);
    out.emplace_back(name, t);
  }
  return out;
}

struct ColourCase {
  const char* name;
  Bgr colour;
  uint8_t y, u, v;
};

// Uniform 2x2 frames, 24 and 32 bits (components as blue, green, red).
const ColourCase kRgbColours[] = {
    {"white", {255, 255, 255}, 235, 128, 128}, {"black", {0, 0, 0}, 16, 128, 128},
    {"grey", {128, 128, 128}, 126, 128, 128},  {"red", {0, 0, 255}, 81, 90, 239},
    {"green", {0, 255, 0}, 144, 54, 34},       {"blue", {255, 0, 0}, 40, 239, 110},
    {"yellow", {0, 255, 255}, 210, 16, 145},   {"red1", {0, 0, 1}, 16, 127, 128},
    {"green1", {0, 1, 0}, 16, 127, 127},       {"blue1", {1, 0, 0}, 16, 128, 127},
};

TEST(Convert, UniformColoursEveryDepthAndTier) {
  for (const auto& [tier, table] : tables()) {
    for (const ColourCase& c : kRgbColours) {
      for (int bits : {24, 32}) {
        SCOPED_TRACE(tier + " " + c.name + " " + std::to_string(bits));
        auto f = test::rgb_frame(test::solid(2, 2, c.colour), bits);
        Planar p(2, 2);
        ASSERT_EQ(1, convert_to_planar_with(table, test::view(f), p.y(), p.u(), p.v()));
        for (int i = 0; i < 4; ++i) EXPECT_EQ(c.y, p.buf[i]);
        EXPECT_EQ(c.u, p.U(0, 0));
        EXPECT_EQ(c.v, p.V(0, 0));
      }
    }
  }
}

TEST(Convert, Uniform555Colours) {
  // 5-bit fields given as red, green, blue; each counts eight times its value.
  const struct {
    int r, g, b;
    uint8_t y, u, v;
  } cases[] = {{31, 31, 31, 229, 128, 128}, {0, 0, 0, 16, 128, 128},  {16, 16, 16, 126, 128, 128},
               {31, 0, 0, 79, 91, 236},     {0, 31, 0, 140, 56, 36}, {0, 0, 31, 40, 236, 110}};
  for (const auto& c : cases) {
    for (uint16_t top_bit : {0, 0x8000}) {
      const uint16_t w = uint16_t(c.b | c.g << 5 | c.r << 10 | top_bit);
      std::vector<uint8_t> f = test::rgb_frame(test::solid(2, 2, {}), 16);
      for (int i = 0; i < 4; ++i) {
        f[40 + 2 * i] = uint8_t(w);
        f[41 + 2 * i] = uint8_t(w >> 8);
      }
      Planar p(2, 2);
      ASSERT_EQ(1, convert_to_planar(test::view(f), p.y(), p.u(), p.v()));
      for (int i = 0; i < 4; ++i) EXPECT_EQ(c.y, p.buf[i]) << w;
      EXPECT_EQ(c.u, p.U(0, 0)) << w;
      EXPECT_EQ(c.v, p.V(0, 0)) << w;
    }
  }
}

// Stored bytes given bottom row first, as a bottom-up 2x2 frame holds them.
std::vector<uint8_t> stored_2x2(int bits, std::vector<uint8_t> pixel_bytes) {
  std::vector<uint8_t> f = test::rgb_frame(test::solid(2, 2, {}), bits, Rows::kPacked);
  std::copy(pixel_bytes.begin(), pixel_bytes.end(), f.begin() + 40);
  return f;
}

TEST(Convert, MixedBlocksTakeTheTopStoredRowFirst) {
  const struct {
    const char* name;
    int bits;
    std::vector<uint8_t> stored;
    uint8_t y[4], u, v;
  } cases[] = {
      // bottom row (10,200,30) (250,5,60); top row (0,0,255) (40,90,160), as blue, green, red
      {"mixed24", 24, {10, 200, 30, 250, 5, 60, 0, 0, 255, 40, 90, 160}, {81, 106, 125, 58}, 120, 150},
      {"mixed32", 32, {10, 200, 30, 9, 250, 5, 60, 9, 0, 0, 255, 9, 40, 90, 160, 9}, {81, 106, 125, 58}, 120, 150},
      // bottom row blue, black; top row red, red
      {"blue-red24", 24, {255, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 255}, {81, 81, 40, 16}, 136, 179},
      // bottom row black, black; top row two (31,0,0): the top row comes first, as for 24 bits
      {"red555", 16, {0, 0, 0, 0, 0x00, 0x7C, 0x00, 0x7C}, {79, 79, 16, 16}, 109, 182},
  };
  for (const auto& [tier, table] : tables()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(tier + " " + c.name);
      auto f = stored_2x2(c.bits, c.stored);
      Planar p(2, 2);
      ASSERT_EQ(1, convert_to_planar_with(table, test::view(f), p.y(), p.u(), p.v()));
      for (int i = 0; i < 4; ++i) EXPECT_EQ(c.y[i], p.buf[i]) << i;
      EXPECT_EQ(c.u, p.U(0, 0));
      EXPECT_EQ(c.v, p.V(0, 0));
    }
  }
}

Picture gradient(int w, int h) {
  Picture pic = test::solid(w, h, {});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      pic.at(x, y) = Bgr{uint8_t(x * 37 + y * 11), uint8_t(x * 5 + y * 71), uint8_t(x * y + 3)};
  return pic;
}

// One picture, every storage form: padded or packed rows, bottom-up or top-down, longer headers.
TEST(Convert, StorageFormsOfOnePictureGiveOnePlanarImage) {
  for (const auto& [tier, table] : tables()) {
    for (int bits : {16, 24, 32}) {
      for (int w : {2, 3, 5, 6, 7, 10, 33}) {
        for (int h : {2, 3, 4, 9}) {
          const Picture pic = gradient(w, h);
          Planar want(w, h);
          auto ref = test::rgb_frame(pic, bits);
          ASSERT_EQ(1, convert_to_planar_with(table, test::view(ref), want.y(), want.u(), want.v()));
          for (Rows rows : {Rows::kPadded, Rows::kPacked})
            for (Order order : {Order::kBottomUp, Order::kTopDown})
              for (uint32_t header : {40u, 44u, 124u}) {
                SCOPED_TRACE(tier + " bits " + std::to_string(bits) + " " + std::to_string(w) + "x" +
                             std::to_string(h) + " header " + std::to_string(header));
                auto f = test::rgb_frame(pic, bits, rows, order, header);
                Planar got(w, h);
                ASSERT_EQ(1, convert_to_planar_with(table, test::view(f), got.y(), got.u(), got.v()));
                EXPECT_EQ(want.buf, got.buf);
              }
        }
      }
    }
  }
}

TEST(Convert, TwentyFourAndThirtyTwoBitsAgree) {
  const Picture pic = gradient(16, 8);
  auto f24 = test::rgb_frame(pic, 24), f32 = test::rgb_frame(pic, 32);
  Planar a(16, 8), b(16, 8);
  ASSERT_EQ(1, convert_to_planar(test::view(f24), a.y(), a.u(), a.v()));
  ASSERT_EQ(1, convert_to_planar(test::view(f32), b.y(), b.u(), b.v()));
  EXPECT_EQ(a.buf, b.buf);
}

// Odd sizes: the last column and the picture's bottom row are neither read nor written.
TEST(Convert, OddSizesLeaveTheLastColumnAndRowAlone) {
  for (int bits : {16, 24, 32}) {
    for (auto [w, h] : {std::pair{5, 2}, {4, 3}, {5, 5}, {1, 4}, {4, 1}}) {
      SCOPED_TRACE(std::to_string(bits) + " " + std::to_string(w) + "x" + std::to_string(h));
      Picture pic = gradient(w, h);
      Planar a(w, h), b(w, h);
      auto fa = test::rgb_frame(pic, bits);
      for (int y = 0; y < h; ++y) pic.at(w - 1, y) = (w % 2) ? Bgr{1, 2, 3} : pic.at(w - 1, y);
      for (int x = 0; x < w; ++x) pic.at(x, h - 1) = (h % 2) ? Bgr{9, 8, 7} : pic.at(x, h - 1);
      auto fb = test::rgb_frame(pic, bits);
      ASSERT_EQ(1, convert_to_planar(test::view(fa), a.y(), a.u(), a.v()));
      ASSERT_EQ(1, convert_to_planar(test::view(fb), b.y(), b.u(), b.v()));
      EXPECT_EQ(a.buf, b.buf);
      if (w % 2) {
        EXPECT_EQ(0xCD, a.Y(w - 1, 0));
      }
      if (h % 2) {
        EXPECT_EQ(0xCD, a.Y(0, h - 1));
      }
      if (w < 2 || h < 2) {
        EXPECT_EQ(std::vector<uint8_t>(a.buf.size(), 0xCD), a.buf);
      }
    }
  }
}

TEST(Convert, Yv12IsCopiedWithItsChromaPlanesSwappedIntoPlace) {
  auto f = test::yv12_frame(4, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {20, 21}, {30, 31});
  Planar p(4, 2);
  ASSERT_EQ(1, convert_to_planar(test::view(f), p.y(), p.u(), p.v()));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 30, 31}), p.buf);
}

TEST(Convert, SelectionRefusesWhatItCannotConvert) {
  auto rgb = [](uint16_t bits, uint32_t compression) {
    auto f = test::rgb_frame(test::solid(4, 4, {1, 2, 3}), 32);
    BitmapInfoHeader h;
    EXPECT_EQ(1, read_bitmap_info_header(f.data(), f.size(), &h));
    h.biBitCount = bits;
    h.biCompression = compression;
    write_bitmap_info_header(h, f.data());
    return f;
  };
  auto short_by_one = test::rgb_frame(test::solid(6, 4, {}), 24, Rows::kPacked);
  short_by_one.pop_back();
  auto yv12_short = test::yv12_frame(4, 4, std::vector<uint8_t>(16), {1, 2, 3, 4}, {5, 6, 7});
  auto bad_header_size = test::rgb_frame(test::solid(2, 2, {}), 24);
  bad_header_size[0] = 39;
  auto header_beyond_frame = test::rgb_frame(test::solid(2, 2, {}), 24);
  header_beyond_frame[0] = 200;
  auto zero_height = test::rgb_frame(test::solid(2, 2, {}), 24);
  std::fill(zero_height.begin() + 8, zero_height.begin() + 12, 0);

  const struct {
    const char* name;
    std::vector<uint8_t> frame;
  } refused[] = {
      {"8-bit palette", rgb(8, kBiRgb)},
      {"15 bits", rgb(15, kBiRgb)},
      {"bit fields 16", rgb(16, 3)},
      {"bit fields 32", rgb(32, 3)},
      {"codec fourcc", rgb(24, fourcc('D', 'I', 'V', 'X'))},
      {"rgb too short", short_by_one},
      {"yv12 too short", yv12_short},
      {"header below 40", bad_header_size},
      {"header beyond frame", header_beyond_frame},
      {"height 0", zero_height},
      {"no header", {1, 2, 3}},
  };
  for (const auto& c : refused) {
    Planar p(6, 4);
    EXPECT_EQ(0, convert_to_planar(test::view(c.frame), p.y(), p.u(), p.v())) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(p.buf.size(), 0xCD), p.buf) << c.name;
  }

  ConverterTable empty{};
  auto ok = test::rgb_frame(test::solid(2, 2, {}), 24);
  Planar p(2, 2);
  EXPECT_EQ(0, convert_to_planar_with(empty, test::view(ok), p.y(), p.u(), p.v()));
  // YV12 is not in the table, and bit count does not matter for it.
  auto yv12 = test::yv12_frame(2, 2, {1, 2, 3, 4}, {5}, {6});
  yv12[14] = 99;
  EXPECT_EQ(1, convert_to_planar_with(empty, test::view(yv12), p.y(), p.u(), p.v()));
}

TEST(Convert, TableTiersKeepTheScalar555Routine) {
  for (uint32_t flags : {0u, uint32_t(kCpuMmx), uint32_t(kCpuMmx | kCpuSse2 | kCpuAvx2)}) {
    ConverterTable t;
    fill_converter_table(&t, flags);
    EXPECT_EQ(&rgb555_to_planar420, t.slot[kSlotRgb555ToPlanar]);
    EXPECT_NE(nullptr, t.slot[kSlotRgb24ToPlanar]);
    EXPECT_NE(nullptr, t.slot[kSlotRgb32ToPlanar]);
    EXPECT_EQ(nullptr, t.slot[kSlotPlanarToRgb32]);
  }
  ConverterTable scalar;
  fill_converter_table(&scalar, 0);
  EXPECT_EQ(&rgb24_to_planar420, scalar.slot[kSlotRgb24ToPlanar]);
  EXPECT_EQ(&rgb32_to_planar420, scalar.slot[kSlotRgb32ToPlanar]);
  EXPECT_EQ(detect_mmx(), detect_mmx_guarded());
}

}  // namespace
}  // namespace vq
