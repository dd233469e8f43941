// The comparison run: frames fetched in order (the second source on a thread of its own, and
// both a pair ahead when pairs are scored on the run's thread and their sources allow), each
// pair formed and scored by the metrics that are not temporal (on the calling thread, or on
// worker threads from copies of its frames), then taken in pair order: the temporal metrics,
// the result and the listeners. Every value in the table is a function of its pair alone, so
// the outputs are the same for every thread count.
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "compare/compare.h"
#include "compare/replay.h"

namespace vq {
namespace {

// Fetches frames of one source on a thread of its own, so that the two files of a run are read
// (or decoded) at the same time, and read while a pair is scored. Without a thread it fetches
// on the caller's.
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

// The luma samples of a frame as a source handed it out (as stated, for a refused frame).
int64_t frame_samples(const Frame& f) {
  if (f.is_picture()) return int64_t(f.picture.width) * f.picture.height;
  return f.stated_width * f.stated_height;
}

// The pictures metrics see are of one form.
bool same_pictures(const PictureForm& a, const PictureForm& b) {
  return a.width == b.width && a.height == b.height && a.chroma_width == b.chroma_width &&
         a.chroma_height == b.chroma_height && a.depth == b.depth && a.layout == b.layout;
}

// ... and of one encode: an encode that changes size within a stream gets scorers of its own.
bool same_form(const PictureForm& a, const PictureForm& b) {
  return same_pictures(a, b) && a.encode_width == b.encode_width &&
         a.encode_height == b.encode_height && a.encode_depth == b.encode_depth;
}

std::string form_text(const PictureForm& f) {
  return std::to_string(f.width) + "x" + std::to_string(f.height) + " " +
         chroma_layout_name(f.layout) + " " + std::to_string(f.depth) + "-bit";
}

// The scorers of one thread: for each picture form it has met, one scorer per metric, made when
// the form first comes. The metrics that score RGB have scorers of their own, for the RGB form
// of the pairs, and the buffers each pair's pictures are converted into for all of them.
class Scorers {
 public:
  struct Set {
    PictureForm form;
    int32_t first_pair = 0;
    std::vector<std::unique_ptr<Metric>> scorers;
  };

  // With `by_encode` false, one set serves every encode of a picture form (temporal scorers,
  // which keep earlier pictures and cannot start again within a stream).
  Scorers(const std::vector<const MetricRequest*>& metrics,
          const std::vector<const MetricRequest*>& rgb_metrics, uint32_t cpu_flags,
          bool by_encode = true)
      : metrics_(metrics),
        groups_(group_metric_requests(metrics)),
        cpu_flags_(cpu_flags),
        by_encode_(by_encode) {
    if (!rgb_metrics.empty())
      rgb_ = std::make_unique<Scorers>(rgb_metrics, kNone, cpu_flags, by_encode);
  }

  // The scorers for `form`, first met at pair `pair`. kOk and *out, or why not.
  MetricStatus get(const PictureForm& form, int32_t pair, Set** out, std::string* why) {
    for (Set& s : sets_) {
      if (by_encode_ ? same_form(s.form, form) : same_pictures(s.form, form)) {
        *out = &s;
        return MetricStatus::kOk;
      }
    }
    Set set;
    set.form = form;
    set.first_pair = pair;
    // Joined scorers first; should one refuse the form, each request is made alone, so that
    // the run fails as it would without joins: at the first request, in order, that refuses.
    MetricStatus made = make_all(groups_, form, &set, why);
    if (made != MetricStatus::kOk && groups_.size() != metrics_.size()) {
      std::vector<MetricGroup> alone;
      for (const MetricRequest* r : metrics_)
        alone.push_back({r, {}});
      made = make_all(alone, form, &set, why);
    }
    if (made != MetricStatus::kOk) return made;
    sets_.push_back(std::move(set));
    *out = &sets_.back();
    return MetricStatus::kOk;
  }

  std::vector<Set>& sets() { return sets_; }
  [[nodiscard]] bool empty() const { return sets_.empty(); }
  // The scorers of the metrics that score RGB, and the buffers of a pair's RGB pictures; null
  // when the run has none.
  Scorers* rgb() { return rgb_.get(); }
  PictureBuffer* rgb_pictures() { return rgb_pictures_; }

