// What a comparison run sets out to do, tells while it goes and found at its end: the pair plan,
// the listener interface the outputs implement and the result record they read. Kept apart from
// the run itself so that outputs depend on these records alone, not on how pairs are formed or
// scored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "metrics/metric.h"
#include "score/score.h"
#include "video/video.h"

namespace vq {

// One shift's pairing in the search: the pairs it had and their mean luma PSNR.
struct ShiftScore {
  int32_t shift = 0;
  int32_t pairs = 0;
  double mean_psnr = 0;
};

// The memory the offset search may keep copies of pictures in, both inputs together.
inline constexpr int64_t kAlignMemory = int64_t(1) << 30;

// What the search found: every shift that had pairs, from the lowest, and the one chosen.
struct OffsetSearch {
  bool searched = false;
  // The first frames of each input it read, and the largest shift it tried (either way): fewer
  // than it reads of smaller pictures when these did not fit in kAlignMemory (`narrowed`).
  int32_t frames = 0;
  int32_t max_shift = 0;
  bool narrowed = false;
  std::vector<ShiftScore> shifts;
  int32_t best = 0;       // the shift of the highest mean (the smaller |shift| on a tie)
  int32_t runner_up = 0;  // the next highest; equal to best when there was no other
  bool clear = false;     // best stood out: it is the offset; otherwise the offset is 0
  int32_t offset = 0;
};

// A compared pair as listeners see it: its 1-based number, its row of the score table, and the
// form it was scored in.
struct PairView {
  int32_t number = 0;
  int32_t row = 0;
  const ScoreTable* table = nullptr;
  int depth = 8;
  ChromaLayout layout = ChromaLayout::k420;
};

struct RunResult;

// What the run tells while it goes: the outputs for people and for scripts (the written
// stdout, the progress line, per-frame file, JSON document, HTML report) each listen, and the
// run knows none of them. Calls come from the run's calling thread, pairs in order.
class RunListener {
 public:
  virtual ~RunListener() = default;
  // Once the pair count is known, before the first pair; every score column is declared.
  virtual void on_start(int32_t pair_count, const ScoreTable& table) {
    (void)pair_count;
    (void)table;
  }
  // After each compared pair, with all its scores in the table.
  virtual void on_pair(const PairView& pair) { (void)pair; }
  // Whether the listener wants the pictures of the pair just told.
  virtual bool wants_pictures(const PairView& pair) {
    (void)pair;
    return false;
  }
  // The two pictures of a pair as they were scored: one size, depth and chroma layout. They are
  // valid during the call only.
  virtual void on_pictures(const PairView& pair, const Picture& a, const Picture& b) {
    (void)pair;
    (void)a;
    (void)b;
  }
  // Once the loop is over and every metric flushed.
  virtual void on_end(const RunResult& result) { (void)result; }
};

// The pairs a run sets out to compare, from what the two inputs state before a frame is read.
struct PairPlan {
  int32_t after[2] = {0, 0};  // the frames each input states after its skip
  bool known = true;          // both lengths are known: exactly pair_count pairs are compared
  bool by_time = false;       // paired by time: asked for, and both rates are known
  int32_t pair_count = 0;     // the pairs set out to compare, by the stated lengths
  // Pairs are fetched below this index at most; beyond pair_count only when a length is not
  // known (the stream ends where a fetch says so).
  int32_t stop = 0;
  // 1 or 2: the input of known length whose frames end the pairs at `stop` while the other's
  // length is not known (maxframes asks for more): the run reads one frame of the other past
  // the pairs to tell whether it ended first. 0 otherwise.
  int exhausted = 0;
};

// The plan for inputs `info` with skip[i] frames of input i dropped first (0 or more),
// `maxframes` pairs at most (0 or less: no limit), paired by time when asked and both rates are
// known. The notes read the lengths after the skip from it as the run does.
[[nodiscard]] PairPlan plan_pairs(const SourceInfo info[2], const int32_t skip[2],
                                  int32_t maxframes, bool pair_by_time);

// How a run ended.
enum class RunOutcome : uint8_t {
  kOk,            // every pair it set out to compare was compared (or a stream ended)
  kOpenFailed,    // a file could not be opened (the front end's, before any run)
  kReadFailed,    // a frame could not be read
  kSizeMismatch,  // a pair whose frames differ in size
  kUnsupported,   // a pair in a pixel format that cannot be compared, or that a metric refuses
  kOutOfMemory,
};

// How the pictures of the first pair that needed it were brought to one form.
struct PairConversion {
  bool any = false;
  uint8_t widened = 0;  // bits as in FormedPair
  uint8_t resampled = 0;
  bool scaled = false;                     // the second's pictures were scaled to the first's size
  ScaleFilter scale = ScaleFilter::kNone;  // with this filter
  int depth = 8;
  ChromaLayout layout = ChromaLayout::k420;
};

// The options a metric took from the encode's own size and depth (FormOption) rather than from
// its request, by the name of its first score ("cambi").
struct MetricFormOptions {
  std::string score;
  std::vector<FormOption> options;
};

// What a run found.
struct RunResult {
  SourceInfo info[2];                // what the two inputs are
  bool paired_by_time = false;       // as RunSettings::pair_by_time
  int32_t length1 = 0, length2 = 0;  // the streams' lengths in frames (as far as known)
  int32_t pair_count = 0;            // the pairs the run set out to compare
  int32_t compared = 0;              // the pairs it did compare (rows 0 .. compared-1)
  bool failed = false;               // outcome other than kOk
  RunOutcome outcome = RunOutcome::kOk;
  int failed_input = 0;            // 1 or 2: the input that could not be opened or read
  int32_t failed_frame = 0;        // 1-based: the pair that could not be read or was refused
  int32_t failed_input_frame = 0;  // 1-based: the frame of failed_input that could not be read
  int32_t skip[2] = {0, 0};        // frames of each input dropped before the first pair
  OffsetSearch align;              // the offset search, when the run was asked for one
  int ended = 0;       // 1 or 2: the stream that ended first, found by reading past its end or past
                       // the pairs of a known length (the other's length not known)
  std::string reason;  // why it failed, for a notice on stderr
  PairConversion conversion;
  // At the first pair whose encode was scaled or widened: what metrics took from its own form.
  bool form_options_noted = false;
  std::vector<MetricFormOptions> form_options;
  int depth = 8;  // the form of the last compared pair
  ChromaLayout layout = ChromaLayout::k420;
  int32_t width = 0;  // the size it was scored at (the first's); 0 when no pair was compared
  int32_t height = 0;
  const ScoreTable* table = nullptr;
};

}  // namespace vq
