// The HTML report's parts: base64, PNG through libpng, the colour scale and the error map,
// pictures back to RGB, the worst-pairs keeper, and the page's charts and escaping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "report/html.h"

#if VQ_HAVE_PNG
#include <png.h>
#endif

namespace vq {
namespace {

// A picture over caller-owned planes, one value per plane; 16-bit samples when depth > 8.
struct Planes {
  std::vector<uint8_t> data[3];
  Picture picture;
  Planes(int32_t w, int32_t h, int depth, int y, int u, int v,
         ChromaLayout layout = ChromaLayout::k420) {
    const PlaneSize c = chroma_size(layout, w, h);
    const int bytes = sample_bytes(depth), values[3] = {y, u, v};
    picture = Picture{layout, depth, false, w, h, c.width, c.height, {}, {}};
    for (int i = 0; i < (layout == ChromaLayout::kGray ? 1 : 3); ++i) {
      const int32_t pw = i ? c.width : w, ph = i ? c.height : h;
      for (int32_t k = 0; k < pw * ph; ++k) {
        data[i].push_back(uint8_t(values[i]));
        if (bytes == 2) data[i].push_back(uint8_t(values[i] >> 8));
      }
      picture.plane[i] = data[i].data();
      picture.pitch[i] = pw * bytes;
    }
  }
};

size_t occurrences(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
    ++n;
  return n;
}

TEST(HtmlReport, Base64MatchesTheStandardVectors) {
  const std::pair<const char*, const char*> cases[] = {{"", ""},
                                                       {"f", "Zg=="},
                                                       {"fo", "Zm8="},
                                                       {"foo", "Zm9v"},
                                                       {"foob", "Zm9vYg=="},
                                                       {"fooba", "Zm9vYmE="},
                                                       {"foobar", "Zm9vYmFy"},
                                                       {"\xff\xfe", "//4="}};
  for (const auto& [in, want] : cases) {
    std::string out = "x";
    ASSERT_EQ(1, append_base64(in, &out));
    EXPECT_EQ(std::string("x") + want, out);
  }
}

#if VQ_HAVE_PNG
// Odd size, rows padded: what libpng decodes is what went in.
TEST(HtmlReport, PngRoundTrip) {
  const int32_t w = 37, h = 11;
  const ptrdiff_t pitch = 3 * w + 5;
  std::vector<uint8_t> rgb(size_t(pitch * h));
  std::mt19937 rng(5);
  for (auto& b : rgb)
    b = uint8_t(rng());
  std::string png;
  ASSERT_EQ(1, encode_png_rgb24(rgb.data(), w, h, pitch, &png));
  png_image im{};
  im.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&im, png.data(), png.size()));
  EXPECT_EQ(uint32_t(w), im.width);
  EXPECT_EQ(uint32_t(h), im.height);
  im.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> back(PNG_IMAGE_SIZE(im));
  ASSERT_TRUE(png_image_finish_read(&im, nullptr, back.data(), 0, nullptr));
  for (int32_t r = 0; r < h; ++r)
    EXPECT_TRUE(std::equal(back.begin() + r * 3 * w, back.begin() + (r + 1) * 3 * w,
                           rgb.begin() + r * pitch))
        << "row " << r;
  EXPECT_EQ(0, encode_png_rgb24(rgb.data(), 0, h, pitch, &png));
}
#else
TEST(HtmlReport, WithoutLibpngThereIsNoReport) {
  const uint8_t px[3] = {};
  std::string s = "kept";
  PairSeries series;
  HtmlReport r;
  r.series = &series;
  EXPECT_FALSE(png_available());
  EXPECT_EQ(0, encode_png_rgb24(px, 1, 1, 3, &s));
  EXPECT_EQ(0, write_html_report(r, &s));
  EXPECT_EQ("kept", s);
}
#endif

// Lightness (CIE L*) must rise along the scale, or the map would show a small error as a large
// one; 8-bit rounding leaves dips of a few hundredths, far below what anyone sees.
TEST(HtmlReport, ColourScaleIsOrderedByLightness) {
  const uint8_t* s = error_colour_scale();
  const auto linear = [](int c) {
    const double v = c / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  double first = 0, last = -1;
  for (int i = 0; i < 256; ++i) {
    const double y =
        0.2126 * linear(s[3 * i]) + 0.7152 * linear(s[3 * i + 1]) + 0.0722 * linear(s[3 * i + 2]);
    const double l = y > 0.008856 ? 116 * std::cbrt(y) - 16 : 903.3 * y;
    EXPECT_GT(l, last - 0.05) << "entry " << i;
    if (i == 0) first = l;
    last = l;
  }
  EXPECT_GT(last - first, 70);
  const int ends[2][3] = {{68, 1, 84}, {253, 231, 37}};  // viridis' first and last entries
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(ends[0][c], s[c], 4);
    EXPECT_NEAR(ends[1][c], s[765 + c], 4);
  }
}