 private:
  MetricStatus make_all(const std::vector<MetricGroup>& groups, const PictureForm& form, Set* set,
                        std::string* why) {
    set->scorers.clear();
    for (const MetricGroup& g : groups) {
      std::unique_ptr<Metric> m;
      std::string reason;
      const MetricStatus made = make_group_scorer(g, form, cpu_flags_, &m, &reason);
      if (made != MetricStatus::kOk) {
        // A maker's reason names its metric.
        *why = made == MetricStatus::kOutOfMemory ? "out of memory" : reason;
        return made;
      }
      set->scorers.push_back(std::move(m));
    }
    return MetricStatus::kOk;
  }

  std::vector<const MetricRequest*> metrics_;
  std::vector<MetricGroup> groups_;
  uint32_t cpu_flags_;
  bool by_encode_;
  std::vector<Set> sets_;
  std::unique_ptr<Scorers> rgb_;
  PictureBuffer rgb_pictures_[2];
  static inline const std::vector<const MetricRequest*> kNone;
};

// One pair on its way: its frames (the sources' own, or copies that outlive the next fetch),
// its pictures in one form and how forming and scoring went.
struct Job {
  int32_t index = -1;
  OwnedFrame own[2];
  Frame frame[2];
  PairWork work;
  FormedPair formed;
  PairStatus status = PairStatus::kFormed;
  std::string why;
  bool done = false;
};

PairStatus status_of(MetricStatus s) {
  return s == MetricStatus::kOutOfMemory ? PairStatus::kOutOfMemory : PairStatus::kUnsupported;
}

// What every thread shares in a run.
struct Shared {
  const RunSettings* settings = nullptr;
  ErrorSums sums;  // the offset search's
};

// Scores pair `pair` of `form` with every scorer of `scorers` for that form. kFormed, or the
// status and *why.
PairStatus score_with(Scorers* scorers, int32_t pair, const PictureForm& form, const Picture& a,
                      const Picture& b, ScoreTable* table, std::string* why) {
  Scorers::Set* set = nullptr;
  const MetricStatus made = scorers->get(form, pair, &set, why);
  if (made != MetricStatus::kOk) return status_of(made);
  for (auto& m : set->scorers) {
    const MetricStatus s = m->score(pair, a, b, table);
    if (s != MetricStatus::kOk) {
      *why = s == MetricStatus::kOutOfMemory ? "out of memory" : "a metric refused the pair";
      return status_of(s);
    }
  }
  return PairStatus::kFormed;
}

// Scores a formed pair with the scorers of `scorers`: its pictures as formed, then, when there
// are metrics that score RGB, its pictures converted to RGB once for all of them.
PairStatus score_formed(Scorers* scorers, int32_t pair, const FormedPair& formed, ScoreTable* table,
                        std::string* why) {
  PairStatus s =
      score_with(scorers, pair, formed.form, formed.picture[0], formed.picture[1], table, why);
  if (s != PairStatus::kFormed || scorers->rgb() == nullptr) return s;
  Picture rgb[2];
  PictureForm form;
  s = rgb_pair(formed, scorers->rgb_pictures(), rgb, &form, why);
  if (s != PairStatus::kFormed) return s;
  return score_with(scorers->rgb(), pair, form, rgb[0], rgb[1], table, why);
}

// Forms a pair and scores it with every metric that is not temporal, on the calling thread.
void score_job(const Shared& shared, Scorers* scorers, Job* job) {
  try {
    job->status = form_pair(job->frame[0], job->frame[1], &job->work, &job->formed, &job->why,
                            shared.settings->scale, shared.settings->depth);
    if (job->status != PairStatus::kFormed) return;
    job->status = score_formed(scorers, job->index, job->formed, shared.settings->table, &job->why);
  } catch (const std::bad_alloc&) {
    job->status = PairStatus::kOutOfMemory;
    job->why = "out of memory";
  }
}

// Threads that score pairs from a queue. Jobs are handed in and taken back by the calling thread
// in pair order.
class Workers {
 public:
  Workers(const Shared& shared, const std::vector<const MetricRequest*>& metrics,
          const std::vector<const MetricRequest*>& rgb_metrics, int count)
      : shared_(shared) {
    for (int i = 0; i < count; ++i) {
      scorers_.push_back(
          std::make_unique<Scorers>(metrics, rgb_metrics, shared.settings->cpu_flags));
      try {
        Scorers* mine = scorers_.back().get();
        threads_.emplace_back([this, mine] { serve(mine); });
      } catch (const std::system_error&) {
        scorers_.pop_back();
        break;
      }
    }
  }
  ~Workers() { stop(); }

