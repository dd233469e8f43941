#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "compare/compare.h"
#include "source/source.h"

namespace vq {
namespace {

// Fetches frames of one source on a thread of its own, so that the two files of a run are read
// (or decoded) at the same time. Without a thread it fetches on the caller's.
class Fetcher {
 public:
  explicit Fetcher(VideoSource* source) : source_(source) {
    try {
      thread_ = std::thread([this] { serve(); });
    } catch (const std::system_error&) {
      // No second thread: fetch on the caller's.
    }
  }
  Fetcher(const Fetcher&) = delete;
  Fetcher& operator=(const Fetcher&) = delete;
  ~Fetcher() { fetch_here(); }

  // From now on fetches run on the caller's thread: for small pictures the hand-off between
  // threads costs more than the fetch it overlaps. Call between fetches only.
  void fetch_here() {
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
      result_ = fetch(index, &frame_);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = index;
      done_ = false;
    }
    wake_.notify_all();
  }

  // The result of the fetch begun by start(); the frame is the source's, as it hands it out.
  Fetch wait(Frame* out) {
    if (thread_.joinable()) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return done_; });
    }
    if (result_ == Fetch::kFrame) *out = frame_;
    return result_;
  }

 private:
  Fetch fetch(int32_t index, Frame* out) {
    try {
      return source_->get_frame(index, out);
    } catch (const std::bad_alloc&) {
      return Fetch::kOutOfMemory;
    }
  }

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || request_ >= 0; });
      if (stop_) return;
      const int32_t index = request_;
      request_ = -1;
      lock.unlock();
      Frame frame;
      const Fetch result = fetch(index, &frame);
      lock.lock();
      frame_ = frame;
      result_ = result;
      done_ = true;
      wake_.notify_all();
    }
  }

  VideoSource* source_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int32_t request_ = -1;
  bool done_ = false;
  bool stop_ = false;
  Fetch result_ = Fetch::kError;
  Frame frame_;
};

// Pairs of pictures with fewer luma samples than this are fetched on one thread (a million 1x1
// frames spent most of their time handing frames between threads).
constexpr int64_t kSmallPairSamples = 2 * 176 * 144;

// The luma samples of a frame as a source handed it out.
int64_t frame_samples(const Frame& f) {
  int64_t w, h;
  frame_size(f, &w, &h);
  return w * h;
}

// Says how the pictures of a pair were brought to one form, for a note on stderr.
std::string conversion_text(const RunSettings& s, const RunResult& r, const FrameScore& score) {
  std::string text = std::string("pairs are scored as ") + chroma_layout_name(score.layout) + " " +
                     std::to_string(score.depth) + "-bit";
  const char* paths[2] = {s.path1, s.path2};
  for (int i = 0; i < 2; ++i) {
    const uint8_t bit = uint8_t(1 << i);
    if (!((score.widened | score.resampled) & bit)) continue;
    text += std::string("; [") + paths[i] + "] (" + r.info[i].pixel_format + ") is ";
    if (score.resampled & bit) text += "converted by libswscale";
    if ((score.resampled & bit) && (score.widened & bit)) text += " and ";
    if (score.widened & bit) text += "widened by a left shift";
  }
  return text;
}

// Opens one input; on failure prints the fixed error line and records why.
std::unique_ptr<VideoSource> open_one(const RunSettings& settings, int which, std::FILE* out,
                                      RunResult* r) {
  const char* path = which == 1 ? settings.path1 : settings.path2;
  std::unique_ptr<VideoSource> source;
  std::string why;
  const OpenStatus s = open_video(path, settings.open[which - 1], &source, &why);
  if (s == OpenStatus::kOpened) return source;
  std::fprintf(out, "ERROR: can't open AVI file [%s]\n", path);
  r->outcome = s == OpenStatus::kOutOfMemory ? RunOutcome::kOutOfMemory : RunOutcome::kOpenFailed;
  r->failed_input = which;
  r->reason = why;
  return nullptr;
}

}  // namespace

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score) {
  const int32_t pair = totals->frames + 1;
  totals->y_sum += score.psnr[0];
  totals->u_sum += score.psnr[1];
  totals->v_sum += score.psnr[2];
  totals->frames = pair;
  stats->depth = score.depth;
  stats->layout = score.layout;
  for (int p = 0; p < 3; ++p) {
    stats->mse_sum[p] += score.mse[p];
    if (pair == 1 || score.psnr[p] < stats->psnr_min[p]) {
      stats->psnr_min[p] = score.psnr[p];
      stats->worst_pair[p] = pair;
    }
    if (pair == 1 || score.psnr[p] > stats->psnr_max[p]) stats->psnr_max[p] = score.psnr[p];
  }
  if (!score.has_ssim) return;
  for (int p = 0; p < 4; ++p) {
    stats->ssim_sum[p] += score.ssim[p];
    if (pair == 1 || score.ssim[p] < stats->ssim_min[p]) {
      stats->ssim_min[p] = score.ssim[p];
      stats->ssim_worst_pair[p] = pair;
    }
  }
}