// Luma differences in 8-bit units, amplified and clamped; deeper samples scaled down first.
TEST(HtmlReport, ErrorMapLevels) {
  const struct {
    int depth, a, b, level;
  } cases[] = {{8, 100, 100, 0},  {8, 100, 105, 20},  {8, 105, 100, 20},
               {8, 16, 235, 255}, {10, 400, 420, 20}, {16, 0, 65535, 255}};
  const uint8_t* scale = error_colour_scale();
  for (const auto& c : cases) {
    const Planes a(3, 2, c.depth, c.a, 0, 0), b(3, 2, c.depth, c.b, 0, 0);
    std::vector<uint8_t> rgb;
    ASSERT_EQ(1, error_map_rgb24(a.picture, b.picture, &rgb));
    ASSERT_EQ(18u, rgb.size());
    for (size_t i = 0; i < rgb.size(); ++i)
      EXPECT_EQ(scale[3 * c.level + int(i % 3)], rgb[i]) << c.depth << " " << c.a << " " << c.b;
  }
  const Planes a(3, 2, 8, 0, 0, 0), wider(4, 2, 8, 0, 0, 0), deeper(3, 2, 10, 0, 0, 0);
  std::vector<uint8_t> rgb;
  EXPECT_EQ(0, error_map_rgb24(a.picture, wider.picture, &rgb));
  EXPECT_EQ(0, error_map_rgb24(a.picture, deeper.picture, &rgb));
}

// Every depth, range and layout the readers hand out comes back as the same colour.
TEST(HtmlReport, PicturesOfEveryFormToRgb) {
  const struct {
    ChromaLayout layout;
    int depth;
    bool full;
    int y, u, v;
    uint8_t r, g, b;
  } cases[] = {
      {ChromaLayout::k420, 8, false, 81, 90, 239, 253, 0, 0},
      {ChromaLayout::k420, 10, false, 324, 360, 956, 253, 0, 0},
      {ChromaLayout::k444, 8, false, 235, 128, 128, 255, 255, 255},
      {ChromaLayout::k422, 16, false, 126 << 8, 128 << 8, 128 << 8, 128, 128, 128},
      {ChromaLayout::kGray, 8, false, 126, 0, 0, 128, 128, 128},
      {ChromaLayout::k420, 8, true, 255, 128, 128, 255, 255, 255},
      {ChromaLayout::k420, 8, true, 0, 128, 128, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "depth " << c.depth << " full " << c.full << " layout " << int(c.layout));
    Planes p(5, 3, c.depth, c.y, c.u, c.v, c.layout);
    p.picture.full_range = c.full;
    std::vector<uint8_t> rgb;
    ASSERT_EQ(1, picture_to_rgb24(p.picture, &rgb));
    ASSERT_EQ(45u, rgb.size());
    for (size_t i = 0; i < rgb.size(); i += 3) {
      EXPECT_EQ(c.r, rgb[i]);
      EXPECT_EQ(c.g, rgb[i + 1]);
      EXPECT_EQ(c.b, rgb[i + 2]);
    }
  }
}

// The keeper holds the lowest Y PSNR values, worst first, copies (not views) of their pictures,
// and keeps the earlier of two equal pairs.
TEST(HtmlReport, WorstPairsKeepsTheLowest) {
  const double offered[] = {40, 30, 35, 50, 30, 20, 33, 20, 31};
  WorstPairs worst(3);
  std::vector<int> entered;
  for (int i = 0; i < 9; ++i) {
    FrameScore s;
    s.psnr[0] = offered[i];
    Planes a(4, 4, 8, 16 + i, 128, 128), b(4, 4, 8, 100 + i, 128, 128);
    const bool wanted = worst.wants(s.psnr[0]);
    const int got = worst.offer(i + 1, s, a.picture, b.picture);
    EXPECT_EQ(wanted ? 1 : 0, got) << "pair " << i + 1;
    if (got) entered.push_back(i + 1);
    a.data[0].assign(a.data[0].size(), 0);  // the keeper must not look at these again
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3, 5, 6, 8}), entered);
  ASSERT_EQ(3u, worst.pairs().size());
  const int want[3] = {6, 8, 2};
  for (int k = 0; k < 3; ++k) {
    const WorstPair& w = worst.pairs()[size_t(k)];
    EXPECT_EQ(want[k], w.pair);
    EXPECT_EQ(offered[want[k] - 1], w.score.psnr[0]);
    EXPECT_EQ(16 + want[k] - 1, w.a.picture().plane[0][15]);
    EXPECT_EQ(100 + want[k] - 1, w.b.picture().plane[0][15]);
  }
  WorstPairs none(0);
  EXPECT_FALSE(none.wants(0));
}

