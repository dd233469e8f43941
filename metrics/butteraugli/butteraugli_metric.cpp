// The butteraugli metric: libjxl's Butteraugli distance of each pair of RGB pictures, its max
// norm (butteraugli) and p-norm (butteraugli_3norm), as butteraugli_main prints them for PNGs
// of the two pictures.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metrics/butteraugli/butteraugli.h"
#include "metrics/rows.h"

namespace vq {
namespace {

const MetricOption kOptions[] = {
    {"intensity_target", OptionType::kDouble, "80",
     "display brightness, in nits, of a full-scale sample (butteraugli_main's default for SDR)"},
    {"pnorm", OptionType::kDouble, "3", "p of the norm written beside the max norm"},
};

// The p-norm's name: butteraugli_3norm, or butteraugli_<p>norm as the tool prints p.
std::string norm_name(double p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "butteraugli_%gnorm", p);
  return buf;
}

std::vector<std::string> scores(const MetricOptions& o) {
  return {"butteraugli", norm_name(o.get_double("pnorm"))};
}

int check(const MetricOptions& o, std::string* why) {
  const double target = o.get_double("intensity_target");
  if (!(target > 0) || !std::isfinite(target)) {
    *why = "butteraugli: intensity_target must be a positive number of nits";
    return 0;
  }
  const double p = o.get_double("pnorm");
  if (!(p > 0) || !std::isfinite(p)) {
    *why = "butteraugli: pnorm must be positive";
    return 0;
  }
  return 1;
}

class Butteraugli final : public Metric {
 public:
  Butteraugli(const PictureForm& f, const MetricOptions& o, uint32_t cpu_flags)
      : form_(f),
        p_(o.get_double("pnorm")),
        norm_name_(norm_name(p_)),
        comparator_(f.width, f.height, params(o), cpu_flags),
        linear_(size_t(1) << f.depth) {
    // Every code's linear value, as the tool decodes a PNG sample: scaled to 0..1 in float,
    // then through the sRGB curve.
    const float scale = 1.0f / float((1u << f.depth) - 1u);
    for (size_t v = 0; v < linear_.size(); ++v)
      linear_[v] = butteraugli::linear_from_srgb(float(v) * scale);
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (max_id_ < 0) {
      max_id_ = table->declare("butteraugli");
      norm_id_ = table->declare(norm_name_);
    }
    // Row by row, both pictures, so that the comparator halves them while they are fresh.
    for (int32_t y = 0; y < form_.height; ++y) {
      load_row(ref, y, comparator_.reference());
      load_row(dist, y, comparator_.distorted());
      if (y & 1) comparator_.rows_filled(y + 1);
    }
    butteraugli::Norms norms;
    (void)comparator_.diffmap(p_, &norms);
    table->set(max_id_, pair, norms.max_norm);
    table->set(norm_id_, pair, norms.p_norm);
    return MetricStatus::kOk;
  }

 private:
  static butteraugli::Params params(const MetricOptions& o) {
    butteraugli::Params p;
    p.intensity_target = float(o.get_double("intensity_target"));
    return p;
  }

  void load_row(const Picture& pic, int32_t y, butteraugli::Plane* out) const {
    for (int c = 0; c < 3; ++c) {
      const uint8_t* src = pic.plane[c] + y * pic.pitch[c];
      float* dst = out[c].row(y);
      if (form_.depth == 8) {
        for (int32_t x = 0; x < form_.width; ++x)
          dst[x] = linear_[src[x]];
      } else {
        for (int32_t x = 0; x < form_.width; ++x) {
          uint16_t v;
          std::memcpy(&v, src + 2 * x, sizeof v);
          dst[x] = linear_[v];
        }
      }
    }
  }

  PictureForm form_;
  double p_;
  std::string norm_name_;
  butteraugli::Comparator comparator_;
  std::vector<float> linear_;
  int max_id_ = -1, norm_id_ = -1;
};

MetricStatus make(const PictureForm& f, const MetricOptions& o, uint32_t cpu_flags,
                  std::unique_ptr<Metric>* out, std::string* why) {
  if (f.layout != ChromaLayout::k444 || (f.depth != 8 && f.depth != 16)) {
    *why = "butteraugli: scores 8 or 16-bit RGB pictures";
    return MetricStatus::kUnsupported;
  }
  // The tool gives no distance (a map of zeros) for pictures smaller than this.
  if (f.width < butteraugli::kMinSide || f.height < butteraugli::kMinSide) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "butteraugli: the pictures, %dx%d, are smaller than the %dx%d it scores", f.width,
                  f.height, butteraugli::kMinSide, butteraugli::kMinSide);
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  std::unique_ptr<Butteraugli> m(new (std::nothrow) Butteraugli(f, o, cpu_flags));
  if (!m) return MetricStatus::kOutOfMemory;
  *out = std::move(m);
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& butteraugli_metric() {
  static const MetricRow row = [] {
    MetricRow r = {"butteraugli",
                   "libjxl's Butteraugli distance of the RGB pictures: max norm (butteraugli) "
                   "and 3-norm (butteraugli_3norm)",
                   kOptions,
                   kMetricRgb,
                   scores,
                   make};
    r.check = check;
    return r;
  }();
  return row;
}

}  // namespace vq
