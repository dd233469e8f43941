// The integer_adm metric: its registry row, its options and score names as libvmaf spells them,
// and the scorer that runs the fixed-point ADM on the luma of each pair.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metrics/integer_adm/adm.h"
#include "metrics/rows.h"

namespace vq {
namespace {

// libvmaf's option table for this feature, with the short names it writes into score names.
struct AdmOption {
  MetricOption option;
  const char* alias;  // nullptr: never part of a score name
  double min, max;
};

const AdmOption kAdmOptions[] = {
    {{"debug", OptionType::kBool, "false", "also write the numerators and denominators"},
     nullptr,
     0,
     1},
    {{"adm_csf_scale", OptionType::kDouble, "1", "CSF scale of the horizontal and vertical terms"},
     "scf",
     0,
     50},
    {{"adm_csf_diag_scale", OptionType::kDouble, "1", "CSF scale of the diagonal term"},
     "scfd",
     0,
     50},
    {{"adm_dlm_weight", OptionType::kDouble, "0.5", "weight of detail loss against AIM in adm3"},
     "dlmw",
     0,
     1},
    {{"adm_enhn_gain_limit", OptionType::kDouble, "100",
      "enhancement gain limit (>= 1; 1 disables enhancement)"},
     "egl",
     1,
     100},
    {{"adm_norm_view_dist", OptionType::kDouble, "3", "viewing distance over the display's height"},
     "nvd",
     0.75,
     24},
    {{"adm_ref_display_height", OptionType::kInt, "1080", "display height in pixels"},
     "rdh",
     1,
     4320},
    {{"adm_csf_mode", OptionType::kInt, "0",
      "contrast sensitivity function (0: Watson, 2: Barten's and Watson's blended)"},
     "csf",
     0,
     3},
    {{"adm_noise_weight", OptionType::kDouble, "0.03125", "noise floor weight"}, "nw", 0, 1500},
    {{"adm_skip_aim", OptionType::kBool, "false", "skip the additive impairment measure"},
     nullptr,
     0,
     1},
    {{"adm_skip_scale0", OptionType::kBool, "false", "skip the finest scale"}, "ssz", 0, 1},
    {{"adm_min_val", OptionType::kDouble, "0", "lower clip of adm3"}, "min", 0, 1},
};

const std::vector<MetricOption>& option_table() {
  static const std::vector<MetricOption> t = [] {
    std::vector<MetricOption> v;
    for (const AdmOption& o : kAdmOptions)
      v.push_back(o.option);
    return v;
  }();
  return t;
}

double option_number(const MetricOptions& o, const MetricOption& opt) {
  switch (opt.type) {
    case OptionType::kBool:
      return o.get_bool(opt.name) ? 1 : 0;
    case OptionType::kInt:
      return double(o.get_int(opt.name));
    default:
      return o.get_double(opt.name);
  }
}

double default_number(const MetricOption& opt) {
  if (opt.type == OptionType::kBool) return std::strcmp(opt.default_value, "true") == 0 ? 1 : 0;
  return std::strtod(opt.default_value, nullptr);
}

// libvmaf appends every score-naming option that differs from its default, in the alphabetical
// order of the option names: "_egl_1", "_nvd_4.5", "_rdh_2160", "_ssz".
std::string name_suffix(const MetricOptions& o) {
  std::vector<const AdmOption*> named;
  for (const AdmOption& a : kAdmOptions) {
    if (!a.alias) continue;
    if (option_number(o, a.option) == default_number(a.option)) continue;
    named.push_back(&a);
  }
  std::sort(named.begin(), named.end(), [](const AdmOption* x, const AdmOption* y) {
    return std::strcmp(x->option.name, y->option.name) < 0;
  });
  std::string s;
  for (const AdmOption* a : named) {
    s += '_';
    s += a->alias;
    if (a->option.type == OptionType::kBool) continue;
    char buf[64];
    if (a->option.type == OptionType::kInt)
      std::snprintf(buf, sizeof buf, "_%lld", static_cast<long long>(o.get_int(a->option.name)));
    else
      std::snprintf(buf, sizeof buf, "_%g", o.get_double(a->option.name));
    s += buf;
  }
  return s;
}

std::vector<std::string> adm_scores(const MetricOptions& o) {
  const std::string x = name_suffix(o);
  std::vector<std::string> v = {"integer_adm2" + x,       "integer_aim" + x,
                                "integer_adm3" + x,       "integer_adm_scale0" + x,
                                "integer_adm_scale1" + x, "integer_adm_scale2" + x,
                                "integer_adm_scale3" + x};
  if (o.get_bool("debug")) {
    for (const char* n : {"integer_adm", "integer_adm_num", "integer_adm_den"})
      v.push_back(n + x);
    for (int s = 0; s < 4; ++s) {
      v.push_back("integer_adm_num_scale" + std::to_string(s) + x);
      v.push_back("integer_adm_den_scale" + std::to_string(s) + x);
    }
  }
  return v;
}

class AdmMetric final : public Metric {
 public:
  AdmMetric(const PictureForm& form, const adm::Params& p, const adm::Kernels& k,
            std::vector<std::string> names)
      : scorer_(form.width, form.height, p, k), names_(std::move(names)) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (columns_.empty())
      for (const std::string& n : names_)
        columns_.push_back(table->declare(n));
    adm::Result r;
    scorer_.score({ref.plane[0], ref.pitch[0], ref.depth},
                  {dist.plane[0], dist.pitch[0], dist.depth}, &r);
    std::vector<double> v = {r.adm2,
                             r.aim,
                             r.adm3,
                             r.num_scale[0] / r.den_scale[0],
                             r.num_scale[1] / r.den_scale[1],
                             r.num_scale[2] / r.den_scale[2],
                             r.num_scale[3] / r.den_scale[3]};
    if (columns_.size() > v.size()) {
      v.insert(v.end(), {r.adm2, r.num, r.den});
      for (int s = 0; s < 4; ++s) {
        v.push_back(r.num_scale[s]);
        v.push_back(r.den_scale[s]);
      }
    }
    for (size_t i = 0; i < columns_.size(); ++i)
      table->set(columns_[i], pair, v[i]);
    return MetricStatus::kOk;
  }

