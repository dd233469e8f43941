// The HTML page: inline style, inline SVG charts, the worst pairs' pictures as PNG data: URIs.
// Nothing on the page loads anything: it opens from disk as it is.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "page/page.h"

namespace vq {

void appendf(std::string* out, const char* format, ...) {
  char buf[256];
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n >= int(sizeof buf)) {
    // Longer than the stack buffer: format again straight into the string.
    const size_t at = out->size();
    out->resize(at + size_t(n) + 1);
    std::vsnprintf(out->data() + at, size_t(n) + 1, format, again);
    out->resize(at + size_t(n));
  } else if (n > 0) {
    out->append(buf, size_t(n));
  }
  va_end(again);
}

void append_escaped(std::string* out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += "&quot;";
        break;
      case '\'':
        *out += "&#39;";
        break;
      default:
        *out += c;
    }
  }
}

// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts` pieces.
double nice_step(double range, int parts) {
  const double raw = range / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  const double f = raw / power;
  return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * power;
}

int decimals_for(double step) {
  return std::max(0, int(-std::floor(std::log10(step) + 1e-9)));
}

namespace {

// Series colours, in the order a chart lists its series.
constexpr const char* kColours[8] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                     "#9467bd", "#8c564b", "#e377c2", "#7f7f7f"};

// Chart geometry in CSS pixels: the plotting area is kChartColumns wide.
constexpr int kLeft = 64, kRight = 20, kTop = 36, kBottom = 44, kPlotHeight = 280;
constexpr int kChartWidth = kLeft + kChartColumns + kRight;
constexpr int kChartHeight = kTop + kPlotHeight + kBottom;

