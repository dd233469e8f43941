// The per-frame CSV: one row per compared pair, written from the finished score table.
#include <new>

#include "report/report.h"

namespace vq {
namespace {

class CsvReport final : public Report {
 public:
  explicit CsvReport(std::vector<std::string> columns) : names_(std::move(columns)) {}

 private:
  int finish(std::FILE* f) override {
    if (!f) return 0;
    const RunResult& r = result();
    const ScoreTable& t = *r.table;
    std::fputs("pair", f);
    std::vector<int> columns;
    for (const std::string& n : names_) {
      std::fprintf(f, ",%s", n.c_str());
      columns.push_back(t.find(n));
    }
    std::fputs(",depth,chroma\n", f);
    for (int32_t row = 0; row < r.compared; ++row) {
      std::fprintf(f, "%d", row + 1);
      for (const int c : columns) {
        double value;
        if (t.get(c, row, &value)) {
          std::fprintf(f, ",%.17g", value);
        } else {
          std::fputc(',', f);
        }
      }
      const PairForm form = pair_form(row);
      std::fprintf(f, ",%d,%s\n", form.depth, chroma_layout_name(form.layout));
    }
    return !std::ferror(f);
  }

  std::vector<std::string> names_;
};

}  // namespace

std::unique_ptr<Report> make_csv_report(const RunDescription& run) {
  return std::make_unique<CsvReport>(run.columns);
}

}  // namespace vq
