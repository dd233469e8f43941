// The browser test's two halves.
//   html_report_main write OUT.html PAIRS WORST WIDTH HEIGHT [ssim]
//     writes a report for synthetic pairs (a smooth PSNR curve with three dips; pictures of
//     rings and gradients, B with noise that grows as the pair's PSNR falls).
//   html_report_main check DOM.html SCREENSHOT.png PAIRS WORST
//     checks what a browser made of it: the DOM holds one series per plane and chart with one
//     point per pair (or two per pixel column), every embedded image decodes to the size its
//     element states, and the screenshot shows each line colour across the chart's width.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "report/html.h"

namespace {

using namespace vq;

struct Planes {
  std::vector<uint8_t> data[3];
  Picture picture;
};

Planes make_picture(int32_t w, int32_t h, int32_t pair, int noise, uint32_t seed) {
  Planes p;
  const int32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  p.data[0].resize(size_t(w) * h);
  p.data[1].resize(size_t(cw) * ch);
  p.data[2].resize(size_t(cw) * ch);
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const double r = std::hypot(x - w * 0.4, y - h * 0.5);
      int v = int(126 + 80 * std::sin(r / 9.0 + pair * 0.05) * std::exp(-r / (w * 0.6)));
      // Noise, stronger in a block near the centre, as a coarse encoder leaves it.
      const int amp = (x > w / 2 && x < 3 * w / 4 && y > h / 4 && y < h / 2) ? 3 * noise : noise;
      if (amp > 0) v += int(rng() % uint32_t(2 * amp + 1)) - amp;
      p.data[0][size_t(y) * w + x] = uint8_t(std::clamp(v, 16, 235));
    }
  }
  for (int32_t y = 0; y < ch; ++y) {
    for (int32_t x = 0; x < cw; ++x) {
      p.data[1][size_t(y) * cw + x] = uint8_t(128 + 70 * std::sin(x / 23.0));
      p.data[2][size_t(y) * cw + x] = uint8_t(128 + 70 * std::cos(y / 17.0));
    }
  }
  p.picture = Picture{ChromaLayout::k420,
                      8,
                      false,
                      w,
                      h,
                      cw,
                      ch,
                      {p.data[0].data(), p.data[1].data(), p.data[2].data()},
                      {w, cw, cw}};
  return p;
}

