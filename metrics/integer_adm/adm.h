// libvmaf's integer ADM: a four-scale DWT of the luma of both pictures, the distorted bands split
// into the part that follows the reference (restored) and the rest (additive), both weighted by
// the contrast sensitivity of each scale and orientation and masked by the reference's contrast.
// The arithmetic is libvmaf's fixed-point one, so that every score equals its printed value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vq::adm {

struct Params {
  double enhn_gain_limit = 100.0;
  double norm_view_dist = 3.0;
  int ref_display_height = 1080;
  double noise_weight = 0.03125;
  double dlm_weight = 0.5;
  double min_val = 0.0;
  bool skip_aim = false;
  bool skip_scale0 = false;
  int csf_mode = 0;  // kCsfWatson or kCsfBlend
};

// The contrast sensitivity functions: Watson's visibility thresholds of the DWT, or the blend of
// Barten's and Watson's tabulated for a few displays and distances.
inline constexpr int kCsfWatson = 0;
inline constexpr int kCsfBlend = 2;

// Whether the blended CSF is tabulated for this display height and distance.
[[nodiscard]] bool blend_csf_known(double norm_view_dist, int ref_display_height);

// One pair's result: the score parts libvmaf writes.
struct Result {
  double adm2 = 0;  // detail loss: restored against reference, all scales
  double aim = 0;   // additive impairment, normalised by the same denominator
  double adm3 = 0;  // the blend of the two
  double num = 0, den = 0;
  double num_scale[4] = {0, 0, 0, 0};
  double den_scale[4] = {0, 0, 0, 0};
};

// The smallest width and height scored: every scale's DWT needs at least five rows and columns
// to mirror its taps inside the picture (libvmaf reads outside its buffers below that).
inline constexpr int kMinSize = 33;

// A luma plane: 8-bit samples (depth 8) or 16-bit words.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;  // bytes, may be negative
  int depth = 8;
};

// One row of scale 0's contrast masking, as the row kernel reads it: the 3x3 box sums of the
// masking ring's orientation totals (col, columns j-1..j+1 readable) and the row's own totals
// (sm), the row's own share of the ring from its CSF-weighted coefficients (own, as csf16 makes
// it), the coefficients masked (src, three orientations), and each orientation's factor and
// shifts.
struct MaskRow16 {
  const uint32_t* col;
  const uint32_t* sm;
  const uint32_t* own;
  const int16_t* src[3];
  uint16_t rf[3];
  int sh_sub[3];
  int sh_sq[3];
  int64_t add_sq[3];
  uint32_t sh_cub[3];
  int64_t add_cub[3];
};

// One row of the contrast masking of scales 1..3, as MaskRow16 with int32 coefficients, the
// CSF factors in 2^-32 and one set of shifts for the three orientations.
struct MaskRow32 {
  const uint32_t* col;
  const uint32_t* sm;
  const int32_t* x[3];
  const int32_t* src[3];
  uint32_t rf[3];
  int sh_sq;
  int64_t add_sq;
  uint32_t sh_cub;
  int64_t add_cub;
};

// One row of scale 0's contrast sensitivity weighting, as the masking reads it: the three
// orientations' coefficients (src), each orientation's factor and rounding, and the two rows
// written (tot and own, below).
struct CsfRow16 {
  const int16_t* src[3];
  uint16_t rf[3];
  int32_t add[3];
  int shift[3];
  uint32_t* tot;
  uint32_t* own;
};

// One row of scale 0's decoupling: the reference's and the distorted picture's h, v and d
// coefficients, the restored (r) and additive (a) rows written, the gain limit, the squared
// cosine of the angle under which the two pictures' orientations count as parallel, and the
// table of 2^30 / n for n in 0..32768 (0 at 0).
struct DecoupleRow16 {
  const int16_t* ref[3];
  const int16_t* dis[3];
  int16_t* r[3];
  int16_t* a[3];
  double gain_limit;
  float cos1_sq;
  const int32_t* recip;
};

// The same for scales 1..3, whose coefficients are int32.
struct DecoupleRow32 {
  const int32_t* ref[3];
  const int32_t* dis[3];
  int32_t* r[3];
  int32_t* a[3];
  double gain_limit;
  float cos1_sq;
};