void print_ssim_report(const PsnrTotals& totals, const PairStats& stats, std::FILE* out) {
  static const char* const kNames[4] = {"SsimY   ", "SsimU   ", "SsimV   ", "SsimAll "};
  std::fprintf(out, "[SSIM]\n");
  for (int p = 0; p < 4; ++p) {
    const double mean = totals.frames ? stats.ssim_sum[p] / double(totals.frames) : 0.0;
    std::fprintf(out, "%s\t%.6f \t%3.2f dB\n", kNames[p], mean,
                 totals.frames ? ssim_db(mean) : 0.0);
  }
}

PlaneSummary summarize_plane(const PsnrTotals& totals, const PairStats& stats, int p) {
  PlaneSummary s;
  const int32_t n = totals.frames;
  if (n == 0) return s;
  const double sums[3] = {totals.y_sum, totals.u_sum, totals.v_sum};
  s.mean_psnr = sums[p] / n;
  s.mean_mse = stats.mse_sum[p] / n;
  s.psnr_of_mean_mse = psnr_from_mse(s.mean_mse, stats.depth);
  s.min = stats.psnr_min[p];
  s.max = stats.psnr_max[p];
  s.worst_pair = stats.worst_pair[p];
  return s;
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
  std::unique_ptr<VideoSource> source1 = open_one(settings, 1, out, &r);
  if (!source1) {
    *result = r;
    return 0;
  }
  std::unique_ptr<VideoSource> source2 = open_one(settings, 2, out, &r);
  if (!source2) {
    source1.reset();
    *result = r;
    return 0;
  }
  r.info[0] = source1->info();
  r.info[1] = source2->info();

  // Streams whose length is known give the pair count as they always have; a stream that is
  // known only at its end (a pipe) or only estimated (a container) is compared until it ends.
  r.length1 = r.info[0].length;
  r.length2 = r.info[1].length;
  const bool known = r.info[0].length_known && r.info[1].length_known;
  const int32_t limit = settings.maxframes < 1 ? r.length1 : settings.maxframes;
  r.pair_count = std::min(std::min(r.length1, limit), r.length2);
  int32_t stop = r.pair_count;
  if (!known) {
    stop = settings.maxframes < 1 ? INT32_MAX : settings.maxframes;
    if (r.info[0].length_known) stop = std::min(stop, r.length1);
    if (r.info[1].length_known) stop = std::min(stop, r.length2);
  }
  for (RunListener* l : settings.listeners)
    l->on_start(r.pair_count);

  // The second file's frame is fetched beside the first's; failures are still reported in the
  // order first file, second file.
  const ScoreKernels& kernels = score_kernels();
  ScoreOptions options;
  options.ssim = settings.ssim;
  auto fetch2 = std::make_unique<Fetcher>(source2.get());
  const char* paths[2] = {settings.path1, settings.path2};
  VideoSource* sources[2] = {source1.get(), source2.get()};
  for (int32_t i = 0; i < stop; ++i) {
    Frame a, b;
    fetch2->start(i);
    Fetch got[2];
    try {
      got[0] = source1->get_frame(i, &a);
    } catch (const std::bad_alloc&) {
      got[0] = Fetch::kOutOfMemory;
    }
    got[1] = fetch2->wait(&b);
    if (got[0] == Fetch::kEnd || got[1] == Fetch::kEnd) {
      // The shorter stream has ended: not an error. When both end here, neither ended first.
      if (got[0] != got[1]) r.ended = got[0] == Fetch::kEnd ? 1 : 2;
      if (got[0] == Fetch::kEnd) r.length1 = i;
      if (got[1] == Fetch::kEnd) r.length2 = i;
      break;
    }
    int bad = got[0] != Fetch::kFrame ? 0 : got[1] != Fetch::kFrame ? 1 : -1;
    if (bad >= 0) {
      std::fprintf(out, "ERROR: can't read frame %d of AVI file [%s]\n", i + 1, paths[bad]);
      r.outcome =
          got[bad] == Fetch::kOutOfMemory ? RunOutcome::kOutOfMemory : RunOutcome::kReadFailed;
      r.failed_input = bad + 1;
      r.failed_frame = i + 1;
      r.reason = got[bad] == Fetch::kOutOfMemory ? "out of memory" : sources[bad]->reason();
      break;
    }
    FrameScore score;
    std::string why;
    const ScoreStatus scored = score_frames(kernels, a, b, options, &score, &why);
    if (scored != ScoreStatus::kScored) {
      std::fprintf(out, "ERROR: unsupported AVI format\n");
      r.outcome = scored == ScoreStatus::kOutOfMemory    ? RunOutcome::kOutOfMemory
                  : scored == ScoreStatus::kSizeMismatch ? RunOutcome::kSizeMismatch
                                                         : RunOutcome::kUnsupported;
      r.failed_frame = i + 1;
      r.reason = why;
      break;
    }
    if (i == 0 && frame_samples(a) + frame_samples(b) < kSmallPairSamples) fetch2->fetch_here();
    if ((score.widened | score.resampled) && r.conversion.empty()) {
      r.conversion = conversion_text(settings, r, score);
    }
    add_pair(&r.totals, &r.stats, score);
    if (settings.verbose) {
      std::fprintf(out, "%3d: \t%3.2f \t%3.2f \t%3.2f", r.totals.frames, score.psnr[0],
                   score.psnr[1], score.psnr[2]);
      if (score.has_ssim) {
        std::fprintf(out, " \t%.6f \t%.6f \t%.6f \t%.6f", score.ssim[0], score.ssim[1],
                     score.ssim[2], score.ssim[3]);
      }
      std::fputc('\n', out);
    }
    bool pictures = false;
    Picture pa, pb;
    for (RunListener* l : settings.listeners) {
      l->on_pair(r.totals.frames, score);
      if (!l->wants_pictures(r.totals.frames, score)) continue;
      if (!pictures) {
        pictures = pair_pictures(kernels, a, b, &pa, &pb, &why) == ScoreStatus::kScored;
        if (!pictures) continue;
      }
      l->on_pictures(r.totals.frames, score, pa, pb);
    }
  }
  r.compared = r.totals.frames;
  r.failed = r.outcome != RunOutcome::kOk;
  if (!known && r.ended == 0 && r.outcome == RunOutcome::kOk) r.pair_count = r.compared;
  fetch2.reset();

  for (RunListener* l : settings.listeners)
    l->on_end(r);
  print_report(r.totals, out);
  if (settings.ssim) print_ssim_report(r.totals, r.stats, out);
  source2.reset();
  source1.reset();
  *result = r;
  return 1;
}

