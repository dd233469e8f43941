// SSIMULACRA 2 as libjxl's ssimulacra2 tool scores a pair of sRGB pictures: the pipeline
// (linear RGB, XYB, six scales, blurred moments, SSIM and edge maps, the weighted norms) and its
// per-row kernels, one set per CPU tier. Private to the metric, its tests and its benchmark.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "video/video.h"

namespace vq::ssim2 {

// The blur's rows are filtered eight at a time, one lane each.
constexpr int kLanes = 8;
// The vertical pass runs this many rows a call, its state held between them.
constexpr int kBand = 8;

// The per-row kernels. Every tier gives the same bits as the scalar one.
struct Kernels {
  // Linear RGB rows to the metric's XYB: X, Y and B-Y moved and scaled into 0..1.
  void (*xyb)(const float* r, const float* g, const float* b, int n, float* x, float* y,
              float* bmy);
  // The horizontal pass of the blur over eight rows of `w` samples: row l is a[l] times b[l]
  // (b[l] null: a[l] itself), written to out[l]. `scratch` holds 2 * kLanes * (w + 16) floats.
  void (*blur_rows)(const float* const a[kLanes], const float* const b[kLanes], int w,
                    float* const out[kLanes], float* scratch);
  // Up to kBand steps of the vertical pass, one output row each, over `n` columns: step i's input
  // is top[i] + bottom[i] (rows of the horizontal pass; top[i] null above the picture, bottom[i] a
  // row of zeros below it); `state` holds each of the three recursions' last two rows (rows
  // 2k and 2k + 1 of n: the last, the one before), carried from step to step and updated;
  // out[i] (null during the warm-up) gets the sum of the three.
  void (*blur_columns)(const float* const top[], const float* const bottom[], int steps, int n,
                       float* const state[6], float* const out[]);
  // The maps of one row added into running sums, sample x of a row into lane x % 4 of each
  // sum (acc[4 s + x % 4] for sum s), so that the lanes' order is fixed at every tier.
  // 1 - SSIM (without its luminance denominator) per sample, never below 0: sums of d and d^4.
  void (*ssim_sums)(const float* mu1, const float* mu2, const float* s11, const float* s22,
                    const float* s12, int n, double acc[8]);
  // The edge ratio d = (1 + |dist - blurred dist|) / (1 + |ref - blurred ref|) - 1: sums of
  // max(d, 0), its fourth power, max(-d, 0) and its fourth power.
  void (*edge_sums)(const float* ref, const float* mu1, const float* dist, const float* mu2, int n,
                    double acc[16]);
};

[[nodiscard]] Kernels scalar_kernels();
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);
#if VQ_X86_SIMD
void use_avx2(Kernels* k);
#endif

// The blur's coefficients (a recursive Gaussian of sigma 1.5 made of three cosine terms). Each
// term's output is n2 times its two inputs' sum, less d1 times its previous output, less the one
// before. Along rows four outputs are made a step from the step's four input sums and the two
// outputs before it: output j is the sum over inputs i <= j of in[j - i] times sum i, plus
// prev[j] times the last output and prev2[j] times the one before.
struct BlurCoefficients {
  int radius = 0;
  float n2[3] = {};
  float d1[3] = {};
  float in[3][4] = {};
  float prev[3][4] = {};
  float prev2[3][4] = {};
};
[[nodiscard]] const BlurCoefficients& blur_coefficients();

// The smallest picture the metric scores, each way.
constexpr int32_t kMinSize = 8;

// The norms of one scale, per channel X, Y, B: the SSIM map's 1- and 4-norm; the artifact map's
// 1- and 4-norm, then the detail-lost map's.
struct ScaleNorms {
  double ssim[6];
  double edge[12];
};

// The score from the norms of each scale computed, finest first (fewer than six for pictures
// too small for the coarser ones).
[[nodiscard]] double final_score(const ScaleNorms* scales, int count);

// The scorer's working memory and pipeline for pictures of one size and depth (8 or 16 bits,
// three full-range planes R, G, B of sRGB-encoded samples). Allocated once, reused per pair.
class Scorer {
 public:
  Scorer(int32_t width, int32_t height, int depth, uint32_t cpu_flags);
  [[nodiscard]] bool ok() const { return ok_; }
  // The score of a pair: 100 for equal pictures, lower the more they differ.
  [[nodiscard]] double score(const Picture& ref, const Picture& dist);

 private:
  void to_xyb_full(const Picture& p, int i);
  void shrink_half(int i, int32_t w, int32_t h);
  void to_xyb_half(int i, int32_t w, int32_t h);
  ScaleNorms measure(int32_t w, int32_t h);
  void linear_row(const Picture& p, int c, int32_t y, float* out) const;

  int32_t w_, h_;
  int depth_;
  Kernels k_;
  bool ok_ = false;
  std::vector<float> lut_;         // sample value to linear light
  std::vector<float> xyb_[2][3];   // per picture, per channel, at the current scale
  std::vector<float> half_[2][3];  // linear RGB from the second scale on
  std::vector<float> rows_;        // row buffers
  std::vector<float> ring_;        // the horizontal pass's recent rows, per moment
  std::vector<float> state_;       // the vertical recursions, per moment
  std::vector<float> blurred_;     // one row per moment
  std::vector<float> scratch_;
  std::vector<float> zero_;
};

}  // namespace vq::ssim2