 private:
  adm::Scorer scorer_;
  std::vector<std::string> names_;
  std::vector<int> columns_;
};

// The options' ranges and combinations, checked when the request is read (a model file's
// options among them), before any input is opened.
int check_adm(const MetricOptions& o, std::string* why) {
  for (const AdmOption& a : kAdmOptions) {
    const double v = option_number(o, a.option);
    if (v < a.min || v > a.max) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "integer_adm: %s must be between %g and %g", a.option.name,
                    a.min, a.max);
      *why = buf;
      return 0;
    }
  }
  const int64_t mode = o.get_int("adm_csf_mode");
  if (mode != adm::kCsfWatson && mode != adm::kCsfBlend) {
    *why = "integer_adm: adm_csf_mode is 0 (Watson's CSF) or 2 (Barten's and Watson's blended)";
    return 0;
  }
  if (mode == adm::kCsfBlend && !adm::blend_csf_known(o.get_double("adm_norm_view_dist"),
                                                      int(o.get_int("adm_ref_display_height")))) {
    *why =
        "integer_adm: adm_csf_mode=2 is tabulated for displays of 480, 720, 1080 and 2160 lines "
        "at 3 and 5 heights, and of 2160 at 1.5";
    return 0;
  }
  // The fixed-point pipeline holds no finer angular frequency than 3 heights of 1080 lines.
  if (o.get_double("adm_norm_view_dist") * double(o.get_int("adm_ref_display_height")) <
      3.0 * 1080) {
    *why = "integer_adm: adm_norm_view_dist * adm_ref_display_height must be at least 3240";
    return 0;
  }
  return 1;
}

MetricStatus make_adm(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                      std::unique_ptr<Metric>* out, std::string* why) {
  if (!check_adm(o, why)) return MetricStatus::kUnsupported;
  adm::Params p;
  p.enhn_gain_limit = o.get_double("adm_enhn_gain_limit");
  p.norm_view_dist = o.get_double("adm_norm_view_dist");
  p.ref_display_height = int(o.get_int("adm_ref_display_height"));
  p.noise_weight = o.get_double("adm_noise_weight");
  p.dlm_weight = o.get_double("adm_dlm_weight");
  p.min_val = o.get_double("adm_min_val");
  p.skip_aim = o.get_bool("adm_skip_aim");
  p.skip_scale0 = o.get_bool("adm_skip_scale0");
  p.csf_mode = int(o.get_int("adm_csf_mode"));
  if (form.width < adm::kMinSize || form.height < adm::kMinSize) {
    *why =
        "integer_adm: pictures smaller than 33x33 are not scored (its four DWT scales need "
        "at least 5 samples each way at the coarsest)";
    return MetricStatus::kUnsupported;
  }
  if (form.depth < 8 || form.depth > 15) {
    *why = "integer_adm: scores 8 to 15-bit pictures";
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<AdmMetric>(form, p, adm::kernels_for(cpu_flags), adm_scores(o));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& integer_adm_metric() {
  static const MetricRow row = {
      "integer_adm",  "libvmaf's integer ADM (integer_adm2, scales 0-3, AIM, adm3)",
      option_table(), 0,
      adm_scores,     make_adm,
      nullptr,        check_adm};
  return row;
}

}  // namespace vq
