// The ssimulacra2 metric: libjxl's SSIMULACRA 2 score of each pair, scored on the RGB pictures
// a PNG of each would hold, one score per pair.
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metrics/rows.h"
#include "metrics/ssimulacra2/ssimulacra2.h"

namespace vq {
namespace {

constexpr const char* kName = "ssimulacra2";

std::vector<std::string> scores(const MetricOptions&) {
  return {kName};
}

class Ssimulacra2 final : public Metric {
 public:
  Ssimulacra2(const PictureForm& f, uint32_t cpu_flags)
      : scorer_(f.width, f.height, f.depth, cpu_flags) {}
  [[nodiscard]] bool ok() const { return scorer_.ok(); }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (column_ < 0) column_ = table->declare(kName);
    table->set(column_, pair, scorer_.score(ref, dist));
    return MetricStatus::kOk;
  }

 private:
  ssim2::Scorer scorer_;
  int column_ = -1;
};

MetricStatus make(const PictureForm& f, const MetricOptions&, uint32_t cpu_flags,
                  std::unique_ptr<Metric>* out, std::string* why) {
  char buf[160];
  if (f.layout != ChromaLayout::k444 || (f.depth != 8 && f.depth != 16)) {
    std::snprintf(buf, sizeof buf,
                  "ssimulacra2: scores 8 or 16-bit RGB pictures (three full planes), not %d-bit "
                  "YUV",
                  f.depth);
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  if (f.width < ssim2::kMinSize || f.height < ssim2::kMinSize) {
    std::snprintf(buf, sizeof buf,
                  "ssimulacra2: pictures of %dx%d are too small; it scores pictures of at least "
                  "%dx%d",
                  int(f.width), int(f.height), int(ssim2::kMinSize), int(ssim2::kMinSize));
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  std::unique_ptr<Ssimulacra2> m(new (std::nothrow) Ssimulacra2(f, cpu_flags));
  if (!m || !m->ok()) return MetricStatus::kOutOfMemory;
  *out = std::move(m);
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& ssimulacra2_metric() {
  static const MetricRow row = {
      "ssimulacra2",
      "libjxl's SSIMULACRA 2 of the pictures in sRGB (ssimulacra2): 100 for equal pictures, "
      "lower the more they differ",
      {},
      kMetricRgb,
      scores,
      make};
  return row;
}

}  // namespace vq
