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

}  // namespace
}  // namespace vq
