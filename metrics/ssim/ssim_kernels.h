// SSIM block sums and row ends, each instruction set in its own source file compiled for it.
// Every form gives exactly the scalar result: the same integers, and the same floating-point
// operations in the same order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq {

void ssim_block_sums8_scalar(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                             ptrdiff_t pitch_b, int32_t blocks, int32_t* sums, size_t stride);
void ssim_block_sums8_sse2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                           int32_t blocks, int32_t* sums, size_t stride);
void ssim_block_sums8_avx2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                           int32_t blocks, int32_t* sums, size_t stride);

void ssim_block_sums16_scalar(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                              ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride);
void ssim_block_sums16_sse2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                            ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride);
void ssim_block_sums16_avx2(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                            ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride);

double ssim_row_end8_scalar(const int32_t* row0, const int32_t* row1, size_t stride,
                            int32_t windows);
double ssim_row_end8_sse2(const int32_t* row0, const int32_t* row1, size_t stride, int32_t windows);
double ssim_row_end8_avx2(const int32_t* row0, const int32_t* row1, size_t stride, int32_t windows);

float ssim_row_end16_scalar(const int64_t* row0, const int64_t* row1, size_t stride,
                            int32_t windows, int64_t c1, int64_t c2);
float ssim_row_end16_sse2(const int64_t* row0, const int64_t* row1, size_t stride, int32_t windows,
                          int64_t c1, int64_t c2);
float ssim_row_end16_avx2(const int64_t* row0, const int64_t* row1, size_t stride, int32_t windows,
                          int64_t c1, int64_t c2);
// Windows first .. windows-1 of a deeper row added to `row` in order: the vector forms finish
// their rows with it.
float ssim_row_end16_from(const int64_t* row0, const int64_t* row1, size_t stride, int32_t first,
                          int32_t windows, int64_t c1, int64_t c2, float row);

// Windows first .. windows-1 of an 8-bit row into the four lane sums (window i into lane i % 4),
// in order: the vector forms finish their rows with it. Not inline: it is compiled once, for
// the base instruction set.
void ssim_row_end8_lanes(const int32_t* row0, const int32_t* row1, size_t stride, int32_t first,
                         int32_t windows, double lane[4]);

// The window constants of 8-bit samples: (0.01 x 255)^2 x 64 and (0.03 x 255)^2 x 64 x 63.
constexpr int32_t kSsimC1 = 416;
constexpr int32_t kSsimC2 = 235963;

}  // namespace vq
