// Comparison: frame PSNR of two packed DIB frames, and the comparison run over two AVI files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "convert/convert.h"

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

// Y, U and V of one compared pair: the PSNR and the mean squared error of each plane.
struct FrameScore {
  double psnr[3] = {0, 0, 0};
  double mse[3] = {0, 0, 0};
  // SSIM of Y, U, V and of the whole picture (planes weighted by their sample counts), when the
  // run was asked for it.
  bool has_ssim = false;
  double ssim[4] = {0, 0, 0, 0};
};

// Compares frame A with frame B: both are converted to planar 4:2:0 and each plane's PSNR is
// computed. 1 when compared; 0, `out` untouched, when the widths or the magnitudes of the heights
// differ, when either frame is refused by convert_to_planar, when the width is below 1, the
// height 0, or W x |H| does not fit 31 bits.
[[nodiscard]] int frame_score(const DibFrame& a, const DibFrame& b, FrameScore* out);
[[nodiscard]] int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
                             double* v_psnr);

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
};

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score);

// Prints the summary block: "[PSNR]" and the three averages (0.00 when no pair was compared).
void print_report(const PsnrTotals& totals, std::FILE* out);

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
  // Called once the pair count is known, before the first pair.
  std::function<void(int32_t pair_count)> on_start;
  // Called after each compared pair with its 1-based number and its score.
  std::function<void(int32_t pair, const FrameScore& score)> on_pair;
  // Called once the loop is over, before the report is printed.
  std::function<void()> before_report;
  // Told of the run's progress, in this order.
  std::vector<RunListener*> listeners;
};

// What a run found.
struct RunResult {
  int32_t length1 = 0, length2 = 0;  // the streams' lengths in frames
  int32_t pair_count = 0;            // the pairs the run set out to compare
  int32_t compared = 0;              // the pairs it did compare
  bool failed = false;               // a frame unreadable or a pair refused: an error line printed
  PsnrTotals totals;
  PairStats stats;
};

// The comparison run: opens both files, compares frame pairs 0 .. pair_count-1, prints the
// per-pair lines (verbose) and the report to `out`. 1 when both files were opened (whatever the
// loop met), 0 when one of them cannot be opened (its error line printed, no report).
[[nodiscard]] int comparison_run(const RunSettings& settings, std::FILE* out, RunResult* result);

}  // namespace vq
