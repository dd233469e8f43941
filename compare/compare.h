// Comparison: the pair brought to one form once (raw DIB frames converted, depth, chroma layout
// and range matched), the strip road for raw frames, and the comparison run, which takes two
// sources, scores every pair with the metrics asked for (on several threads), writes the score
// table and tells its listeners; it prints nothing and opens nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compare/workspace.h"
#include "convert/convert.h"
#include "decode/decode.h"
#include "metrics/metric.h"
#include "metrics/psnr/psnr.h"
#include "score/score.h"
#include "video/video.h"

namespace vq {

// ---- The pair in one form ---------------------------------------------------------------------

// Working memory of forming pairs: kept by the caller (one per thread or per pair in flight) and
// reused; the formed pictures point into it.
struct PairWork {
  Workspace planar[2];         // raw frames as planar 4:2:0
  Workspace wide[2];           // pictures widened to the other's depth
  PictureBuffer converted[2];  // pictures converted to the other's layout or range
  PictureBuffer scaled;        // the second picture scaled to the first's size, and its scaler
};

// A pair in one form: both pictures of one size, depth, chroma layout and range (chroma planes
// cut to the samples both have), and what had to be done to each (bit 0: the first, bit 1: the
// second): samples shifted left, or the picture converted by the picture converter; and whether
// the second was scaled to the first's size.
struct FormedPair {
  Picture picture[2];
  PictureForm form;
  uint8_t widened = 0;
  uint8_t resampled = 0;
  bool scaled = false;
};

enum class PairStatus : uint8_t {
  kFormed,
  kSizeMismatch,  // the frames differ in width or height
  kUnsupported,   // a pixel format that cannot be compared
  kOutOfMemory,
};

// Brings frames `a` and `b`, as sources hand them out, to one form: YV12 viewed where it lies,
// other raw formats converted with `converters`, pictures of different layout, range or depth
// converted or widened. A second frame of another size than the first is scaled to the first's
// size with `scale` first; with ScaleFilter::kNone such a pair is refused. *why says why in a
// few words when the pair cannot be formed ("frame sizes differ (640x480 against 320x240); ...").
[[nodiscard]] PairStatus form_pair(const ConverterTable& converters, const Frame& a, const Frame& b,
                                   PairWork* work, FormedPair* out, std::string* why,
                                   ScaleFilter scale = ScaleFilter::kNone);

// ---- The strip road ---------------------------------------------------------------------------

// The squared errors of two raw DIB frames' Y, U and V planes as planar 4:2:0 (the last column
// of an odd width and the last row of an odd height count as 0 in converted formats), summed
// strip by strip while each strip of the converted rows is still in cache, the halves of a large
// pair on two threads. 1 when summed; 0, `out` untouched, when the widths or the magnitudes of
// the heights differ, a frame is refused by the converter table, the width is below 1, the
// height 0, or W x |H| does not fit 31 bits.
[[nodiscard]] int dib_plane_errors(const ConverterTable& converters, const ErrorSums& sums,
                                   const DibFrame& a, const DibFrame& b, PlaneErrors* out);
// The report's PSNR of each plane of a raw frame pair, through the strip road with this
// processor's kernels: the historical tool's call. 1 when compared (as dib_plane_errors).
[[nodiscard]] int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
                             double* v_psnr);

// ---- Frame offsets ------------------------------------------------------------------------------

// The offset search pairs the first frames of the two inputs at every shift from -kAlignMaxShift
// to kAlignMaxShift (a shift s > 0 drops s frames of the second input, s < 0 drops -s of the
// first), at most kAlignPairs pairs each, and keeps the shift whose pairs have the highest mean
// luma PSNR when it stands out by more than kAlignMarginDb.
inline constexpr int32_t kAlignMaxShift = 10;
inline constexpr int32_t kAlignPairs = 30;
inline constexpr double kAlignMarginDb = 0.5;

// One shift's pairing in the search: the pairs it had and their mean luma PSNR.
struct ShiftScore {
  int32_t shift = 0;
  int32_t pairs = 0;
  double mean_psnr = 0;
};

// What the search found: every shift that had pairs, from the lowest, and the one chosen.
struct OffsetSearch {
  bool searched = false;
  std::vector<ShiftScore> shifts;
  int32_t best = 0;       // the shift of the highest mean (the smaller |shift| on a tie)
  int32_t runner_up = 0;  // the next highest; equal to best when there was no other
  bool clear = false;     // best stood out: it is the offset; otherwise the offset is 0
  int32_t offset = 0;
};

