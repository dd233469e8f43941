// The HTML page as an output of the run: the worst pairs' pictures as they enter the list, and
// the page written from the finished table once the run is over.
#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "page/page.h"
#include "report/report.h"

namespace vq {
namespace {

class HtmlPage final : public Report {
 public:
  HtmlPage(RunDescription run, int worst) : run_(std::move(run)), worst_(worst) {}

  void on_start(int32_t, const ScoreTable& table) override { ranked_ = table.find(run_.ranked); }
  bool wants_pictures(const PairView& v) override {
    double value;
    return !failed() && v.table->get(ranked_, v.row, &value) && worst_.wants(value);
  }
  void on_pictures(const PairView& v, const Picture& a, const Picture& b) override {
    double value;
    if (v.table->get(ranked_, v.row, &value) && worst_.offer(v.number, value, a, b) < 0)
      fail(ENOMEM);
  }

 private:
  int finish(std::FILE* f) override {
    if (!f) return 0;
    try {
      const RunResult& r = result();
      HtmlReport page;
      page.generator = "vidqual " + run_.version;
      for (int i = 0; i < 2; ++i) {
        page.input[i].path = run_.path[i];
        page.input[i].info = r.info[i];
      }
      page.input[0].info.length = r.length1;
      page.input[1].info.length = r.length2;
      if (r.conversion.scaled) {
        page.input[1].scaled_width = r.width;
        page.input[1].scaled_height = r.height;
        page.input[1].scale = r.conversion.scale;
      }
      page.compared = std::to_string(r.compared) + " pairs" +
                      (r.compared ? std::string(", scored as ") + chroma_layout_name(r.layout) +
                                        " " + std::to_string(r.depth) + "-bit"
                                  : std::string()) +
                      (r.reason.empty() ? "" : "; stopped: " + r.reason);
      page.pairs_asked = r.pair_count;
      page.pairs_compared = r.compared;
      page.table = r.table;
      page.columns = run_.columns;
      page.ranked = run_.ranked;
      page.worst = worst_.capacity() > 0 ? &worst_ : nullptr;
      std::string html;
      if (!write_html_report(page, &html)) {
        fail(ENOMEM);
        return 0;
      }
      return std::fwrite(html.data(), 1, html.size(), f) == html.size();
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
      return 0;
    }
  }

  RunDescription run_;
  WorstPairs worst_;
  int ranked_ = -1;
};

}  // namespace

std::unique_ptr<Report> make_html_report(const RunDescription& run) {
  return std::make_unique<HtmlPage>(run, run.html_worst);
}

}  // namespace vq