  [[nodiscard]] size_t count() const { return threads_.size(); }

  void submit(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job->done = false;
      queue_.push_back(job);
    }
    work_.notify_one();
  }

  void wait(Job* job) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [job] { return job->done; });
  }

  // Drops the jobs not yet begun and waits for the threads to end.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      queue_.clear();
    }
    work_.notify_all();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

  std::vector<std::unique_ptr<Scorers>>& scorers() { return scorers_; }

 private:
  void serve(Scorers* scorers) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Job* job = queue_.front();
      queue_.pop_front();
      lock.unlock();
      score_job(shared_, scorers, job);
      lock.lock();
      job->done = true;
      done_.notify_all();
    }
  }

  const Shared& shared_;
  std::vector<std::unique_ptr<Scorers>> scorers_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<Job*> queue_;
  bool quit_ = false;
};

// The run's side that goes in pair order: temporal metrics, the result, the listeners.
class Committer {
 public:
  Committer(const Shared& shared, const std::vector<const MetricRequest*>& temporal,
            const std::vector<const MetricRequest*>& rgb_temporal, RunResult* result)
      : shared_(shared),
        temporal_(temporal, rgb_temporal, shared.settings->cpu_flags, false),
        result_(result),
        has_temporal_(!temporal.empty() || !rgb_temporal.empty()) {}

  // Takes pair job->index, the next in order. 0 when it stops the run (its failure recorded).
  int commit(Job* job) {
    RunResult& r = *result_;
    if (job->status == PairStatus::kFormed && has_temporal_) score_temporal(job);
    if (job->status != PairStatus::kFormed) {
      RunFailure failure;
      failure.outcome = job->status == PairStatus::kOutOfMemory    ? RunOutcome::kOutOfMemory
                        : job->status == PairStatus::kSizeMismatch ? RunOutcome::kSizeMismatch
                                                                   : RunOutcome::kUnsupported;
      failure.pair = job->index + 1;
      failure.reason = job->why;
      failure.apply(&r);
      return 0;
    }
    const FormedPair& f = job->formed;
    if ((f.widened || f.resampled || f.scaled) && !r.conversion.any) note_conversion(f);
    if ((f.form.encode_width || f.form.encode_depth) && !r.form_options_noted) note_form_options(f);
    r.compared = job->index + 1;
    r.depth = f.form.depth;
    r.layout = f.form.layout;
    r.width = f.form.width;
    r.height = f.form.height;
    PairView view;
    view.number = job->index + 1;
    view.row = job->index;
    view.table = shared_.settings->table;
    view.depth = f.form.depth;
    view.layout = f.form.layout;
    // A temporal metric writes some of a pair's scores later (integer_motion2 needs the next
    // pair, a model's prediction reads it): its runs tell listeners of their pairs after the
    // flush, once every score is final. Pictures are offered as they go.
    if (has_temporal_) held_.push_back(view);
    for (RunListener* l : shared_.settings->listeners) {
      if (!has_temporal_) l->on_pair(view);
      if (!l->wants_pictures(view)) continue;
      l->on_pictures(view, job->formed.picture[0], job->formed.picture[1]);
    }
    return 1;
  }

  Scorers& temporal() { return temporal_; }

  // Tells the listeners of the pairs held back, those the table still holds, in order.
  void tell_held(int32_t compared) {
    for (const PairView& v : held_)
      if (v.row < compared)
        for (RunListener* l : shared_.settings->listeners)
          l->on_pair(v);
    held_.clear();
  }

 private:
  // How the first pair that needed it was brought to one form, for the notes.
  void note_conversion(const FormedPair& f) {
    PairConversion& c = result_->conversion;
    c.any = true;
    c.widened = f.widened;
    c.resampled = f.resampled;
    c.scaled = f.scaled;
    c.scale = shared_.settings->scale;
    c.depth = f.form.depth;
    c.layout = f.form.layout;
  }

