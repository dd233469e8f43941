// Comparison: frame PSNR of two packed DIB frames, and the comparison run over two AVI files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
// SSIM of one plane pair as video engineers compute it (the method FFmpeg's ssim filter uses):
// the plane is cut into 4x4 blocks from its top-left corner (columns and rows past the last whole
// block take no part in the SSIM), and every 8x8 window made of 2x2 neighbouring blocks (so
// window corners step by 4 samples) scores
//   (2 s1 s2 + c1) (2 (64 s12 - s1 s2) + c2) / ((s1^2 + s2^2 + c1) (64 ss - s1^2 - s2^2 + c2))
// with s1, s2 the sample sums of A and B, ss the sum of both squares, s12 the sum of products,
// c1 = (0.01 x peak)^2 x 64 and c2 = (0.03 x peak)^2 x 64 x 63 rounded to integers (416 and
// 235963 at 8 bits; peak = 2^depth - 1). The plane value is the mean over its windows.
//
// 8-bit planes score each window in float, and each row of windows is summed in double in four
// lanes (windows 0, 4, 8 .. in the first, 1, 5, 9 .. in the second and so on), which end as
// (lane0 + lane2) + (lane1 + lane3); deeper planes use 64-bit integer sums, score each window in
// float and sum a row in float, as FFmpeg does for them. Rows are added in double, top to
// bottom. Every tier gives the same bits.
//
// A plane too small for one window (under 8 samples wide or high) is scored as one window
// spanning the whole plane: the same formula with n, its sample count, in place of 64 and c1
// and c2 scaled by n^2 / 64^2, in long double. It counts as 1 window; identical planes score
// exactly 1. (FFmpeg's filter divides by zero windows there and prints nan.)

// The block sums and the row ends for one processor; select_ssim_kernels picks them from
// CpuFlags (scalar, SSE2, AVX2), so a test can ask for any tier.
struct SsimKernels {
  // s1, s2, ss and s12 of `blocks` 4x4 blocks side by side (rows pitch_a / pitch_b bytes apart):
  // block k's four sums at sums[k], sums[stride + k], sums[2 * stride + k], sums[3 * stride + k].
  void (*block_sums8)(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                      int32_t blocks, int32_t* sums, size_t stride) = nullptr;
  // The same for samples stored as 16-bit little-endian words (pitches still in bytes).
  void (*block_sums16)(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                       int32_t blocks, int64_t* sums, size_t stride) = nullptr;
  // The sum of the scores of `windows` 8-bit windows whose block sums lie in two block rows laid
  // out as above (window i covers blocks i and i + 1 of both).
  double (*row_end8)(const int32_t* row0, const int32_t* row1, size_t stride,
                     int32_t windows) = nullptr;
  // The same for deeper windows with the constants c1 and c2 of their depth: the scores added in
  // float, in order.
  float (*row_end16)(const int64_t* row0, const int64_t* row1, size_t stride, int32_t windows,
                     int64_t c1, int64_t c2) = nullptr;
};
[[nodiscard]] SsimKernels select_ssim_kernels(uint32_t cpu_flags);

// What ssim_plane finds: the sum of the window scores, the window count and the plane's SSIM
// (sum / windows); and, from the same block sums (ss - 2 s12 per block) plus the samples outside
// the whole blocks, the plane's sum of squared differences, the integer sum_squared_error gives,
// so that a caller scoring both SSIM and PSNR reads the planes once.
struct SsimPlane {
  double sum = 0;
  int64_t windows = 0;
  double value = 0;
  uint64_t sse = 0;
};

// SSIM of plane A against plane B, `width` x `height` samples of `depth` bits (8: one byte per
// sample; 9 to 16: 16-bit little-endian words). Pitches are in bytes and may be negative. 1 when
// scored; 0, `out` untouched, when a size is below 1, the depth outside 8..16 or working memory
// is not available. The working memory is kept per thread and reused.
[[nodiscard]] int ssim_plane(const SsimKernels& kernels, const uint8_t* a, ptrdiff_t pitch_a,
                             const uint8_t* b, ptrdiff_t pitch_b, int32_t width, int32_t height,
                             int depth, SsimPlane* out);

