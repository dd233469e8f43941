// integer_vif per pair at 1080p on one thread, per kernel tier, through the metric's registry
// row as the run calls it. libvmaf's figure for the same work comes from its CLI in the same
// sitting: `vmaf -r REF -d DIST --threads 1 -n -q --feature vif -o /dev/null` on a 1080p pair,
// its time divided by the frames.
#include "bench/metric_bench.h"

namespace vq {
namespace {

void BM_IntegerVif(benchmark::State& state, uint32_t flags, const char* request) {
  bench::bench_metric(state, flags, request);
}

BENCHMARK_CAPTURE(BM_IntegerVif, scalar, 0u, "integer_vif")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IntegerVif, avx2, kCpuSse2 | kCpuAvx2, "integer_vif")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IntegerVif, avx2_egl1, kCpuSse2 | kCpuAvx2,
                  "integer_vif=vif_enhn_gain_limit=1")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vq