  // The options metrics took from the encode's own size and depth at the first pair the run
  // scaled or widened the encode, for the notes.
  void note_form_options(const FormedPair& f) {
    RunResult& r = *result_;
    r.form_options_noted = true;
    for (const MetricRequest& m : shared_.settings->metrics) {
      if (!m.row->form_options) continue;
      MetricFormOptions taken;
      taken.options = m.row->form_options(f.form, m.options);
      if (taken.options.empty()) continue;
      taken.score = m.row->scores(m.options).front();
      r.form_options.push_back(std::move(taken));
    }
  }

  void score_temporal(Job* job) {
    const PictureForm& form = job->formed.form;
    if (!temporal_.empty() && !same_pictures(temporal_.sets().front().form, form)) {
      job->status = PairStatus::kUnsupported;
      job->why = "the pictures change from " + form_text(temporal_.sets().front().form) + " to " +
                 form_text(form) + ", and a metric that follows pairs in order needs one form";
      return;
    }
    try {
      job->status =
          score_formed(&temporal_, job->index, job->formed, shared_.settings->table, &job->why);
    } catch (const std::bad_alloc&) {
      job->status = PairStatus::kOutOfMemory;
      job->why = "out of memory";
    }
  }

  const Shared& shared_;
  Scorers temporal_;
  RunResult* result_;
  bool has_temporal_;
  std::vector<PairView> held_;
};

// Every scorer flushed once, sets in the order their forms first came (so that the last form's
// flush is the last, whatever thread met it), the temporal ones last.
void flush_all(std::vector<Scorers*> all, Scorers* temporal, ScoreTable* table) {
  std::vector<Scorers::Set*> sets;
  for (Scorers* s : all) {
    for (Scorers* side : {s, s->rgb()})
      if (side != nullptr)
        for (Scorers::Set& set : side->sets())
          sets.push_back(&set);
  }
  std::stable_sort(sets.begin(), sets.end(), [](const Scorers::Set* a, const Scorers::Set* b) {
    return a->first_pair < b->first_pair;
  });
  for (Scorers* side : {temporal, temporal->rgb()})
    if (side != nullptr)
      for (Scorers::Set& set : side->sets())
        sets.push_back(&set);
  for (Scorers::Set* set : sets)
    for (auto& m : set->scorers)
      (void)m->flush(table);
}

// Where fetching stopped before the plan's end, told once every pair before it is taken: a
// stream ended (the lengths as found), or a frame could not be read.
struct FetchStop {
  int32_t at = -1;  // the pair index fetching stopped at; -1 while it has not
  int ended = 0;    // 1 or 2: the stream that ended first; 0 when both ended there
  int32_t length[2] = {0, 0};
  RunFailure failure;

  void apply(RunResult* r) const {
    if (failure.failed()) {
      failure.apply(r);
      return;
    }
    r->ended = ended;
    r->length1 = length[0];
    r->length2 = length[1];
  }
};

// The metrics scored on any thread, and the temporal ones, scored in pair order on the run's
// thread, each apart from those that score RGB; `light` when every one scored on any thread
// costs less than copying a pair for a thread.
struct MetricSplit {
  std::vector<const MetricRequest*> parallel, temporal, rgb_parallel, rgb_temporal;
  bool light = true;
};

MetricSplit split_metrics(const std::vector<MetricRequest>& metrics) {
  MetricSplit split;
  for (const MetricRequest& m : metrics) {
    const bool temporal = m.row->flags & kMetricTemporal;
    const bool rgb = m.row->flags & kMetricRgb;
    (temporal ? (rgb ? split.rgb_temporal : split.temporal)
              : (rgb ? split.rgb_parallel : split.parallel))
        .push_back(&m);
    split.light = split.light && (temporal || (m.row->flags & kMetricLight));
  }
  return split;
}

// Pairs are scored where they are read when one thread is asked for, or when every metric the
// threads would score costs less than copying the pictures for another thread; otherwise they
// are copied into jobs that threads form and score, and taken back in pair order. Null: here.
std::unique_ptr<Workers> make_workers(const Shared& shared, const MetricSplit& split) {
  const int threads = std::clamp(shared.settings->threads, 1, 64);
  if (threads == 1 || split.light) return nullptr;
  auto workers = std::make_unique<Workers>(shared, split.parallel, split.rgb_parallel, threads);
  if (workers->count() == 0) workers.reset();
  return workers;
}

