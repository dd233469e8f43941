// ssimulacra2 per pair at 1080p on one thread, per kernel tier, 8-bit and 16-bit RGB, through the
// metric's registry row as the run calls it. libjxl's figure for the same work comes from its
// tool in the same sitting, which decodes its two PNGs besides (it cannot be timed without):
// `ssimulacra2 ref.png dist.png` on a 1080p pair FFmpeg wrote (format=rgb24), its user time.
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

// A textured RGB picture (gradients, edges and stripes, as a test pattern has) and a noisy copy,
// at 8 or 16 bits.
struct Pair {
  std::vector<uint16_t> ref[3], dist[3];
  explicit Pair(int depth) {
    std::mt19937 rng(7);
    const int peak = (1 << depth) - 1;
    for (int c = 0; c < 3; ++c) {
      ref[c].resize(size_t(kW) * kH);
      dist[c].resize(ref[c].size());
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const int v = ((x / 40 + y / 40 + c) % 2 ? 160 : 60) + (x * 3 + y + 20 * c) % 50;
          const int n = int(rng() % 13) - 6;
          ref[c][size_t(y) * kW + size_t(x)] = uint16_t(v * peak / 255);
          dist[c][size_t(y) * kW + size_t(x)] = uint16_t(std::clamp(v + n, 0, 255) * peak / 255);
        }
    }
  }
};

// The planes as a picture stores them: bytes at 8 bits, words above.
struct Stored {
  std::vector<uint8_t> bytes[3];
  Picture picture;
  Stored(const std::vector<uint16_t> (&planes)[3], int depth) {
    const int bpp = depth > 8 ? 2 : 1;
    picture.layout = ChromaLayout::k444;
    picture.depth = depth;
    picture.full_range = true;
    picture.width = picture.chroma_width = kW;
    picture.height = picture.chroma_height = kH;
    for (int c = 0; c < 3; ++c) {
      bytes[c].resize(planes[c].size() * size_t(bpp));
      for (size_t i = 0; i < planes[c].size(); ++i)
        for (int b = 0; b < bpp; ++b)
          bytes[c][i * size_t(bpp) + size_t(b)] = uint8_t(planes[c][i] >> (8 * b));
      picture.plane[c] = bytes[c].data();
      picture.pitch[c] = ptrdiff_t(kW) * bpp;
    }
  }
};

void BM_Ssimulacra2(benchmark::State& state, uint32_t flags, int depth) {
  if ((detect_cpu_flags() & flags) != flags) {
    state.SkipWithError("CPU lacks the tier");
    return;
  }
  const Pair pair(depth);
  const Stored ref(pair.ref, depth), dist(pair.dist, depth);
  PictureForm form;
  form.width = form.chroma_width = kW;
  form.height = form.chroma_height = kH;
  form.depth = depth;
  form.layout = ChromaLayout::k444;
  const MetricRow* row = find_metric("ssimulacra2");
  std::unique_ptr<Metric> m;
  std::string why;
  if (row == nullptr || row->make(form, MetricOptions(), flags, &m, &why) != MetricStatus::kOk) {
    state.SkipWithError(why.c_str());
    return;
  }
  ScoreTable table;
  table.declare("ssimulacra2");
  int32_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(m->score(i++ % 64, ref.picture, dist.picture, &table));
  state.SetItemsProcessed(state.iterations());
}

constexpr uint32_t kSse2 = kCpuMmx | kCpuSse2, kAvx2 = kSse2 | kCpuAvx2;

BENCHMARK_CAPTURE(BM_Ssimulacra2, rgb24_scalar, 0u, 8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Ssimulacra2, rgb24_avx2, kAvx2, 8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Ssimulacra2, rgb48_avx2, kAvx2, 16)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vq
