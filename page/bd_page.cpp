// The BD-rate page: the summary table and, per sequence, the RD curves of anchor and test for
// each metric as inline SVG, in one self-contained file.
#include <algorithm>
#include <cmath>
#include <new>

#include "page/page.h"

namespace vq {
namespace {

constexpr const char* kAnchorColour = "#1f77b4";
constexpr const char* kTestColour = "#ff7f0e";

// One chart's geometry in CSS pixels.
constexpr int kWidth = 300, kHeight = 210, kLeft = 50, kRight = 10, kTop = 22, kBottom = 32;
constexpr int kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;

bool drawable(const RdPoint& p) {
  return p.rate > 0 && std::isfinite(p.rate) && std::isfinite(p.quality);
}

// Where a chart puts its points: log10(rate) across, quality up, each range rounded out.
struct Axes {
  double x0 = 0, x1 = 1, y0 = 0, y1 = 1, y_step = 1;
  [[nodiscard]] double x(double rate) const {
    return kLeft + (std::log10(rate) - x0) / (x1 - x0) * kPlotWidth;
  }
  [[nodiscard]] double y(double quality) const {
    return kTop + (y1 - quality) / (y1 - y0) * kPlotHeight;
  }
};

Axes axes_for(const BdRow& r, int m) {
  double lo_r = INFINITY, hi_r = -INFINITY, lo_q = INFINITY, hi_q = -INFINITY;
  for (int t = 0; t < 2; ++t) {
    for (const RdPoint& p : r.points[t][m]) {
      if (!drawable(p)) continue;
      lo_r = std::min(lo_r, std::log10(p.rate));
      hi_r = std::max(hi_r, std::log10(p.rate));
      lo_q = std::min(lo_q, p.quality);
      hi_q = std::max(hi_q, p.quality);
    }
  }
  Axes a;
  if (!(lo_r <= hi_r)) return a;
  const double pad_r = std::max(0.02, (hi_r - lo_r) * 0.05);
  a.x0 = lo_r - pad_r;
  a.x1 = hi_r + pad_r;
  if (hi_q - lo_q < 1e-9) {
    lo_q -= 0.5;
    hi_q += 0.5;
  }
  a.y_step = nice_step(hi_q - lo_q, 4);
  a.y0 = std::floor(lo_q / a.y_step) * a.y_step;
  a.y1 = std::ceil(hi_q / a.y_step) * a.y_step;
  return a;
}

// The rate axis's ticks: 1, 2 and 5 times powers of ten inside it, or the powers alone when
// those are too many.
std::vector<double> rate_ticks(const Axes& a) {
  std::vector<double> ticks, powers;
  for (int e = int(std::floor(a.x0)); e <= int(std::ceil(a.x1)); ++e) {
    for (const double f : {1.0, 2.0, 5.0}) {
      const double v = f * std::pow(10.0, e);
      if (std::log10(v) < a.x0 || std::log10(v) > a.x1) continue;
      ticks.push_back(v);
      if (f == 1.0) powers.push_back(v);
    }
  }
  return ticks.size() > 6 && !powers.empty() ? powers : ticks;
}

void append_axes(std::string* out, const Axes& a) {
  appendf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#ccc\"/>",
          kLeft, kTop, kPlotWidth, kPlotHeight);
  const int decimals = decimals_for(a.y_step);
  for (double v = a.y0; v <= a.y1 + a.y_step * 1e-6; v += a.y_step) {
    const double y = a.y(v);
    appendf(out, "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#eee\"/>", kLeft,
            kLeft + kPlotWidth, y, y);
    appendf(out, "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>", kLeft - 4, y + 4,
            decimals, v);
  }
  for (const double v : rate_ticks(a)) {
    const double x = a.x(v);
    appendf(out, "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#999\"/>", x, x,
            kTop + kPlotHeight, kTop + kPlotHeight + 4);
    appendf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%g</text>", x,
            kTop + kPlotHeight + 16, v);
  }
  appendf(out, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" class=\"muted\">rate (log)</text>",
          kLeft + kPlotWidth, kHeight - 2);
}

void append_line(std::string* out, const std::vector<RdPoint>& points, const Axes& a,
                 const char* colour) {
  std::vector<RdPoint> line;
  for (const RdPoint& p : points)
    if (drawable(p)) line.push_back(p);
  std::sort(line.begin(), line.end(),
            [](const RdPoint& x, const RdPoint& y) { return x.rate < y.rate; });
  appendf(out, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" points=\"", colour);
  for (const RdPoint& p : line)
    appendf(out, "%.1f,%.1f ", a.x(p.rate), a.y(p.quality));
  *out += "\"/>";
}

