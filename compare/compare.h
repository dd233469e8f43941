// Comparison: frame PSNR of two packed DIB frames, and the comparison run over two AVI files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "convert/convert.h"

namespace vq {

// PSNR of a plane whose mean squared error is `mse` (peak 255); an error of 0 (or NaN, a plane
// without samples) counts as 1e-05, so identical planes score 98.1308036086791.
[[nodiscard]] double psnr_from_mse(double mse);

// Sum of squared differences of n samples.
[[nodiscard]] uint64_t sum_squared_error(const uint8_t* a, const uint8_t* b, size_t n);

// Y, U and V of one compared pair: the PSNR and the mean squared error of each plane.
struct FrameScore {
  double psnr[3] = {0, 0, 0};
  double mse[3] = {0, 0, 0};
};

// Compares frame A with frame B: both are converted to planar 4:2:0 and each plane's PSNR is
// computed. 1 when compared; 0, `out` untouched, when the widths or the magnitudes of the heights
// differ, when either frame is refused by convert_to_planar, when the width is below 1, the
// height 0, or W x |H| does not fit 31 bits.
[[nodiscard]] int frame_score(const DibFrame& a, const DibFrame& b, FrameScore* out);
[[nodiscard]] int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr,
                             double* u_psnr, double* v_psnr);

}  // namespace vq
