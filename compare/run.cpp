#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "avi/avi.h"
#include "compare/compare.h"

namespace vq {
namespace {

// Fetches frames of one source on a thread of its own, so that the two files of a run are read
// (or decoded) at the same time. Without a thread it fetches on the caller's.
class Fetcher {
 public:
  explicit Fetcher(AviVideoSource* source) : source_(source) {
    try {
      thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      // No second thread: fetch on the caller's.
    }
  }
  Fetcher(const Fetcher&) = delete;
  Fetcher& operator=(const Fetcher&) = delete;
  ~Fetcher() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  void start(int32_t index) {
    if (!thread_.joinable()) {
      result_ = source_->get_frame(index, &frame_);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = index;
      done_ = false;
    }
    wake_.notify_all();
  }

  // The result of the fetch begun by start(); the frame is the source's, as get_frame hands it.
  int wait(DibFrame* out) {
    if (thread_.joinable()) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return done_; });
    }
    if (result_) *out = frame_;
    return result_;
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || request_ >= 0; });
      if (stop_) return;
      const int32_t index = request_;
      request_ = -1;
      lock.unlock();
      DibFrame frame;
      const int result = source_->get_frame(index, &frame);
      lock.lock();
      frame_ = frame;
      result_ = result;
      done_ = true;
      wake_.notify_all();
    }
  }

  AviVideoSource* source_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int32_t request_ = -1;
  bool done_ = false;
  bool stop_ = false;
  int result_ = 0;
  DibFrame frame_;
};

}  // namespace

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score) {
  const int32_t pair = totals->frames + 1;
  totals->y_sum += score.psnr[0];
  totals->u_sum += score.psnr[1];
  totals->v_sum += score.psnr[2];
  totals->frames = pair;
  for (int p = 0; p < 3; ++p) {
    stats->mse_sum[p] += score.mse[p];
    if (pair == 1 || score.psnr[p] < stats->psnr_min[p]) {
      stats->psnr_min[p] = score.psnr[p];
      stats->worst_pair[p] = pair;
    }
    if (pair == 1 || score.psnr[p] > stats->psnr_max[p]) stats->psnr_max[p] = score.psnr[p];
  }
}

void print_report(const PsnrTotals& totals, std::FILE* out) {
  const double n = double(totals.frames);
  std::fprintf(out, "[PSNR]\n");
  std::fprintf(out, "PsnrY   \t%3.2f\n", totals.frames ? totals.y_sum / n : 0.0);
  std::fprintf(out, "PsnrU   \t%3.2f\n", totals.frames ? totals.u_sum / n : 0.0);
  std::fprintf(out, "PsnrV   \t%3.2f\n", totals.frames ? totals.v_sum / n : 0.0);
}

int comparison_run(const RunSettings& settings, std::FILE* out, RunResult* result) {
  RunResult r;
  auto source1 = std::make_unique<AviVideoSource>();
  if (!source1->open(settings.path1)) {
    std::fprintf(out, "ERROR: can't open AVI file [%s]\n", settings.path1);
    return 0;
  }
  auto source2 = std::make_unique<AviVideoSource>();
  if (!source2->open(settings.path2)) {
    std::fprintf(out, "ERROR: can't open AVI file [%s]\n", settings.path2);
    source2.reset();
    source1.reset();
    return 0;
  }

  r.length1 = source1->length();
  r.length2 = source2->length();
  const int32_t limit = settings.maxframes < 1 ? r.length1 : settings.maxframes;
  r.pair_count = std::min(std::min(r.length1, limit), r.length2);
  if (settings.on_start) settings.on_start(r.pair_count);
  for (RunListener* l : settings.listeners)
    l->on_start(r.pair_count);

  // The second file's frame is fetched beside the first's; failures are still reported in the
  // order first file, second file.
  std::unique_ptr<Fetcher> fetch2 = std::make_unique<Fetcher>(source2.get());
  for (int32_t i = 0; i < r.pair_count; ++i) {
    DibFrame a, b;
    fetch2->start(i);
    const int got1 = source1->get_frame(i, &a);
    const int got2 = fetch2->wait(&b);
    if (!got1) {
      std::fprintf(out, "ERROR: can't read frame %d of AVI file [%s]\n", i + 1, settings.path1);
      r.failed = true;
      break;
    }
    if (!got2) {
      std::fprintf(out, "ERROR: can't read frame %d of AVI file [%s]\n", i + 1, settings.path2);
      r.failed = true;
      break;
    }
    FrameScore score;
    if (frame_score(a, b, &score) != 1) {
      std::fprintf(out, "ERROR: unsupported AVI format\n");
      r.failed = true;
      break;
    }
    add_pair(&r.totals, &r.stats, score);
    if (settings.verbose) {
      std::fprintf(out, "%3d: \t%3.2f \t%3.2f \t%3.2f\n", r.totals.frames, score.psnr[0],
                   score.psnr[1], score.psnr[2]);
    }
    if (settings.on_pair) settings.on_pair(r.totals.frames, score);
    for (RunListener* l : settings.listeners)
      l->on_pair(r.totals.frames, score);
  }
  r.compared = r.totals.frames;
  fetch2.reset();

  if (settings.before_report) settings.before_report();
  for (RunListener* l : settings.listeners)
    l->on_end(r);
  print_report(r.totals, out);
  source2.reset();
  source1.reset();
  *result = r;
  return 1;
}

}  // namespace vq
