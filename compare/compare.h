// Comparison: the pair brought to one form once (size, depth, chroma layout and range matched)
// and the comparison run, which takes two sources, scores every pair with the metrics asked for
// (on several threads), writes the score table and tells its listeners; it prints nothing,
// opens nothing and knows no metric by type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compare/run_result.h"
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
  // Each picture as its source handed it out (the second scaled to the first's size when it
  // was), before any other change: what RGB pictures are made from, as FFmpeg converts each
  // file's pictures on their own.
  Picture own[2];
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

// Brings the pictures of frames `a` and `b`, as sources hand them out, to one form: pictures of
// different layout, range or depth converted or widened. A second frame of another size than
// the first is scaled to the first's size with `scale` first; with ScaleFilter::kNone such a
// pair is refused, as is a pair with a refused frame (after the sizes are compared). With a
// `depth`, both pictures are widened to it, and a deeper one is refused. *why says why in a few
// words when the pair cannot be formed ("frame sizes differ (640x480 against 320x240); ...").
[[nodiscard]] PairStatus form_pair(const Frame& a, const Frame& b, PairWork* work, FormedPair* out,
                                   std::string* why, ScaleFilter scale = ScaleFilter::kNone,
                                   int depth = 0);

// The pictures of a formed pair as the metrics that score RGB take them (kMetricRgb): each of
// `pair.own` converted by rgb_picture into `rgb` (kept by the caller and reused), at 16 bits
// when the pair's form is deeper than 8 bits (an 8-bit picture widened) and 8 otherwise. kFormed
// with out[] and *form (the pair's size and encode, ChromaLayout::k444, depth 8 or 16), or
// another status with *why ("the pictures cannot be converted to RGB: ...").
[[nodiscard]] PairStatus rgb_pair(const FormedPair& pair, PictureBuffer rgb[2], Picture out[2],
                                  PictureForm* form, std::string* why);

// The report's PSNR of each plane of a raw frame pair (converted with this processor's
// converters, as the AVI source converts them): the historical tool's call. 1 when compared;
// 0, outputs untouched, when the widths or the magnitudes of the heights differ or a frame is
// refused (a format without a converter, a width below 1, a height of 0, W x |H| beyond 31
// bits).
[[nodiscard]] int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
                             double* v_psnr);

// ---- Frame offsets ------------------------------------------------------------------------------

// The offset search pairs the first frames of the two inputs at every shift from -kAlignMaxShift
// to kAlignMaxShift (a shift s > 0 drops s frames of the second input, s < 0 drops -s of the
// first; fewer shifts for pictures too large to keep enough of in kAlignMemory), at most
// kAlignPairs pairs each, and keeps the shift whose pairs have the highest mean
// luma PSNR when it stands out by more than kAlignMarginDb.
inline constexpr int32_t kAlignMaxShift = 10;
inline constexpr int32_t kAlignPairs = 30;
inline constexpr double kAlignMarginDb = 0.5;

// The search's look-ahead: frames of each input read and kept, the shifts tried from -max_shift
// to max_shift and the pairs each scores at most.
struct AlignPlan {
  int32_t frames = 0;
  int32_t max_shift = 0;
  int32_t pairs = 0;
  bool narrowed = false;  // fewer than kAlignPairs + kAlignMaxShift frames
};
// At least this many frames of each input are kept, however large the pictures.
inline constexpr int32_t kAlignLeastFrames = 4;

// The look-ahead for pictures whose copies take `pair_bytes` (a frame of each input) within
// `budget` bytes: kAlignPairs + kAlignMaxShift frames when they fit; otherwise as many as fit
// (kAlignLeastFrames at least), a quarter of them the largest shift and the rest the pairs.
[[nodiscard]] AlignPlan plan_align(int64_t pair_bytes, int64_t budget = kAlignMemory);

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
  // The depth every pair is scored at (--bit-depth), each shallower picture widened to it; 0: the
  // deeper picture's.
  int depth = 0;
  // Pairs by time: each frame of the first input with the frame of the second shown at its time
  // (the last one that starts no later), by the two inputs' stated frame rates, as FFmpeg's
  // frame sync pairs streams of constant rate; a frame of the second may then be scored twice,
  // or frames of it left out. Both rates must be known. false: frames are paired in order.
  bool pair_by_time = false;
  int threads = 1;  // threads that score pairs; every output is the same for any count
  // The kernels' tier (detect_cpu_flags() for this processor's best, fewer flags for a lower
  // tier): every metric's and the offset search's. The sources' own kernels (an AVI file's
  // converters) take theirs when opened (OpenOptions::cpu_flags): give them the same.
  uint32_t cpu_flags = 0;
  ScoreTable* table = nullptr;
  // Told of the run's progress in this order, and of its end in the reverse order (the first
  // has the last word: the written report comes after the progress line is wiped).
  std::vector<RunListener*> listeners;
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
