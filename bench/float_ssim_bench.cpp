// float_ssim (both shrink modes) and float_ms_ssim per pair at 1080p, per kernel tier, on one
// thread and on two (one scorer per thread, as a run makes them), through the registry rows.
// libvmaf's figure for the same work comes from its CLI in the same sitting:
// `vmaf -r REF -d DIST --threads N -n -q --feature float_ssim=scale=1 -o /dev/null` on a 1080p
// pair, its time divided by the frames.
#include "bench/metric_bench.h"

namespace vq {
namespace {

void BM_FloatSsim(benchmark::State& state, uint32_t flags, const char* request) {
  bench::bench_metric(state, flags, request);
}

constexpr uint32_t kSse2 = kCpuMmx | kCpuSse2, kAvx2 = kSse2 | kCpuAvx2,
                   kAvx512 = kAvx2 | kCpuAvx512;

#define VQ_FSSIM_BENCH(name, flags, request)                                            \
  BENCHMARK_CAPTURE(BM_FloatSsim, name, flags, request)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(BM_FloatSsim, name##_2threads, flags, request)                      \
      ->Threads(2)                                                                      \
      ->UseRealTime()                                                                   \
      ->Unit(benchmark::kMillisecond)

VQ_FSSIM_BENCH(ssim_scale1_scalar, 0u, "float_ssim=scale=1");
VQ_FSSIM_BENCH(ssim_scale1_avx2, kAvx2, "float_ssim=scale=1");
VQ_FSSIM_BENCH(ssim_scale1_avx512, kAvx512, "float_ssim=scale=1");
VQ_FSSIM_BENCH(ssim_default_scalar, 0u, "float_ssim");
VQ_FSSIM_BENCH(ssim_default_avx2, kAvx2, "float_ssim");
VQ_FSSIM_BENCH(ms_ssim_scalar, 0u, "float_ms_ssim");
VQ_FSSIM_BENCH(ms_ssim_avx2, kAvx2, "float_ms_ssim");
VQ_FSSIM_BENCH(ms_ssim_avx512, kAvx512, "float_ms_ssim");

}  // namespace
}  // namespace vq
