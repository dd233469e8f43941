// cambi: banding of the distorted picture, as libvmaf scores it. The luma is brought to 10 bits
// at the encode size, flat areas are found by a 7x7 count of zero derivatives, and at five
// scales (each half the last, mode-filtered) every flat pixel's contrast against the values
// 1..2^max_log_contrast levels away in its window is weighed by how visible that step is (the
// thresholds come from the EOTF). The worst topk of the pixels are averaged per scale and the
// scales are weighed 16, 8, 4, 2, 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq {

const MetricRow& cambi_metric();

// The most contrasts one pixel is tested against (2^5).
constexpr int kCambiMaxDiffs = 32;

// What one c-value row needs: the window counts of the row (counts[(v - base) * width + col] =
// flat pixels of value v in the window of col), the thresholds, and 1/n for each count sum n.
struct CambiRowArgs {
  const uint16_t* counts;
  const uint16_t* values;  // the row's 10-bit samples
  const uint8_t* mask;     // the row's flat flags
  float* out;              // the row's c-values (0 where not flat)
  const float* reciprocal;
  int32_t width;
  int32_t base;            // the value of counts' first row
  int32_t own_rows;        // values base .. base + own_rows - 1 may have a c-value
  int32_t diffs;           // 1 << max_log_contrast
  int32_t vlt;             // the lowest visible value, in the thresholds' space (sample + diffs)
  const uint16_t* tvi;     // per diff: the highest value (sample + diffs) where it is visible
  const int32_t* weights;  // per diff: its contrast weight
};

// What the pooling's first pass finds in the c-values: how many are above zero, the least of
// those (0 when there is none), and the sum of every value, value i added to part[i % 8] in
// order (the last n % 8 to part[0]).
struct CambiSums {
  int32_t above = 0;
  float least = 0;
  double part[8] = {};
};

// One step of the window counts down the picture: row `out` leaves the window and row `in`
// enters it. A flat pixel of value v adds to (or takes from) the counts of value row v - base,
// when that is below count_rows, over the columns its window reaches (pad either side, cut at
// the row's ends). Columns where both rows are flat with one value, or neither is flat, cancel.
struct CambiSlideArgs {
  uint16_t* counts;  // count_rows rows of width, with a margin of 16 before and after
  const uint16_t* out_values;
  const uint8_t* out_mask;
  const uint16_t* in_values;
  const uint8_t* in_mask;
  int32_t width, pad, base, count_rows;
};

// The kernels that carry cambi's cost, scalar first, then the vector forms the CPU has.
struct CambiKernels {
  // out[j] = the mode of a[j], b[j], c[j] (the smallest when all differ), j < n.
  void (*mode3_rows)(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out,
                     int32_t n);
  // out[j] = the mode of in[j-1], in[j], in[j+1] for 0 < j < n-1; the ends copied.
  void (*mode3_across)(const uint16_t* in, uint16_t* out, int32_t n);
  void (*c_values_row)(const CambiRowArgs& args);
  void (*slide)(const CambiSlideArgs& args);
  void (*pool_sums)(const float* values, int32_t n, CambiSums* sums);
  // One row of 8-bit luma to 10 bits with the 2x2 mean of content encoded below 10 bits, in
  // one pass: out = the sum of each sample of r, its right neighbour and the two below them in
  // `below` (the last column with its one neighbour, doubled; the last row is its own `below`).
  void (*smooth8)(const uint8_t* r, const uint8_t* below, int32_t w, uint16_t* out);
  // One row's zero derivatives: f[j] = 1 where r[j] equals r[j+1] and next[j] (a missing
  // neighbour, or next null for the last row, counts as equal); col[j] += f[j].
  void (*flat_row)(const uint16_t* r, const uint16_t* next, int32_t w, uint8_t* f, uint8_t* col);
  // col[j] -= drop[j] (drop may be null), then m[j] = 1 where col[j-3] + .. + col[j+3] > limit
  // (col has three zeros before and after its w sums).
  void (*mask_row)(uint8_t* col, const uint8_t* drop, int32_t w, uint8_t limit, uint8_t* m);
  // to[j] = from[2j] for j < w: every second sample of a row. `to` may be `from` itself, or
  // the start of an earlier row of the same picture.
  void (*halve16)(const uint16_t* from, int32_t w, uint16_t* to);
  void (*halve8)(const uint8_t* from, int32_t w, uint8_t* to);
};

[[nodiscard]] CambiKernels cambi_kernels(uint32_t cpu_flags);

void cambi_mode3_rows_scalar(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out,
                             int32_t n);
