// The HTML report's parts: base64, PNG through libpng, the colour scale and the error map,
// pictures back to RGB, the worst-pairs keeper and the page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "page/page.h"
#include "report/report.h"

#if VQ_HAVE_PNG
#include <png.h>
#endif

namespace vq {
namespace {

// A w x h picture of one value per plane, over planes it owns; 16-bit samples when depth > 8.
struct Planes {
  std::vector<uint8_t> data[3];
  Picture pic;
  Planes(int32_t w, int32_t h, int depth, int y, int u = 128, int v = 128,
         ChromaLayout layout = ChromaLayout::k420) {
    const PlaneSize c = chroma_size(layout, w, h);
    const int bytes = sample_bytes(depth), value[3] = {y, u, v};
    pic = Picture{layout, depth, false, w, h, c.width, c.height, {}, {}};
    for (int i = 0; i < (layout == ChromaLayout::kGray ? 1 : 3); ++i) {
      for (int32_t k = 0; k < (i ? c.width * c.height : w * h) * bytes; ++k)
        data[i].push_back(uint8_t(value[i] >> (k % bytes * 8)));
      pic.plane[i] = data[i].data();
      pic.pitch[i] = (i ? c.width : w) * bytes;
    }
  }
};

size_t occurrences(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
    ++n;
  return n;
}

TEST(HtmlReport, Base64AndPng) {
  // Empty, two and one pad characters, two whole groups, and the last letter of the alphabet.
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="}};
  for (const auto& [in, want] : vectors) {
    std::string out = "x";
    ASSERT_EQ(1, append_base64(in, &out));
    EXPECT_EQ(std::string("x") + want, out);
  }
  // An odd-sized image with padded rows comes back from libpng as it went in.
  const int32_t w = 37, h = 11, pitch = 3 * w + 5;
  std::vector<uint8_t> rgb(size_t(pitch * h)), back;
  std::mt19937 rng(5);
  std::generate(rgb.begin(), rgb.end(), [&] { return uint8_t(rng()); });
  std::string png = "untouched";
  ASSERT_EQ(0, encode_png_rgb24(rgb.data(), 0, h, pitch, &png));
  ASSERT_EQ("untouched", png);
#if VQ_HAVE_PNG
  ASSERT_EQ(1, encode_png_rgb24(rgb.data(), w, h, pitch, &png));
  png_image im{};
  im.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&im, png.data(), png.size()));
  ASSERT_EQ(uint32_t(w) << 16 | uint32_t(h), im.width << 16 | im.height);
  im.format = PNG_FORMAT_RGB;
  back.resize(PNG_IMAGE_SIZE(im));
  ASSERT_TRUE(png_image_finish_read(&im, nullptr, back.data(), 0, nullptr));
  for (int32_t r = 0; r < h; ++r)
    EXPECT_TRUE(std::equal(back.begin() + r * 3 * w, back.begin() + (r + 1) * 3 * w,
                           rgb.begin() + r * pitch))
        << "row " << r;
#else
  ScoreTable table;
  HtmlReport r;
  r.table = &table;
  EXPECT_FALSE(png_available());
  EXPECT_EQ(0, write_html_report(r, &png));
#endif
}

// Lightness (CIE L*) rises along the scale, or the map would show a small error as a large one;
// 8-bit rounding leaves dips of a few hundredths, far below what anyone sees.
TEST(HtmlReport, ColourScale) {
  const uint8_t* s = error_colour_scale();
  const auto lin = [](int c) {
    return c <= 10 ? c / 255.0 / 12.92 : std::pow((c / 255.0 + 0.055) / 1.055, 2.4);
  };
  double first = 0, last = -1;
  for (int i = 0; i < 256; ++i) {
    const double y =
        0.2126 * lin(s[3 * i]) + 0.7152 * lin(s[3 * i + 1]) + 0.0722 * lin(s[3 * i + 2]);
    const double l = y > 0.008856 ? 116 * std::cbrt(y) - 16 : 903.3 * y;
    EXPECT_GT(l, last - 0.05) << "entry " << i;
    first = i ? first : l, last = l;
  }
  EXPECT_GT(last - first, 70);
}

