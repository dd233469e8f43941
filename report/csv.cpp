#include <new>

#include "report/report.h"

namespace vq {
namespace {

// One row per compared pair, as the run delivers them; nothing after the last.
class CsvReport final : public Report {
 public:
  explicit CsvReport(std::vector<std::string> columns) : names_(std::move(columns)) {}

  void on_start(int32_t, const ScoreTable& table) override {
    columns_.clear();
    for (const std::string& n : names_)
      columns_.push_back(table.find(n));
  }

  void on_pair(const PairView& v) override {
    std::FILE* f = stream();
    if (!f) return;
    std::fprintf(f, "%d", v.number);
    for (const int c : columns_) {
      double value;
      if (v.table->get(c, v.row, &value)) {
        std::fprintf(f, ",%.17g", value);
      } else {
        std::fputc(',', f);
      }
    }
    std::fprintf(f, ",%d,%s\n", v.depth, chroma_layout_name(v.layout));
  }

 private:
  int begin(std::FILE* f) override {
    std::fputs("pair", f);
    for (const std::string& n : names_)
      std::fprintf(f, ",%s", n.c_str());
    return std::fputs(",depth,chroma\n", f) != EOF;
  }

  std::vector<std::string> names_;
  std::vector<int> columns_;
};

}  // namespace

std::unique_ptr<Report> make_csv_report(const RunDescription& run) {
  return std::make_unique<CsvReport>(run.columns);
}

}  // namespace vq
