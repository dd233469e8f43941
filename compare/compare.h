// Comparison: frame PSNR of two packed DIB frames, and the comparison run over two AVI files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "source/source.h"
#include "video/video.h"

namespace vq {

// PSNR of a plane whose mean squared error is `mse` (peak 255); an error of 0 (or NaN, a plane
// without samples) counts as 1e-05, so identical planes score 98.1308036086791.
[[nodiscard]] double psnr_from_mse(double mse);

// Sum of squared differences of n samples.
[[nodiscard]] uint64_t sum_squared_error(const uint8_t* a, const uint8_t* b, size_t n);
// The form of that sum for the given processor features (scalar, SSE2, AVX2; all give the same
// integer). sum_squared_error uses the one for this processor, chosen once.
typedef uint64_t (*SumSquaredErrorFn)(const uint8_t* a, const uint8_t* b, size_t n);
[[nodiscard]] SumSquaredErrorFn select_sum_squared_error(uint32_t cpu_flags);

// Sum of squared differences of n samples of 9 to 16 bits, each a 16-bit little-endian word.
// Exact for any sample values (a difference squared takes up to 32 bits) as long as the total
// fits 64 bits, which holds for any n below 2^32.
[[nodiscard]] uint64_t sum_squared_error16(const uint16_t* a, const uint16_t* b, size_t n);
// Its form for the given processor features (scalar, SSE2, AVX2; all give the same integer).
typedef uint64_t (*SumSquaredError16Fn)(const uint16_t* a, const uint16_t* b, size_t n);
[[nodiscard]] SumSquaredError16Fn select_sum_squared_error16(uint32_t cpu_flags);

// The error sums of both sample sizes for one tier, chosen once and passed to the plane sum.
struct ErrorSums {
  SumSquaredErrorFn bytes = nullptr;
  SumSquaredError16Fn words = nullptr;
};
[[nodiscard]] ErrorSums select_error_sums(uint32_t cpu_flags);

// Sum of squared differences of two planes of width x height samples whose rows start `pitch`
// bytes apart (pitches may be negative or odd; bytes between rows do not count). Samples of
// depth 8 or less are bytes, deeper ones 16-bit little-endian words. 0 when width or height is
// below 1.
[[nodiscard]] uint64_t plane_squared_error(const ErrorSums& sums, const uint8_t* a,
                                           ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                                           int32_t width, int32_t height, int depth);

// Y, U and V of one compared pair: the PSNR and the mean squared error of each plane.
struct FrameScore {
  double psnr[3] = {0, 0, 0};
  double mse[3] = {0, 0, 0};
  // SSIM of Y, U, V and of the whole picture (planes weighted by their sample counts), when the
  // run was asked for it.
  bool has_ssim = false;
  double ssim[4] = {0, 0, 0, 0};
  // The form the pair was scored in: sample depth and chroma layout.
  int depth = 8;
  ChromaLayout layout = ChromaLayout::k420;
  // Which pictures had to be brought to that form (bit 0: the first, bit 1: the second), by a
  // left shift of their samples and by the picture converter (chroma layout or sample range).
  uint8_t widened = 0;
  uint8_t resampled = 0;
};

// Compares frame A with frame B: both are converted to planar 4:2:0 and each plane's PSNR is
// computed. 1 when compared; 0, `out` untouched, when the widths or the magnitudes of the heights
// differ, when either frame is refused by convert_to_planar, when the width is below 1, the
// height 0, or W x |H| does not fit 31 bits.
[[nodiscard]] int frame_score(const DibFrame& a, const DibFrame& b, FrameScore* out);
[[nodiscard]] int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
                             double* v_psnr);

// The routines frame scoring uses, chosen from processor features. Tests fill one table per tier
// and score whole frames with each; the tool uses score_kernels(), this processor's best.
struct ScoreKernels {
  ConverterTable converters;
  ErrorSums sums;
};
void fill_score_kernels(ScoreKernels* kernels, uint32_t cpu_flags);
[[nodiscard]] const ScoreKernels& score_kernels();

// frame_score with the given routines.
[[nodiscard]] int frame_score_with(const ScoreKernels& kernels, const DibFrame& a,
                                   const DibFrame& b, FrameScore* out);

// PSNR of a plane of `depth`-bit samples (peak 2^depth - 1) whose mean squared error is `mse`,
// with the same 1e-05 floor on the error. Depth 8 is psnr_from_mse(mse) to the last bit.
[[nodiscard]] double psnr_from_mse(double mse, int depth);

// The metric seam: one plane of each picture, `width` x `height` samples of `depth` bits (bytes at
// depth 8, 16-bit little-endian words above), rows `pitch` bytes apart.
struct PlanePair {
  const uint8_t* a = nullptr;
  ptrdiff_t pitch_a = 0;
  const uint8_t* b = nullptr;
  ptrdiff_t pitch_b = 0;
  int32_t width = 0;
  int32_t height = 0;
  int depth = 8;
};

// Sum of squared differences over a plane pair.
[[nodiscard]] uint64_t plane_squared_error(const ScoreKernels& kernels, const PlanePair& pair);

// What a pair is scored for besides PSNR.
struct ScoreOptions {
  bool ssim = false;
};

enum class ScoreStatus : uint8_t {
  kScored,
  kSizeMismatch,  // the frames differ in width or height
  kUnsupported,   // a pixel format that cannot be compared
  kOutOfMemory,
};

