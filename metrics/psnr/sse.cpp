// The byte error sum's scalar form and the choice of its tier, and the written report's PSNR of a
// mean squared error.
#include <cmath>

#include "convert/convert.h"
#include "metrics/psnr/psnr.h"
#include "metrics/psnr/sse_kernels.h"

namespace vq {

double psnr_from_mse(double mse) {
  if (mse == 0.0 || std::isnan(mse)) mse = 1e-05;
  // 10 * log10(65025 / m), through log2 as the historical tool computed it.
  return std::log2(65025.0 / mse) * 0.301029995663981195 * 10.0;
}

double psnr_from_mse(double mse, int depth) {
  if (depth == 8) return psnr_from_mse(mse);
  if (mse == 0.0 || std::isnan(mse)) mse = 1e-05;
  const double peak = double((1u << depth) - 1);
  return 10.0 * std::log10(peak * peak / mse);
}

uint64_t sum_squared_error_scalar(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = int(a[i]) - int(b[i]);
    sum += uint64_t(d * d);
  }
  return sum;
}

SumSquaredErrorFn select_sum_squared_error(uint32_t cpu_flags) {
#if VQ_X86_SIMD
  if ((cpu_flags & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2)) return sum_squared_error_avx2;
  if (cpu_flags & kCpuSse2) return sum_squared_error_sse2;
#else
  (void)cpu_flags;
#endif
  return sum_squared_error_scalar;
}

uint64_t sum_squared_error(const uint8_t* a, const uint8_t* b, size_t n) {
  static const SumSquaredErrorFn fn = select_sum_squared_error(detect_cpu_flags());
  return fn(a, b, n);
}

}  // namespace vq