// The rule: a shift takes part when it has at least half the pairs of the shift with the most
// (a shift near the end of a short stream has too few to be trusted); the best is the highest
// mean, ties going to the smaller |shift| and then the lower; it is clear when another shift
// takes part and the best's mean is above the runner-up's by more than kAlignMarginDb. A still
// scene pairs every shift alike, so no shift stands out there and the offset stays 0. Fills
// best, runner_up, clear and offset of *search from its shifts.
void choose_offset(OffsetSearch* search);

// ---- One source for several runs -------------------------------------------------------------

// One input compared with several others at once (a source and its encodes): every run reads
// it through a view of its own, and each frame is fetched from it once. A frame is kept while a
// view may still ask for it (a view is done with a frame when it asks for a later one, as the
// run asks in increasing order); a view that runs `window` frames ahead of the slowest waits.
// Every view must be asked in increasing order and destroyed (it lets the others on) before the
// SharedSource's source goes.
class SharedSource {
 public:
  SharedSource(VideoSource* inner, int views, int window);
  // View v, 0 .. views-1, once each.
  [[nodiscard]] std::unique_ptr<VideoSource> view(int v);

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

// ---- The run ----------------------------------------------------------------------------------

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

// What a run is asked to do.
struct RunSettings {
  VideoSource* sources[2] = {nullptr, nullptr};  // the reference first
  int32_t maxframes = 0;                         // 0 or less: no limit; pairs after the skip
  // Frames of each input read and dropped before the first pair (pair 0 is frame skip[0] of
  // the first input and frame skip[1] of the second); no metric sees them.
  int32_t skip[2] = {0, 0};
  // The skip found by the offset search (skip must then be 0:0).
  bool align = false;
  // Every metric to score, with what they need (expand_metric_requests), in the order their
  // columns are listed.
  std::vector<MetricRequest> metrics;
  // How a second picture of another size is scaled to the first's; kNone: such pairs are refused.
  ScaleFilter scale = ScaleFilter::kNone;
  // Pairs by time: each frame of the first input with the frame of the second shown at its time
  // (the last one that starts no later), by the two inputs' stated frame rates, as FFmpeg's
  // frame sync pairs streams of constant rate; a frame of the second may then be scored twice,
  // or frames of it left out. Both rates must be known. false: frames are paired in order.
  bool pair_by_time = false;
  int threads = 1;         // threads that score pairs; every output is the same for any count
  uint32_t cpu_flags = 0;  // the kernels' tier (detect_cpu_flags() for this processor's best)
  ScoreTable* table = nullptr;
  // Told of the run's progress in this order, and of its end in the reverse order (the first
  // has the last word: the written report comes after the progress line is wiped).
  std::vector<RunListener*> listeners;
};

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
  int ended = 0;                   // 1 or 2: the stream of unknown length that ended first
  std::string reason;              // why it failed, for a notice on stderr
  PairConversion conversion;
  int depth = 8;  // the form of the last compared pair
  ChromaLayout layout = ChromaLayout::k420;
  int32_t width = 0;  // the size it was scored at (the first's); 0 when no pair was compared
  int32_t height = 0;
  const ScoreTable* table = nullptr;
};

// Declares the score columns of `metrics` into `table`, in order: what the outputs list, known
// before the first pair.
void declare_scores(const std::vector<MetricRequest>& metrics, ScoreTable* table);

// The frame of the second input shown at the time of frame `pair` of the first, both counted
// from their first paired frame, for the stated rates num/den (frames per second) of each.
[[nodiscard]] int64_t frame_at_time(int64_t pair, const SourceInfo& first,
                                    const SourceInfo& second);
// The pairs of a first input of `first_frames` frames whose frame of the second lies among its
// `second_frames` frames.
[[nodiscard]] int64_t pairs_at_time(int64_t first_frames, int64_t second_frames,
                                    const SourceInfo& first, const SourceInfo& second);

// The comparison run: compares pairs 0 .. pair_count-1 of the two sources (until one ends, when
// a length is not known), scores them into the table and tells the listeners.
void comparison_run(const RunSettings& settings, RunResult* result);

// The processors this process may run on (at least 1): the default thread count.
[[nodiscard]] int available_processors();

}  // namespace vq