// Reads and drops the skipped frames of an input whose length is not known, in order, so that
// a stream that ends among them is known to end there (one of known length serves frame
// skip[i] at once). 1 when every skipped frame was there; 0 with *stop telling of the end or
// the failure.
int skip_frames(VideoSource* const sources[2], const int32_t skip[2], FetchStop* stop) {
  for (int i = 0; i < 2; ++i) {
    if (sources[i]->info().length_known) continue;
    for (int32_t k = 0; k < skip[i]; ++k) {
      Frame f;
      Fetch got;
      try {
        got = sources[i]->get_frame(k, &f);
      } catch (const std::bad_alloc&) {
        got = Fetch::kOutOfMemory;
      }
      if (got == Fetch::kFrame) continue;
      stop->at = 0;
      if (got == Fetch::kEnd) {
        stop->ended = i + 1;
        stop->length[i] = k;
      } else {
        stop->failure = read_failure(got, *sources[i], i, k);
      }
      return 0;
    }
  }
  return 1;
}

// Whether the input of unknown length holds a frame past the pairs of `plan`, whose other
// input's known frames ran out at its stop: one fetch tells which ended first.
bool holds_more(VideoSource* const sources[2], const int32_t skip[2], const PairPlan& plan,
                const SourceInfo info[2]) {
  const int other = plan.exhausted == 1 ? 1 : 0;
  const int64_t index = (other == 1 && plan.by_time ? frame_at_time(plan.stop, info[0], info[1])
                                                    : int64_t(plan.stop)) +
                        skip[other];
  if (index >= INT32_MAX) return false;
  Frame f;
  try {
    return sources[other]->get_frame(int32_t(index), &f) == Fetch::kFrame;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The offset pre-pass: the first frames of both inputs are read into copies that the run then
// reads again (sources[] now point at them), and the skip becomes the offset found. 0 with
// *failure when a frame could not be read.
int align_inputs(const Shared& shared, VideoSource* sources[2],
                 std::unique_ptr<ReplaySource> replay[2], RunResult* r, RunFailure* failure) {
  for (int i = 0; i < 2; ++i) {
    replay[i] = std::make_unique<ReplaySource>(sources[i]);
    sources[i] = replay[i].get();
  }
  ReplaySource* const both[2] = {replay[0].get(), replay[1].get()};
  const int found = search_offset(both, shared.settings->scale, shared.sums, &r->align, failure);
  if (found) {
    r->skip[0] = std::max(-r->align.offset, 0);
    r->skip[1] = std::max(r->align.offset, 0);
  }
  for (int i = 0; i < 2; ++i)
    replay[i]->replay();
  return found;
}

// The scheduler: fetches the pairs in order (the second input's frame on a thread of its own),
// scores each here or hands it to the worker threads, and takes them back in pair order for the
// committer, a slot per pair in flight.
class Scheduler {
 public:
  Scheduler(const Shared& shared, VideoSource* const sources[2], const int32_t skip[2],
            const RunResult& r, Workers* workers, Scorers* here, Committer* committer)
      : shared_(shared),
        sources_{sources[0], sources[1]},
        skip_{skip[0], skip[1]},
        info_{r.info[0], r.info[1]},
        workers_(workers),
        here_(here),
        committer_(committer),
        slots_(workers ? 2 * workers->count() : 1),
        fetch2_(std::make_unique<Fetcher>(sources[1])) {
    for (size_t i = 0; i < slots_; ++i)
      jobs_.push_back(std::make_unique<Job>());
    // A source that keeps its frames valid while every slot's pair and the next fetch are out
    // hands its frames to the threads as they are; the others' are copied into the jobs.
    if (workers_) {
      const int32_t need = int32_t(slots_) + 2;
      for (int k = 0; k < 2; ++k)
        kept_[k] = sources_[k]->keep_frames(need) >= need;
    } else {
      // Scoring here, the next pair is read while this one is scored when both sources keep a
      // frame through the next fetch: reading (mapping a file's pages, or copying them) then
      // takes no time from the scoring.
      can_read_ahead_ = sources_[0]->keep_frames(2) >= 2 && sources_[1]->keep_frames(2) >= 2;
    }
  }

  // Threads may still be scoring pairs beyond the one the run stopped at, in jobs this
  // scheduler owns: they end before it does.
  ~Scheduler() {
    if (workers_) workers_->stop();
  }
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Compares pairs 0 .. stop-1 until one fails or fetching stops; *fetch_stop tells where and
  // why fetching stopped before `stop`. 0 when a pair stopped the run (the committer recorded
  // it), 1 otherwise. `by_time` pairs by the inputs' rates.
  int run(int32_t stop, bool by_time, FetchStop* fetch_stop) {
    for (int32_t i = 0; i < stop && !failed_; ++i) {
      // The slot of pair i is free once pair i - slots is taken.
      take(i - int32_t(slots_) + 1);
      if (failed_) break;
      Frame a, b;
      if (!fetch(i, second_index(i, by_time), &a, &b, fetch_stop)) break;
      if (i == 0) {
        if (frame_samples(a) + frame_samples(b) < kSmallPairSamples)
          fetch2_->fetch_here();
        else if (can_read_ahead_)
          fetch1_ = std::make_unique<Fetcher>(sources_[0]);
      }
      // Never past the pairs asked for: a frame read there could not be read back.
      if (fetch1_ && i + 1 < stop) {
        begin_fetch(i + 1, second_index(i + 1, by_time));
        ahead_ = i + 1;
      }
      submit(i, a, b);
      submitted_ = i + 1;
      // Pairs scored here are taken at once, so that listeners hear of them as the run goes;
      // those of the threads are taken as their slots come round again.
      if (!workers_) take(submitted_);
    }
    take(submitted_);
    fetch1_.reset();
    fetch2_.reset();
    return !failed_;
  }

  // Whether every pair before the fetch stop was taken: its end or failure is the run's.
  [[nodiscard]] bool reached(const FetchStop& stop) const {
    return !failed_ && stop.at >= 0 && taken_ == stop.at;
  }

 private:
  // The second input's frame paired with pair i (before the skip), held within 32 bits with
  // the skip (a stream that long has ended before it).
  int32_t second_index(int32_t i, bool by_time) const {
    return by_time ? int32_t(std::min<int64_t>(frame_at_time(i, info_[0], info_[1]),
                                               int64_t(INT32_MAX) - skip_[1]))
                   : i;
  }

  // Begins fetching pair i: the second input's frame j on its thread, unless it is the frame
  // of the pair before, and, when reading ahead, the first input's on its own.
  void begin_fetch(int32_t i, int32_t j) {
    again_ = j == last_j_;
    if (!again_) fetch2_->start(j + skip_[1]);
    if (fetch1_) fetch1_->start(i + skip_[0]);
  }

  // Fetches frame i of the first input and frame j of the second (after the skip), or ends the
  // fetch begun for it ahead. 1 with both; 0 with *stop telling of an end or a failure,
  // reported in the order first input, second.
  int fetch(int32_t i, int32_t j, Frame* a, Frame* b, FetchStop* stop) {
    if (ahead_ != i) begin_fetch(i, j);
    ahead_ = -1;
    const bool again = again_;
    Fetch got[2];
    if (fetch1_) {
      got[0] = fetch1_->wait(a);
    } else {
      try {
        got[0] = sources_[0]->get_frame(i + skip_[0], a);
      } catch (const std::bad_alloc&) {
        got[0] = Fetch::kOutOfMemory;
      }
    }
    if (again) {
      // The second input's frame of the pair before, which pairs by time may score again (its
      // source has not fetched since, so it is still valid).
      *b = last_b_;
      got[1] = Fetch::kFrame;
    } else {
      got[1] = fetch2_->wait(b);
      last_b_ = *b;
      last_j_ = j;
    }
    if (got[0] == Fetch::kEnd || got[1] == Fetch::kEnd) {
      // The shorter stream has ended: not an error. When both end here, neither ended first.
      if (got[0] != got[1]) stop->ended = got[0] == Fetch::kEnd ? 1 : 2;
      if (got[0] == Fetch::kEnd) stop->length[0] = i + skip_[0];
      if (got[1] == Fetch::kEnd) stop->length[1] = j + skip_[1];
      stop->at = i;
      return 0;
    }
    const int bad = got[0] != Fetch::kFrame ? 0 : got[1] != Fetch::kFrame ? 1 : -1;
    if (bad >= 0) {
      stop->failure = read_failure(got[bad], *sources_[bad], bad, (bad == 0 ? i : j) + skip_[bad]);
      stop->failure.pair = i + 1;
      stop->at = i;
      return 0;
    }
    return 1;
  }

  // Pair i into its slot: scored here, or copied (unless its source keeps it) for a thread.
  void submit(int32_t i, const Frame& a, const Frame& b) {
    Job* job = jobs_[size_t(i) % slots_].get();
    job->index = i;
    if (!workers_) {
      job->frame[0] = a;
      job->frame[1] = b;
      score_job(shared_, here_, job);
      return;
    }
    const Frame* got[2] = {&a, &b};
    for (int k = 0; k < 2; ++k) {
      if (kept_[k]) {
        job->frame[k] = *got[k];
      } else if (job->own[k].assign(*got[k])) {
        job->frame[k] = job->own[k].frame();
      } else {
        job->status = PairStatus::kOutOfMemory;
        job->why = "out of memory";
        job->done = true;
        return;
      }
    }
    workers_->submit(job);
  }

  // Commits pairs taken_ .. upto-1, waiting for each.
  void take(int32_t upto) {
    while (!failed_ && taken_ < upto) {
      Job* job = jobs_[size_t(taken_) % slots_].get();
      if (workers_) workers_->wait(job);
      if (!committer_->commit(job)) failed_ = true;
      ++taken_;
    }
  }

  const Shared& shared_;
  VideoSource* sources_[2];
  int32_t skip_[2];
  SourceInfo info_[2];
  Workers* workers_;
  Scorers* here_;
  Committer* committer_;
  size_t slots_;
  std::vector<std::unique_ptr<Job>> jobs_;
  bool kept_[2] = {false, false};
  bool can_read_ahead_ = false;
  // The first input's fetcher when reading ahead, and the pair fetched ahead (-1: none).
  std::unique_ptr<Fetcher> fetch1_;
  int32_t ahead_ = -1;
  bool again_ = false;  // the pair being fetched takes the second frame of the pair before
  std::unique_ptr<Fetcher> fetch2_;
  int32_t taken_ = 0;  // pairs committed (or, once failed, looked at)
  int32_t submitted_ = 0;
  bool failed_ = false;
  Frame last_b_;
  int32_t last_j_ = -1;
};

}  // namespace

int available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? int(n) : 1;
}