namespace {

// A frame rate for a notice: "25", "29.97", "23.976".
std::string rate_text(const SourceInfo& i) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", double(i.rate_num) / double(i.rate_den));
  std::string t = text;
  while (t.back() == '0')
    t.pop_back();
  if (t.back() == '.') t.pop_back();
  return t;
}

}  // namespace

void print_notes(const RunSettings& s, const RunResult& r, std::FILE* err) {
  const char* paths[2] = {s.path1, s.path2};
  switch (r.outcome) {
    case RunOutcome::kOk:
      break;
    case RunOutcome::kOpenFailed:
      std::fprintf(err, "vidqual: [%s]: %s\n", paths[r.failed_input - 1], r.reason.c_str());
      return;
    case RunOutcome::kReadFailed:
      std::fprintf(err, "vidqual: can't read frame %d of [%s]%s%s\n", r.failed_frame,
                   paths[r.failed_input - 1], r.reason.empty() ? "" : ": ", r.reason.c_str());
      break;
    case RunOutcome::kSizeMismatch:
    case RunOutcome::kUnsupported:
      std::fprintf(err, "vidqual: pair %d can't be compared: %s\n", r.failed_frame,
                   r.reason.c_str());
      break;
    case RunOutcome::kOutOfMemory:
      std::fprintf(err, "vidqual: out of memory%s%s\n", r.failed_input ? " reading " : "",
                   r.failed_input ? paths[r.failed_input - 1] : "");
      if (r.failed_frame == 0) return;
      break;
  }
  if (!r.conversion.empty()) std::fprintf(err, "note: %s\n", r.conversion.c_str());
  const SourceInfo& a = r.info[0];
  const SourceInfo& b = r.info[1];
  if (a.rate_den > 0 && b.rate_den > 0 &&
      int64_t(a.rate_num) * b.rate_den != int64_t(b.rate_num) * a.rate_den) {
    std::fprintf(err, "note: the frame rates differ: %s fps in [%s], %s in [%s]\n",
                 rate_text(a).c_str(), s.path1, rate_text(b).c_str(), s.path2);
  }
  for (int i = 0; i < 2; ++i) {
    if (r.info[i].rotation != 0) {
      std::fprintf(err,
                   "note: [%s] has a display rotation of %d degrees; its pictures are scored as "
                   "stored (as FFmpeg's -noautorotate reads them)\n",
                   paths[i], r.info[i].rotation);
    }
  }
  const bool known = a.length_known && b.length_known;
  if (r.ended != 0) {
    const int e = r.ended - 1;
    const int32_t frames = e == 0 ? r.length1 : r.length2;
    std::fprintf(err, "note: [%s] ended after %d frame%s, before [%s]; %d pair%s compared\n",
                 paths[e], frames, frames == 1 ? "" : "s", paths[1 - e], r.compared,
                 r.compared == 1 ? "" : "s");
  } else if (known && r.length1 != r.length2) {
    std::fprintf(
        err,
        "note: the streams differ in length: %d frames in [%s], %d in [%s]; %d pairs compared\n",
        r.length1, s.path1, r.length2, s.path2, r.compared);
  }
  if (s.maxframes >= 1 && r.outcome == RunOutcome::kOk && r.ended == 0 &&
      (known ? s.maxframes < std::min(r.length1, r.length2) : r.compared == s.maxframes)) {
    if (known) {
      std::fprintf(err,
                   "note: maxframes %d stops the comparison before the streams end (%d and %d "
                   "frames); %d pairs compared\n",
                   s.maxframes, r.length1, r.length2, r.compared);
    } else {
      std::fprintf(err, "note: maxframes %d stops the comparison; %d pairs compared\n", s.maxframes,
                   r.compared);
    }
  }
}

}  // namespace vq