// SSIM that starts late stays aligned with the pairs; the summary leaves the gaps out.
TEST(HtmlReport, SeriesKeepsSsimInStepWithPsnr) {
  PairSeries series;
  for (int i = 0; i < 4; ++i) {
    FrameScore s;
    s.has_ssim = i >= 2;
    s.ssim[0] = 0.5 + 0.25 * i;  // 1.0 and 1.25 for the last two
    ASSERT_EQ(1, series.add(s));
  }
  ASSERT_EQ(4u, series.psnr[0].size());
  ASSERT_EQ(4u, series.ssim[3].size());
  EXPECT_TRUE(std::isnan(series.ssim[0][1]));
  EXPECT_EQ(1.25f, series.ssim[0][3]);
  HtmlReport r;
  r.series = &series;
  std::string page;
  if (!png_available()) return;
  ASSERT_EQ(1, write_html_report(r, &page));
  EXPECT_NE(std::string::npos, page.find("<td class=\"n\">1.125000</td>"));  // mean of Y
}

// The page: no script or outside resource, escaped paths, one point per pair or two per column
// (a lone dip survives the reduction), the worst pairs marked and shown.
TEST(HtmlReport, PageChartsAndGallery) {
  if (!png_available()) GTEST_SKIP() << "built without libpng";
  for (int32_t pairs : {1, 5, kChartColumns, 9 * kChartColumns + 7}) {
    SCOPED_TRACE(testing::Message() << pairs << " pairs");
    PairSeries series;
    WorstPairs worst(2);
    Planes a(6, 4, 8, 50, 128, 128), b(6, 4, 8, 60, 128, 128);
    for (int32_t i = 1; i <= pairs; ++i) {
      FrameScore s;
      s.psnr[0] = i == pairs / 2 + 1 ? 10 : 40 + i % 3;
      s.psnr[1] = s.psnr[2] = 45;
      ASSERT_EQ(1, series.add(s));
      ASSERT_GE(worst.offer(i, s, a.picture, b.picture), 0);
    }
    HtmlReport r;
    r.input[0].path = "a<b>&\"c\".avi";
    r.series = &series;
    r.worst = &worst;
    std::string page;
    ASSERT_EQ(1, write_html_report(r, &page));
    for (const char* banned : {"<script", "href=", "src=\"http", "url(http", "@import"})
      EXPECT_EQ(std::string::npos, page.find(banned)) << banned;
    EXPECT_NE(std::string::npos, page.find("a&lt;b&gt;&amp;&quot;c&quot;.avi"));
    EXPECT_EQ(std::string::npos, page.find("a<b>"));
    // Every tag written whole: no attribute value runs into the next tag.
    for (size_t at = page.find("=\""); at != std::string::npos; at = page.find("=\"", at + 2)) {
      const std::string value = page.substr(at + 2, page.find('"', at + 2) - at - 2);
      ASSERT_EQ(std::string::npos, value.find('<')) << value.substr(0, 80);
    }
    const size_t y = page.find("data-plane=\"Y\"");
    ASSERT_NE(std::string::npos, y);
    const size_t from = page.find("points=\"", y) + 8;
    const std::string points = page.substr(from, page.find('"', from) - from);
    const size_t count = size_t(std::count(points.begin(), points.end(), ' ')) + 1;
    EXPECT_EQ(pairs > kChartColumns ? 2 * size_t(kChartColumns) : size_t(pairs), count);
    // The dip at 10 dB is the axis' lowest value: some point lies on the bottom line.
    if (pairs > 1) {
      EXPECT_NE(std::string::npos, points.find("," + std::to_string(36 + 280) + ".0"));
    }
    EXPECT_EQ(size_t(std::min(pairs, 2)), occurrences(page, "class=\"worst-mark\""));
    EXPECT_EQ(3 * size_t(std::min(pairs, 2)),
              occurrences(page, "<img src=\"data:image/png;base64,"));
    EXPECT_EQ(3 * size_t(std::min(pairs, 2)), occurrences(page, "width=\"6\" height=\"4\" alt="));
  }
}

}  // namespace
}  // namespace vq