// The row kernels, scalar first; SIMD tiers replace them where they are bit-identical.
struct Kernels {
  // Vertical DWT taps of four source rows into the low and high rows (w samples each).
  void (*dwt_v8)(const uint8_t* const rows[4], int w, int16_t* lo, int16_t* hi);
  void (*dwt_v16)(const uint16_t* const rows[4], int w, int depth, int16_t* lo, int16_t* hi);
  // Horizontal DWT taps of the low and high rows (w samples, mirrored at both ends) into
  // (w + 1) / 2 samples of each band.
  void (*dwt_h16)(const int16_t* lo, const int16_t* hi, int w, int16_t* a, int16_t* v, int16_t* h,
                  int16_t* d);
  // Adds the masked, cubed and shifted coefficients of columns j0 .. j1-1 of a scale-0 row to
  // inner[t] (all three taps of the ring inside the row); returns the first column it left
  // for scalar code (j1 when it did them all).
  int (*mask_row16)(const MaskRow16& row, int j0, int j1, int64_t inner[3]);
  // Decouples columns j0 .. j1-1 of a scale-0 row; returns the first column it left for scalar
  // code.
  int (*decouple16)(const DecoupleRow16& row, int j0, int j1);
  // The same for a row of scales 1..3.
  int (*decouple32)(const DecoupleRow32& row, int j0, int j1);
  // Scales 1..3: the vertical taps of four int32 rows, and the horizontal taps of the low and
  // high rows, in 64 bits, rounded by `add` and `shift` (at most 32) and kept in 32.
  void (*dwt_v32)(const int32_t* const rows[4], int w, int64_t add, int shift, int32_t* lo,
                  int32_t* hi);
  // Scale 1's vertical taps of four int16 rows of scale 0's low band, kept whole: their sums
  // fit 32 bits.
  void (*dwt_v16w)(const int16_t* const rows[4], int w, int32_t* lo, int32_t* hi);
  void (*dwt_h32)(const int32_t* lo, const int32_t* hi, int w, int64_t add, int shift, int32_t* a,
                  int32_t* v, int32_t* h, int32_t* d);
  // Scale 0's contrast sensitivity weights of columns j0 .. j1-1, in libvmaf's fixed point:
  // x = (c * rf + add) >> shift kept in 16 bits for each orientation; tot[j] receives the sum
  // over the orientations of |x| / 30 and own[j] that of |x| / 15, each term kept in 16 bits
  // and the three added in uint32, as the masking adds them.
  void (*csf16)(const CsfRow16& row, int j0, int j1);
  // The same of n coefficients of scales 1..3, with rf in 2^-32: x and f = |x| / 30 per sample.
  void (*csf32)(const int32_t* src, int n, uint32_t rf, int32_t* x, int32_t* f);
  // mask_row16 for scales 1..3.
  int (*mask_row32)(const MaskRow32& row, int j0, int j1, int64_t inner[3]);
  // The sum of |c|^3 over n int16 coefficients (scale 0's denominator).
  uint64_t (*cube_sum16)(const int16_t* row, int n);
  // Scales 1..3's denominator terms of n int32 coefficients: the sum of
  // (((|c|^2 + add_sq) >> sh_sq) * |c| + add_cub) >> sh_cub, in unsigned 64-bit arithmetic.
  uint64_t (*cube_sum32)(const int32_t* row, int n, int sh_sq, uint64_t add_sq, int sh_cub,
                         uint64_t add_cub);
};
[[nodiscard]] Kernels scalar_kernels();
void use_avx2(Kernels* k);    // x86 builds only
void use_avx512(Kernels* k);  // x86 builds only, over use_avx2
// Output 0 and outputs from `from` on of the horizontal taps: what a tier leaves to scalar code.
void dwt_h16_edges(const int16_t* lo, const int16_t* hi, int w, int from, int16_t* a, int16_t* v,
                   int16_t* h, int16_t* d);
void dwt_h32_edges(const int32_t* lo, const int32_t* hi, int w, int from, int64_t add, int shift,
                   int32_t* a, int32_t* v, int32_t* h, int32_t* d);
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// A plane's worth of samples left unset when made: every stage writes what the next one reads,
// so clearing them would only cost a pass over memory each scorer.
template <typename T>
class Buf {
 public:
  void alloc(size_t n) { p_ = std::make_unique_for_overwrite<T[]>(n); }
  [[nodiscard]] T* data() const { return p_.get(); }
  T& operator[](size_t i) const { return p_[i]; }

 private:
  std::unique_ptr<T[]> p_;
};

// One scale's row buffers. Each stage runs a row at a time right after the one before it, so
// what the stages pass on stays in cache: the bands of the row just made, and the four rows of
// what the masking reads around the row it scores (indexed by row modulo 4).
template <typename T>
struct ScaleRows {
  size_t stride = 0;             // of every row, in samples
  std::vector<T> band[2][3];     // h, v, d of the reference (0) and the distorted picture (1)
  std::vector<T> dec[2][3];      // restored (0) and additive (1), four rows
  std::vector<T> x[2][3];        // CSF-weighted additive (0, the detail loss's) and restored (1)
  std::vector<T> f[3];           // one row of |x| / 30
  std::vector<uint32_t> own[2];  // scale 0: each row's own ring share (csf16), four rows
  std::vector<T> a;              // a low band row that no scale reads (the coarsest one's)
  std::vector<uint32_t> tot[2];  // f summed over the orientations, four rows, for x[0] and x[1]
  std::vector<uint32_t> col;     // the column sums of three rows of tot
  void alloc(size_t w);
};

// Scratch for one picture size, reused pair after pair.
class Scorer {
 public:
  Scorer(int width, int height, const Params& params, const Kernels& kernels);
  void score(const Plane& ref, const Plane& dist, Result* out);

 private:
  void index_tables(int h);

  int width_, height_;
  Params p_;
  Kernels k_;
  size_t stride_;           // of every low band, in samples
  std::vector<int> iy_[4];  // source rows of each output row's four taps
  std::vector<int16_t> lo16_, hi16_;
  std::vector<int32_t> lo32_, hi32_;
  // The low bands the next scale reads, per picture: scale 0's in 16 bits, then two used in turn
  // (scale 1 writes [1], scale 2 [0]).
  Buf<int16_t> low16_[2];
  Buf<int32_t> low_[2][2];
  ScaleRows<int16_t> rows16_;
  ScaleRows<int32_t> rows32_;
};

}  // namespace vq::adm