// The SSIM of a whole picture: the plane values weighted by the planes' sample counts,
// sum of value[i] x samples[i] / (samples[0] + samples[1] + samples[2]), added in plane order.
// 0 when no plane has samples.
[[nodiscard]] double ssim_all(const double value[3], const int64_t samples[3]);

// An SSIM value in decibels, 10 log10(1 / (1 - ssim)). When 1 - ssim is not above 1e-09
// (identical planes score exactly 1) the result is the ceiling 90 dB, where FFmpeg prints inf;
// every value FFmpeg prints as a number lies below it.
[[nodiscard]] double ssim_db(double ssim);

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
  SsimKernels ssim;
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

// The width and height of a frame as its source handed it out; 0 x 0 for a raw frame whose
// header cannot be read.
void frame_size(const Frame& f, int64_t* width, int64_t* height);

// Scores two frames as sources hand them out (raw DIB frames or pictures). *out written only
// when scored; otherwise *why says why in a few words ("frame sizes differ (640x480 against
// 320x240)").
[[nodiscard]] ScoreStatus score_frames(const ScoreKernels& kernels, const Frame& a, const Frame& b,
                                       const ScoreOptions& options, FrameScore* out,
                                       std::string* why);
// The two frames of a pair as the pictures score_frames compares (raw frames converted, the
// pair brought to one form). The pictures point into working memory of the calling thread, valid
// until its next scoring call.
[[nodiscard]] ScoreStatus pair_pictures(const ScoreKernels& kernels, const Frame& a, const Frame& b,
                                        Picture* pa, Picture* pb, std::string* why);
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
  int depth = 8;                      // the form the pairs were scored in (the last pair's)
  ChromaLayout layout = ChromaLayout::k420;
  double ssim_min[4] = {0, 0, 0, 0};
  int32_t ssim_worst_pair[4] = {0, 0, 0, 0};
};

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score);

// The summary of one plane over the compared pairs, for the output files.
struct PlaneSummary {
  double mean_psnr = 0;         // mean of the per-pair PSNR values (what the report prints)
  double psnr_of_mean_mse = 0;  // PSNR of the mean of the per-pair MSE values
  double mean_mse = 0;
  double min = 0;
  double max = 0;
  int32_t worst_pair = 0;  // 1-based
};
// Plane `plane` (0 Y, 1 U, 2 V) of the pairs added so far; all 0 when there are none.
[[nodiscard]] PlaneSummary summarize_plane(const PsnrTotals& totals, const PairStats& stats,
                                           int plane);

// Prints the summary block: "[PSNR]" and the three averages (0.00 when no pair was compared).
void print_report(const PsnrTotals& totals, std::FILE* out);
// Prints the SSIM block: "[SSIM]" and the means of Y, U, V and All, each also in dB.
void print_ssim_report(const PsnrTotals& totals, const PairStats& stats, std::FILE* out);

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
  // Whether the listener wants the pictures of the pair just told (they cost a conversion of
  // both frames, so a listener asks only for the few it keeps).
  virtual bool wants_pictures(int32_t pair, const FrameScore& score) {
    (void)pair;
    (void)score;
    return false;
  }
  // The two pictures of a pair as they were scored: one size, depth and chroma layout. They are
  // valid during the call only.
  virtual void on_pictures(int32_t pair, const FrameScore& score, const Picture& a,
                           const Picture& b) {
    (void)pair;
    (void)score;
    (void)a;
    (void)b;
  }
  // Once the loop is over, before the report is printed.
  virtual void on_end(const RunResult& result) { (void)result; }
};

// What a run is asked to do.
struct RunSettings {
  const char* path1 = nullptr;
  const char* path2 = nullptr;
  int32_t maxframes = 0;  // 0 or less: no limit
  bool verbose = false;
  bool ssim = false;    // score SSIM too (FrameScore::has_ssim)
  OpenOptions open[2];  // how each input is opened (the layout of headerless YUV)
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