void cambi_mode3_across_scalar(const uint16_t* in, uint16_t* out, int32_t n);
void cambi_c_values_row_scalar(const CambiRowArgs& args);
// Columns begin .. end-1 only: the vector forms hand it the columns they do not take.
void cambi_c_values_span_scalar(const CambiRowArgs& args, int32_t begin, int32_t end);
void cambi_slide_scalar(const CambiSlideArgs& args);
void cambi_pool_sums_scalar(const float* values, int32_t n, CambiSums* sums);
void cambi_smooth8_scalar(const uint8_t* r, const uint8_t* below, int32_t w, uint16_t* out);
void cambi_flat_row_scalar(const uint16_t* r, const uint16_t* next, int32_t w, uint8_t* f,
                           uint8_t* col);
void cambi_mask_row_scalar(uint8_t* col, const uint8_t* drop, int32_t w, uint8_t limit, uint8_t* m);
void cambi_halve16_scalar(const uint16_t* from, int32_t w, uint16_t* to);
void cambi_halve8_scalar(const uint8_t* from, int32_t w, uint8_t* to);
void cambi_slide_avx2(const CambiSlideArgs& args);
void cambi_pool_sums_avx2(const float* values, int32_t n, CambiSums* sums);
void cambi_mode3_rows_avx2(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out,
                           int32_t n);
void cambi_mode3_across_avx2(const uint16_t* in, uint16_t* out, int32_t n);
void cambi_c_values_row_avx2(const CambiRowArgs& args);
void cambi_smooth8_avx2(const uint8_t* r, const uint8_t* below, int32_t w, uint16_t* out);
void cambi_flat_row_avx2(const uint16_t* r, const uint16_t* next, int32_t w, uint8_t* f,
                         uint8_t* col);
void cambi_mask_row_avx2(uint8_t* col, const uint8_t* drop, int32_t w, uint8_t limit, uint8_t* m);
void cambi_halve16_avx2(const uint16_t* from, int32_t w, uint16_t* to);
void cambi_halve8_avx2(const uint8_t* from, int32_t w, uint8_t* to);

// Everything fixed by the options and the picture form.
struct CambiPlan {
  int32_t in_width = 0, in_height = 0, depth = 8;
  int32_t width = 0, height = 0;  // the encode size the luma is brought to
  int32_t window = 0;             // odd, adjusted to the encode size
  int32_t diffs = 4;
  uint16_t tvi[kCambiMaxDiffs] = {};
  int32_t weights[kCambiMaxDiffs] = {};
  int32_t vlt = 0;
  int32_t base = 0, own_rows = 0, count_rows = 0;
  double topk = 0.6;
  double max_value = 1000;
  bool anti_dither = true;
  bool high_res_speedup = false;
  std::vector<int32_t> from_col, from_row;  // the nearest input sample when resizing
  std::vector<float> reciprocal;            // 1/n as float, n <= window^2
};

// The plan for pictures of `form` with `options` (cambi's table), or false and *why.
[[nodiscard]] bool cambi_plan(const PictureForm& form, const MetricOptions& options,
                              CambiPlan* plan, std::string* why);

// Working memory that is not cleared when it grows: it comes from calloc, whose large blocks
// are pages the system zeroes as they are first touched, so a picture's buffers cost no pass
// of their own and the counts (which must start at zero) only the pages they use.
template <typename T>
class CambiBuffer {
 public:
  // Room for n elements; when it grows, all are zero (std::bad_alloc when memory runs out, as a
  // vector's growth would).
  void grow(size_t n) {
    if (n <= size_) return;
    data_.reset(static_cast<T*>(std::calloc(n, sizeof(T))));
    if (!data_) throw std::bad_alloc();
    size_ = n;
  }
  T* data() { return data_.get(); }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  size_t size_ = 0;
};

// One scorer's working memory.
struct CambiScratch {
  CambiBuffer<uint16_t> image;
  CambiBuffer<uint8_t> mask;
  CambiBuffer<uint16_t> counts;  // all zero between pictures
  CambiBuffer<float> c_values;
  std::vector<uint16_t> lines;
  std::vector<uint8_t> flat;
  std::vector<uint8_t> none;  // a mask row with no flat pixel
  std::vector<uint32_t> bins;
  std::vector<float> edge;
};

// The score of one luma plane (plan.depth bits, samples as Picture stores them), before the
// cambi_max_val cap. False when a sample is above the depth's peak (libvmaf refuses those).
[[nodiscard]] bool cambi_score_luma(const CambiPlan& plan, const CambiKernels& kernels,
                                    const uint8_t* luma, ptrdiff_t pitch, CambiScratch* scratch,
                                    double* score);

}  // namespace vq
