// The converters to planar 4:2:0 from every DIB form, and back to RGB: exact values at the
// extremes and for worked colours, every storage form, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
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

// The scalar converters; every vector tier is held to them byte for byte on random frames
// (simd_test).
ConverterTable scalar() {
  ConverterTable t;
  fill_converter_table(&t, 0);
  return t;
}

// Converts a 2x2 frame and checks its four Y samples (top row first) and its U and V.
void expect_block(const ConverterTable& table, const std::vector<uint8_t>& frame,
                  std::vector<uint8_t> y, uint8_t u, uint8_t v) {
  Planar p(2, 2);
  ASSERT_EQ(1, convert_to_planar_with(table, test::view(frame), p.y(), p.u(), p.v()));
  EXPECT_EQ(y, std::vector<uint8_t>(p.buf.begin(), p.buf.begin() + 4));
  EXPECT_EQ(u, p.U(0, 0));
  EXPECT_EQ(v, p.V(0, 0));
}

// Uniform blocks; chroma sums that are negative and not multiples of 1024 round toward minus
// infinity (red: U 90, not 91; red 1: U 127, not 128).
TEST(Convert, UniformColoursAtEveryDepth) {
  const struct {
    Bgr c;
    uint8_t y, u, v;
  } rgb[] = {{{255, 255, 255}, 235, 128, 128}, {{0, 0, 0}, 16, 128, 128},
             {{128, 128, 128}, 126, 128, 128}, {{0, 0, 255}, 81, 90, 239},
             {{0, 255, 0}, 144, 54, 34},       {{255, 0, 0}, 40, 239, 110},
             {{0, 255, 255}, 210, 16, 145},    {{0, 0, 1}, 16, 127, 128},
             {{0, 1, 0}, 16, 127, 127},        {{1, 0, 0}, 16, 128, 127}};
  // 5-5-5 fields count eight times their value: 31 is 248, not 255.
  const struct {
    uint16_t word;
    uint8_t y, u, v;
  } w555[] = {{0x7FFF, 229, 128, 128}, {0x0000, 16, 128, 128}, {0x4210, 126, 128, 128},
              {0x7C00, 79, 91, 236},   {0x03E0, 140, 56, 36},  {0x801F, 40, 236, 110}};
  // 5-6-5 (bit fields): red and blue count eight times their value like 5-5-5, the six bits of
  // green four times: 63 is 252 (white is not grey: U and V 126), 1 is 4.
  const struct {
    uint16_t word;
    uint8_t y, u, v;
  } w565[] = {{0xFFFF, 231, 126, 126}, {0x0000, 16, 128, 128}, {0x07E0, 142, 55, 35},
              {0x0020, 18, 126, 126},  {0xF800, 79, 91, 236},  {0x001F, 40, 236, 110}};
  const ConverterTable table = scalar();
  for (const auto& c : rgb) {
    for (int bits : {24, 32}) {
      expect_block(table, test::rgb_frame(test::solid(2, 2, c.c), bits),
                   std::vector<uint8_t>(4, c.y), c.u, c.v);
    }
  }
  for (const auto& c : w555) {
    auto f = test::rgb_frame(test::solid(2, 2, {}), 16);
    for (int i = 0; i < 4; ++i)
      f[40 + 2 * i] = uint8_t(c.word), f[41 + 2 * i] = uint8_t(c.word >> 8);
    expect_block(table, f, std::vector<uint8_t>(4, c.y), c.u, c.v);
  }
  for (const auto& c : w565) {
    auto f = test::bitfield_frame(test::solid(2, 2, {}), test::kBits565);
    for (int i = 0; i < 4; ++i)
      f[52 + 2 * i] = uint8_t(c.word), f[53 + 2 * i] = uint8_t(c.word >> 8);
    expect_block(table, f, std::vector<uint8_t>(4, c.y), c.u, c.v);
  }
}

// Mixed blocks, given as stored bytes (bottom row first): the top stored row becomes planar row 0
// at every depth.
TEST(Convert, MixedBlocksPutThePicturesTopRowFirst) {
  const struct {
    int bits;
    std::vector<uint8_t> stored;
    std::vector<uint8_t> y;
    uint8_t u, v;
  } cases[] = {
      {24, {10, 200, 30, 250, 5, 60, 0, 0, 255, 40, 90, 160}, {81, 106, 125, 58}, 120, 150},
      {32,
       {10, 200, 30, 9, 250, 5, 60, 9, 0, 0, 255, 9, 40, 90, 160, 9},
       {81, 106, 125, 58},
       120,
       150},
      {24, {255, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 255}, {81, 81, 40, 16}, 136, 179},
      {16, {0, 0, 0, 0, 0x00, 0x7C, 0x00, 0x7C}, {79, 79, 16, 16}, 109, 182},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    auto f = test::rgb_frame(test::solid(2, 2, {}), c.bits, Rows::kPacked);
    std::copy(c.stored.begin(), c.stored.end(), f.begin() + 40);
    expect_block(scalar(), f, c.y, c.u, c.v);
  }
}

