// The browser test's two halves (tests/html/check_report.sh runs them around headless Chromium).
//   html_report_main write OUT.html PAIRS WORST WIDTH HEIGHT [ssim]: a report for synthetic
//     pairs (a wavy PSNR curve with three dips; B's pictures noisier as their PSNR falls).
//   html_report_main check DOM.html SCREENSHOT.png PAIRS WORST: what the browser made of it. The
//     DOM holds each chart's series once, with one point per pair (two per column for long runs),
//     the worst pairs marked, every embedded image decoding to the size its element states; the
//     screenshot shows each line colour across the first chart's plotting area.
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "page/page.h"
#include "report/report.h"

namespace {

using namespace vq;

// Rings of luma over colour gradients; `noise` adds up to +-noise to each luma sample.
Picture make_picture(int32_t w, int32_t h, int noise, std::vector<uint8_t>* buf) {
  const int32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
  buf->resize(size_t(w * h + 2 * cw * ch));
  std::mt19937 rng{uint32_t(noise)};
  uint8_t* p = buf->data();
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x, ++p)
      *p = uint8_t(std::clamp(126 + int(80 * std::sin(std::hypot(x - w / 3, y - h / 2) / 9)) +
                                  int(rng() % uint32_t(2 * noise + 1)) - noise,
                              16, 235));
  for (int32_t i = 0; i < 2 * cw * ch; ++i, ++p)
    *p = uint8_t(128 + 70 * std::sin((i % cw) / 23.0 + i / (cw * ch)));
  uint8_t* y = buf->data();
  return Picture{ChromaLayout::k420, 8, false, w, h, cw, ch, {y, y + w * h, y + w * h + cw * ch},
                 {w, cw, cw}};
}

int write_report(const char* path, int32_t pairs, int worst_count, int32_t w, int32_t h,
                 bool ssim) {
  ScoreTable table;
  int psnr[3], ssim_col[4];
  static const char* const kPlanes[4] = {"Y", "U", "V", "All"};
  for (int p = 0; p < 3; ++p)
    psnr[p] = table.declare(plane_score(kReportPsnr[p], "psnr", kPlanes[p]));
  if (ssim) {
    for (int p = 0; p < 4; ++p)
      ssim_col[p] = table.declare(plane_score(kReportSsim[p], "ssim", kPlanes[p]));
  }
  WorstPairs worst(worst_count);
  HtmlReport r;
  std::vector<uint8_t> a, b;
  std::mt19937 rng(7);
  for (int32_t i = 1; i <= pairs; ++i) {
    double v[3];
    const double t = double(i) / pairs;
    v[0] = 38 + 3 * std::sin(t * 19) + double(rng() % 100) / 100.0;
    for (double dip : {0.25, 0.5, 0.75})
      v[0] -= 16 * std::exp(-std::pow((t - dip) * pairs / 3.0, 2));
    v[1] = v[0] + 4 + std::sin(t * 17), v[2] = v[0] + 5 + std::cos(t * 13);
    for (int p = 0; p < 3; ++p)
      table.set(psnr[p], i - 1, v[p]);
    for (int p = 0; p < 4 && ssim; ++p)
      table.set(ssim_col[p], i - 1, 1 - 0.4 * std::exp(-(v[std::min(p, 2)] - 12) / 7));
    const int noise = int(510 / std::pow(10.0, v[0] / 20));
    if (worst.wants(v[0]) &&
        worst.offer(i, v[0], make_picture(w, h, 0, &a), make_picture(w, h, noise, &b)) < 0)
      return 1;
  }
  table.set_aggregate("y_psnr_of_mean_mse", 37.5);
  SourceInfo src{"Y4M", "rawvideo", "yuv420p", w, h, 25, 1, pairs, true, 0, "bt709", "bt709", ""};
  r.input[0] = {"/videos/source.y4m", src};
  src.container = "mov,mp4,m4a,3gp,3g2,mj2", src.codec = "h264";
  src.rotation = 90, src.color_range = "tv";
  r.input[1] = {"/videos/encoded <q&a>.mp4", src};
  r.compared = "frames 1 to " + std::to_string(pairs) + " of each input";
  r.pairs_asked = r.pairs_compared = pairs;
  r.table = &table;
  for (int c = 0; c < int(table.columns()); ++c)
    r.columns.push_back(table.name(c));
  r.ranked = kReportPsnr[0];
  r.worst = &worst;
  std::string page;
  if (!write_html_report(r, &page)) return 1;
  std::ofstream(path, std::ios::binary) << page;
  std::fprintf(stderr, "%s: %zu bytes\n", path, page.size());
  return 0;
}

// The value of attribute `name` in the tag starting at `tag`, or "".
std::string attribute(const std::string& doc, size_t tag, const std::string& name) {
  const size_t at = doc.find(" " + name + "=\"", tag);
  if (at == std::string::npos || at > doc.find('>', tag)) return "";
  const size_t from = at + name.size() + 3;
  return doc.substr(from, doc.find('"', from) - from);
}

std::string base64_decode(const std::string& text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t acc = 0, bits = 0;
  for (char c : text) {
    const char* d = c ? std::strchr(kAlphabet, c) : nullptr;
    if (!d) continue;
    acc = acc << 6 | uint32_t(d - kAlphabet);
    if ((bits += 6) >= 8) out += char(acc >> (bits -= 8));
  }
  return out;
}

