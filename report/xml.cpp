// The reports in libvmaf's layouts (its XML, JSON, CSV and subtitle files), so that the scripts of
// codec test frameworks, which read libvmaf's files by element, attribute or key name and often
// line by line, read ours unchanged.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <new>
#include <utility>

#include "report/report.h"

namespace vq {
namespace {

// The decimal places up to the first nonzero digit of the fraction, as libvmaf counts them to
// choose its number format (by multiplying by ten until the fraction reaches 1).
int fraction_digits(double v) {
  if (!std::isfinite(v)) return 0;
  double fraction = std::fabs(v) - std::trunc(std::fabs(v));
  int steps = 0;
  while (fraction < 1.0 && fraction != 0) {
    fraction *= 10;
    ++steps;
  }
  return steps;
}

}  // namespace

std::string xml_number(double v) {
  char text[512];
  // Values whose fraction begins with more than six zeros would print as 0.000000: they get
  // sixteen decimals instead, as libvmaf writes them.
  std::snprintf(text, sizeof text, fraction_digits(v) <= 6 ? "%.6f" : "%.16f", v);
  return text;
}

namespace {

// A number of the JSON file: as in the XML file, and null where it is not finite.
std::string json_number(double v) {
  return std::isfinite(v) ? xml_number(v) : "null";
}

// Written from the finished table; the head holds the speed, timed from the first pair to the
// end of the run.
class LibvmafLog final : public Report {
 public:
  LibvmafLog(RunDescription run, LogFormat format) : run_(std::move(run)), format_(format) {}

  void on_start(int32_t, const ScoreTable&) override { start_ = std::chrono::steady_clock::now(); }

  void on_end(const RunResult& r) override {
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    Report::on_end(r);
  }

 private:
  // The report's own columns (y_psnr, y_mse, ...) and their aggregates repeat psnr's scores under
  // the written report's names; libvmaf's layout has only the metrics' names.
  static bool is_report_score(const std::string& name) {
    for (const char* const* names : {kReportPsnr, kReportMse, kReportPsnrOfMeanMse})
      for (int p = 0; p < 3; ++p)
        if (name == names[p]) return true;
    return false;
  }

  // One score's column and its values pooled over the pairs listed, when each has one.
  struct Column {
    int column;
    std::string name;
    bool pooled = false;
    double pool[4] = {0, 0, 0, 0};  // min, max, mean, harmonic mean
  };

  // The columns listed, in the order run_.log_columns gives, each pooled as libvmaf pools: over
  // every listed pair, or not at all when one of them lacks a value.
  std::vector<Column> columns(const ScoreTable& t, int32_t pairs) const {
    std::vector<int> chosen;
    for (const std::string& name : run_.log_columns)
      if (const int c = t.find(name); c >= 0 && !t.hidden(c) && !is_report_score(name))
        chosen.push_back(c);
    std::vector<Column> out;
    for (const int c : chosen) {
      Column col{c, t.name(c)};
      int32_t n = 0;
      double sum = 0, inverse_sum = 0, v = 0;
      bool all = pairs > 0;
      for (int32_t row = 0; row < pairs && all; row += every()) {
        all = t.get(c, row, &v) == 1;
        if (!all) break;
        col.pool[0] = n == 0 ? v : std::min(col.pool[0], v);
        col.pool[1] = n == 0 ? v : std::max(col.pool[1], v);
        sum += v;
        inverse_sum += 1.0 / (v + 1.0);
        ++n;
      }
      if (all) {
        col.pooled = true;
        col.pool[2] = sum / n;
        col.pool[3] = n / inverse_sum - 1.0;
      }
      out.push_back(std::move(col));
    }
    return out;
  }

  int32_t every() const { return run_.log_every > 1 ? run_.log_every : 1; }

  // The scores pair `row` has, in column order: name and value.
  static std::vector<std::pair<const std::string*, double>> pair_values(
      const ScoreTable& t, const std::vector<Column>& columns, int32_t row) {
    std::vector<std::pair<const std::string*, double>> values;
    double v;
    for (const Column& c : columns)
      if (t.get(c.column, row, &v) == 1) values.emplace_back(&c.name, v);
    return values;
  }

  std::vector<std::pair<std::string, double>> aggregates(const ScoreTable& t) const {
    std::vector<std::pair<std::string, double>> kept;
    for (const auto& [name, value] : t.aggregates())
      if (!is_report_score(name)) kept.emplace_back(name, value);
    return kept;
  }

  static constexpr const char* kPoolNames[4] = {"min", "max", "mean", "harmonic_mean"};

  void write_xml(std::FILE* f, const ScoreTable& t, const std::vector<Column>& cols,
                 double fps) const {
    const RunResult& r = result();
    std::fprintf(f, "<VMAF version=\"%s\">\n", run_.version.c_str());
    std::fprintf(f, "  <params qualityWidth=\"%d\" qualityHeight=\"%d\" />\n", r.info[0].width,
                 r.info[0].height);
    std::fprintf(f, "  <fyi fps=\"%.2f\" />\n", fps);
    std::fputs("  <frames>\n", f);
    std::string line;
    for (int32_t row = 0; row < r.compared; row += every()) {
      const auto values = pair_values(t, cols, row);
      if (values.empty()) continue;
      line = "    <frame frameNum=\"" + std::to_string(row) + "\" ";
      for (const auto& [name, value] : values)
        line += *name + "=\"" + xml_number(value) + "\" ";
      line += "/>\n";
      std::fputs(line.c_str(), f);
    }
    std::fputs("  </frames>\n", f);
    std::fputs("  <pooled_metrics>\n", f);
    for (const Column& c : cols) {
      line = "    <metric name=\"" + c.name + "\" ";
      for (int k = 0; k < 4 && c.pooled; ++k)
        line += std::string(kPoolNames[k]) + "=\"" + xml_number(c.pool[k]) + "\" ";
      line += "/>\n";
      std::fputs(line.c_str(), f);
    }
    std::fputs("  </pooled_metrics>\n", f);
    line = "  <aggregate_metrics ";
    for (const auto& [name, value] : aggregates(t))
      line += name + "=\"" + xml_number(value) + "\" ";
    line += "/>\n";
    std::fputs(line.c_str(), f);
    std::fputs("</VMAF>\n", f);
  }

