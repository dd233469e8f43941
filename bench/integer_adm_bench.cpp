// integer_adm per pair at 1080p on one thread, per kernel tier, through the metric's registry
// row as the run calls it. libvmaf's figure for the same work comes from its CLI in the same
// sitting: `vmaf -r REF -d DIST --threads 1 -n -q --feature adm -o /dev/null` on a 1080p pair,
// its time divided by the frames.
#include "bench/metric_bench.h"

namespace vq {
namespace {

void BM_IntegerAdm(benchmark::State& state, uint32_t flags, const char* request) {
  bench::bench_metric(state, flags, request);
}

BENCHMARK_CAPTURE(BM_IntegerAdm, scalar, 0u, "integer_adm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IntegerAdm, sse2, kCpuSse2, "integer_adm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IntegerAdm, avx2, kCpuSse2 | kCpuAvx2, "integer_adm")
    ->Unit(benchmark::kMillisecond);
// With the options VMAF v1's 1080p model sets (the blended CSF, a gain limit of 1).
BENCHMARK_CAPTURE(BM_IntegerAdm, avx2_v1, kCpuSse2 | kCpuAvx2,
                  "integer_adm=adm_csf_mode=2:adm_enhn_gain_limit=1:adm_dlm_weight=0.7:"
                  "adm_noise_weight=0.02:adm_min_val=0.5")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IntegerAdm, avx512_v1, kCpuSse2 | kCpuAvx2 | kCpuAvx512,
                  "integer_adm=adm_csf_mode=2:adm_enhn_gain_limit=1:adm_dlm_weight=0.7:"
                  "adm_noise_weight=0.02:adm_min_val=0.5")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vq
