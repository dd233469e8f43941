// SpEED (spatial efficient entropic differencing) of one plane pair, as libvmaf's speed_chroma
// computes it: each plane optionally rescaled, blurred and sampled every 16th sample, its local
// mean taken away, then a Gaussian scale mixture fitted to each 5x5 block's neighbourhood
// (covariance, eigenvalues, a least-squares solve) to give each block an entropy and a variance;
// the score is the mean over blocks of the weighted entropies' difference. Float arithmetic in
// libvmaf's order throughout, so the scores are its bits. Private to metrics/speed_chroma/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq::speed {

struct Params {
  float kernelscale = 1.0f;  // of the Gaussian filters' size and spread
  double prescale = 1.0;     // the plane rescaled by this first (bilinear), 1: as it is
  float sigma_nn = 0.29f;    // the neural noise's deviation
  float nn_floor = 0.0f;     // entropy below (1 + nn_floor) * sigma_nn counts as no difference
  int weight_var_mode = 0;   // which variances weigh the entropies (0 to 6)
};

// The kernel scales libvmaf accepts.
[[nodiscard]] bool kernelscale_known(float kernelscale);

// The fit's kernels, the scalar forms first; the AVX2 forms give the same bits, each sum adding
// its terms in the scalar form's order (lanes side by side, never reassociated or fused).
inline constexpr int kPad = 28;
// The covariance sums: `centred` holds `samples` rows of kPad doubles, each a sample position's
// 25 block elements less their means (the pad zero); sums[a * 25 + b] for b <= a receives the
// sum over the rows, in row order, of centred[a] * centred[b].
using CovSums = void (*)(const double* centred, size_t samples, double* sums);
void cov_sums_scalar(const double* centred, size_t samples, double* sums);
void cov_sums_avx2(const double* centred, size_t samples, double* sums);  // x86 builds only
// The window's centred rows: for each of the sw x sh positions of the 5x5 block within the
// plane `d` (row pitch `stride` floats), in row order, its 25 elements less each element's mean
// over the window (a float sum in position order, divided by the count in float), kPad doubles
// a position, the pad left as it was.
using Centre = void (*)(const float* d, size_t stride, int sw, int sh, double* centred);
void centre_scalar(const float* d, size_t stride, int sw, int sh, double* centred);
void centre_avx2(const float* d, size_t stride, int sw, int sh, double* centred);
// dst (n x cols) = x (n x n) times y (n x cols), each element summed over k in order from 0.
using Multiply = void (*)(float* dst, const float* x, const float* y, int n, int cols);
void multiply_scalar(float* dst, const float* x, const float* y, int n, int cols);
void multiply_avx2(float* dst, const float* x, const float* y, int n, int cols);
// The anti-aliasing blur down the columns at one output row: out[x] for x < w is the sum over
// k < taps, in order from 0, of coef[k] times the level of rows[k][x] (a sample less 128, words
// of `depth` bits first scaled to 8 bits), rows holding bytes at depth 8 and words above.
using ColumnBlur = void (*)(const uint8_t* const* rows, int taps, const float* coef, int w,
                            int depth, float* out);
void column_blur_scalar(const uint8_t* const* rows, int taps, const float* coef, int w, int depth,
                        float* out);
void column_blur_avx2(const uint8_t* const* rows, int taps, const float* coef, int w, int depth,
                      float* out);
struct Kernels {
  CovSums cov_sums;
  Centre centre;
  Multiply multiply;
  ColumnBlur column_blur;
};
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// One plane of samples: 8-bit bytes or 16-bit words of `depth` bits (8, 10, 12 or 16).
struct Plane {
  const uint8_t* data;
  ptrdiff_t pitch;
  int depth;
};

// The size the fit works at: the plane rescaled, then a sample every 16 each way, cut to whole
// 5x5 blocks. 0x0 when the plane is too small for one block.
struct Size {
  int width, height;  // the rescaled plane's
  int blocks_x, blocks_y;
};
[[nodiscard]] Size fit_size(int width, int height, double prescale);

// Scores plane pairs of one size (its buffers kept between calls). `singular` says the fit of
// either plane had no inverse; the score is then libvmaf's (0 when only one of them failed).
class Scorer {
 public:
  Scorer(int width, int height, const Params& params, uint32_t cpu_flags = 0);
  [[nodiscard]] float score(const Plane& ref, const Plane& dist, bool* singular);

 private:
  // Per block of one plane: its entropy and its variance.
  struct Fit {
    std::vector<float> entropy, variance;
  };
  void prepare(const Plane& p);      // into small_: sampled, local mean removed
  [[nodiscard]] bool fit(Fit* out);  // false: the covariance had no inverse
  [[nodiscard]] float compare(const Fit& ref, const Fit& dist) const;

  int width_, height_;
  Params p_;
  Size size_;
  int small_w_, small_h_;  // the sampled plane's size, before the cut to whole blocks
  std::vector<float> antialias_, local_;
  std::vector<float> plane_, scaled_, rows_, line_, small_, blurred_;
  std::vector<int> x1_, x2_;
  std::vector<const uint8_t*> taps_;  // the rows a column blur reads
  std::vector<float> dx_;
  std::vector<double> centred_;  // the fit window's samples less their means, kPad a position
  Kernels k_;
  Fit ref_, dist_;
};

}  // namespace vq::speed
