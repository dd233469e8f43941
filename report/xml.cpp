// The XML report in libvmaf's layout, so that the scripts of codec test frameworks, which read
// libvmaf's report by element and attribute name, read ours unchanged.
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

// Written from the finished table; the head holds the speed, timed from the first pair to the
// end of the run.
class XmlReport final : public Report {
 public:
  explicit XmlReport(RunDescription run) : run_(std::move(run)) {}

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

  int finish(std::FILE* f) override {
    if (!f) return 0;
    try {
      const RunResult& r = result();
      const ScoreTable& t = *r.table;
      std::vector<int> columns;
      for (int c = 0; c < int(t.columns()); ++c)
        if (!t.hidden(c) && !is_report_score(t.name(c))) columns.push_back(c);
      const double fps = seconds_ > 0 ? r.compared / seconds_ : 0.0;
      std::fprintf(f, "<VMAF version=\"%s\">\n", run_.version.c_str());
      std::fprintf(f, "  <params qualityWidth=\"%d\" qualityHeight=\"%d\" />\n", r.info[0].width,
                   r.info[0].height);
      std::fprintf(f, "  <fyi fps=\"%.2f\" />\n", fps);
      std::fputs("  <frames>\n", f);
      std::string line;
      for (int32_t row = 0; row < r.compared; ++row) {
        line = "    <frame frameNum=\"" + std::to_string(row) + "\" ";
        for (const int c : columns) {
          double value;
          if (!t.get(c, row, &value)) continue;
          line += t.name(c) + "=\"" + xml_number(value) + "\" ";
        }
        line += "/>\n";
        std::fputs(line.c_str(), f);
      }
      std::fputs("  </frames>\n", f);
      std::fputs("  <pooled_metrics>\n", f);
      for (const int c : columns) {
        line = "    <metric name=\"" + t.name(c) + "\" ";
        const Pooled p = t.pool(c);
        // Pooled only over every pair: a score some pairs lack has no pooled values, as in
        // libvmaf's report.
        if (p.count > 0 && p.count == r.compared) {
          const std::pair<const char*, double> pooled[] = {
              {"min", p.min}, {"max", p.max}, {"mean", p.mean}, {"harmonic_mean", p.harmonic_mean}};
          for (const auto& [name, value] : pooled)
            line += std::string(name) + "=\"" + xml_number(value) + "\" ";
        }
        line += "/>\n";
        std::fputs(line.c_str(), f);
      }
      std::fputs("  </pooled_metrics>\n", f);
      std::string aggregates = "  <aggregate_metrics ";
      for (const auto& [name, value] : t.aggregates())
        if (!is_report_score(name)) aggregates += name + "=\"" + xml_number(value) + "\" ";
      aggregates += "/>\n";
      std::fputs(aggregates.c_str(), f);
      return std::fputs("</VMAF>\n", f) != EOF && !std::ferror(f);
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
    }
    return 0;
  }

  RunDescription run_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  double seconds_ = 0;
};

}  // namespace

std::unique_ptr<Report> make_xml_report(const RunDescription& run) {
  return std::make_unique<XmlReport>(run);
}

}  // namespace vq