  // libvmaf's JSON file, written line by line as libvmaf writes it (not through a JSON library),
  // so that a script reading it by line finds each value where it finds libvmaf's.
  void write_json(std::FILE* f, const ScoreTable& t, const std::vector<Column>& cols,
                  double fps) const {
    const RunResult& r = result();
    std::fprintf(f, "{\n  \"version\": \"%s\",\n", run_.version.c_str());
    if (std::isfinite(fps)) {
      std::fprintf(f, "  \"fps\": %.2f,\n", fps);
    } else {
      std::fputs("  \"fps\": null,\n", f);
    }
    std::fputs("  \"frames\": [", f);
    for (int32_t row = 0; row < r.compared; row += every()) {
      const auto values = pair_values(t, cols, row);
      if (values.empty()) continue;
      std::fprintf(f, "%s    {\n      \"frameNum\": %d,\n      \"metrics\": {\n",
                   row > 0 ? ",\n" : "\n", row);
      for (size_t k = 0; k < values.size(); ++k) {
        const char* comma = k + 1 < values.size() ? "," : "";
        // libvmaf ends a null's line with no line break; so does this file.
        std::fprintf(
            f, std::isfinite(values[k].second) ? "        \"%s\": %s%s\n" : "        \"%s\": %s%s",
            values[k].first->c_str(), json_number(values[k].second).c_str(), comma);
      }
      std::fputs("      }\n    }", f);
    }
    std::fputs("\n  ],\n  \"pooled_metrics\": {", f);
    for (size_t i = 0; i < cols.size(); ++i) {
      std::fprintf(f, "%s    \"%s\": {", i > 0 ? ",\n" : "\n", cols[i].name.c_str());
      for (int k = 0; k < 4 && cols[i].pooled; ++k)
        std::fprintf(f, "%s      \"%s\": %s", k > 0 ? ",\n" : "\n", kPoolNames[k],
                     json_number(cols[i].pool[k]).c_str());
      std::fputs("\n    }", f);
    }
    std::fputs("\n  },\n  \"aggregate_metrics\": {", f);
    const auto kept = aggregates(t);
    for (size_t i = 0; i < kept.size(); ++i)
      std::fprintf(f, "\n    \"%s\": %s%s", kept[i].first.c_str(),
                   json_number(kept[i].second).c_str(), i + 1 < kept.size() ? "," : "");
    std::fputs("\n  }\n}\n", f);
  }

  // libvmaf's CSV file: a header of every score, then each pair's values in that order, every
  // cell followed by a comma.
  void write_csv(std::FILE* f, const ScoreTable& t, const std::vector<Column>& cols) const {
    std::fputs("Frame,", f);
    for (const Column& c : cols)
      std::fprintf(f, "%s,", c.name.c_str());
    std::fputs("\n", f);
    for (int32_t row = 0; row < result().compared; row += every()) {
      const auto values = pair_values(t, cols, row);
      if (values.empty()) continue;
      std::fprintf(f, "%d,", row);
      for (const auto& value : values)
        std::fprintf(f, "%s,", xml_number(value.second).c_str());
      std::fputs("\n", f);
    }
  }

  // libvmaf's subtitle file (MicroDVD): one line per pair, shown for that frame.
  void write_sub(std::FILE* f, const ScoreTable& t, const std::vector<Column>& cols) const {
    for (int32_t row = 0; row < result().compared; row += every()) {
      const auto values = pair_values(t, cols, row);
      if (values.empty()) continue;
      std::fprintf(f, "{%d}{%d}frame: %d|", row, row + 1, row);
      for (const auto& [name, value] : values)
        std::fprintf(f, "%s: %s|", name->c_str(), xml_number(value).c_str());
      std::fputs("\n", f);
    }
  }

  int finish(std::FILE* f) override {
    if (!f) return 0;
    try {
      const RunResult& r = result();
      const ScoreTable& t = *r.table;
      const std::vector<Column> cols = columns(t, r.compared);
      const double fps = seconds_ > 0 ? r.compared / seconds_ : 0.0;
      switch (format_) {
        case LogFormat::kXml:
          write_xml(f, t, cols, fps);
          break;
        case LogFormat::kJson:
          write_json(f, t, cols, fps);
          break;
        case LogFormat::kCsv:
          write_csv(f, t, cols);
          break;
        case LogFormat::kSub:
          write_sub(f, t, cols);
          break;
      }
      return !std::ferror(f);
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
    }
    return 0;
  }

  RunDescription run_;
  LogFormat format_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  double seconds_ = 0;
};

}  // namespace

std::unique_ptr<Report> make_libvmaf_log(const RunDescription& run, LogFormat format) {
  return std::make_unique<LibvmafLog>(run, format);
}

std::unique_ptr<Report> make_xml_report(const RunDescription& run) {
  return make_libvmaf_log(run, LogFormat::kXml);
}

}  // namespace vq