// Scores two frames as sources hand them out (raw DIB frames or pictures). *out written only
// when scored; otherwise *why says why in a few words ("frame sizes differ (640x480 against
// 320x240)").
[[nodiscard]] ScoreStatus score_frames(const ScoreKernels& kernels, const Frame& a, const Frame& b,
                                       const ScoreOptions& options, FrameScore* out,
                                       std::string* why);
// Scores two pictures of the same size and form.
[[nodiscard]] ScoreStatus score_pictures(const ScoreKernels& kernels, const Picture& a,
                                         const Picture& b, const ScoreOptions& options,
                                         FrameScore* out, std::string* why);

}  // namespace vq

namespace vq {

// What the report prints: the count of compared pairs and the sums of their PSNR values.
struct PsnrTotals {
  int32_t frames = 0;
  double y_sum = 0;
  double u_sum = 0;
  double v_sum = 0;
};

// Everything else a run learns about its pairs, for the per-frame file and the notices.
struct PairStats {
  double mse_sum[3] = {0, 0, 0};
  double psnr_min[3] = {0, 0, 0};
  double psnr_max[3] = {0, 0, 0};
  int32_t worst_pair[3] = {0, 0, 0};  // 1-based pair number of the lowest PSNR per plane
  double ssim_sum[4] = {0, 0, 0, 0};  // sums of the per-pair SSIM of Y, U, V and All
  double ssim_min[4] = {0, 0, 0, 0};
  int32_t ssim_worst_pair[4] = {0, 0, 0, 0};
};

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score);

// Prints the summary block: "[PSNR]" and the three averages (0.00 when no pair was compared).
void print_report(const PsnrTotals& totals, std::FILE* out);
// Prints the SSIM block: "[SSIM]" and the means of Y, U, V and All, each also in dB.
void print_ssim_report(const PsnrTotals& totals, const PairStats& stats, std::FILE* out);
// SSIM in dB, -10 log10(1 - ssim); identical pictures (1 - ssim below 1e-10) give the ceiling 100.
[[nodiscard]] double ssim_db(double ssim);

struct RunResult;

// What the run tells while it goes: the outputs for people and for scripts (progress line,
// per-frame file, JSON document, HTML report) each listen, and the run knows none of them.
class RunListener {
 public:
  virtual ~RunListener() = default;
  // Once the pair count is known, before the first pair.
  virtual void on_start(int32_t pair_count) { (void)pair_count; }
  // After each compared pair, with its 1-based number and its score.
  virtual void on_pair(int32_t pair, const FrameScore& score) {
    (void)pair;
    (void)score;
  }
  // Once the loop is over, before the report is printed.
  virtual void on_end(const RunResult& result) { (void)result; }
};

// What a run is asked to do. The callbacks are optional.
struct RunSettings {
  const char* path1 = nullptr;
  const char* path2 = nullptr;
  int32_t maxframes = 0;  // 0 or less: no limit
  bool verbose = false;
  bool ssim = false;  // score SSIM too (FrameScore::has_ssim)
  OpenOptions open;   // how headerless YUV is laid out
  // Called once the pair count is known, before the first pair.
  std::function<void(int32_t pair_count)> on_start;
  // Called after each compared pair with its 1-based number and its score.
  std::function<void(int32_t pair, const FrameScore& score)> on_pair;
  // Called once the loop is over, before the report is printed.
  std::function<void()> before_report;
  // Told of the run's progress, in this order.
  std::vector<RunListener*> listeners;
};

// How a run ended.
enum class RunOutcome : uint8_t {
  kOk,            // every pair it set out to compare was compared (or a stream ended)
  kOpenFailed,    // a file could not be opened
  kReadFailed,    // a frame could not be read
  kSizeMismatch,  // a pair whose frames differ in size
  kUnsupported,   // a pair in a pixel format that cannot be compared
  kOutOfMemory,
};

// What a run found.
struct RunResult {
  SourceInfo info[2];                // what the two inputs are
  int32_t length1 = 0, length2 = 0;  // the streams' lengths in frames (as far as known)
  int32_t pair_count = 0;            // the pairs the run set out to compare
  int32_t compared = 0;              // the pairs it did compare
  bool failed = false;               // an error line printed (outcome other than kOk)
  RunOutcome outcome = RunOutcome::kOk;
  int failed_input = 0;      // 1 or 2: the input that could not be opened or read
  int32_t failed_frame = 0;  // 1-based: the frame that could not be read or the pair refused
  int ended = 0;             // 1 or 2: the stream of unknown length that ended first
  std::string reason;        // why it failed, for a notice on stderr
  std::string conversion;    // how the pictures were brought to one form, when they had to be
  PsnrTotals totals;
  PairStats stats;
};

// The comparison run: opens both files, compares frame pairs 0 .. pair_count-1, prints the
// per-pair lines (verbose) and the report to `out`. 1 when both files were opened (whatever the
// loop met), 0 when one of them cannot be opened (its error line printed, no report).
[[nodiscard]] int comparison_run(const RunSettings& settings, std::FILE* out, RunResult* result);

// The notices for people after a run (stderr): why it failed, and where the comparison covered
// less than both streams or their frame rates differ.
void print_notes(const RunSettings& settings, const RunResult& result, std::FILE* err);

}  // namespace vq
