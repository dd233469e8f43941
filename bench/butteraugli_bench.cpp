// butteraugli per 1080p RGB pair on one thread, per tier, through the metric's registry row as the
// run calls it. libjxl's figure for the same work comes from its tool in the same sitting, which
// also decodes its two PNGs: `taskset -c 0 butteraugli_main ref.png dist.png` on a 1080p pair.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "metrics/metric.h"

namespace vq {
namespace {

constexpr int kW = 1920, kH = 1080;

// Textured R, G and B planes (gradients and edges, as a test pattern has) and a noisy copy.
struct Pair {
  std::vector<uint8_t> ref[3], dist[3];
  Pair() {
    std::mt19937 rng(7);
    for (int p = 0; p < 3; ++p) {
      ref[p].resize(size_t(kW) * kH);
      dist[p].resize(ref[p].size());
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const int v = ((x / 40 + y / 40 + p) % 2 ? 160 : 60) + (x * 3 + y * (p + 1)) % 50;
          ref[p][size_t(y) * kW + size_t(x)] = uint8_t(v);
          const int n = int(rng() % 13) - 6;
          dist[p][size_t(y) * kW + size_t(x)] = uint8_t(std::clamp(v + n, 0, 255));
        }
    }
  }
};

Picture picture(const std::vector<uint8_t> (&planes)[3]) {
  Picture pic;
  pic.layout = ChromaLayout::k444;
  pic.full_range = true;
  pic.width = pic.chroma_width = kW;
  pic.height = pic.chroma_height = kH;
  for (int p = 0; p < 3; ++p) {
    pic.plane[p] = planes[p].data();
    pic.pitch[p] = kW;
  }
  return pic;
}

// Per tier: the plain loops, AVX2 and AVX-512 (convert.h's kCpu* bits in the argument).
void BM_Butteraugli(benchmark::State& state) {
  const uint32_t flags = uint32_t(state.range(0));
  if ((detect_cpu_flags() & flags) != flags) {
    state.SkipWithError("CPU lacks the tier");
    return;
  }
  static const Pair pair;
  MetricRequest r;
  std::string why;
  if (!parse_metric_request("butteraugli", &r, &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  PictureForm form;
  form.width = form.chroma_width = kW;
  form.height = form.chroma_height = kH;
  form.layout = ChromaLayout::k444;
  std::unique_ptr<Metric> m;
  if (r.row->make(form, r.options, flags, &m, &why) != MetricStatus::kOk) {
    state.SkipWithError(why.c_str());
    return;
  }
  const Picture a = picture(pair.ref), b = picture(pair.dist);
  int32_t n = 0;
  for (auto _ : state) {
    ScoreTable t;
    if (m->score(n++, a, b, &t) != MetricStatus::kOk) state.SkipWithError("score failed");
  }
}
BENCHMARK(BM_Butteraugli)
    ->Arg(0)
    ->Arg(kCpuAvx2)
    ->Arg(kCpuAvx2 | kCpuAvx512)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vq