int failures = 0;
void expect(bool ok, const std::string& what) {
  failures += !ok;
  std::fprintf(stderr, "%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
}

int check_report(const char* dom_path, const char* shot_path, int32_t pairs, int worst) {
  std::stringstream ss;
  ss << std::ifstream(dom_path, std::ios::binary).rdbuf();
  const std::string dom = ss.str();
  std::map<std::string, int> seen = {{"PSNR Y", 0}, {"PSNR U", 0}, {"PSNR V", 0}};
  std::map<std::string, int> count;
  for (const char* tag : {"<svg class=\"chart\"", "class=\"worst-mark\"", "<polyline", "<img"}) {
    for (size_t at = dom.find(tag); at != std::string::npos; at = dom.find(tag, at + 1)) {
      ++count[tag];
      if (tag[1] == 'p' && attribute(dom, at, "class") == "series") {
        const std::string name = attribute(dom, dom.rfind("<svg", at), "data-chart") + " " +
                                 attribute(dom, at, "data-plane");
        std::istringstream points(attribute(dom, at, "points"));
        size_t n = 0;
        for (std::string p; points >> p;)
          ++n;
        const size_t want = pairs > kChartColumns ? 2 * size_t(kChartColumns) : size_t(pairs);
        expect(n == want,
               name + ": " + std::to_string(n) + " points, want " + std::to_string(want));
        ++seen[name];
      } else if (tag[1] == 'i') {
        const std::string src = attribute(dom, at, "src"), prefix = "data:image/png;base64,";
        const std::string png =
            base64_decode(src.rfind(prefix, 0) ? "" : src.substr(prefix.size()));
        png_image im{};
        im.version = PNG_IMAGE_VERSION;
        png_image_begin_read_from_memory(&im, png.data(), png.size());
        const std::string size = std::to_string(im.width) + "x" + std::to_string(im.height);
        expect(size == attribute(dom, at, "width") + "x" + attribute(dom, at, "height"),
               "image " + std::to_string(count[tag]) + " decodes to " + size);
        png_image_free(&im);
      }
    }
  }
  for (const auto& [name, n] : seen)
    expect(n == 1, name + " drawn " + std::to_string(n) + " time(s)");
  const int charts = count["<svg class=\"chart\""], marks = count["class=\"worst-mark\""];
  expect(marks == charts * std::min(worst, int(pairs)), std::to_string(marks) + " worst marks");
  expect(count["<img"] == 3 * worst, std::to_string(count["<img"]) + " images");
  // The first chart's plotting area lies above its x axis, the first long run of axis grey.
  png_image shot{};
  shot.version = PNG_IMAGE_VERSION;
  std::vector<uint8_t> px;
  if (png_image_begin_read_from_file(&shot, shot_path)) {
    shot.format = PNG_FORMAT_RGB;
    px.resize(PNG_IMAGE_SIZE(shot));
    png_image_finish_read(&shot, nullptr, px.data(), 0, nullptr);
  }
  const auto near = [&](uint32_t x, uint32_t y, uint32_t rgb) {
    const uint8_t* p = &px[(size_t(y) * shot.width + x) * 3];
    return std::abs(p[0] - int(rgb >> 16)) < 12 && std::abs(p[1] - int(rgb >> 8 & 255)) < 12 &&
           std::abs(p[2] - int(rgb & 255)) < 12;
  };
  uint32_t axis_y = 0, axis_x = 0;
  for (uint32_t y = 0, run = 0; y < shot.height && !axis_y; ++y, run = 0)
    for (uint32_t x = 0; x < shot.width && !axis_y; ++x)
      if ((run = near(x, y, 0x555555) ? run + 1 : 0) >= uint32_t(kChartColumns) * 9 / 10)
        axis_y = y, axis_x = x + 1 - run;
  expect(axis_y > 280, "first chart's x axis at y " + std::to_string(axis_y));
  for (const auto& [plane, rgb] : {std::pair{"Y", 0x1f77b4u}, {"U", 0xff7f0eu}, {"V", 0x2ca02cu}}) {
    int n = 0, x0 = int(shot.width), x1 = -1;
    for (uint32_t y = axis_y > 280 ? axis_y - 280 : axis_y; y < axis_y; ++y)
      for (uint32_t x = axis_x; x < std::min(shot.width, axis_x + kChartColumns); ++x)
        if (near(x, y, rgb)) ++n, x0 = std::min(x0, int(x)), x1 = std::max(x1, int(x));
    expect(n > 300 && x1 - x0 > kChartColumns / 2,
           std::string(plane) + "'s colour: " + std::to_string(n) + " pixels, x " +
               std::to_string(x0) + " to " + std::to_string(x1));
  }
  png_image_free(&shot);
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc >= 7)
    return write_report(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                        std::atoi(argv[6]), argc > 7 && std::string(argv[7]) == "ssim");
  if (mode == "check" && argc == 6)
    return check_report(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  std::fprintf(stderr,
               "usage: html_report_main write OUT.html PAIRS WORST WIDTH HEIGHT [ssim]\n"
               "       html_report_main check DOM.html SCREENSHOT.png PAIRS WORST\n");
  return 2;
}