Picture gradient(int w, int h) {
  Picture pic = test::solid(w, h, {});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      pic.at(x, y) = Bgr{uint8_t(x * 37 + y * 11), uint8_t(x * 5 + y * 71), uint8_t(x * y + 3)};
  return pic;
}

// One picture in every storage form (padded or packed rows, bottom-up or top-down, a header
// longer than 40 bytes, bit fields) gives one planar image; an odd last column or row is neither
// read nor written.
TEST(Convert, StorageFormsAndOddSizes) {
  for (int bits : {16, 24, 32}) {
    for (auto [w, h] : {std::pair{2, 2}, {5, 2}, {4, 3}, {6, 4}, {7, 9}, {1, 4}, {4, 1}}) {
      SCOPED_TRACE(std::to_string(bits) + " " + std::to_string(w) + "x" + std::to_string(h));
      Picture pic = gradient(w, h);
      Planar want(w, h);
      auto ref = test::rgb_frame(pic, bits);
      ASSERT_EQ(1, convert_to_planar(test::view(ref), want.y(), want.u(), want.v()));
      EXPECT_TRUE(w % 2 == 0 || want.Y(w - 1, 0) == 0xCD);
      EXPECT_TRUE(h % 2 == 0 || want.Y(0, h - 1) == 0xCD);
      for (int y = 0; y < h; ++y)
        pic.at(w - 1, y) = w % 2 ? Bgr{1, 2, 3} : pic.at(w - 1, y);
      for (int x = 0; x < w; ++x)
        pic.at(x, h - 1) = h % 2 ? Bgr{9, 8, 7} : pic.at(x, h - 1);
      for (Rows rows : {Rows::kPadded, Rows::kPacked}) {
        for (Order order : {Order::kBottomUp, Order::kTopDown}) {
          const uint32_t header = order == Order::kTopDown ? 44 : 40;
          std::vector<std::vector<uint8_t>> forms{test::rgb_frame(pic, bits, rows, order, header)};
          // 16 and 32 bits as bit fields too, the masks inside a 52-byte or a longer header.
          if (bits != 24)
            forms.push_back(test::bitfield_frame(pic, bits, header + 12, rows, order));
          for (const auto& f : forms) {
            Planar got(w, h);
            ASSERT_EQ(1, convert_to_planar(test::view(f), got.y(), got.u(), got.v()));
            EXPECT_EQ(want.buf, got.buf);
          }
        }
      }
    }
  }
}

TEST(Convert, Yv12IsCopiedWithItsChromaPlanesSwappedIntoPlace) {
  auto f = test::yv12_frame(4, 2, {1, 2, 3, 4, 5, 6, 7, 8}, {20, 21}, {30, 31});
  f[14] = 99;  // the bit count plays no part for YV12
  Planar p(4, 2);
  ASSERT_EQ(1, convert_to_planar(test::view(f), p.y(), p.u(), p.v()));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 20, 21, 30, 31}), p.buf);
}

// Formats that cannot be compared and frames too short for their format are refused with the
// destinations untouched; nothing is read past a frame's end.
TEST(Convert, SelectionRefusals) {
  auto with = [](size_t offset, std::vector<uint8_t> value, int bits = 24, int trim = 0) {
    auto f = test::rgb_frame(test::solid(6, 4, {}), bits, Rows::kPacked);
    std::copy(value.begin(), value.end(), f.begin() + offset);
    f.erase(f.end() - trim, f.end());
    return f;
  };
  // A bit-field frame of `bits` whose masks (at byte 40 of a 52-byte header) are `masks`.
  auto bitfields = [](int bits, std::vector<uint8_t> masks) {
    auto f = test::bitfield_frame(test::solid(6, 4, {}), bits == 24 ? 32 : bits, 52);
    f[14] = uint8_t(bits);
    std::copy(masks.begin(), masks.end(), f.begin() + 40);
    return f;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> frame;
  } refused[] = {
      {"8-bit palette", with(14, {8, 0})},
      {"15 bits", with(14, {15, 0})},
      {"bit fields, no room for masks", with(16, {3}, 32)},
      {"bit fields 10-10-10", bitfields(32, {0, 0, 0xF0, 0x3F, 0, 0xFC, 0x0F, 0, 0xFF, 3, 0, 0})},
      {"bit fields 5-6-5 at 32 bits", bitfields(32, {0, 0xF8, 0, 0, 0xE0, 7, 0, 0, 0x1F, 0, 0, 0})},
      {"bit fields 8-8-8 at 24 bits", bitfields(24, {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0})},
      {"bit fields blue first", bitfields(16, {0x1F, 0, 0, 0, 0xE0, 7, 0, 0, 0, 0xF8, 0, 0})},
      {"codec fourcc", with(16, {'D', 'I', 'V', 'X'})},
      {"one byte short", with(0, {40}, 24, 1)},
      {"header below 40", with(0, {39})},
      {"header beyond the frame", with(0, {200})},
      {"height 0", with(8, {0, 0, 0, 0})},
      {"yv12 short", test::yv12_frame(4, 4, std::vector<uint8_t>(16), {1, 2, 3, 4}, {5, 6, 7})},
      {"no header", {1, 2, 3}},
  };
  for (const auto& c : refused) {
    Planar p(6, 4);
    EXPECT_EQ(0, convert_to_planar(test::view(c.frame), p.y(), p.u(), p.v())) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(p.buf.size(), 0xCD), p.buf) << c.name;
  }
  ConverterTable empty{};
  Planar p(2, 2);
  EXPECT_EQ(0, convert_to_planar_with(empty, test::view(test::rgb_frame(test::solid(2, 2, {}), 24)),
                                      p.y(), p.u(), p.v()));
}

