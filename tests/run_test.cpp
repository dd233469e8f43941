// The comparison run driven by sources in memory: the pair plan, failures (a frame that cannot
// be read, a pair of two sizes, a metric that refuses a form), the written report's exact text,
// and the same table, text and result for every thread count; a temporal metric gets its pairs
// in order on one scorer. The score table's pooling: the one place mean, harmonic mean, extremes,
// the worst pair and percentiles are computed for every output.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "compare/compare.h"
#include "report/report.h"
#include "score/score.h"
#include "source/source.h"

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
  // Frame i shows the pictures of frame i + shift (of frame `shift` alone when `still`).
  int32_t shift = 0;
  bool still = false;
  // The pictures' size (a wide frame is 4 wider), and the most fetches a frame may be asked to
  // stay valid through.
  int32_t width = 16, height = 8;
  int32_t most_kept = 1;
  // The highest index fetched.
  int32_t last_index = -1;

  const SourceInfo& info() const override { return info_; }
  int32_t keep_frames(int32_t fetches) override {
    blocks_.resize(size_t(std::clamp(fetches, 1, most_kept)));
    return int32_t(blocks_.size());
  }
  Fetch get_frame(int32_t index, Frame* out) override {
    last_index = std::max(last_index, index);
    // A stream of unknown length is read forward only, as a pipe is.
    if (!info_.length_known && index < next_ - 1) return Fetch::kError;
    next_ = index + 1;
    if (index >= frames_) return info_.length_known ? Fetch::kError : Fetch::kEnd;
    if (index == fail_) return Fetch::kError;
    const int32_t shown = still ? shift : index + shift;
    const int32_t w = index == wide_ ? width + 4 : width, h = height;
    // A fresh buffer each time, the one of the fetch as many fetches back as frames are kept
    // overwritten first: a run that keeps a frame longer sees other samples.
    std::vector<uint8_t>& block = blocks_[fetches_++ % blocks_.size()];
    std::fill(block.begin(), block.end(), uint8_t(0xee));
    block.assign(size_t(w * h * 3 / 2), 0);
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = uint8_t((i * 7 + size_t(shown) * 13 + size_t(seed_) * (i % 5)) & 0xff);
    Picture& p = out->picture;
    p = Picture{ChromaLayout::k420, 8, false, w, h, w / 2, h / 2, {}, {}};
    p.plane[0] = block.data();
    p.plane[1] = block.data() + w * h;
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
  int32_t next_ = 0;
  size_t fetches_ = 0;
  std::vector<std::vector<uint8_t>> blocks_ = std::vector<std::vector<uint8_t>>(1);
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

// A metric that scores RGB pictures: writes a checksum of each picture it gets, and refuses any
// form but the RGB one of the pairs.
std::vector<std::string> rgb_scores(const MetricOptions&) {
  return {"rgb_ref", "rgb_dist"};
}
double rgb_checksum(const Picture& p) {
  double sum = 0;
  for (int c = 0; c < 3; ++c)
    for (int32_t y = 0; y < p.height; ++y)
      for (int32_t x = 0; x < p.width; ++x)
        sum += p.plane[c][y * p.pitch[c] + x] * (c + 1) * (x + 3 * y + 1);
  return sum;
}
class RgbMetric final : public Metric {
 public:
  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* t) override {
    t->set(t->declare("rgb_ref"), pair, rgb_checksum(ref));
    t->set(t->declare("rgb_dist"), pair, rgb_checksum(dist));
    return MetricStatus::kOk;
  }
};
MetricStatus make_rgb(const PictureForm& form, const MetricOptions&, uint32_t,
                      std::unique_ptr<Metric>* out, std::string* why) {
  if (form.layout != ChromaLayout::k444 || form.depth != 8 || form.chroma_width != form.width) {
    *why = "not RGB";
    return MetricStatus::kUnsupported;
  }
  out->reset(new RgbMetric);
  return MetricStatus::kOk;
}
const MetricRow kRgb{"rgb", "RGB pictures", {}, kMetricRgb, rgb_scores, make_rgb};
const MetricRow kRgbInOrder{
    "rgb", "RGB pictures in order", {}, kMetricRgb | kMetricTemporal, rgb_scores, make_rgb};

