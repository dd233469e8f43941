// The reverse conversion. Measured bounds of a round trip (rgb24_to_planar420, then back), per
// channel: every colour as a uniform 2x2 block (all 2^24 measured once; a grid of them here) <= 4;
// random greys, one per pixel, <= 1; a gradient changing by up to 2 per pixel <= 5. Colours that
// change within a 2x2 block lose their detail to 4:2:0 sampling and have no small bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "convert/convert.h"

namespace vq {
namespace {

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

// Pictures in BGR (the forward converter's order) through rgb24_to_planar420 and back.
int round_trip_error(const std::vector<uint8_t>& bgr, int32_t w) {
  const int32_t h = int32_t(bgr.size() / 3) / w;
  std::vector<uint8_t> y(size_t(w * h)), u(size_t(w * h / 4)), v(u.size()), rgb(bgr.size());
  rgb24_to_planar420(y.data(), u.data(), v.data(), bgr.data(), w, h, w, 3 * w);
  EXPECT_EQ(1,
            planar420_to_rgb24({y.data(), u.data(), v.data(), w, w / 2, w / 2, w, h, w / 2, h / 2},
                               rgb.data(), 3 * w));
  int worst = 0;
  for (size_t i = 0; i < bgr.size(); ++i)
    worst = std::max(worst, std::abs(int(rgb[i]) - int(bgr[i - i % 3 + 2 - i % 3])));
  return worst;
}

TEST(ReverseConvert, RoundTripStaysWithinItsBound) {
  std::vector<uint8_t> blocks, grey, smooth;
  for (int r = 0; r < 256; r += 5)  // 52 x 52 row pairs of 52 two-pixel-wide blocks
    for (int g = 0; g < 256; g += 5)
      for (int k = 0; k < 4 * 52; ++k)
        blocks.insert(blocks.end(), {uint8_t(k / 2 % 52 * 5), uint8_t(g), uint8_t(r)});
  EXPECT_LE(round_trip_error(blocks, 104), 4);
  std::mt19937 rng(20240607);
  for (int r = 0; r < 38; ++r) {
    for (int c = 0; c < 66; ++c) {
      grey.insert(grey.end(), 3, uint8_t(rng()));
      smooth.insert(smooth.end(), {uint8_t(2 * c), uint8_t(2 * r), uint8_t(200 - c - r)});
    }
  }
  EXPECT_LE(round_trip_error(grey, 66), 1);
  EXPECT_LE(round_trip_error(smooth, 66), 5);
}

}  // namespace
}  // namespace vq