std::string upper(std::string s) {
  for (char& c : s)
    c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

struct Series {
  std::string label;  // the plane, or the score's name
  const char* colour;
  std::vector<float> values;  // per pair; NaN where the pair has none
};

// A chart: what it shows (the family's name) and how its values are printed.
struct ChartKind {
  std::string what;
  int decimals;
};

// Where a chart puts its values: the value range rounded out to whole steps, and the pairs along
// the pair axis, one point each, or a pixel column each for more pairs than there are columns.
struct ChartScale {
  size_t n = 0;  // pairs
  double lo = 0, hi = 1, ystep = 1;
  bool columns = false;

  explicit ChartScale(const std::vector<Series>& series) {
    n = series.empty() ? 0 : series[0].values.size();
    lo = INFINITY, hi = -INFINITY;
    for (const Series& s : series) {
      for (float v : s.values) {
        if (std::isfinite(v)) lo = std::min(lo, double(v)), hi = std::max(hi, double(v));
      }
    }
    if (!(lo <= hi)) lo = 0, hi = 1;
    if (hi - lo < 1e-9) {
      const double pad = std::max(std::fabs(hi) * 0.05, 0.01);
      lo -= pad, hi += pad;
    }
    ystep = nice_step(hi - lo, 5);
    lo = std::floor(lo / ystep) * ystep;
    hi = std::ceil(hi / ystep) * ystep;
    columns = n > size_t(kChartColumns);
  }
  [[nodiscard]] double y_of(double v) const {
    if (!std::isfinite(v)) v = v > 0 ? hi : lo;
    return kTop + kPlotHeight - (std::clamp(v, lo, hi) - lo) / (hi - lo) * kPlotHeight;
  }
  // x of the 0-based pair i: its column's centre, or its place on a line from end to end.
  [[nodiscard]] double x_of(size_t i) const {
    if (columns) return kLeft + double(uint64_t(i) * kChartColumns / n) + 0.5;
    if (n < 2) return kLeft + kChartColumns / 2.0;
    return kLeft + double(i) * kChartColumns / double(n - 1);
  }
};

// The plotting area, the value axis's grid lines and labels, the pair axis's ticks (1, then
// multiples of a round step up to the last pair) and the two axis titles.
void append_axes(std::string* out, const ChartKind& kind, const ChartScale& c) {
  appendf(out, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#fcfcfc\"/>\n", kLeft,
          kTop, kChartColumns, kPlotHeight);
  const int yd = decimals_for(c.ystep);
  for (double v = c.lo; v <= c.hi + c.ystep * 1e-6; v += c.ystep) {
    const double y = c.y_of(v);
    appendf(out,
            "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>"
            "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n",
            kLeft, kLeft + kChartColumns, y, y, kLeft - 6, y + 4, yd, v);
  }
  if (c.n > 0) {
    const int64_t step =
        std::max<int64_t>(1, int64_t(nice_step(std::max(double(c.n) - 1, 1.0), 8)));
    for (int64_t p = 1; p <= int64_t(c.n); p = p == 1 && step > 1 ? step : p + step) {
      const double x = c.x_of(size_t(p - 1));
      appendf(out,
              "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#888\"/>"
              "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%lld</text>\n",
              x, x, kTop + kPlotHeight, kTop + kPlotHeight + 5, x, kTop + kPlotHeight + 18,
              static_cast<long long>(p));
    }
  }
  appendf(out,
          "<path class=\"axes\" d=\"M%d %dV%dH%d\" fill=\"none\" stroke=\"#555\" "
          "shape-rendering=\"crispEdges\"/>\n"
          "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">pair%s</text>\n"
          "<text transform=\"translate(16 %d) rotate(-90)\" text-anchor=\"middle\">%s</text>\n",
          kLeft, kTop, kTop + kPlotHeight, kLeft + kChartColumns, kLeft + kChartColumns / 2,
          kChartHeight - 6, c.columns ? " (each pixel column: lowest to highest of its pairs)" : "",
          kTop + kPlotHeight / 2, kind.what.c_str());
}

// One series as a polyline: a point per pair, or the lowest and highest of each pixel column's
// pairs; with dots on the points when there are few.
void append_series(std::string* out, const Series& s, const ChartScale& c) {
  const std::vector<float>& v = s.values;
  appendf(out, "<polyline class=\"series\" data-plane=\"%s\" data-pairs=\"%zu\" ", s.label.c_str(),
          v.size());
  if (c.columns) appendf(out, "data-columns=\"%d\" ", kChartColumns);
  appendf(out,
          "fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" stroke-linejoin=\"round\" "
          "points=\"",
          s.colour);
  if (c.columns) {
    size_t i = 0;
    for (int col = 0; col < kChartColumns; ++col) {
      float mn = INFINITY, mx = -INFINITY;
      for (; i < v.size() && uint64_t(i) * kChartColumns / v.size() == uint64_t(col); ++i) {
        const float f = std::isfinite(v[i]) ? v[i] : float(c.lo);
        mn = std::min(mn, f), mx = std::max(mx, f);
      }
      appendf(out, "%s%.1f,%.1f %.1f,%.1f", col ? " " : "", kLeft + col + 0.5, c.y_of(mx),
              kLeft + col + 0.5, c.y_of(mn));
    }
  } else {
    for (size_t i = 0; i < v.size(); ++i)
      appendf(out, "%s%.1f,%.1f", i ? " " : "", c.x_of(i), c.y_of(v[i]));
  }
  *out += "\"/>\n";
  if (v.size() <= 60) {
    for (size_t i = 0; i < v.size(); ++i)
      appendf(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"%s\"/>", c.x_of(i),
              c.y_of(v[i]), s.colour);
    *out += "\n";
  }
}

// The worst pairs: a dashed line, a ring on the first series and the pair's number.
void append_worst_marks(std::string* out, const ChartKind& kind, const Series& first,
                        const WorstPairs& worst, const ChartScale& c) {
  const std::vector<float>& v = first.values;
  int rank = 0;
  for (const WorstPair& w : worst.pairs()) {
    if (w.pair < 1 || size_t(w.pair) > v.size()) continue;
    const double x = c.x_of(size_t(w.pair - 1));
    const double y = c.y_of(v[size_t(w.pair - 1)]);
    appendf(out,
            "<g class=\"worst-mark\" data-pair=\"%d\"><title>pair %d: %s %.*f</title>"
            "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%d\" y2=\"%d\" stroke=\"#b00\" "
            "stroke-dasharray=\"3 3\"/>"
            "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" fill=\"none\" stroke=\"#b00\" "
            "stroke-width=\"2\"/>"
            "<text x=\"%.1f\" y=\"%d\" fill=\"#b00\">%d</text></g>\n",
            w.pair, w.pair, first.label.c_str(), kind.decimals, double(v[size_t(w.pair - 1)]), x, x,
            kTop, kTop + kPlotHeight, x, y, x + 4, kTop + 12 + 13 * (rank % 4), w.pair);
    ++rank;
  }
}

// The legend, above the plotting area: each series' colour and label, then the worst pairs' mark.
void append_legend(std::string* out, const std::vector<Series>& series, const WorstPairs* worst) {
  int lx = kLeft;
  for (const Series& s : series) {
    appendf(out,
            "<rect x=\"%d\" y=\"12\" width=\"18\" height=\"4\" fill=\"%s\"/>"
            "<text x=\"%d\" y=\"19\">%s</text>\n",
            lx, s.colour, lx + 24, s.label.c_str());
    lx += 40 + 8 * int(std::min<size_t>(s.label.size(), 12));
  }
  if (worst && !worst->pairs().empty()) {
    appendf(out,
            "<line x1=\"%d\" x2=\"%d\" y1=\"14\" y2=\"14\" stroke=\"#b00\" "
            "stroke-dasharray=\"3 3\"/><text x=\"%d\" y=\"19\">worst pairs</text>\n",
            lx, lx + 18, lx + 24);
  }
}

// A line chart of per-pair values: axes with ticks, a legend, one polyline per series (the first
// drawn last, so that it lies on top), and the worst pairs marked on the first series.
void append_chart(std::string* out, const ChartKind& kind, const std::vector<Series>& series,
                  const WorstPairs* worst) {
  const ChartScale scale(series);
  appendf(out,
          "<svg class=\"chart\" data-chart=\"%s\" xmlns=\"http://www.w3.org/2000/svg\" "
          "width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" role=\"img\">\n",
          kind.what.c_str(), kChartWidth, kChartHeight, kChartWidth, kChartHeight);
  appendf(out, "<title>%s per pair</title>\n", kind.what.c_str());
  append_axes(out, kind, scale);
  for (size_t k = series.size(); k-- > 0;)
    append_series(out, series[k], scale);
  if (worst && !series.empty()) append_worst_marks(out, kind, series[0], *worst, scale);
  append_legend(out, series, worst);
  *out += "</svg>\n";
}

void append_input_rows(std::string* out, const HtmlInput (&in)[2]) {
  const auto row = [&](const char* name, auto cell) {
    appendf(out, "<tr><th>%s</th>", name);
    for (const HtmlInput& i : in) {
      *out += "<td>";
      cell(i);
      *out += "</td>";
    }
    *out += "</tr>\n";
  };
  row("Path", [&](const HtmlInput& i) {
    *out += "<span class=\"path\">";
    append_escaped(out, i.path);
    *out += "</span>";
  });
  row("Container", [&](const HtmlInput& i) { append_escaped(out, i.info.container); });
  row("Codec", [&](const HtmlInput& i) { append_escaped(out, i.info.codec); });
  row("Pixel format", [&](const HtmlInput& i) { append_escaped(out, i.info.pixel_format); });
  row("Size", [&](const HtmlInput& i) {
    appendf(out, "%d &times; %d", i.info.width, i.info.height);
    if (i.scaled_width > 0) {
      appendf(out, ", scaled to %d &times; %d (%s)", i.scaled_width, i.scaled_height,
              scale_filter_name(i.scale).c_str());
    }
  });
  row("Rotation", [&](const HtmlInput& i) {
    if (i.info.rotation == 0) {
      *out += "none";
    } else {
      appendf(out, "%d&deg; (scored as stored)", i.info.rotation);
    }
  });
  row("Colour", [&](const HtmlInput& i) {
    const std::string* parts[3] = {&i.info.color_primaries, &i.info.color_transfer,
                                   &i.info.color_range};
    const char* names[3] = {"primaries ", "transfer ", "range "};
    bool any = false;
    for (int k = 0; k < 3; ++k) {
      if (parts[k]->empty()) continue;
      if (any) *out += ", ";
      *out += names[k];
      append_escaped(out, *parts[k]);
      any = true;
    }
    if (!any) *out += "not stated";
  });
  row("Frame rate", [&](const HtmlInput& i) {
    if (i.info.rate_num <= 0 || i.info.rate_den <= 0) {
      *out += "not known";
    } else if (i.info.rate_den == 1) {
      appendf(out, "%d fps", i.info.rate_num);
    } else {
      appendf(out, "%.3f fps (%d/%d)", double(i.info.rate_num) / i.info.rate_den, i.info.rate_num,
              i.info.rate_den);
    }
  });
  row("Length", [&](const HtmlInput& i) {
    if (i.info.length_known) {
      appendf(out, "%d frames", i.info.length);
      if (i.info.rate_num > 0 && i.info.rate_den > 0)
        appendf(out, " (%.2f s)", double(i.info.length) * i.info.rate_den / i.info.rate_num);
    } else if (i.info.length > 0) {
      appendf(out, "about %d frames (the container's estimate)", i.info.length);
    } else {
      *out += "not known (read to its end)";
    }
  });
}

// The columns of the page that the table has, in order.
std::vector<int> shown_columns(const HtmlReport& r) {
  std::vector<int> shown;
  for (const std::string& name : r.columns) {
    const int c = r.table->find(name);
    if (c >= 0 && !r.table->hidden(c)) shown.push_back(c);
  }
  return shown;
}

// Each shown score pooled over the pairs, and the scores of the whole run.
void append_summary(std::string* out, const HtmlReport& r) {
  const ScoreTable& t = *r.table;
  *out +=
      "<table class=\"summary\"><tr><th>Score</th><th>Mean</th><th>Harmonic mean</th>"
      "<th>Min</th><th>Max</th><th>Worst pair</th></tr>\n";
  for (const int c : shown_columns(r)) {
    const Pooled p = t.pool(c);
    *out += "<tr><th>";
    append_escaped(out, t.name(c));
    if (p.count == 0) {
      *out += "</th><td colspan=\"5\" class=\"muted\">no value</td></tr>\n";
      continue;
    }
    appendf(out,
            "</th><td class=\"n\">%.6f</td><td class=\"n\">%.6f</td><td class=\"n\">%.6f</td>"
            "<td class=\"n\">%.6f</td><td class=\"n\">%d</td></tr>\n",
            p.mean, p.harmonic_mean, p.min, p.max, p.worst_pair + 1);
  }
  *out += "</table>\n";
  if (t.aggregates().empty()) return;
  *out += "<table class=\"summary\"><tr><th>Over the whole run</th><th>Value</th></tr>\n";
  for (const auto& [name, value] : t.aggregates()) {
    *out += "<tr><th>";
    append_escaped(out, name);
    appendf(out, "</th><td class=\"n\">%.6f</td></tr>\n", value);
  }
  *out += "</table>\n";
}

// One PNG file as an <img> with its size; 0 when memory runs out.
int append_png(std::string* out, const std::string& png, int32_t w, int32_t h,
               const std::string& alt) {
  *out += "<img src=\"data:image/png;base64,";
  if (!append_base64(png, out)) return 0;
  appendf(out, "\" width=\"%d\" height=\"%d\" alt=\"", w, h);
  append_escaped(out, alt);
  *out += "\">";
  return 1;
}

// The error map's key: the colour scale as a gradient strip, labelled in luma differences.
void append_error_key(std::string* out) {
  const uint8_t* scale = error_colour_scale();
  *out +=
      "<svg class=\"key\" xmlns=\"http://www.w3.org/2000/svg\" width=\"320\" height=\"40\" "
      "viewBox=\"0 0 320 40\"><defs><linearGradient id=\"error-scale\">";
  for (int i = 0; i <= 256; i += 16) {
    const int e = std::min(i, 255);
    appendf(out, "<stop offset=\"%.4f\" stop-color=\"#%02x%02x%02x\"/>", e / 255.0, scale[3 * e],
            scale[3 * e + 1], scale[3 * e + 2]);
  }
  *out +=
      "</linearGradient></defs><rect x=\"8\" y=\"2\" width=\"256\" height=\"16\" "
      "fill=\"url(#error-scale)\"/>";
  for (int d = 0; d <= 64; d += 16) {
    const double x = 8 + std::min(d * kErrorMapGain, 255) * 256.0 / 255.0;
    appendf(out, "<text x=\"%.1f\" y=\"32\" text-anchor=\"middle\">%s%d</text>", x,
            d == 64 ? "&#8805;" : "", d);
  }
  *out += "</svg>";
}

int append_gallery(std::string* out, const HtmlReport& r) {
  const WorstPairs& worst = *r.worst;
  const std::vector<int> shown = shown_columns(r);
  appendf(out,
          "<p>Each pair shows picture A, picture B and the error map: the absolute difference "
          "of the luma samples, multiplied by %d and clamped, in a colour scale whose lightness "
          "rises with the error.",
          kErrorMapGain);
  // The pairs of one run share a picture size, so the first one tells the scale.
  if (const int f = worst.pairs().front().factor; f > 1)
    appendf(out,
            " <span class=\"scale\">Pictures shown at 1/%d size; the error map shows the "
            "largest difference in each %dx%d block.</span>",
            f, f, f);
  *out += "</p>\n<div class=\"keyrow\">Luma difference ";
  append_error_key(out);
  *out += "</div>\n";
  std::vector<uint8_t> rgb;
  std::string png;
  for (const WorstPair& w : worst.pairs()) {
    appendf(out, "<section class=\"pair\" data-pair=\"%d\"><h3>Pair %d</h3><p>", w.pair, w.pair);
    bool first = true;
    for (const int c : shown) {
      double v;
      if (!r.table->get(c, w.pair - 1, &v)) continue;
      if (!first) *out += ", ";
      append_escaped(out, r.table->name(c));
      appendf(out, " %.6f", v);
      first = false;
    }
    *out += "</p>\n<div class=\"row\">";
    const Picture& a = w.a.picture();
    const Picture& b = w.b.picture();
    const std::pair<const Picture*, const char*> shown[2] = {{&a, "A"}, {&b, "B"}};
    for (const auto& [pic, name] : shown) {
      appendf(out, "<figure>");
      const std::string alt = "Pair " + std::to_string(w.pair) + ", picture " + name;
      if (!picture_to_rgb24(*pic, &rgb) ||
          !encode_png_rgb24(rgb.data(), pic->width, pic->height, 3 * ptrdiff_t(pic->width), &png) ||
          !append_png(out, png, pic->width, pic->height, alt)) {
        return 0;
      }
      appendf(out, "<figcaption>Picture %s</figcaption></figure>", name);
    }
    *out += "<figure>";
    if (!w.error.empty()) {
      if (!encode_png_indexed(w.error.levels(), w.error.width(), w.error.height(), w.error.width(),
                              error_colour_scale(), &png) ||
          !append_png(out, png, w.error.width(), w.error.height(),
                      "Pair " + std::to_string(w.pair) + ", error map")) {
        return 0;
      }
    } else {
      *out += "<p>(no error map: the pictures differ in size or depth)</p>";
    }
    *out += "<figcaption>Error map</figcaption></figure></div></section>\n";
  }
  return 1;
}

}  // namespace

