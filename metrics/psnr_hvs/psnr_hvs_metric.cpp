// The psnr_hvs metric: libvmaf's PSNR-HVS-M of each plane (psnr_hvs_y, psnr_hvs_cb, psnr_hvs_cr)
// and their combination (psnr_hvs, 0.8 of luma's error and 0.1 of each chroma's), in dB.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "metrics/psnr_hvs/csf.h"
#include "metrics/psnr_hvs/psnr_hvs.h"
#include "metrics/rows.h"

namespace vq {
namespace {

constexpr const char* kNames[4] = {"psnr_hvs_y", "psnr_hvs_cb", "psnr_hvs_cr", "psnr_hvs"};

constexpr ScorePlane kPlanes[3] = {{"psnr_hvs_y", "psnr_hvs", "Y"},
                                   {"psnr_hvs_cb", "psnr_hvs", "Cb"},
                                   {"psnr_hvs_cr", "psnr_hvs", "Cr"}};

std::vector<std::string> scores(const MetricOptions&) {
  return {kNames, kNames + 4};
}

double to_db(double error) {
  return 10 * (-1 * std::log10(error));
}

class PsnrHvs final : public Metric {
 public:
  PsnrHvs(const PictureForm& f, const hvs::Kernels& k) : form_(f), kernels_(k) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (columns_[0] < 0)
      for (int i = 0; i < 4; ++i)
        columns_[i] = table->declare(kNames[i]);
    static constexpr const float(*kCsf[3])[8] = {hvs::kCsfY, hvs::kCsfCb, hvs::kCsfCr};
    double e[3];
    for (int p = 0; p < 3; ++p) {
      const int w = p ? form_.chroma_width : form_.width;
      const int h = p ? form_.chroma_height : form_.height;
      e[p] = hvs::plane_error({ref.plane[p], ref.pitch[p], w, h},
                              {dist.plane[p], dist.pitch[p], w, h}, form_.depth, kCsf[p], kernels_);
      table->set(columns_[p], pair, to_db(e[p]));
    }
    table->set(columns_[3], pair, to_db(e[0] * .8 + .1 * (e[1] + e[2])));
    return MetricStatus::kOk;
  }

 private:
  PictureForm form_;
  hvs::Kernels kernels_;
  int columns_[4] = {-1, -1, -1, -1};
};

MetricStatus make(const PictureForm& f, const MetricOptions&, uint32_t cpu_flags,
                  std::unique_ptr<Metric>* out, std::string* why) {
  if (f.layout == ChromaLayout::kGray) {
    *why = "psnr_hvs: scores Y, Cb and Cr; a gray picture has no chroma";
    return MetricStatus::kUnsupported;
  }
  // Beyond 12 bits a block's DCT coefficients no longer square within 32 bits; libvmaf refuses.
  if (f.depth < 8 || f.depth > 12) {
    *why = "psnr_hvs: scores 8 to 12-bit pictures";
    return MetricStatus::kUnsupported;
  }
  // Without one whole 8x8 block in every plane there is no error to average (libvmaf writes NaN).
  if (f.width < hvs::kBlock || f.height < hvs::kBlock || f.chroma_width < hvs::kBlock ||
      f.chroma_height < hvs::kBlock) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "psnr_hvs: every plane needs at least 8x8 samples (luma %dx%d, chroma %dx%d)",
                  f.width, f.height, f.chroma_width, f.chroma_height);
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<PsnrHvs>(f, hvs::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& psnr_hvs_metric() {
  static const MetricRow row = [] {
    MetricRow s = {
        "psnr_hvs",
        "libvmaf's PSNR-HVS-M of Y, Cb, Cr (psnr_hvs_y...) and combined (psnr_hvs), in dB",
        {},
        0,
        scores,
        make};
    s.planes = kPlanes;
    return s;
  }();
  return row;
}

}  // namespace vq
