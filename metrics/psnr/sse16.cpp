// Error sums of 16-bit samples: the scalar form, the choice of tier, and the sum over two planes
// with pitches for both sample sizes, and a pair's luma PSNR from it.
#include "convert/convert.h"
#include "metrics/psnr/psnr.h"
#include "metrics/psnr/sse_kernels.h"

namespace vq {

uint64_t sum_squared_error16_scalar(const uint16_t* a, const uint16_t* b, size_t n) {
  // Each word read as its two bytes, low first, so the samples are little-endian on any host
  // (on a little-endian one this is a plain 16-bit load).
  const uint8_t* pa = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(b);
  uint64_t sum = 0;
  for (size_t i = 0; i < 2 * n; i += 2) {
    const uint32_t x = uint32_t(pa[i] | pa[i + 1] << 8), y = uint32_t(pb[i] | pb[i + 1] << 8);
    const uint64_t d = x > y ? x - y : y - x;
    sum += d * d;
  }
  return sum;
}

SumSquaredError16Fn select_sum_squared_error16(uint32_t cpu_flags) {
#if VQ_X86_SIMD
  if ((cpu_flags & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2)) return sum_squared_error16_avx2;
  if (cpu_flags & kCpuSse2) return sum_squared_error16_sse2;
#else
  (void)cpu_flags;
#endif
  return sum_squared_error16_scalar;
}

uint64_t sum_squared_error16(const uint16_t* a, const uint16_t* b, size_t n) {
  static const SumSquaredError16Fn fn = select_sum_squared_error16(detect_cpu_flags());
  return fn(a, b, n);
}

ErrorSums select_error_sums(uint32_t cpu_flags) {
  ErrorSums sums;
  sums.bytes = select_sum_squared_error(cpu_flags);
  sums.words = select_sum_squared_error16(cpu_flags);
  return sums;
}

uint64_t plane_squared_error(const ErrorSums& sums, const uint8_t* a, ptrdiff_t pitch_a,
                             const uint8_t* b, ptrdiff_t pitch_b, int32_t width, int32_t height,
                             int depth) {
  if (width < 1 || height < 1) return 0;
  const bool words = depth > 8;
  size_t n = size_t(width), rows = size_t(height);
  // Planes whose rows follow each other without a gap are summed in one run.
  if (pitch_a == pitch_b && pitch_a == ptrdiff_t(n << words)) {
    n *= rows;
    rows = 1;
  }
  uint64_t sum = 0;
  for (size_t y = 0; y < rows; ++y) {
    const uint8_t* ra = a + ptrdiff_t(y) * pitch_a;
    const uint8_t* rb = b + ptrdiff_t(y) * pitch_b;
    sum += words ? sums.words(reinterpret_cast<const uint16_t*>(ra),
                              reinterpret_cast<const uint16_t*>(rb), n)
                 : sums.bytes(ra, rb, n);
  }
  return sum;
}

double luma_psnr(const ErrorSums& sums, const Picture& a, const Picture& b) {
  const uint64_t sse = plane_squared_error(sums, a.plane[0], a.pitch[0], b.plane[0], b.pitch[0],
                                           a.width, a.height, a.depth);
  const double samples = double(a.width) * double(a.height);
  return psnr_from_mse(samples > 0 ? double(sse) / samples : 0.0, a.depth);
}

}  // namespace vq