const char* const kPageStyle =
    "body{font:14px/1.45 system-ui,sans-serif;color:#1d1d1f;background:#fff;margin:24px auto;"
    "max-width:1020px;padding:0 16px}"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px;padding-bottom:4px;"
    "border-bottom:1px solid #ddd}h3{font-size:15px;margin:18px 0 2px}"
    "table{border-collapse:collapse;margin:6px 0 10px}th,td{padding:3px 12px 3px 0;"
    "text-align:left;vertical-align:top;border-bottom:1px solid #eee}td.n{text-align:right;"
    "font-variant-numeric:tabular-nums}.path{font-family:monospace;word-break:break-all}"
    ".muted{color:#666}.warn{color:#b00}svg text{font:12px sans-serif;fill:#333}"
    "svg.chart{max-width:100%;height:auto}.row{display:flex;gap:10px}figure{margin:0;flex:1;min-"
    "width:0}figure img{width:100%;"
    "height:auto;display:block;border:1px solid #ccc}figcaption{font-size:12px;color:#555}"
    ".keyrow{display:flex;align-items:center;gap:8px}";

int write_html_report(const HtmlReport& r, std::string* out) {
  if (!png_available() || !r.table) return 0;
  try {
    // Room for the worst case, base64 of uncompressed images, so the page never moves while it
    // grows (a move holds the old and the new copy at once); pages never written take no memory.
    size_t room = 64 * 1024;
    if (r.worst) {
      for (const WorstPair& w : r.worst->pairs()) {
        const Picture& a = w.a.picture();
        const Picture& b = w.b.picture();
        room += (size_t(a.width) * size_t(a.height) + size_t(b.width) * size_t(b.height) +
                 size_t(w.error.width()) * size_t(w.error.height())) *
                    4 +
                4096;
      }
    }
    std::string page;
    page.reserve(room);
    page += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>";
    append_escaped(&page, r.title);
    page += "</title>\n<style>";
    page += kPageStyle;
    page += "</style></head><body>\n<h1>";
    append_escaped(&page, r.title);
    page += "</h1>\n";
    if (!r.generator.empty()) {
      page += "<p class=\"muted\">Written by ";
      append_escaped(&page, r.generator);
      page += "</p>\n";
    }

    page += "<h2>Inputs</h2>\n<table class=\"inputs\"><tr><th></th><th>A</th><th>B</th></tr>\n";
    append_input_rows(&page, r.input);
    page += "</table>\n<p>";
    if (!r.compared.empty()) {
      page += "Compared: ";
      append_escaped(&page, r.compared);
      page += ". ";
    }
    appendf(&page, "Pairs asked: %d; compared: %d", r.pairs_asked, r.pairs_compared);
    if (r.pairs_compared < r.pairs_asked) page += " <span class=\"warn\">(fewer than asked)</span>";
    page += ".</p>\n";

    page += "<h2>Summary</h2>\n";
    append_summary(&page, r);

    // One chart per family of the shown scores, in the order the families first come.
    const ScoreTable& t = *r.table;
    const int32_t rows = t.rows();
    std::vector<std::string> families;
    std::vector<std::vector<Series>> charts;
    for (const int c : shown_columns(r)) {
      const ScoreInfo& info = t.info(c);
      size_t k = 0;
      while (k < families.size() && families[k] != info.family)
        ++k;
      if (k == families.size()) {
        families.push_back(info.family);
        charts.emplace_back();
      }
      std::vector<Series>& series = charts[k];
      Series one;
      one.label = info.label;
      for (const Series& other : series)
        if (other.label == one.label) one.label = t.name(c);
      one.colour = kColours[series.size() % 8];
      one.values.assign(size_t(rows), NAN);
      for (int32_t i = 0; i < rows; ++i) {
        double v;
        if (t.get(c, i, &v)) one.values[size_t(i)] = float(v);
      }
      series.push_back(std::move(one));
    }
    for (size_t k = 0; k < charts.size(); ++k) {
      ChartKind kind{upper(families[k]), 4};
      page += "<h2>";
      append_escaped(&page, kind.what);
      page += " per pair</h2>\n";
      append_chart(&page, kind, charts[k], r.worst);
    }

    if (r.worst && !r.worst->pairs().empty()) {
      appendf(&page, "<h2>The %zu worst pair%s by ", r.worst->pairs().size(),
              r.worst->pairs().size() == 1 ? "" : "s");
      append_escaped(&page, r.ranked);
      page += "</h2>\n";
      if (!append_gallery(&page, r)) return 0;
    }
    page += "</body></html>\n";
    out->swap(page);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
