#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "compare/compare.h"
#include "tests/frames.h"

namespace vq {
namespace {

std::vector<uint8_t> yv12_uniform(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
  const size_t k = size_t(w / 2) * (h / 2);
  return test::yv12_frame(w, h, std::vector<uint8_t>(size_t(w) * h, y), std::vector<uint8_t>(k, u),
                          std::vector<uint8_t>(k, v));
}

TEST(FramePsnr, ReferenceValues) {
  const double same = 98.1308036086791;  // the zero-error floor
  const struct {
    const char* name;
    std::vector<uint8_t> a, b;
    double y, u, v;
  } cases[] = {
      {"identical", yv12_uniform(8, 4, 10, 20, 30), yv12_uniform(8, 4, 10, 20, 30), same, same,
       same},
      {"luma off by one", yv12_uniform(8, 4, 10, 20, 30), yv12_uniform(8, 4, 11, 20, 30),
       48.1308036086791, same, same},
      {"255 apart", yv12_uniform(4, 4, 0, 0, 255), yv12_uniform(4, 4, 255, 255, 0), 0, 0, 0},
      {"24 against 32 bits", test::rgb_frame(test::solid(16, 8, {1, 100, 200}), 24),
       test::rgb_frame(test::solid(16, 8, {1, 100, 200}), 32), same, same, same},
  };
  for (const auto& c : cases) {
    double y = -1, u = -1, v = -1;
    ASSERT_EQ(1, frame_psnr(test::view(c.a), test::view(c.b), &y, &u, &v)) << c.name;
    EXPECT_NEAR(c.y, y, 1e-12) << c.name;
    EXPECT_NEAR(c.u, u, 1e-12) << c.name;
    EXPECT_NEAR(c.v, v, 1e-12) << c.name;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%3.2f", psnr_from_mse(0));
  EXPECT_STREQ("98.13", text);
  EXPECT_EQ(psnr_from_mse(1e-05), psnr_from_mse(NAN));
}

// 640 x 480: a single differing sample at the very end of each plane lands in that plane only.
TEST(FramePsnr, PlanesStayApartAt640x480) {
  const int w = 640, h = 480;
  const size_t k = 320 * 240;
  std::vector<uint8_t> y(size_t(w) * h, 50), u(k, 60), v(k, 70);
  auto a = test::yv12_frame(w, h, y, u, v);
  for (int plane = 0; plane < 3; ++plane) {
    auto y2 = y, u2 = u, v2 = v;
    (plane == 0 ? y2 : plane == 1 ? u2 : v2).back() += 16;
    auto b = test::yv12_frame(w, h, y2, u2, v2);
    FrameScore s;
    ASSERT_EQ(1, frame_score(test::view(a), test::view(b), &s));
    for (int p = 0; p < 3; ++p) {
      const double n = p == 0 ? double(w) * h : double(k);
      EXPECT_EQ(p == plane ? 256.0 / n : 0.0, s.mse[p]) << plane << " " << p;
    }
  }
}

TEST(FramePsnr, RefusalsLeaveOutputsUntouched) {
  auto ok = yv12_uniform(4, 4, 1, 2, 3);
  auto taller = yv12_uniform(4, 6, 1, 2, 3);
  auto palette = test::rgb_frame(test::solid(4, 4, {}), 24);
  palette[14] = 8;
  auto zero_width = yv12_uniform(4, 4, 1, 2, 3);
  std::fill(zero_width.begin() + 4, zero_width.begin() + 8, 0);
  // W x H beyond 31 bits: refused before anything is allocated.
  BitmapInfoHeader huge;
  huge.biWidth = 65536;
  huge.biHeight = 65536;
  huge.biBitCount = 24;
  std::vector<uint8_t> huge_frame(40);
  write_bitmap_info_header(huge, huge_frame.data());

  const struct {
    const char* name;
    const std::vector<uint8_t>&a, &b;
  } cases[] = {{"height differs", ok, taller},
               {"palette first", palette, ok},
               {"palette second", ok, palette},
               {"zero width", zero_width, zero_width},
               {"overflowing size", huge_frame, huge_frame}};
  for (const auto& c : cases) {
    double y = 7, u = 8, v = 9;
    EXPECT_EQ(0, frame_psnr(test::view(c.a), test::view(c.b), &y, &u, &v)) << c.name;
    EXPECT_EQ(7, y);
    EXPECT_EQ(8, u);
    EXPECT_EQ(9, v);
  }
}

}  // namespace
}  // namespace vq
