// PSNR: the error sums of plane pairs (scalar, SSE2, AVX2) and the two ways a plane's error
// becomes a PSNR: the written report's own (an error of 0 counts as 1e-05) and libvmaf's `psnr`
// feature (capped at 6 x depth + 12 dB), whose registry row this folder provides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metric.h"

namespace vq {

// PSNR of a plane whose mean squared error is `mse` (peak 255); an error of 0 (or NaN, a plane
// without samples) counts as 1e-05, so identical planes score 98.1308036086791.
[[nodiscard]] double psnr_from_mse(double mse);
// PSNR of a plane of `depth`-bit samples (peak 2^depth - 1) whose mean squared error is `mse`,
// with the same 1e-05 floor on the error. Depth 8 is psnr_from_mse(mse) to the last bit.
[[nodiscard]] double psnr_from_mse(double mse, int depth);

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

// The written report's PSNR of the luma planes of two pictures of one form (their size and
// depth), summed with `sums`: how the offset search ranks a pairing.
[[nodiscard]] double luma_psnr(const ErrorSums& sums, const Picture& a, const Picture& b);

// What one pair's planes give, however they were summed: each plane's squared error and sample
// count (0 for a plane the pair does not have).
struct PlaneErrors {
  uint64_t sse[3] = {0, 0, 0};
  uint64_t samples[3] = {0, 0, 0};
};

}  // namespace vq