int64_t frame_at_time(int64_t pair, const SourceInfo& first, const SourceInfo& second) {
  // floor(pair * rate2 / rate1), in 128 bits: every factor may use 31.
  const __int128 n = __int128(pair) * second.rate_num * first.rate_den;
  const __int128 d = __int128(second.rate_den) * first.rate_num;
  return int64_t(n / d);
}

int64_t pairs_at_time(int64_t first_frames, int64_t second_frames, const SourceInfo& first,
                      const SourceInfo& second) {
  // The pairs i with frame_at_time(i) < second_frames: i < second_frames * rate1 / rate2.
  const __int128 n = __int128(second_frames) * first.rate_num * second.rate_den;
  const __int128 d = __int128(first.rate_den) * second.rate_num;
  const __int128 count = (n + d - 1) / d;
  return count < first_frames ? int64_t(count) : first_frames;
}

void declare_scores(const std::vector<MetricRequest>& metrics, ScoreTable* table) {
  for (const MetricRequest& r : metrics)
    for (const std::string& name : r.row->scores(r.options))
      table->declare(describe_score(*r.row, name));
}

PairPlan plan_pairs(const SourceInfo info[2], const int32_t skip[2], int32_t maxframes,
                    bool pair_by_time) {
  PairPlan p;
  // Streams whose length is known give the pair count as they always have; a stream that is
  // known only at its end (a pipe) or only estimated (a container) is compared until it ends.
  p.after[0] = std::max(info[0].length - skip[0], 0);
  p.after[1] = std::max(info[1].length - skip[1], 0);
  p.known = info[0].length_known && info[1].length_known;
  const int32_t limit = maxframes < 1 ? p.after[0] : maxframes;
  // Paired by time, the second input's frames last as long as the pairs they are shown in.
  p.by_time = pair_by_time && info[0].rate_num > 0 && info[0].rate_den > 0 &&
              info[1].rate_num > 0 && info[1].rate_den > 0;
  const auto second_pairs = [&](int32_t first_frames) {
    return p.by_time ? int32_t(pairs_at_time(first_frames, p.after[1], info[0], info[1]))
                     : p.after[1];
  };
  p.pair_count = std::min(std::min(p.after[0], limit), second_pairs(p.after[0]));
  p.stop = p.pair_count;
  if (!p.known) {
    // A first input of unknown length does not bound the pairs the second's frames last for:
    // its stated length is an estimate, or 0 for a pipe.
    int32_t ends[2];
    ends[0] = info[0].length_known ? p.after[0] : INT32_MAX;
    ends[1] = info[1].length_known ? second_pairs(ends[0]) : INT32_MAX;
    const int32_t asked = maxframes < 1 ? INT32_MAX : maxframes;
    // Frame indexes stay within 32 bits.
    p.stop = std::min({asked, ends[0], ends[1], INT32_MAX - std::max(skip[0], skip[1])});
    for (int i = 0; i < 2 && p.exhausted == 0; ++i)
      if (info[i].length_known && p.stop == ends[i] && asked > p.stop) p.exhausted = i + 1;
  }
  return p;
}

