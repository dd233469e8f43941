// ciede per pair at 1080p 4:2:0 8-bit on one thread, through the metric's registry row as the
// run calls it. libvmaf's figure for the same work comes from its CLI in the same sitting:
// `vmaf -r REF -d DIST --threads 1 -n -q --feature ciede -o /dev/null` on a 1080p pair, its
// time divided by the frames.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq {
namespace {

constexpr int kW = 1920, kH = 1080, kCw = kW / 2, kCh = kH / 2;

// A textured picture (gradients and edges, as a test pattern has) and a noisy copy of it.
struct Pair {
  std::vector<uint8_t> ref[3], dist[3];
  Pair() {
    std::mt19937 rng(7);
    for (int p = 0; p < 3; ++p) {
      const int w = p ? kCw : kW, h = p ? kCh : kH;
      ref[p].resize(size_t(w) * h);
      dist[p].resize(ref[p].size());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const int v = p ? 128 + ((x / 20 + y / 20 + p) % 3 - 1) * 40 + (x + y) % 9
                          : ((x / 40 + y / 40) % 2 ? 160 : 60) + (x * 3 + y) % 50;
          ref[p][size_t(y) * w + size_t(x)] = uint8_t(v);
          const int n = int(rng() % 7) - 3;
          dist[p][size_t(y) * w + size_t(x)] = uint8_t(std::clamp(v + n, 0, 255));
        }
    }
  }
};

Picture picture(const std::vector<uint8_t> (&planes)[3]) {
  Picture pic;
  pic.width = kW;
  pic.height = kH;
  pic.chroma_width = kCw;
  pic.chroma_height = kCh;
  for (int p = 0; p < 3; ++p) {
    pic.plane[p] = planes[p].data();
    pic.pitch[p] = p ? kCw : kW;
  }
  return pic;
}

void BM_Ciede(benchmark::State& state) {
  static const Pair pair;
  MetricRequest r;
  std::string why;
  if (!parse_metric_request("ciede", &r, &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  PictureForm form;
  form.width = kW;
  form.height = kH;
  form.chroma_width = kCw;
  form.chroma_height = kCh;
  std::unique_ptr<Metric> m;
  if (r.row->make(form, r.options, 0, &m, &why) != MetricStatus::kOk) {
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

BENCHMARK(BM_Ciede)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vq
