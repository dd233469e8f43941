// The comparison run driven by sources in memory: pair counts, lengths and failures (a frame that
// cannot be read, a pair of two sizes, a metric that refuses a form), the written report's exact
// text, and the same table, text and result for every thread count; a temporal metric gets its
// pairs in order on one scorer.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "report/report.h"

namespace vq {
namespace {

// A source of gray-ramp 4:2:0 pictures held in memory; frame `fail` cannot be read, frame `wide`
// is wider than the rest, and a stream whose length is not known ends after `frames`.
class MemorySource final : public VideoSource {
 public:
  MemorySource(int32_t frames, int seed, bool known = true, int32_t fail = -1, int32_t wide = -1)
      : frames_(frames), seed_(seed), fail_(fail), wide_(wide) {
    info_.container = "memory";
    info_.length = known ? frames : 0;
    info_.length_known = known;
  }
  const SourceInfo& info() const override { return info_; }
  Fetch get_frame(int32_t index, Frame* out) override {
    if (index >= frames_) return info_.length_known ? Fetch::kError : Fetch::kEnd;
    if (index == fail_) return Fetch::kError;
    const int32_t w = index == wide_ ? 20 : 16, h = 8;
    // A fresh buffer each time, the old one overwritten first: a run that keeps a frame past
    // the next fetch sees other samples.
    std::fill(block_.begin(), block_.end(), uint8_t(0xee));
    block_.assign(size_t(w * h * 3 / 2), 0);
    for (size_t i = 0; i < block_.size(); ++i)
      block_[i] = uint8_t((i * 7 + size_t(index) * 13 + size_t(seed_) * (i % 5)) & 0xff);
    Picture& p = out->picture;
    p = Picture{ChromaLayout::k420, 8, false, w, h, w / 2, h / 2, {}, {}};
    p.plane[0] = block_.data();
    p.plane[1] = block_.data() + w * h;
    p.plane[2] = p.plane[1] + w * h / 4;
    p.pitch[0] = w;
    p.pitch[1] = p.pitch[2] = w / 2;
    return Fetch::kFrame;
  }
  std::string reason() const override { return "broken in memory"; }

 private:
  SourceInfo info_;
  int32_t frames_;
  int seed_, fail_, wide_;
  std::vector<uint8_t> block_;
};

// A temporal metric: checks that it sees pairs 0, 1, 2... in order on its one scorer, and
// writes each pair's luma difference to the previous pair's.
std::vector<std::string> order_scores(const MetricOptions&) {
  return {"order"};
}
class OrderMetric final : public Metric {
 public:
  MetricStatus score(int32_t pair, const Picture& ref, const Picture&, ScoreTable* t) override {
    if (pair != next_++) return MetricStatus::kUnsupported;
    t->set(t->declare("order"), pair, double(ref.plane[0][0]) - last_);
    last_ = ref.plane[0][0];
    return MetricStatus::kOk;
  }

