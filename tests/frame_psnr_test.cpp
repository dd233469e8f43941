#include <gtest/gtest.h>

#include <cmath>
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

// An error the sums cannot give (NaN) scores the zero-error floor, not "nan".
TEST(FramePsnr, NanErrorScoresTheFloor) {
  EXPECT_EQ(psnr_from_mse(0), psnr_from_mse(NAN));
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