// Reduced copies average each block (cut at the edges), deep samples scaled to 8 bits, chroma
// reduced alike. The error map keeps each block's largest luma difference (in 8-bit units, times
// the gain, clamped), so a lone one shows.
TEST(HtmlReport, ReducedCopiesAndErrorMap) {
  for (int depth : {8, 10, 16}) {
    const int k = 1 << (depth - 8), bytes = sample_bytes(depth);
    Planes a(5, 3, depth, 0, 128 * k, 128 * k), b(5, 3, depth, 0);
    for (int i = 0; i < 15; ++i) {
      const int va = 10 * i * k + k / 4, vb = va + (i == 3 ? 5 * k : i == 14 ? 70 * k : 0);
      for (int j = 0; j < bytes; ++j) {
        a.data[0][size_t(i * bytes + j)] = uint8_t(va >> 8 * j);
        b.data[0][size_t(i * bytes + j)] = uint8_t(vb >> 8 * j);
      }
    }
    PictureCopy c;
    ASSERT_EQ(1, c.assign(a.pic, 2));
    const Picture& p = c.picture();
    ASSERT_EQ((std::vector<int>{8, 3, 2, 2, 1}),
              (std::vector<int>{p.depth, p.width, p.height, p.chroma_width, p.chroma_height}));
    std::vector<uint8_t> got(p.plane[0], p.plane[0] + 6);
    got.insert(got.end(), {p.plane[1][1], p.plane[2][0]});
    EXPECT_EQ((std::vector<uint8_t>{30, 50, 65, 105, 125, 140, 128, 128}), got) << depth;
    ErrorMap m;
    ASSERT_EQ(1, m.assign(a.pic, b.pic, 2));
    EXPECT_EQ((std::vector<uint8_t>{0, 20, 0, 0, 0, 255}),
              std::vector<uint8_t>(m.levels(), m.levels() + 6));
    EXPECT_EQ(0, m.assign(a.pic, Planes(5, 3, depth + 2, 0).pic));  // depths differ
    EXPECT_TRUE(m.empty());
  }
}

// Every depth, range and layout the readers hand out comes back as the same colour.
TEST(HtmlReport, PicturesOfEveryFormToRgb) {
  const struct {
    ChromaLayout layout;
    int depth;
    bool full;
    int y, u, v, r, g, b;
  } cases[] = {{ChromaLayout::k420, 8, false, 81, 90, 239, 253, 0, 0},
               {ChromaLayout::k420, 10, false, 324, 360, 956, 253, 0, 0},
               {ChromaLayout::k444, 8, false, 235, 128, 128, 255, 255, 255},
               {ChromaLayout::k422, 16, false, 126 << 8, 128 << 8, 128 << 8, 128, 128, 128},
               {ChromaLayout::kGray, 8, false, 126, 0, 0, 128, 128, 128},
               {ChromaLayout::k420, 8, true, 255, 128, 128, 255, 255, 255},
               {ChromaLayout::k420, 8, true, 0, 128, 128, 0, 0, 0}};
  for (const auto& c : cases) {
    Planes p(5, 3, c.depth, c.y, c.u, c.v, c.layout);
    p.pic.full_range = c.full;
    std::vector<uint8_t> rgb, want;
    for (int i = 0; i < 15; ++i)
      want.insert(want.end(), {uint8_t(c.r), uint8_t(c.g), uint8_t(c.b)});
    ASSERT_EQ(1, picture_to_rgb24(p.pic, &rgb));
    EXPECT_EQ(want, rgb) << "depth " << c.depth << " full " << c.full << " layout "
                         << int(c.layout);
  }
}

// The keeper holds the lowest Y PSNR values, worst first, copies (not views) of their pictures,
// and keeps the earlier of two equal pairs.
TEST(HtmlReport, WorstPairsKeepsTheLowest) {
  const double offered[] = {40, 30, 35, 50, 30, 20, 33, 20, 31};
  WorstPairs worst(3), none(0);
  std::vector<int> entered;
  for (int i = 0; i < 9; ++i) {
    Planes a(4, 4, 8, 16 + i), b(4, 4, 8, 100 + i);
    const int got = worst.offer(i + 1, offered[i], a.pic, b.pic);
    if (got) entered.push_back(i + 1);
    a.data[0].assign(a.data[0].size(), 0);  // the keeper must not look at these again
    EXPECT_EQ(0, none.offer(i + 1, offered[i], a.pic, b.pic));
  }
  EXPECT_EQ((std::vector<int>{1, 2, 3, 5, 6, 8}), entered);
  std::vector<int> kept;
  for (const WorstPair& w : worst.pairs()) {
    kept.push_back(w.pair);
    EXPECT_EQ(offered[w.pair - 1], w.value);
    EXPECT_EQ(15 + w.pair, w.a.picture().plane[0][15]);
    EXPECT_EQ(99 + w.pair, w.b.picture().plane[0][15]);
  }
  EXPECT_EQ((std::vector<int>{6, 8, 2}), kept);
}

