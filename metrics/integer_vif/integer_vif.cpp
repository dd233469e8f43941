// The integer_vif metric: its registry row, its options and score names as libvmaf spells them,
// and the scorer that runs the fixed-point VIF on the luma of each pair.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "metrics/integer_vif/vif.h"
#include "metrics/rows.h"

namespace vq {
namespace {

const MetricOption kVifOptions[] = {
    {"debug", OptionType::kBool, "false", "also write the numerators and denominators"},
    {"vif_enhn_gain_limit", OptionType::kDouble, "100",
     "enhancement gain limit (1 to 100; 1 disables enhancement)"},
    {"vif_skip_scale0", OptionType::kBool, "false", "skip the finest scale (its score is 0)"},
};

// libvmaf appends the options that differ from their defaults, in the order of their names:
// "_egl_1", "_ssclz".
std::string name_suffix(const MetricOptions& o) {
  std::string s;
  const double egl = o.get_double("vif_enhn_gain_limit");
  if (egl != 100.0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "_egl_%g", egl);
    s += buf;
  }
  if (o.get_bool("vif_skip_scale0")) s += "_ssclz";
  return s;
}

std::vector<std::string> vif_scores(const MetricOptions& o) {
  const std::string x = name_suffix(o);
  std::vector<std::string> v;
  for (int s = 0; s < 4; ++s)
    v.push_back("integer_vif_scale" + std::to_string(s) + x);
  if (o.get_bool("debug")) {
    for (const char* n : {"integer_vif", "integer_vif_num", "integer_vif_den"})
      v.push_back(n + x);
    for (int s = 0; s < 4; ++s) {
      v.push_back("integer_vif_num_scale" + std::to_string(s) + x);
      v.push_back("integer_vif_den_scale" + std::to_string(s) + x);
    }
  }
  return v;
}

int check_vif(const MetricOptions& o, std::string* why) {
  const double egl = o.get_double("vif_enhn_gain_limit");
  if (!(egl >= 1.0 && egl <= 100.0)) {
    *why = "integer_vif: vif_enhn_gain_limit must be between 1 and 100";
    return 0;
  }
  return 1;
}

class VifMetric final : public Metric {
 public:
  VifMetric(const PictureForm& form, const vif::Params& p, const vif::Kernels& k,
            std::vector<std::string> names)
      : scorer_(form.width, form.height, form.depth, p, k),
        skip0_(p.skip_scale0),
        names_(std::move(names)) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (columns_.empty())
      for (const std::string& n : names_)
        columns_.push_back(table->declare(n));
    vif::Result r;
    scorer_.score({ref.plane[0], ref.pitch[0], ref.depth},
                  {dist.plane[0], dist.pitch[0], dist.depth}, &r);
    // Each ratio in float, as libvmaf divides its float numerator by its float denominator.
    std::vector<double> v;
    v.reserve(columns_.size());
    for (int s = 0; s < 4; ++s)
      v.push_back(s == 0 && skip0_ ? 0.0 : double(r.num[s] / r.den[s]));
    if (columns_.size() > v.size()) {
      double num = 0, den = 0;
      for (int s = skip0_ ? 1 : 0; s < 4; ++s) {
        num += double(r.num[s]);
        den += double(r.den[s]);
      }
      v.push_back(den == 0.0 ? 1.0 : num / den);
      v.push_back(num);
      v.push_back(den);
      for (int s = 0; s < 4; ++s) {
        v.push_back(s == 0 && skip0_ ? 0.0 : double(r.num[s]));
        v.push_back(s == 0 && skip0_ ? -1.0 : double(r.den[s]));
      }
    }
    for (size_t i = 0; i < columns_.size(); ++i)
      table->set(columns_[i], pair, v[i]);
    return MetricStatus::kOk;
  }

 private:
  vif::Scorer scorer_;
  bool skip0_;
  std::vector<std::string> names_;
  std::vector<int> columns_;
};

MetricStatus make_vif(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                      std::unique_ptr<Metric>* out, std::string* why) {
  if (!check_vif(o, why)) return MetricStatus::kUnsupported;
  if (form.width < vif::kMinSize || form.height < vif::kMinSize) {
    *why =
        "integer_vif: pictures smaller than 16x16 are not scored (its coarsest scale needs at "
        "least 2 samples each way to mirror its filter)";
    return MetricStatus::kUnsupported;
  }
  if (form.depth < 8 || form.depth > 16) {
    *why = "integer_vif: scores 8 to 16-bit pictures";
    return MetricStatus::kUnsupported;
  }
  vif::Params p;
  p.gain.limit[0] = o.get_double("vif_enhn_gain_limit");
  p.skip_scale0 = o.get_bool("vif_skip_scale0");
  *out = std::make_unique<VifMetric>(form, p, vif::kernels_for(cpu_flags), vif_scores(o));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& integer_vif_metric() {
  static const MetricRow row = {"integer_vif", "libvmaf's integer VIF (integer_vif_scale0 .. 3)",
                                kVifOptions,   0,
                                vif_scores,    make_vif,
                                nullptr,       check_vif};
  return row;
}

}  // namespace vq
