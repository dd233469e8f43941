// What the metric benchmarks share: a textured 1080p luma plane and a noisy copy of it, and one
// benchmark body that makes a scorer from a request ("float_ssim=scale=1") through the metric's
// registry row, as the run makes it, and scores the pair with the CPU tiers `flags` allows.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "metrics/metric.h"

namespace vq::bench {

constexpr int kW = 1920, kH = 1080;

// A textured luma plane (gradients and edges, as a test pattern has) and a noisy copy of it.
struct Pair {
  std::vector<uint8_t> ref, dist;
  Pair() : ref(size_t(kW) * kH), dist(size_t(kW) * kH) {
    std::mt19937 rng(7);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const int v = ((x / 40 + y / 40) % 2 ? 160 : 60) + (x * 3 + y) % 50;
        ref[size_t(y) * kW + size_t(x)] = uint8_t(v);
        const int n = int(rng() % 13) - 6;
        dist[size_t(y) * kW + size_t(x)] = uint8_t(std::clamp(v + n, 0, 255));
      }
  }
};

inline Picture luma(const std::vector<uint8_t>& p) {
  Picture pic;
  pic.layout = ChromaLayout::kGray;
  pic.width = kW;
  pic.height = kH;
  pic.plane[0] = p.data();
  pic.pitch[0] = kW;
  return pic;
}

inline void bench_metric(benchmark::State& state, uint32_t flags, const char* request) {
  if ((detect_cpu_flags() & flags) != flags) {
    state.SkipWithError("CPU lacks the tier");
    return;
  }
  static const Pair pair;
  MetricRequest r;
  std::string why;
  if (!parse_metric_request(request, &r, &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  PictureForm form;
  form.width = kW;
  form.height = kH;
  form.layout = ChromaLayout::kGray;
  std::unique_ptr<Metric> m;
  if (r.row->make(form, r.options, flags, &m, &why) != MetricStatus::kOk) {
    state.SkipWithError(why.c_str());
    return;
  }
  ScoreTable table;
  for (const std::string& s : r.row->scores(r.options))
    table.declare(s);
  const Picture a = luma(pair.ref), b = luma(pair.dist);
  int32_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(m->score(i++ % 64, a, b, &table));
  state.SetItemsProcessed(state.iterations());
}

}  // namespace vq::bench