void append_dots(std::string* out, const std::vector<RdPoint>& points, const Axes& a,
                 const char* colour, bool ring) {
  for (const RdPoint& p : points) {
    if (!drawable(p)) continue;
    appendf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%s\" fill=\"%s\" stroke=\"%s\"/>",
            a.x(p.rate), a.y(p.quality), ring ? "2.5" : "3", ring ? "none" : colour, colour);
  }
}

// One metric's chart: both curves, a ladder's encodes as rings and its hulls as the lines.
void append_chart(std::string* out, const BdRow& r, int m) {
  const Axes a = axes_for(r, m);
  appendf(out,
          "<svg class=\"rd\" data-metric=\"%s\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" "
          "height=\"%d\" viewBox=\"0 0 %d %d\">",
          kBdMetricNames[m], kWidth, kHeight, kWidth, kHeight);
  appendf(out, "<text x=\"%d\" y=\"14\">%s", kLeft, kBdMetricNames[m]);
  if (r.value[m].percent) {
    appendf(out, ": %.4f %%</text>", *r.value[m].percent);
  } else {
    *out += ": no value</text><title>";
    append_escaped(out, r.value[m].why);
    *out += "</title>";
  }
  append_axes(out, a);
  for (int t = 0; t < 2; ++t) {
    const char* colour = t ? kTestColour : kAnchorColour;
    if (r.ladder) {
      append_dots(out, r.points[t][m], a, colour, true);
      append_line(out, r.hull[t][m], a, colour);
    } else {
      append_line(out, r.points[t][m], a, colour);
      append_dots(out, r.points[t][m], a, colour, false);
    }
  }
  *out += "</svg>\n";
}

void append_table(std::string* out, const BdSummary& s) {
  *out += "<div class=\"wide\"><table class=\"bd\"><tr><th>cfg</th><th>class</th><th>video</th>";
  for (int m = 0; m < kBdMetrics; ++m)
    if (s.shared[m]) appendf(out, "<th>%s</th>", kBdMetricNames[m]);
  *out += "</tr>\n";
  for (const auto* rows : {&s.sequences, &s.averages}) {
    for (const BdRow& r : *rows) {
      *out += "<tr><td>";
      append_escaped(out, r.cfg);
      *out += "</td><td>";
      append_escaped(out, r.cls);
      *out += "</td><td>";
      if (r.video.empty()) {
        appendf(out, "average of %d", r.sequences);
      } else {
        append_escaped(out, r.video);
      }
      *out += "</td>";
      for (int m = 0; m < kBdMetrics; ++m) {
        if (!s.shared[m]) continue;
        if (r.value[m].percent) {
          appendf(out, "<td class=\"n\">%.4f</td>", *r.value[m].percent);
        } else {
          *out += "<td class=\"n muted\" title=\"";
          append_escaped(out, r.value[m].why);
          *out += "\">-</td>";
        }
      }
      *out += "</tr>\n";
    }
  }
  *out += "</table></div>\n";
}

}  // namespace

int write_bd_html(const BdSummary& s, const std::string& anchor, const std::string& test,
                  const std::string& generator, std::string* out) {
  try {
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    page += "<title>BD-rate</title>\n<style>";
    page += kPageStyle;
    page +=
        ".charts{display:flex;flex-wrap:wrap;gap:6px}.wide{overflow-x:auto}"
        "table.bd{font-size:13px}table.bd td,table.bd th{padding:3px 8px 3px 0;white-space:nowrap}"
        "</style>\n</head>\n<body>\n";
    page += "<h1>BD-rate</h1>\n<p>Of <span class=\"path\">";
    append_escaped(&page, test);
    page += "</span> against <span class=\"path\">";
    append_escaped(&page, anchor);
    appendf(&page,
            "</span> (%s): percent of bitrate at equal quality, negative where the test needs "
            "less.</p>\n<h2>Summary</h2>\n",
            bd_method_name(s.method));
    append_table(&page, s);
    page += "<h2>RD curves</h2>\n<p><span style=\"color:";
    page += kAnchorColour;
    page += "\">&#9679; anchor</span> &nbsp; <span style=\"color:";
    page += kTestColour;
    page +=
        "\">&#9679; test</span> &nbsp; <span class=\"muted\">a ladder's encodes are rings, "
        "the line its hull</span></p>\n";
    for (const BdRow& r : s.sequences) {
      page += "<h3>";
      append_escaped(&page, r.video);
      page += r.ladder ? " <span class=\"muted\">(ladder)</span></h3>\n" : "</h3>\n";
      page += "<div class=\"charts\">\n";
      for (int m = 0; m < kBdMetrics; ++m)
        if (s.shared[m]) append_chart(&page, r, m);
      page += "</div>\n";
    }
    page += "<p class=\"muted\">";
    append_escaped(&page, generator);
    page += "</p>\n</body>\n</html>\n";
    *out = std::move(page);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