std::vector<int> convert_one(uint8_t y, uint8_t u, uint8_t v) {
  uint8_t out[3] = {1, 2, 3};
  EXPECT_EQ(1, planar420_to_rgb24({&y, &u, &v, 1, 1, 1, 1, 1, 1, 1}, out, 3));
  return {out[0], out[1], out[2]};
}

// White, mid grey and red: html_report_test, through picture_to_rgb24 at every depth and range.
TEST(ReverseConvert, WorkedValuesRoundAndClamp) {
  const struct {
    uint8_t y, u, v;
    std::vector<int> rgb;
  } cases[] = {{16, 128, 128, {0, 0, 0}},  {128, 128, 128, {130, 130, 130}},
               {144, 54, 34, {0, 254, 0}}, {40, 239, 110, {0, 0, 252}},  // green, blue
               {0, 128, 128, {0, 0, 0}},   {255, 255, 255, {255, 125, 255}},
               {0, 0, 0, {0, 136, 0}}};
  for (const auto& c : cases)
    EXPECT_EQ(c.rgb, convert_one(c.y, c.u, c.v)) << int(c.y) << " " << int(c.u) << " " << int(c.v);
}

// Blue tells which U sample a pixel used: the one above-left of it, the last one again where a
// half-size plane rounds down, one per pixel where chroma is full size. Rows run bottom-up.
TEST(ReverseConvert, ChromaLayoutsAndRefusals) {
  const struct {
    int32_t w, h, cw, ch;
  } layouts[] = {{4, 4, 2, 2}, {5, 3, 3, 2}, {5, 3, 2, 1}, {4, 2, 2, 2}, {3, 3, 3, 3}};
  for (const auto& l : layouts) {
    std::vector<uint8_t> y(size_t(l.w * l.h), 126), u(size_t(l.cw * l.ch)), v(u.size(), 128);
    for (size_t i = 0; i < u.size(); ++i)
      u[i] = uint8_t(100 + 7 * i);
    const auto last = [](std::vector<uint8_t>& p, int32_t rows, int32_t w) {
      return p.data() + (rows - 1) * w;
    };
    std::vector<uint8_t> rgb(size_t(3 * l.w * l.h));
    ASSERT_EQ(1, planar420_to_rgb24({last(y, l.h, l.w), last(u, l.ch, l.cw), last(v, l.ch, l.cw),
                                     -l.w, -l.cw, -l.cw, l.w, l.h, l.cw, l.ch},
                                    rgb.data(), 3 * l.w));
    for (int r = 0; r < l.h; ++r) {
      for (int c = 0; c < l.w; ++c) {
        const int cr = std::min(l.ch < l.h ? r / 2 : r, l.ch - 1);
        const int cc = std::min(l.cw < l.w ? c / 2 : c, l.cw - 1);
        EXPECT_EQ(convert_one(126, u[size_t((l.ch - 1 - cr) * l.cw + cc)], 128)[2],
                  rgb[size_t(3 * (r * l.w + c) + 2)])
            << l.w << "x" << l.h << " chroma " << l.cw << "x" << l.ch << " at " << r << "," << c;
      }
    }
  }
  uint8_t s[16] = {}, out[3] = {7};
  for (const PlanarImage& bad : {PlanarImage{s, s, s, 4, 2, 2, 0, 4, 2, 2},  // no width
                                 PlanarImage{s, s, s, 4, 2, 2, 4, 4, 5, 2},  // chroma too wide
                                 PlanarImage{s, s, s, 4, 2, 2, 4, 4, 2, 1},  // chroma too short
                                 PlanarImage{s, nullptr, s, 4, 2, 2, 4, 4, 2, 2}})
    EXPECT_EQ(0, planar420_to_rgb24(bad, out, 12));
  EXPECT_EQ(7, out[0]);
}

}  // namespace
}  // namespace vq