int write_report(const char* path, int32_t pairs, int worst_count, int32_t w, int32_t h,
                 bool ssim) {
  PairSeries series;
  WorstPairs worst(worst_count);
  HtmlReport r;
  double sum[3] = {0, 0, 0}, mse_sum[3] = {0, 0, 0};
  for (int p = 0; p < 3; ++p)
    r.summary[p].min = 1e9, r.summary[p].max = -1e9;
  std::mt19937 rng(7);
  for (int32_t i = 1; i <= pairs; ++i) {
    FrameScore s;
    const double t = double(i) / pairs;
    double y = 38 + 3 * std::sin(t * 6 * M_PI) + (rng() % 100) / 100.0;
    for (double dip : {0.25, 0.5, 0.75})
      y -= 16 * std::exp(-std::pow((t - dip) * pairs / 3.0, 2));
    const double psnr[3] = {y, y + 4 + std::sin(t * 17), y + 5 + std::cos(t * 13)};
    for (int p = 0; p < 3; ++p) {
      s.psnr[p] = psnr[p];
      s.mse[p] = 255.0 * 255.0 / std::pow(10.0, psnr[p] / 10);
      sum[p] += psnr[p], mse_sum[p] += s.mse[p];
      if (psnr[p] < r.summary[p].min) r.summary[p].min = psnr[p], r.summary[p].worst_pair = i;
      r.summary[p].max = std::max(r.summary[p].max, psnr[p]);
    }
    if (ssim) {
      s.has_ssim = true;
      for (int p = 0; p < 3; ++p)
        s.ssim[p] = 1 - 0.5 * std::exp(-(psnr[p] - 18) / 6);
      s.ssim[3] = (4 * s.ssim[0] + s.ssim[1] + s.ssim[2]) / 6;
    }
    if (!series.add(s)) return 1;
    if (worst.wants(s.psnr[0])) {
      const int noise = int(2 * 255 / std::pow(10.0, s.psnr[0] / 20));
      const Planes a = make_picture(w, h, i, 0, 1);
      const Planes b = make_picture(w, h, i, noise, uint32_t(i));
      if (worst.offer(i, s, a.picture, b.picture) < 0) return 1;
    }
  }
  for (int p = 0; p < 3; ++p) {
    r.summary[p].mean_psnr = sum[p] / pairs;
    r.summary[p].psnr_of_mean_mse = 10 * std::log10(255.0 * 255.0 / (mse_sum[p] / pairs));
  }
  for (int k = 0; k < 2; ++k) {
    r.input[k].path = k ? "/videos/encoded <q&a>.mp4" : "/videos/source.y4m";
    r.input[k].info = SourceInfo{k ? "mov,mp4,m4a,3gp,3g2,mj2" : "Y4M",
                                 k ? "h264" : "rawvideo",
                                 "yuv420p",
                                 w,
                                 h,
                                 25,
                                 1,
                                 pairs,
                                 true};
  }
  r.compared = "frames 1 to " + std::to_string(pairs) + " of each input, Y, U and V planes";
  r.generator = "html_report_main";
  r.pairs_asked = r.pairs_compared = pairs;
  r.series = &series;
  r.worst = &worst;
  std::string page;
  if (!write_html_report(r, &page)) return 1;
  std::ofstream(path, std::ios::binary) << page;
  std::fprintf(stderr, "%s: %zu bytes, %d pairs, %d worst at %dx%d\n", path, page.size(), pairs,
               worst_count, w, h);
  return 0;
}

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The value of attribute `name` in the tag starting at `tag`, or "" when it has none.
std::string attribute(const std::string& doc, size_t tag, const std::string& name) {
  const size_t end = doc.find('>', tag);
  const size_t at = doc.find(" " + name + "=\"", tag);
  if (at == std::string::npos || at > end) return "";
  const size_t from = at + name.size() + 3;
  return doc.substr(from, doc.find('"', from) - from);
}

std::string base64_decode(const std::string& s) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = c ? std::strchr(alphabet, c) : nullptr;
    if (!at) continue;
    acc = acc << 6 | uint32_t(at - alphabet);
    if ((bits += 6) >= 8) out += char(acc >> (bits -= 8));
  }
  return out;
}

