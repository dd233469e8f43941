// The reverse conversion: worked values, chroma layouts, and round trips through the forward
// converter. Measured bounds of the round trip (forward, then back), per channel:
//   every colour as a uniform 2x2 block (all 2^24 measured once; a grid of them here): <= 4
//   random greys, one per pixel: <= 1
//   a smooth gradient (each channel changing by up to 2 from pixel to pixel): <= 5
// Random colours that change within a 2x2 block lose their chroma detail to 4:2:0 sampling and
// have no small bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "convert/convert.h"

namespace vq {
namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb&) const = default;
};

Rgb convert_one(uint8_t y, uint8_t u, uint8_t v) {
  uint8_t out[3] = {1, 2, 3};
  const PlanarImage im{&y, &u, &v, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(1, planar420_to_rgb24(im, out, 3));
  return {out[0], out[1], out[2]};
}

TEST(ReverseConvert, WorkedValues) {
  const struct {
    uint8_t y, u, v;
    Rgb want;
  } cases[] = {
      {16, 128, 128, {0, 0, 0}},        {235, 128, 128, {255, 255, 255}},
      {126, 128, 128, {128, 128, 128}}, {128, 128, 128, {130, 130, 130}},
      {81, 90, 239, {253, 0, 0}},        // red as the forward converter writes it
      {144, 54, 34, {0, 254, 0}},        // green
      {40, 239, 110, {0, 0, 252}},       // blue
      {0, 128, 128, {0, 0, 0}},          // below black: clamped
      {255, 255, 255, {255, 125, 255}},  // every sample at its top: R and B clamped
      {0, 0, 0, {0, 136, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.y) << "," << int(c.u) << "," << int(c.v));
    const Rgb got = convert_one(c.y, c.u, c.v);
    EXPECT_EQ(c.want.r, got.r);
    EXPECT_EQ(c.want.g, got.g);
    EXPECT_EQ(c.want.b, got.b);
  }
}

// Each luma sample takes the chroma sample above-left of it (nearest, replicated); a chroma plane
// that rounds down repeats its last sample; full-size chroma is read one-to-one. Y is grey and V
// neutral, so blue tells which U sample a pixel used. Rows run bottom-up (negative pitch) to
// show the pitches are signed.
TEST(ReverseConvert, ChromaLayouts) {
  const struct {
    int32_t w, h, cw, ch;
  } layouts[] = {{4, 4, 2, 2}, {5, 3, 3, 2}, {5, 3, 2, 1},
                 {4, 2, 2, 2}, {3, 3, 3, 3}, {1, 1, 1, 1}};
  for (const auto& l : layouts) {
    SCOPED_TRACE(testing::Message() << l.w << "x" << l.h << " chroma " << l.cw << "x" << l.ch);
    std::vector<uint8_t> y(size_t(l.w * l.h), 126), u(size_t(l.cw * l.ch)), v(u.size(), 128);
    for (size_t i = 0; i < u.size(); ++i)
      u[i] = uint8_t(100 + 7 * i);
    const PlanarImage im{y.data() + (l.h - 1) * l.w,
                         u.data() + (l.ch - 1) * l.cw,
                         v.data() + (l.ch - 1) * l.cw,
                         -l.w,
                         -l.cw,
                         -l.cw,
                         l.w,
                         l.h,
                         l.cw,
                         l.ch};
    std::vector<uint8_t> rgb(size_t(3 * l.w * l.h));
    ASSERT_EQ(1, planar420_to_rgb24(im, rgb.data(), 3 * l.w));
    for (int r = 0; r < l.h; ++r) {
      for (int c = 0; c < l.w; ++c) {
        const int cr = std::min(l.ch < l.h ? r / 2 : r, l.ch - 1);
        const int cc = std::min(l.cw < l.w ? c / 2 : c, l.cw - 1);
        const uint8_t want_u = u[size_t((l.ch - 1 - cr) * l.cw + cc)];
        EXPECT_EQ(convert_one(126, want_u, 128).b, rgb[size_t(3 * (r * l.w + c) + 2)])
            << "row " << r << " column " << c;
      }
    }
  }
}

TEST(ReverseConvert, RefusesImpossibleLayouts) {
  uint8_t s[16] = {}, out[48] = {};
  const PlanarImage ok{s, s, s, 4, 2, 2, 4, 4, 2, 2};
  PlanarImage bad[6] = {ok, ok, ok, ok, ok, ok};
  bad[0].width = 0;
  bad[1].chroma_width = 5;
  bad[2].chroma_height = 1;
  bad[3].u = nullptr;
  bad[4].chroma_width = 0;
  bad[5].height = -4;
  for (const auto& im : bad)
    EXPECT_EQ(0, planar420_to_rgb24(im, out, 12));
  for (uint8_t b : out)
    EXPECT_EQ(0, b);
}

// Pictures in BGR (the forward converter's order) through rgb24_to_planar420 and back.
int round_trip_error(const std::vector<uint8_t>& bgr, int32_t w, int32_t h) {
  std::vector<uint8_t> y(size_t(w * h)), u(size_t(w * h / 4)), v(u.size()), rgb(bgr.size());
  rgb24_to_planar420(y.data(), u.data(), v.data(), bgr.data(), w, h, w, 3 * w);
  const PlanarImage im{y.data(), u.data(), v.data(), w, w / 2, w / 2, w, h, w / 2, h / 2};
  EXPECT_EQ(1, planar420_to_rgb24(im, rgb.data(), 3 * w));
  int worst = 0;
  for (size_t i = 0; i < bgr.size(); i += 3)
    for (int c = 0; c < 3; ++c)
      worst = std::max(worst, std::abs(int(rgb[i + c]) - int(bgr[i + 2 - c])));
  return worst;
}

TEST(ReverseConvert, RoundTripStaysWithinItsBound) {
  const uint32_t seed = 20240607;
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  // A grid of colours, each a uniform 2x2 block: 52 steps per channel.
  std::vector<uint8_t> blocks;
  for (int r = 0; r < 256; r += 5)
    for (int g = 0; g < 256; g += 5)
      for (int rep = 0; rep < 2; ++rep)
        for (int b = 0; b < 256; b += 5)
          for (int k = 0; k < 2; ++k)
            blocks.insert(blocks.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
  EXPECT_LE(round_trip_error(blocks, 104, int32_t(blocks.size() / 312)), 4);

  const int32_t w = 66, h = 38;  // not a multiple of any vector width
  std::vector<uint8_t> grey(size_t(3 * w * h)), smooth(grey.size());
  for (int32_t r = 0; r < h; ++r) {
    for (int32_t c = 0; c < w; ++c) {
      uint8_t* g = &grey[size_t(3 * (r * w + c))];
      g[0] = g[1] = g[2] = uint8_t(rng());
      uint8_t* s = &smooth[size_t(3 * (r * w + c))];
      s[0] = uint8_t(2 * c), s[1] = uint8_t(2 * r), s[2] = uint8_t(200 - c - r);
    }
  }
  EXPECT_LE(round_trip_error(grey, w, h), 1);
  EXPECT_LE(round_trip_error(smooth, w, h), 5);
}

}  // namespace
}  // namespace vq