void comparison_run(const RunSettings& settings, RunResult* result) {
  RunResult r;
  r.table = settings.table;
  VideoSource* sources[2] = {settings.sources[0], settings.sources[1]};
  Shared shared;
  shared.settings = &settings;
  shared.sums = select_error_sums(settings.cpu_flags);
  for (int i = 0; i < 2; ++i) {
    r.info[i] = sources[i]->info();
    r.skip[i] = std::max(settings.skip[i], 0);
  }
  // The offset search reads the first frames of both inputs; the run reads them again from
  // the copies it kept.
  std::unique_ptr<ReplaySource> replay[2];
  FetchStop fetch_stop;
  if (settings.align && !align_inputs(shared, sources, replay, &r, &fetch_stop.failure))
    fetch_stop.at = 0;

  const PairPlan plan = plan_pairs(r.info, r.skip, settings.maxframes, settings.pair_by_time);
  r.length1 = r.info[0].length;
  r.length2 = r.info[1].length;
  r.paired_by_time = plan.by_time;
  r.pair_count = plan.pair_count;
  fetch_stop.length[0] = r.length1;
  fetch_stop.length[1] = r.length2;
  declare_scores(settings.metrics, settings.table);
  for (RunListener* l : settings.listeners)
    l->on_start(r.pair_count, *settings.table);
  const MetricSplit split = split_metrics(settings.metrics);
  const std::unique_ptr<Workers> workers = make_workers(shared, split);
  Scorers here(split.parallel, split.rgb_parallel, settings.cpu_flags);
  Committer committer(shared, split.temporal, split.rgb_temporal, &r);
  {
    Scheduler scheduler(shared, sources, r.skip, r, workers.get(), &here, &committer);
    const int32_t stop =
        fetch_stop.at >= 0 || (plan.stop > 0 && !skip_frames(sources, r.skip, &fetch_stop))
            ? 0
            : plan.stop;
    (void)scheduler.run(stop, plan.by_time, &fetch_stop);
    if (scheduler.reached(fetch_stop)) fetch_stop.apply(&r);
  }
  std::vector<Scorers*> all = {&here};
  if (workers) {
    for (auto& s : workers->scorers())
      all.push_back(s.get());
  }
  // Threads may have scored pairs beyond the one the run stopped at: the table holds exactly
  // the compared pairs.
  settings.table->drop_from(r.compared);
  flush_all(all, &committer.temporal(), settings.table);
  committer.tell_held(r.compared);

  r.failed = r.outcome != RunOutcome::kOk;
  if (!plan.known && r.ended == 0 && r.outcome == RunOutcome::kOk) {
    r.pair_count = r.compared;
    // Every pair was compared up to the end of an input of known length: the other ended too,
    // or holds more, and the notes say which.
    if (plan.exhausted && fetch_stop.at < 0 && r.compared == plan.stop &&
        holds_more(sources, r.skip, plan, r.info)) {
      r.ended = plan.exhausted;
    }
  }
  for (auto l = settings.listeners.rbegin(); l != settings.listeners.rend(); ++l)
    (*l)->on_end(r);
  *result = r;
}

}  // namespace vq
