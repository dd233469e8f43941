// The presets: the metric sets of the codec test conditions, each exactly the metrics, models and
// options libvmaf's CLI adds for them, so that a lab's numbers agree with every other lab's.
#include <array>

#include "metrics/metric.h"

namespace vq {
namespace {

// AOM's conditions from v1.0: both VMAF models, PSNR with APSNR and the reduced high-depth peak,
// CIEDE2000, SSIM and MS-SSIM in dB, PSNR-HVS; CAMBI from v3.0; SSIM at full resolution in v7.0.
constexpr const char* kAomV1[] = {
    "vmaf",
    "vmaf=model=vmaf_v0.6.1neg",
    "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
    "ciede",
    "float_ssim=enable_db=true:clip_db=true",
    "float_ms_ssim=enable_db=true:clip_db=true",
    "psnr_hvs",
};
constexpr const char* kAomV3[] = {
    "vmaf",
    "vmaf=model=vmaf_v0.6.1neg",
    "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
    "ciede",
    "float_ssim=enable_db=true:clip_db=true",
    "float_ms_ssim=enable_db=true:clip_db=true",
    "psnr_hvs",
    "cambi",
};
constexpr const char* kAomV7[] = {
    "vmaf",
    "vmaf=model=vmaf_v0.6.1neg",
    "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
    "ciede",
    "float_ssim=scale=1:enable_db=true:clip_db=true",
    "float_ms_ssim=enable_db=true:clip_db=true",
    "psnr_hvs",
    "cambi",
};
// Netflix's: the 4K models, PSNR of every plane with APSNR, SSIM in dB, CAMBI.
constexpr const char* kNflxV1[] = {
    "vmaf=model=vmaf_4k_v0.6.1",
    "vmaf=model=vmaf_4k_v0.6.1neg",
    "psnr=enable_chroma=true:enable_apsnr=true",
    "float_ssim=enable_db=true:clip_db=true",
    "cambi",
};

constexpr MetricPreset kPresets[] = {
    {"aom-ctc-v1.0", kAomV1, false}, {"aom-ctc-v2.0", kAomV1, false},
    {"aom-ctc-v3.0", kAomV3, false}, {"aom-ctc-v4.0", kAomV3, false},
    {"aom-ctc-v5.0", kAomV3, false}, {"aom-ctc-v6.0", kAomV3, true},
    {"aom-ctc-v7.0", kAomV7, true},  {"nflx-ctc-v1.0", kNflxV1, false},
};

}  // namespace

std::span<const MetricPreset> metric_presets() {
  return kPresets;
}

const MetricPreset* find_preset(std::string_view name) {
  for (const MetricPreset& p : kPresets)
    if (name == p.name) return &p;
  return nullptr;
}

int preset_requests(const MetricPreset& preset, std::vector<MetricRequest>* out, std::string* why) {
  std::vector<MetricRequest> requests;
  for (const char* text : preset.metrics) {
    const std::string_view request(text);
    const std::string_view name = request.substr(0, request.find('='));
    if (find_metric(name) == nullptr) {
      *why = "preset " + std::string(preset.name) + " needs metric " + std::string(name) +
             ", which this build does not have";
      return 0;
    }
    MetricRequest r;
    if (!parse_metric_request(request, &r, why)) {
      *why = "preset " + std::string(preset.name) + ": " + *why;
      return 0;
    }
    requests.push_back(std::move(r));
  }
  out->insert(out->end(), requests.begin(), requests.end());
  return 1;
}

}  // namespace vq
