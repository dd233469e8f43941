// cambi per 1080p 8-bit frame, per kernel tier, on one thread and on two (one scorer each, as a
// run's threads have). The frames are those of $VQ_CAMBI_Y4M (its first 8) when set, so that
// libvmaf's CLI can be timed on the same file; else a drifting gradient quantised coarsely.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "metrics/cambi/cambi.h"
#include "source/source.h"

namespace vq {
namespace {

constexpr int kW = 1920, kH = 1080;

const std::vector<std::vector<uint8_t>>& frames() {
  static const std::vector<std::vector<uint8_t>> kFrames = [] {
    std::vector<std::vector<uint8_t>> out;
    if (const char* path = std::getenv("VQ_CAMBI_Y4M")) {
      std::unique_ptr<VideoSource> src;
      std::string why;
      if (open_video(path, {}, &src, &why) == OpenStatus::kOpened) {
        for (int32_t i = 0; i < 8; ++i) {
          Frame f;
          if (src->get_frame(i, &f) != Fetch::kFrame || f.picture.width != kW ||
              f.picture.height != kH || f.picture.depth != 8)
            break;
          std::vector<uint8_t> y(size_t(kW) * kH);
          for (int r = 0; r < kH; ++r)
            std::copy_n(f.picture.plane[0] + f.picture.pitch[0] * r, kW, y.begin() + r * kW);
          out.push_back(std::move(y));
        }
      }
    }
    for (int t = 0; out.empty() && t < 4; ++t) {
      std::vector<uint8_t> y(size_t(kW) * kH);
      for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c)
          y[size_t(r) * kW + c] =
              uint8_t(40 + 60.0 * c / kW + 25.0 * r / kH + 3 * t + 8 * std::sin(c / 37.0));
      out.push_back(std::move(y));
    }
    return out;
  }();
  return kFrames;
}

// With `model`, the options the v1 VMAF models set that change the work: the high-resolution
// speed-up and the lowest visible luminance.
void BM_Cambi(benchmark::State& state, uint32_t flags, bool model) {
  if ((detect_cpu_flags() & flags) != flags) {
    state.SkipWithError("tier not available");
    return;
  }
  PictureForm form;
  form.width = kW;
  form.height = kH;
  MetricOptions options;
  for (const MetricOption& o : cambi_metric().options) {
    MetricOptions::Value v;
    v.name = o.name;
    v.type = o.type;
    v.text = o.default_value;
    v.i = std::strtoll(o.default_value, nullptr, 10);
    v.d = std::strtod(o.default_value, nullptr);
    if (model && v.name == "cambi_high_res_speedup") v.i = 1080;
    if (model && v.name == "cambi_vis_lum_threshold") v.d = 0.06;
    options.values.push_back(v);
  }
  CambiPlan plan;
  std::string why;
  if (!cambi_plan(form, options, &plan, &why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  const CambiKernels kernels = cambi_kernels(flags);
  CambiScratch scratch;
  size_t i = size_t(state.thread_index());
  for (auto _ : state) {
    const auto& y = frames()[i++ % frames().size()];
    double score = 0;
    benchmark::DoNotOptimize(cambi_score_luma(plan, kernels, y.data(), kW, &scratch, &score));
    benchmark::DoNotOptimize(score);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(BM_Cambi, scalar, 0u, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Cambi, avx2, kCpuSse2 | kCpuAvx2, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Cambi, avx2, kCpuSse2 | kCpuAvx2, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(2);
BENCHMARK_CAPTURE(BM_Cambi, avx2_v1_model, kCpuSse2 | kCpuAvx2, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vq
