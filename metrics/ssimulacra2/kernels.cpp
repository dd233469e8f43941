// The scalar kernel set and the choice of a tier.
#include "convert/convert.h"
#include "metrics/ssimulacra2/kernels_impl.h"

namespace vq::ssim2 {

Kernels scalar_kernels() {
  return {scalar::xyb, scalar::blur_rows, scalar::blur_columns, scalar::ssim_sums,
          scalar::edge_sums};
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  // Its fused steps need FMA, which the AVX2 tier's flag includes.
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

}  // namespace vq::ssim2
