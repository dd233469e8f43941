// libvmaf's integer VIF: the information the distorted luma keeps of the reference's, at four
// scales, each a Gaussian-weighted local mean and (co)variance of both pictures turned into a
// ratio of log terms. The arithmetic is libvmaf's fixed-point one, so that every score equals
// its printed value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq::vif {

// The enhancement gain limits one pass scores. Only the numerator's log terms depend on the
// limit, so a pass filters once and takes those terms once per limit.
inline constexpr int kMaxGainLimits = 4;
struct GainLimits {
  int count = 1;  // 1 to kMaxGainLimits
  double limit[kMaxGainLimits] = {100.0, 100.0, 100.0, 100.0};
};

struct Params {
  GainLimits gain;
  bool skip_scale0 = false;
};

// One pair's result at one gain limit: each scale's numerator and denominator, in the float
// libvmaf keeps them.
struct Result {
  float num[4] = {0, 0, 0, 0};
  float den[4] = {0, 0, 0, 0};
};

// The smallest width and height scored: below 16 the coarsest scale has fewer samples than its
// filter mirrors (libvmaf then reads memory outside the picture).
inline constexpr int kMinSize = 16;

// Samples mirrored past each end of a filtered row (half the widest filter).
inline constexpr int kPad = 8;

// The filter of each scale; the first also feeds the subsampling to the next one.
inline constexpr int kTaps[4] = {17, 9, 5, 3};
extern const uint16_t kFilter[4][17];

// log2(i) * 2048, rounded, for i in 32767..65535 (lower indices unused).
[[nodiscard]] const uint16_t* log2_table();

// The log and linear terms of one scale, summed over its samples.
struct Sums {
  int64_t num_log = 0;
  int64_t den_log = 0;
  int64_t num_lin = 0;  // distorted variance where the reference's is below the noise floor
  int64_t den_lin = 0;  // how many such samples
};

// One row of vertically filtered values: the two means and the three second moments, each
// array with kPad writable samples before column 0 and after column w - 1.
struct StatRow {
  uint16_t* mu1;
  uint16_t* mu2;
  uint32_t* xx;
  uint32_t* yy;
  uint32_t* xy;
};

// A luma plane: 8-bit samples (depth 8) or 16-bit words.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;  // bytes, may be negative
  int depth = 8;
};

// The row kernels, scalar first; SIMD tiers replace them where they are bit-identical. Row
// arrays hold one pointer per filter tap, top to bottom, mirrored rows included.
struct Kernels {
  // Scale 0 of 8-bit pictures: the 17 vertical taps, means rounded by 8 bits, moments exact.
  void (*stat_v8)(const uint8_t* const* ref, const uint8_t* const* dis, int w, const StatRow& out);
  // 16-bit samples at `scale`: means rounded by shift_mu bits, moments by shift_sq bits.
  void (*stat_v16)(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                   int shift_mu, int shift_sq, const StatRow& out);
  // The horizontal taps of `scale` over a row mirrored kPad samples each way, and the VIF terms
  // of its w samples at each gain limit, added to sums[0 .. limits.count - 1].
  void (*stat_h)(const StatRow& in, int w, int scale, const GainLimits& limits, Sums* sums);
  // Subsampling to scale + 1: the vertical taps of filter scale + 1, rounded by `shift` bits.
  void (*sub_v8)(const uint8_t* const* ref, const uint8_t* const* dis, int w, uint16_t* ref_out,
                 uint16_t* dis_out);
  void (*sub_v16)(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                  int shift, uint16_t* ref_out, uint16_t* dis_out);
  // Its horizontal taps at the even columns 0, 2, .., 2 (n - 1) of mirrored rows.
  void (*sub_h)(const uint16_t* ref, const uint16_t* dis, int n, int scale, uint16_t* ref_out,
                uint16_t* dis_out);
};
[[nodiscard]] Kernels scalar_kernels();
void use_avx2(Kernels* k);  // x86 builds only
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// The VIF terms of one sample from its two variances and covariance (each 65536 times its
// 8-bit-scale value), at each gain limit into sums[0 .. limits.count - 1]: what every tier's
// horizontal kernel ends with.
void add_terms(int32_t sigma1_sq, int32_t sigma2_sq, int32_t sigma12, const GainLimits& limits,
               Sums* sums);

// Scratch for one picture size, reused pair after pair.
class Scorer {
 public:
  Scorer(int width, int height, int depth, const Params& params, const Kernels& kernels);
  // One Result per gain limit, out[0 .. params.gain.count - 1].
  void score(const Plane& ref, const Plane& dist, Result* out);

 private:
  // Scores one scale (T: its sample type) and, below the coarsest, subsamples it into the next.
  template <class T>
  void scale_pass(const Plane& ref, const Plane& dis, int scale, Result* out);

  int width_, height_, depth_;
  Params p_;
  Kernels k_;
  std::vector<uint16_t> mu1_, mu2_;
  std::vector<uint32_t> xx_, yy_, xy_;
  std::vector<uint16_t> conv_ref_, conv_dis_;
  std::vector<uint16_t> ref_[4], dis_[4];  // scales 1..3 (0 is the picture itself)
};

}  // namespace vq::vif