struct Outcome {
  RunResult result;
  std::string text;
  std::vector<std::vector<double>> rows;  // every column's value per pair, -1 where none
  // The written report's line before [PSNR] if it is an error, and the per-pair lines before it.
  std::string error_line;
  size_t pair_lines = 0;
};

Outcome run(VideoSource* a, VideoSource* b, const std::vector<std::string>& metrics, int threads,
            bool order, const int32_t* skip = nullptr, bool align = false,
            const MetricRow* extra = nullptr) {
  RunSettings s;
  s.sources[0] = a;
  s.sources[1] = b;
  if (skip) s.skip[0] = skip[0], s.skip[1] = skip[1];
  s.align = align;
  std::string why;
  for (const std::string& m : metrics) {
    MetricRequest r;
    EXPECT_TRUE(parse_metric_request(m, &r, &why)) << why;
    s.metrics.push_back(r);
  }
  if (order) s.metrics.push_back(MetricRequest{&kOrder, {}});
  if (extra) s.metrics.push_back(MetricRequest{extra, {}});
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
  const size_t report = o.text.find("[PSNR]\n"), error = o.text.rfind("ERROR", report);
  EXPECT_NE(std::string::npos, report) << o.text;
  if (error != std::string::npos) o.error_line = o.text.substr(error, report - error);
  o.pair_lines =
      size_t(std::count(o.text.begin(), o.text.begin() + long(std::min(report, error)), '\n'));
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
    bool ssim, order;
    int32_t compared, pair_count;
    RunOutcome outcome;
    int failed_input;
    int32_t failed_frame;
    int ended;
    const char* error_line;  // the written report's line before [PSNR], if any
  } cases[] = {
      // clang-format off
      {"equal lengths", {7, 7}, {true, true}, {-1, -1}, -1, true, true,
       7, 7, RunOutcome::kOk, 0, 0, 0, ""},
      {"second unreadable at 5", {9, 9}, {true, true}, {-1, 4}, -1, true, false,
       4, 9, RunOutcome::kReadFailed, 2, 5, 0, "ERROR: can't read frame 5 of AVI file [b]\n"},
      {"first unreadable at 1", {9, 9}, {true, true}, {0, -1}, -1, false, true,
       0, 9, RunOutcome::kReadFailed, 1, 1, 0, "ERROR: can't read frame 1 of AVI file [a]\n"},
      {"sizes differ at 3", {9, 9}, {true, true}, {-1, -1}, 2, true, true,
       2, 9, RunOutcome::kSizeMismatch, 0, 3, 0, "ERROR: unsupported AVI format\n"},
      {"size before unreadable", {9, 9}, {true, true}, {-1, 5}, 3, false, false,
       3, 9, RunOutcome::kSizeMismatch, 0, 4, 0, "ERROR: unsupported AVI format\n"},
      {"stream ends first", {5, 8}, {false, true}, {-1, -1}, -1, true, true,
       5, 0, RunOutcome::kOk, 0, 0, 1, ""},
      {"file ends before a stream", {8, 5}, {false, true}, {-1, -1}, -1, false, true,
       5, 5, RunOutcome::kOk, 0, 0, 2, ""},
      {"both end together", {6, 6}, {false, false}, {-1, -1}, -1, false, true,
       6, 6, RunOutcome::kOk, 0, 0, 0, ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> metrics = {"psnr"};
    if (c.ssim) metrics.push_back("ssim");
    // Small pictures are fetched on one thread; large ones that their sources keep are
    // fetched a pair ahead of the scoring, or handed to the threads uncopied.
    for (const bool large : {false, true}) {
      Outcome first;
      for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(std::string(large ? "large, " : "small, ") + std::to_string(threads));
        // The wide frame is in the second source only: that pair's sizes differ.
        MemorySource a(c.frames[0], 1, c.known[0], c.fail[0]);
        MemorySource b(c.frames[1], 2, c.known[1], c.fail[1], c.wide);
        if (large) {
          for (MemorySource* s : {&a, &b}) {
            s->width = 176;
            s->height = 144;
            s->most_kept = 8;
          }
        }
        const Outcome o = run(&a, &b, metrics, threads, c.order);
        // No frame past a file's end is asked for: reading ahead stops at the last pair.
        if (c.known[0] && c.known[1]) {
          EXPECT_LT(a.last_index, c.frames[0]);
          EXPECT_LT(b.last_index, c.frames[1]);
        }
        const RunResult& r = o.result;
        EXPECT_EQ(c.outcome, r.outcome) << r.reason;
        EXPECT_EQ(std::tuple(c.compared, c.pair_count, c.failed_input, c.failed_frame, c.ended),
                  std::tuple(r.compared, r.pair_count, r.failed_input, r.failed_frame, r.ended));
        // The per-pair lines, then the error line if any, then the report.
        EXPECT_EQ(c.error_line, o.error_line);
        EXPECT_EQ(size_t(c.compared), o.pair_lines);
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
}

// Metrics that score RGB get each pair's pictures as rgb_picture converts them, on any thread
// or in order, beside metrics that score the pictures as formed, whose scores do not change.
TEST(Run, RgbMetricsGetThePairConverted) {
  if (!have_ffmpeg()) GTEST_SKIP() << "this build has no FFmpeg's libraries";
  MemorySource plain_a(4, 1), plain_b(4, 2);
  const Outcome plain = run(&plain_a, &plain_b, {"psnr", "ssim"}, 1, false);
  for (const MetricRow* row : {&kRgb, &kRgbInOrder}) {
    for (int threads : {1, 3}) {
      SCOPED_TRACE(std::string(row->help) + ", threads " + std::to_string(threads));
      MemorySource a(4, 1), b(4, 2);
      const Outcome o = run(&a, &b, {"psnr", "ssim"}, threads, false, nullptr, false, row);
      ASSERT_EQ(RunOutcome::kOk, o.result.outcome) << o.result.reason;
      ASSERT_EQ(4u, o.rows.size());
      MemorySource again_a(4, 1), again_b(4, 2);
      MemorySource* again[2] = {&again_a, &again_b};
      for (int32_t i = 0; i < 4; ++i) {
        const size_t yuv_columns = plain.rows[size_t(i)].size();
        EXPECT_EQ(plain.rows[size_t(i)],
                  std::vector<double>(o.rows[size_t(i)].begin(),
                                      o.rows[size_t(i)].begin() + long(yuv_columns)));
        for (int k = 0; k < 2; ++k) {
          Frame f;
          ASSERT_EQ(Fetch::kFrame, again[k]->get_frame(i, &f));
          PictureBuffer rgb;
          std::string why;
          ASSERT_EQ(1, rgb_picture(f.picture, 8, &rgb, &why)) << why;
          EXPECT_EQ(rgb_checksum(rgb.picture), o.rows[size_t(i)][yuv_columns + size_t(k)])
              << "pair " << i << ", picture " << k;
        }
      }
    }
  }
}

// Frames dropped before pairing, by --skip or by the offset search: pairs count from there, a
// temporal metric sees them alone and in order, failures name the input's own frame, and a
// stream read forward only is read once (the search's frames replayed into the run).
TEST(Run, SkippedFramesReachNoMetric) {
  const struct {
    const char* name;
    int32_t frames[2];
    bool known[2];
    int32_t shift[2];  // the pictures each source shows frame i of
    int32_t fail[2];
    int32_t skip[2];
    bool align;
    int32_t compared;
    RunOutcome outcome;
    int32_t failed_frame, failed_input_frame;
    int ended;
    int32_t used[2];  // the skip the run used
    bool clear;
    const char* error_line;
    bool view = false;  // the first read through a view of a source shared with another run
  } cases[] = {
      // clang-format off
      {"skip the second's leader", {9, 9}, {true, true}, {2, 0}, {-1, -1}, {0, 2}, false, 7,
       RunOutcome::kOk, 0, 0, 0, {0, 2}, false, ""},
      {"skip the first's leader", {9, 9}, {true, false}, {0, 3}, {-1, -1}, {3, 0}, false, 6,
       RunOutcome::kOk, 0, 0, 1, {3, 0}, false, ""},
      {"unreadable after the skip", {9, 9}, {true, true}, {2, 0}, {-1, 5}, {0, 2}, false, 3,
       RunOutcome::kReadFailed, 4, 6, 0, {0, 2}, false,
       "ERROR: can't read frame 6 of AVI file [b]\n"},
      {"unreadable among skipped", {9, 9}, {true, false}, {2, 0}, {-1, 1}, {0, 2}, false, 0,
       RunOutcome::kReadFailed, 0, 2, 0, {0, 2}, false,
       "ERROR: can't read frame 2 of AVI file [b]\n"},
      {"stream ends among skipped", {9, 3}, {true, false}, {0, 0}, {-1, -1}, {0, 5}, false, 0,
       RunOutcome::kOk, 0, 0, 2, {0, 5}, false, ""},
      {"align drops the second's", {40, 40}, {true, true}, {2, 0}, {-1, -1}, {0, 0}, true, 38,
       RunOutcome::kOk, 0, 0, 0, {0, 2}, true, ""},
      {"align drops the first's", {45, 45}, {false, false}, {0, 7}, {-1, -1}, {0, 0}, true, 38,
       RunOutcome::kOk, 0, 0, 1, {7, 0}, true, ""},
      {"align on a pipe", {12, 50}, {true, false}, {10, 0}, {-1, -1}, {0, 0}, true, 12,
       RunOutcome::kOk, 0, 0, 1, {0, 10}, true, ""},
      {"align on short streams", {4, 4}, {false, true}, {1, 0}, {-1, -1}, {0, 0}, true, 3,
       RunOutcome::kOk, 0, 0, 2, {0, 1}, true, ""},
      {"align in a still scene", {20, 20}, {true, false}, {0, 0}, {-1, -1}, {0, 0}, true, 20,
       RunOutcome::kOk, 0, 0, 0, {0, 0}, false, ""},
      {"unreadable in the search", {40, 40}, {true, false}, {0, 0}, {-1, 4}, {0, 0}, true, 0,
       RunOutcome::kReadFailed, 0, 5, 0, {0, 0}, false,
       "ERROR: can't read frame 5 of AVI file [b]\n"},
      {"align on a shared file", {45, 45}, {true, true}, {0, 3}, {-1, -1}, {0, 0}, true, 42,
       RunOutcome::kOk, 0, 0, 0, {3, 0}, true, "", true},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int threads : {1, 2}) {
      SCOPED_TRACE(threads);
      MemorySource a(c.frames[0], 1, c.known[0], c.fail[0]);
      MemorySource b(c.frames[1], 1, c.known[1], c.fail[1]);
      a.shift = c.shift[0];
      b.shift = c.shift[1];
      a.still = b.still = std::string(c.name).find("still") != std::string::npos;
      SharedSource shared(&a, 1, 8);
      const std::unique_ptr<VideoSource> view = shared.view(0);
      const Outcome o = run(c.view ? view.get() : &a, &b, {"psnr"}, threads, true, c.skip, c.align);
      const RunResult& r = o.result;
      EXPECT_EQ(c.outcome, r.outcome) << r.reason;
      EXPECT_EQ(std::tuple(c.compared, c.failed_frame, c.failed_input_frame, c.ended, c.used[0],
                           c.used[1]),
                std::tuple(r.compared, r.failed_frame, r.failed_input_frame, r.ended, r.skip[0],
                           r.skip[1]));
      EXPECT_EQ(std::tuple(c.align && c.outcome == RunOutcome::kOk, c.clear,
                           c.clear ? c.used[1] - c.used[0] : 0),
                std::tuple(r.align.searched, r.align.clear, r.align.offset));
      // Every pair is two pictures alike, and the temporal metric saw each pair in order (it
      // scores nothing otherwise).
      ASSERT_EQ(size_t(c.compared), o.rows.size());
      for (const auto& row : o.rows) {
        EXPECT_EQ(psnr_from_mse(0.0), row[0]);
        EXPECT_NE(-1, row.back());
      }
      EXPECT_EQ(c.error_line, o.error_line);
      EXPECT_EQ(size_t(c.compared), o.pair_lines);
    }
  }
}

// The offset rule: the highest mean among shifts with enough pairs, clear only above the
// runner-up by more than the margin.
TEST(Run, OffsetRule) {
  const struct {
    const char* name;
    std::vector<ShiftScore> shifts;
    int32_t best, runner_up;
    bool clear;
  } cases[] = {
      {"a clear winner", {{-1, 30, 20}, {0, 30, 21}, {3, 30, 40}}, 3, 0, true},
      {"within the margin", {{-1, 30, 30}, {0, 30, 30.2}, {3, 30, 30.6}}, 3, 0, false},
      {"just above it", {{0, 30, 30}, {-2, 30, 30.5 + 1e-9}}, -2, 0, true},
      {"a tie goes to the smaller shift", {{-2, 30, 50}, {1, 30, 50}, {0, 30, 10}}, 1, -2, false},
      {"then to the lower", {{-1, 30, 50}, {1, 30, 50}}, -1, 1, false},
      {"too few pairs take no part", {{0, 30, 20}, {9, 14, 90}, {1, 15, 25}}, 1, 0, true},
      {"one shift alone", {{0, 1, 40}}, 0, 0, false},
      {"none", {}, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OffsetSearch s;
    s.shifts = c.shifts;
    choose_offset(&s);
    EXPECT_EQ(c.best, s.best);
    EXPECT_EQ(c.runner_up, s.runner_up);
    EXPECT_EQ(c.clear, s.clear);
    EXPECT_EQ(c.clear ? c.best : 0, s.offset);
  }
}

// The offset search's look-ahead within its memory: all of it for pictures that fit, fewer
// frames and shifts for larger ones (never fewer than a few), and a note when it narrows.
TEST(Run, AlignLookAheadFitsItsMemory) {
  const int64_t qcif = 2 * 176 * 144 * 3 / 2;               // 8-bit 4:2:0, both inputs
  const int64_t uhd444 = 2 * int64_t(3840) * 2160 * 3 * 2;  // 16-bit 4:4:4
  const int64_t largest = 2 * kDefaultMaxPixels * 3 * 2;    // the default pixel limit
  const struct {
    int64_t pair_bytes, budget;
    int32_t frames, max_shift, pairs;
  } cases[] = {
      {qcif, kAlignMemory, 40, 10, 30},
      {0, kAlignMemory, 40, 10, 30},  // refused pictures: nothing is copied
      {kAlignMemory / 40, kAlignMemory, 40, 10, 30},
      {kAlignMemory / 40 + 1, kAlignMemory, 39, 9, 30},
      {uhd444, kAlignMemory, 10, 2, 8},
      {largest, kAlignMemory, 4, 1, 3},
      {100, 1000, 10, 2, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pair_bytes);
    const AlignPlan p = plan_align(c.pair_bytes, c.budget);
    EXPECT_EQ(std::tuple(c.frames, c.max_shift, c.pairs, c.frames < 40),
              std::tuple(p.frames, p.max_shift, p.pairs, p.narrowed));
  }
  RunResult r;
  r.align.searched = r.align.narrowed = true;
  r.align.frames = 10;
  r.align.max_shift = 2;
  RunDescription d;
  char* text = nullptr;
  size_t size = 0;
  std::FILE* err = open_memstream(&text, &size);
  print_notes(d, r, err);
  std::fclose(err);
  EXPECT_NE(nullptr, std::strstr(text,
                                 "note: --align tried offsets from -2 to 2 only: 10 frames "
                                 "of each input fit in the 1 GiB it keeps"))
      << text;
  free(text);
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

// Pairing by time: the second's frame shown at each first frame's time, and how many pairs the
// second's frames last for, at common rates, either way round, and at rates of 31-bit terms.
TEST(Run, FramesAtTime) {
  const auto rate = [](int32_t num, int32_t den) {
    SourceInfo i;
    i.rate_num = num;
    i.rate_den = den;
    return i;
  };
  const struct {
    SourceInfo first, second;
    int64_t pair, frame;              // frame_at_time(pair)
    int64_t frames1, frames2, pairs;  // pairs_at_time(frames1, frames2)
  } cases[] = {
      {rate(50, 1), rate(25, 1), 7, 3, 24, 12, 24},
      {rate(50, 1), rate(25, 1), 8, 4, 24, 5, 10},
      {rate(25, 1), rate(50, 1), 7, 14, 12, 24, 12},
      {rate(25, 1), rate(50, 1), 7, 14, 12, 13, 7},
      {rate(30000, 1001), rate(24000, 1001), 5, 4, 100, 8, 10},
      {rate(25, 1), rate(25, 1), 41, 41, 30, 20, 20},
      {rate(INT32_MAX, 1), rate(1, INT32_MAX), INT32_MAX, 0, INT32_MAX, 1, INT32_MAX},
      {rate(1, INT32_MAX), rate(INT32_MAX, 1), 1, int64_t(INT32_MAX) * INT32_MAX, 5, 3, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(frame_at_time(c.pair, c.first, c.second), c.frame) << c.pair;
    EXPECT_EQ(pairs_at_time(c.frames1, c.frames2, c.first, c.second), c.pairs) << c.frames2;
  }
}

// The pair plan: lengths after the skip, maxframes, pairs by time and how far a stream of
// unknown length is read. Equal lengths, a plain skip and a pipe first: the run tables above.
TEST(Run, PairPlan) {
  const auto input = [](int32_t length, bool known, int32_t rate = 0) {
    SourceInfo i;
    i.length = length;
    i.length_known = known;
    i.rate_num = rate;
    i.rate_den = rate ? 1 : 0;
    return i;
  };
  const struct {
    const char* name;
    SourceInfo info[2];
    int32_t skip[2], maxframes;
    bool by_time;
    int32_t after[2], pair_count, stop;
    bool known, paired_by_time;
    int exhausted;
  } cases[] = {
      // clang-format off
      {"maxframes", {input(7, true), input(9, true)}, {0, 0}, 4, false, {7, 9}, 4, 4, true, false,
       0},
      {"skip past the end", {input(9, true), input(3, true)}, {0, 5}, 0, false,
       {9, 0}, 0, 0, true, false, 0},
      {"two pipes and maxframes", {input(0, false), input(0, false)}, {0, 0}, 5, false,
       {0, 0}, 0, 5, false, false, 0},
      {"two pipes after a skip", {input(0, false), input(0, false)}, {3, 1}, 0, false,
       {0, 0}, 0, INT32_MAX - 3, false, false, 0},
      {"an estimated length", {input(100, false), input(60, true)}, {10, 0}, 0, false,
       {90, 60}, 60, 60, false, false, 2},
      {"a file past a pipe's skip", {input(20, true), input(0, false)}, {25, 0}, 0, false,
       {0, 0}, 0, 0, false, false, 1},
      {"maxframes at a file's end", {input(5, true), input(0, false)}, {0, 0}, 5, false,
       {5, 0}, 0, 5, false, false, 0},
      {"by time, the second at half the rate", {input(24, true, 50), input(5, true, 25)}, {0, 0},
       0, true, {24, 5}, 10, 10, true, true, 0},
      {"by time without the second's rate", {input(24, true, 50), input(5, true)}, {0, 0}, 0,
       true, {24, 5}, 5, 5, true, false, 0},
      // The first's stated length does not cut the pairs short when it is not known.
      {"by time, a pipe first", {input(0, false, 25), input(20, true, 25)}, {0, 0}, 0, true,
       {0, 20}, 0, 20, false, true, 2},
      {"by time, an estimate first", {input(20, false, 50), input(20, true, 25)}, {0, 0}, 0, true,
       {20, 20}, 20, 40, false, true, 2},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PairPlan p = plan_pairs(c.info, c.skip, c.maxframes, c.by_time);
    EXPECT_EQ(
        std::tuple(c.after[0], c.after[1], c.pair_count, c.stop, c.known, c.paired_by_time,
                   c.exhausted),
        std::tuple(p.after[0], p.after[1], p.pair_count, p.stop, p.known, p.by_time, p.exhausted));
  }
}

// One source read by several views at once, each at its own pace: every view sees every frame as
// the source gives it, the source (a forward-only stream) is read once in order, a frame it cannot
// give fails every view there, and a view that stops early holds no other back.
TEST(Run, SharedSourceViews) {
  const struct {
    int32_t frames, fail;
    int window;
    int32_t stop_early;  // the last view stops after this many frames
  } cases[] = {{30, -1, 2, 30}, {30, -1, 8, 3}, {25, 17, 4, 25}, {12, 0, 3, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames, failing at " + std::to_string(c.fail));
    MemorySource inner(c.frames, 3, /*known=*/false, c.fail);
    const int views = 3;
    SharedSource shared(&inner, views, c.window);
    std::vector<std::string> problems(views);
    std::vector<std::thread> threads;
    for (int v = 0; v < views; ++v) {
      threads.emplace_back([&, v, view = shared.view(v)] {
        MemorySource direct(c.frames, 3, true);
        const int32_t last = v == views - 1 ? c.stop_early : c.frames + 1;
        for (int32_t i = 0; i < last; ++i) {
          if (v == 1 && i % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
          Frame got, want;
          const Fetch f = view->get_frame(i, &got);
          const Fetch expected = i == c.fail     ? Fetch::kError
                                 : i >= c.frames ? Fetch::kEnd
                                                 : Fetch::kFrame;
          if (f != expected) {
            problems[size_t(v)] =
                "frame " + std::to_string(i) + ": status " + std::to_string(int(f));
            return;
          }
          if (f != Fetch::kFrame) return;
          (void)direct.get_frame(i, &want);
          if (std::memcmp(got.picture.plane[0], want.picture.plane[0], 16 * 8) != 0) {
            problems[size_t(v)] = "frame " + std::to_string(i) + " differs";
            return;
          }
        }
      });
    }
    for (std::thread& t : threads)
      t.join();
    for (int v = 0; v < views; ++v)
      EXPECT_EQ(problems[size_t(v)], "") << "view " << v;
  }
}

TEST(ScoreTable, PoolsWhatWasSetInAnyOrder) {
  const struct {
    std::vector<std::pair<int32_t, double>> values;  // pair, value, in the order written
    Pooled want;
    double median;
  } cases[] = {
      // libvmaf's harmonic mean: n / sum(1 / (x + 1)) - 1.
      {{{0, 1.0}, {1, 3.0}}, {2, 1.0, 3.0, 2.0, 2.0 / (0.5 + 0.25) - 1.0, 0}, 1.0},
      // Written out of order, with a pair left without a value: it takes no part.
      {{{3, 90.0}, {0, 80.0}, {2, 70.0}},
       {3, 70.0, 90.0, 80.0, 3.0 / (1 / 81.0 + 1 / 91.0 + 1 / 71.0) - 1, 2},
       80.0},
      // The first of equal lowest values is the worst pair.
      {{{1, 5.0}, {0, 5.0}, {2, 6.0}}, {3, 5.0, 6.0, 16.0 / 3, 0, 0}, 5.0},
      // A value below -1 (SSIMULACRA 2 of a picture far off) leaves it undefined; -1 itself
      // (a sentinel) makes it -1, as in libvmaf's logs.
      {{{0, 20.0}, {1, -31.5}}, {2, -31.5, 20.0, -5.75, NAN, 1}, -31.5},
      {{{0, -1.0}, {1, 3.0}}, {2, -1.0, 3.0, 1.0, -1.0, 0}, -1.0},
  };
  for (const auto& c : cases) {
    ScoreTable t;
    const int col = t.declare("vmaf");
    EXPECT_EQ(col, t.declare("vmaf"));
    for (const auto& [pair, v] : c.values)
      t.set(col, pair, v);
    const Pooled p = t.pool(col);
    EXPECT_EQ(std::tuple(c.want.count, c.want.min, c.want.max, c.want.worst_pair),
              std::tuple(p.count, p.min, p.max, p.worst_pair));
    EXPECT_DOUBLE_EQ(c.want.mean, p.mean);
    if (std::isnan(c.want.harmonic_mean)) {
      EXPECT_TRUE(std::isnan(p.harmonic_mean));
    } else if (c.want.harmonic_mean != 0) {
      EXPECT_DOUBLE_EQ(c.want.harmonic_mean, p.harmonic_mean);
    }
    EXPECT_EQ(c.median, t.percentile(col, 50));
  }
}

// Nearest rank: the value at rank ceil(percent x count / 100) of the sorted values, 1 at the
// least; pairs without a value take no part, and the order of writing does not matter.
TEST(ScoreTable, PercentilesAreNearestRank) {
  const struct {
    int32_t count;  // values 1 .. count, written from the last pair to the first
    int32_t hole;   // a pair left without a value (its would-be value is not counted), or -1
    double percent;
    double want;
  } cases[] = {
      {20, -1, 1, 1},  {20, -1, 5, 1},   {20, -1, 50, 10}, {20, -1, 100, 20},
      {7, -1, 50, 4},  {1, -1, 1, 1},    {1, -1, 50, 1},   {60, -1, 5, 3},
      {100, -1, 7, 7}, {300, -1, 7, 21}, {300, -1, 1, 3},  {10, 0, 1, 2},
      {10, 4, 50, 6},  {10, -1, 0, 1},   {10, -1, 99, 10}, {4, -1, 25, 1},
  };
  for (const auto& c : cases) {
    ScoreTable t;
    const int col = t.declare("vmaf");
    for (int32_t i = c.count - 1; i >= 0; --i)
      if (i != c.hole) t.set(col, i, double(i + 1));
    EXPECT_EQ(c.want, t.percentile(col, c.percent))
        << c.count << " values, p" << c.percent << ", hole " << c.hole;
  }
  ScoreTable empty;
  EXPECT_EQ(0.0, empty.percentile(empty.declare("vmaf"), 50));
  EXPECT_EQ(0.0, empty.percentile(-1, 50));
}

TEST(ScoreTable, ColumnsKeepTheirOrderAndRowsGrowFromAnyThread) {
  ScoreTable t;
  const int a = t.declare("psnr_y"), b = t.declare("float_ssim");
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      for (int32_t i = k; i < 400; i += 4) {
        t.set(a, i, double(i));
        t.set(b, i, 1.0 / (i + 1));
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(400, t.rows());
  EXPECT_EQ("psnr_y", t.name(a));
  EXPECT_EQ("float_ssim", t.name(b));
  EXPECT_EQ(-1, t.find("vmaf"));
  double v = 0;
  ASSERT_TRUE(t.get(a, 399, &v));
  EXPECT_EQ(399.0, v);
  EXPECT_FALSE(t.get(a, 400, &v));
  EXPECT_EQ(199.5, t.pool(a).mean);
  t.set_aggregate("apsnr_y", 41.5);
  t.set_aggregate("apsnr_y", 42.5);
  ASSERT_EQ(1u, t.aggregates().size());
  EXPECT_EQ(42.5, t.aggregates()[0].second);
}

// An error the sums cannot give (NaN) scores the zero-error floor, not "nan".
TEST(FramePsnr, NanErrorScoresTheFloor) {
  EXPECT_EQ(psnr_from_mse(0), psnr_from_mse(NAN));
}

}  // namespace
}  // namespace vq