 private:
  int32_t next_ = 0;
  double last_ = 0;
};
MetricStatus make_order(const PictureForm&, const MetricOptions&, uint32_t,
                        std::unique_ptr<Metric>* out, std::string*) {
  out->reset(new OrderMetric);
  return MetricStatus::kOk;
}
const MetricRow kOrder{"order", "pairs in order", {}, kMetricTemporal, order_scores, make_order};

struct Outcome {
  RunResult result;
  std::string text;
  std::vector<std::vector<double>> rows;  // every column's value per pair, -1 where none
};

Outcome run(MemorySource* a, MemorySource* b, const std::vector<std::string>& metrics, int threads,
            bool order, int32_t maxframes = 0) {
  RunSettings s;
  s.sources[0] = a;
  s.sources[1] = b;
  s.maxframes = maxframes;
  std::string why;
  for (const std::string& m : metrics) {
    MetricRequest r;
    EXPECT_TRUE(parse_metric_request(m, &r, &why)) << why;
    s.metrics.push_back(r);
  }
  if (order) s.metrics.push_back(MetricRequest{&kOrder, {}});
  s.threads = threads;
  s.cpu_flags = detect_cpu_flags();
  ScoreTable table;
  s.table = &table;
  RunDescription d;
  d.path[0] = "a";
  d.path[1] = "b";
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  const std::unique_ptr<RunListener> text = make_text_report(out, true, d);
  s.listeners.push_back(text.get());
  Outcome o;
  comparison_run(s, &o.result);
  std::fclose(out);
  o.text.assign(buffer, size);
  free(buffer);
  EXPECT_EQ(o.result.compared, table.rows());
  for (int32_t i = 0; i < table.rows(); ++i) {
    o.rows.emplace_back();
    for (int c = 0; c < int(table.columns()); ++c) {
      double v = -1;
      (void)table.get(c, i, &v);
      o.rows.back().push_back(v);
    }
  }
  return o;
}

TEST(Run, PairsFailuresAndTextAreTheSameOnAnyThreadCount) {
  const struct {
    const char* name;
    int32_t frames[2];
    bool known[2];
    int32_t fail[2], wide;
    int32_t maxframes;
    bool ssim, order;
    int32_t compared, pair_count;
    RunOutcome outcome;
    int failed_input;
    int32_t failed_frame;
    int ended;
    const char* error_line;  // the written report's line before [PSNR], if any
  } cases[] = {
      {"equal lengths",
       {7, 7},
       {true, true},
       {-1, -1},
       -1,
       0,
       true,
       true,
       7,
       7,
       RunOutcome::kOk,
       0,
       0,
       0,
       ""},
      {"maxframes",
       {7, 9},
       {true, true},
       {-1, -1},
       -1,
       4,
       false,
       false,
       4,
       4,
       RunOutcome::kOk,
       0,
       0,
       0,
       ""},
      {"second unreadable at 5",
       {9, 9},
       {true, true},
       {-1, 4},
       -1,
       0,
       true,
       false,
       4,
       9,
       RunOutcome::kReadFailed,
       2,
       5,
       0,
       "ERROR: can't read frame 5 of AVI file [b]\n"},
      {"first unreadable at 1",
       {9, 9},
       {true, true},
       {0, -1},
       -1,
       0,
       false,
       true,
       0,
       9,
       RunOutcome::kReadFailed,
       1,
       1,
       0,
       "ERROR: can't read frame 1 of AVI file [a]\n"},
      {"sizes differ at 3",
       {9, 9},
       {true, true},
       {-1, -1},
       2,
       0,
       true,
       true,
       2,
       9,
       RunOutcome::kSizeMismatch,
       0,
       3,
       0,
       "ERROR: unsupported AVI format\n"},
      {"size before unreadable",
       {9, 9},
       {true, true},
       {-1, 5},
       3,
       0,
       false,
       false,
       3,
       9,
       RunOutcome::kSizeMismatch,
       0,
       4,
       0,
       "ERROR: unsupported AVI format\n"},
      {"stream ends first",
       {5, 8},
       {false, true},
       {-1, -1},
       -1,
       0,
       true,
       true,
       5,
       0,
       RunOutcome::kOk,
       0,
       0,
       1,
       ""},
      {"both end together",
       {6, 6},
       {false, false},
       {-1, -1},
       -1,
       0,
       false,
       true,
       6,
       6,
       RunOutcome::kOk,
       0,
       0,
       0,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> metrics = {"psnr"};
    if (c.ssim) metrics.push_back("ssim");
    Outcome first;
    for (int threads : {1, 2, 3}) {
      SCOPED_TRACE(threads);
      // The wide frame is in the second source only: that pair's sizes differ.
      MemorySource a(c.frames[0], 1, c.known[0], c.fail[0]);
      MemorySource b(c.frames[1], 2, c.known[1], c.fail[1], c.wide);
      const Outcome o = run(&a, &b, metrics, threads, c.order, c.maxframes);
      const RunResult& r = o.result;
      EXPECT_EQ(c.compared, r.compared);
      EXPECT_EQ(c.pair_count, r.pair_count);
      EXPECT_EQ(c.outcome, r.outcome) << r.reason;
      EXPECT_EQ(c.failed_input, r.failed_input);
      EXPECT_EQ(c.failed_frame, r.failed_frame);
      EXPECT_EQ(c.ended, r.ended);
      const size_t report = o.text.find("[PSNR]\n");
      ASSERT_NE(std::string::npos, report) << o.text;
      // The per-pair lines, then the error line if any, then the report.
      const std::string before = o.text.substr(0, report);
      const size_t line = before.size() < 2 ? 0 : before.rfind('\n', before.size() - 2) + 1;
      std::string last = before.substr(line == std::string::npos ? 0 : line);
      if (last.rfind("ERROR", 0) != 0) last.clear();
      EXPECT_EQ(c.error_line, last);
      EXPECT_EQ(size_t(c.compared),
                size_t(std::count(before.begin(), before.end(), '\n')) - (last.empty() ? 0 : 1));
      EXPECT_EQ(c.ssim, o.text.find("[SSIM]\n") != std::string::npos);
      if (threads == 1) {
        first = o;
      } else {
        EXPECT_EQ(first.text, o.text);
        EXPECT_EQ(first.rows, o.rows);
      }
    }
  }
}

// The report's text for three known pairs, byte for byte: per-pair lines with SSIM, the means.
TEST(Run, WrittenReportText) {
  MemorySource a(3, 1), b(3, 1);
  const Outcome o = run(&a, &b, {"psnr", "ssim"}, 2, false);
  EXPECT_EQ(
      "  1: \t98.13 \t98.13 \t98.13 \t1.000000 \t1.000000 \t1.000000 \t1.000000\n"
      "  2: \t98.13 \t98.13 \t98.13 \t1.000000 \t1.000000 \t1.000000 \t1.000000\n"
      "  3: \t98.13 \t98.13 \t98.13 \t1.000000 \t1.000000 \t1.000000 \t1.000000\n"
      "[PSNR]\nPsnrY   \t98.13\nPsnrU   \t98.13\nPsnrV   \t98.13\n"
      "[SSIM]\nSsimY   \t1.000000 \t90.00 dB\nSsimU   \t1.000000 \t90.00 dB\n"
      "SsimV   \t1.000000 \t90.00 dB\nSsimAll \t1.000000 \t90.00 dB\n",
      o.text);
}

}  // namespace
}  // namespace vq