int failures = 0;
void expect(bool ok, const std::string& what) {
  if (!ok) ++failures;
  std::fprintf(stderr, "%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

int check_report(const char* dom_path, const char* shot_path, int32_t pairs, int worst) {
  const std::string dom = read_all(dom_path);
  // Series: per chart, each plane once, with one point per pair or two per column.
  std::map<std::string, int> seen;
  const bool columns = pairs > kChartColumns;
  for (size_t at = dom.find("<polyline"); at != std::string::npos;
       at = dom.find("<polyline", at + 1)) {
    if (attribute(dom, at, "class") != "series") continue;
    size_t chart = dom.rfind("data-chart=\"", at);
    const std::string name = dom.substr(chart + 12, dom.find('"', chart + 12) - chart - 12) + " " +
                             attribute(dom, at, "data-plane");
    ++seen[name];
    std::istringstream points(attribute(dom, at, "points"));
    size_t n = 0;
    for (std::string p; points >> p;)
      ++n;
    const size_t want = columns ? 2 * size_t(kChartColumns) : size_t(pairs);
    expect(n == want, name + ": " + std::to_string(n) + " points, want " + std::to_string(want));
  }
  for (const char* want : {"PSNR Y", "PSNR U", "PSNR V"})
    seen.emplace(want, 0);
  for (const auto& [name, count] : seen)
    expect(count == 1, name + " drawn " + std::to_string(count) + " time(s)");
  int marks = 0;
  for (size_t at = dom.find("class=\"worst-mark\""); at != std::string::npos;
       at = dom.find("class=\"worst-mark\"", at + 1))
    ++marks;
  int charts = 0;
  for (size_t at = dom.find("data-chart=\""); at != std::string::npos;
       at = dom.find("data-chart=\"", at + 1))
    ++charts;
  expect(marks == charts * std::min(worst, int(pairs)),
         std::to_string(marks) + " worst pairs marked in " + std::to_string(charts) + " chart(s)");
  // Images: each decodes to the size its element states.
  int images = 0;
  for (size_t at = dom.find("<img"); at != std::string::npos; at = dom.find("<img", at + 1)) {
    const std::string src = attribute(dom, at, "src");
    const std::string png = base64_decode(src.substr(src.find(',') + 1));
    png_image im{};
    im.version = PNG_IMAGE_VERSION;
    const bool read = src.rfind("data:image/png;base64,", 0) == 0 &&
                      png_image_begin_read_from_memory(&im, png.data(), png.size());
    const std::string stated = attribute(dom, at, "width") + "x" + attribute(dom, at, "height");
    const std::string got = std::to_string(im.width) + "x" + std::to_string(im.height);
    expect(read && got == stated,
           "image " + std::to_string(++images) + " decodes to " + got + ", stated " + stated);
    png_image_free(&im);
  }
  expect(images == 3 * worst,
         std::to_string(images) + " images for " + std::to_string(worst) + " worst pairs");
  // Screenshot: each line colour across at least half of the plotting area's width.
  png_image shot{};
  shot.version = PNG_IMAGE_VERSION;
  std::vector<uint8_t> px;
  if (!png_image_begin_read_from_file(&shot, shot_path)) {
    expect(false, std::string("screenshot readable: ") + shot.message);
    return 1;
  }
  shot.format = PNG_FORMAT_RGB;
  px.resize(PNG_IMAGE_SIZE(shot));
  expect(png_image_finish_read(&shot, nullptr, px.data(), 0, nullptr), "screenshot decodes");
  // The first chart's plotting area: above the first long run of axis grey (its x axis).
  const auto near = [&](uint32_t x, uint32_t y, int r, int g, int b) {
    const uint8_t* p = &px[(size_t(y) * shot.width + x) * 3];
    return std::abs(p[0] - r) < 12 && std::abs(p[1] - g) < 12 && std::abs(p[2] - b) < 12;
  };
  uint32_t axis_y = 0, axis_x = 0;
  for (uint32_t y = 0; y < shot.height && !axis_y; ++y) {
    for (uint32_t x = 0, run = 0; x < shot.width; ++x) {
      run = near(x, y, 0x55, 0x55, 0x55) ? run + 1 : 0;
      if (run >= uint32_t(kChartColumns) * 9 / 10) {
        axis_y = y, axis_x = x + 1 - run;
        break;
      }
    }
  }
  expect(axis_y > 280, "chart's x axis at y " + std::to_string(axis_y));
  const struct {
    const char* plane;
    int r, g, b;
  } colours[] = {{"Y", 0x1f, 0x77, 0xb4}, {"U", 0xff, 0x7f, 0x0e}, {"V", 0x2c, 0xa0, 0x2c}};
  for (const auto& c : colours) {
    int count = 0, x0 = int(shot.width), x1 = -1;
    for (uint32_t y = axis_y > 280 ? axis_y - 280 : 0; y < axis_y; ++y) {
      for (uint32_t x = axis_x; x < std::min(shot.width, axis_x + kChartColumns); ++x) {
        if (near(x, y, c.r, c.g, c.b))
          ++count, x0 = std::min(x0, int(x)), x1 = std::max(x1, int(x));
      }
    }
    expect(count > 300 && x1 - x0 > kChartColumns / 2,
           std::string("colour of ") + c.plane + " in the plotting area: " + std::to_string(count) +
               " pixels from x " + std::to_string(x0) + " to " + std::to_string(x1));
  }
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc >= 7) {
    return write_report(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                        std::atoi(argv[6]), argc > 7 && std::string(argv[7]) == "ssim");
  }
  if (mode == "check" && argc == 6)
    return check_report(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  std::fprintf(stderr,
               "usage: html_report_main write OUT.html PAIRS WORST WIDTH HEIGHT [ssim]\n"
               "       html_report_main check DOM.html SCREENSHOT.png PAIRS WORST\n");
  return 2;
}
