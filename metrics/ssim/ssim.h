// SSIM as FFmpeg's ssim filter computes it (8x8 windows on a 4x4 grid): the block sums and row
// ends per tier, the plane and picture values, and the `ssim` metric's registry row. Not libvmaf's
// `ssim` feature (a Gaussian window), which is a metric of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq {

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

}  // namespace vq