// The page: no script or outside resource, escaped paths, whole tags, a lone dip that survives
// the reduction to two points per column, one chart per family of the columns shown (a column
// the table lacks left out), and a score that starts late kept in step with the pairs (the
// summary pools the pairs that have it). Points per series, worst-pair marks and pictures are
// counted on the page as headless Chromium shows it (html_report_browser).
TEST(HtmlReport, Page) {
  if (!png_available()) GTEST_SKIP() << "built without libpng";
  for (int32_t pairs : {1, 5, kChartColumns, 9 * kChartColumns + 7}) {
    SCOPED_TRACE(testing::Message() << pairs << " pairs");
    ScoreTable table;
    const int y = table.declare(plane_score("y_psnr", "psnr", "Y")),
              u = table.declare(plane_score("u_psnr", "psnr", "U")),
              v = table.declare(plane_score("v_psnr", "psnr", "V")),
              ssim = table.declare(plane_score("all_ssim", "ssim", "All"));
    table.declare_hidden("psnr/sse_high_y");
    WorstPairs worst(2, 4);  // pictures reduced by 2
    Planes a(6, 4, 8, 50), b(6, 4, 8, 60);
    for (int32_t i = 1; i <= pairs; ++i) {
      const double psnr = i == pairs / 2 + 1 ? 10 : 40 + i % 3;
      table.set(y, i - 1, psnr);
      table.set(u, i - 1, 45);
      table.set(v, i - 1, 45);
      if (i > 1) table.set(ssim, i - 1, 0.75);
      ASSERT_GE(worst.offer(i, psnr, a.pic, b.pic), 0);
    }
    HtmlReport r;
    r.input[0].path = "a<b>&\"c\".avi";
    r.table = &table;
    r.columns = {"y_psnr", "u_psnr", "v_psnr", "missing", "all_ssim", "psnr/sse_high_y"};
    r.ranked = "y_psnr";
    r.worst = &worst;
    std::string page;
    ASSERT_EQ(1, write_html_report(r, &page));
    for (const char* banned : {"<script", "href=", "src=\"http", "url(http", "@import", "a<b>"})
      EXPECT_EQ(0u, occurrences(page, banned)) << banned;
    EXPECT_EQ(1u, occurrences(page, "a&lt;b&gt;&amp;&quot;c&quot;.avi"));
    for (size_t at = page.find("=\""); at != std::string::npos; at = page.find("=\"", at + 2)) {
      const std::string value = page.substr(at + 2, page.find('"', at + 2) - at - 2);
      ASSERT_EQ(std::string::npos, value.find('<')) << value.substr(0, 80);
    }
    EXPECT_EQ(1u, occurrences(page, "data-chart=\"PSNR\""));
    EXPECT_EQ(1u, occurrences(page, "data-chart=\"SSIM\""));
    EXPECT_EQ(0u, occurrences(page, "missing"));
    EXPECT_EQ(0u, occurrences(page, "sse_high"));
    const size_t from = page.find("points=\"", page.find("data-plane=\"Y\"")) + 8;
    const std::string points = page.substr(from, page.find('"', from) - from);
    // The dip at 10 dB is the axis' lowest value: some point lies on the bottom line.
    EXPECT_TRUE(pairs < 2 || occurrences(points, ",316.0") > 0);
    // Every image at the reduced size, and the page says so.
    const size_t shown = size_t(std::min(pairs, 2));
    EXPECT_EQ(3 * shown, occurrences(page, "width=\"3\" height=\"2\" alt="));
    EXPECT_EQ(1u, occurrences(page, "shown at 1/2 size"));
    // The late score's mean, harmonic mean, minimum and maximum over the pairs that have it.
    EXPECT_EQ(pairs > 1 ? 4u : 0u, occurrences(page, "<td class=\"n\">0.750000</td>"));
  }
}

}  // namespace
}  // namespace vq
