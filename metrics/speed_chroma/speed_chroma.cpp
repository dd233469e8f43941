// The speed_chroma metric: libvmaf's SpEED of the U and V planes (speed_chroma_u, _v) and their
// mean (speed_chroma_uv), with its options and its score names. A feature of VMAF v1's models.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metrics/rows.h"
#include "metrics/speed_chroma/speed.h"

namespace vq {
namespace {

// libvmaf's option table for this feature: every option names the scores when not its default,
// by its short name, in the alphabetical order of the option names.
struct SpeedOption {
  MetricOption option;
  const char* alias;
  double min, max;
};

const SpeedOption kSpeedOptions[] = {
    {{"speed_kernelscale", OptionType::kDouble, "1", "scale of the Gaussian filters' size"},
     "ks",
     0.1,
     4},
    {{"speed_prescale", OptionType::kDouble, "1", "the planes rescaled by this first"},
     "ps",
     0.1,
     4},
    {{"speed_prescale_method", OptionType::kString, "nearest",
      "how they are rescaled (bilinear; nearest only leaves them as they are)"},
     "psm",
     0,
     0},
    {{"speed_sigma_nn", OptionType::kDouble, "0.29", "deviation of the neural noise"},
     "snn",
     0.1,
     2},
    {{"speed_nn_floor", OptionType::kDouble, "0", "noise floor, a fraction of speed_sigma_nn"},
     "nnf",
     0,
     1},
    {{"speed_max_val", OptionType::kDouble, "1000", "upper clip of the scores"}, "mxv", 0, 1000},
    {{"speed_weight_var_mode", OptionType::kInt, "0",
      "which variances weigh the entropies (0 to 6)"},
     "wvm",
     0,
     6},
};

const std::vector<MetricOption>& option_table() {
  static const std::vector<MetricOption> t = [] {
    std::vector<MetricOption> v;
    for (const SpeedOption& o : kSpeedOptions)
      v.push_back(o.option);
    return v;
  }();
  return t;
}

std::string name_suffix(const MetricOptions& o) {
  std::vector<const SpeedOption*> named;
  for (const SpeedOption& s : kSpeedOptions) {
    const MetricOption& m = s.option;
    const bool same =
        m.type == OptionType::kString
            ? o.get_string(m.name) == m.default_value
            : (m.type == OptionType::kInt ? double(o.get_int(m.name)) : o.get_double(m.name)) ==
                  std::strtod(m.default_value, nullptr);
    if (!same) named.push_back(&s);
  }
  std::sort(named.begin(), named.end(), [](const SpeedOption* a, const SpeedOption* b) {
    return std::strcmp(a->option.name, b->option.name) < 0;
  });
  std::string x;
  for (const SpeedOption* s : named) {
    char buf[80];
    if (s->option.type == OptionType::kString)
      std::snprintf(buf, sizeof buf, "_%s_%s", s->alias, o.get_string(s->option.name).c_str());
    else if (s->option.type == OptionType::kInt)
      std::snprintf(buf, sizeof buf, "_%s_%lld", s->alias,
                    static_cast<long long>(o.get_int(s->option.name)));
    else
      std::snprintf(buf, sizeof buf, "_%s_%g", s->alias, o.get_double(s->option.name));
    x += buf;
  }
  return x;
}

std::vector<std::string> speed_scores(const MetricOptions& o) {
  const std::string x = name_suffix(o);
  return {"speed_chroma_u" + x, "speed_chroma_v" + x, "speed_chroma_uv" + x};
}

int check_speed(const MetricOptions& o, std::string* why) {
  for (const SpeedOption& s : kSpeedOptions) {
    if (s.option.type == OptionType::kString) continue;
    const double v = s.option.type == OptionType::kInt ? double(o.get_int(s.option.name))
                                                       : o.get_double(s.option.name);
    if (v < s.min || v > s.max) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "speed_chroma: %s must be between %g and %g", s.option.name,
                    s.min, s.max);
      *why = buf;
      return 0;
    }
  }
  if (!speed::kernelscale_known(float(o.get_double("speed_kernelscale")))) {
    *why = "speed_chroma: speed_kernelscale is not one of libvmaf's (1, 0.5, 1.5, 2, ...)";
    return 0;
  }
  const std::string method = o.get_string("speed_prescale_method");
  const double prescale = o.get_double("speed_prescale");
  if (method != "nearest" && method != "bilinear" && method != "bicubic" && method != "lanczos4") {
    *why = "speed_chroma: speed_prescale_method is nearest, bilinear, bicubic or lanczos4";
    return 0;
  }
  // libvmaf leaves a plane as it is within 0.001 of 1 but sizes it by the factor.
  if (prescale != 1 && std::fabs(prescale - 1) < 1e-3) {
    *why = "speed_chroma: speed_prescale is 1 or differs from it by 0.001 or more";
    return 0;
  }
  if (prescale != 1 && method != "bilinear") {
    *why =
        "speed_chroma: only the bilinear rescale (speed_prescale_method=bilinear) is "
        "implemented";
    return 0;
  }
  return 1;
}

class SpeedMetric final : public Metric {
 public:
  SpeedMetric(int w, int h, const speed::Params& p, uint32_t cpu_flags, double max_val,
              std::vector<std::string> names)
      : scorer_(w, h, p, cpu_flags), max_val_(max_val), names_(std::move(names)) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    float s[2];
    bool singular[2];
    for (int c = 0; c < 2; ++c)
      s[c] = scorer_.score({ref.plane[c + 1], ref.pitch[c + 1], ref.depth},
                           {dist.plane[c + 1], dist.pitch[c + 1], dist.depth}, &singular[c]);
    // A plane without an inverse (a flat one) takes the other's score.
    float uv;
    if (singular[0] && !singular[1])
      uv = s[1];
    else if (singular[1] && !singular[0])
      uv = s[0];
    else
      uv = float((s[0] + s[1]) / 2.0);
    const double out[3] = {std::min(double(s[0]), max_val_), std::min(double(s[1]), max_val_),
                           std::min(double(uv), max_val_)};
    if (columns_[0] < 0)
      for (int k = 0; k < 3; ++k)
        columns_[k] = table->declare(names_[size_t(k)]);
    for (int k = 0; k < 3; ++k)
      table->set(columns_[k], pair, out[k]);
    return MetricStatus::kOk;
  }

 private:
  speed::Scorer scorer_;
  double max_val_;
  std::vector<std::string> names_;
  int columns_[3] = {-1, -1, -1};
};

MetricStatus make_speed(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                        std::unique_ptr<Metric>* out, std::string* why) {
  if (!check_speed(o, why)) return MetricStatus::kUnsupported;
  if (form.layout == ChromaLayout::kGray) {
    *why = "speed_chroma: gray pictures have no chroma to score";
    return MetricStatus::kUnsupported;
  }
  if (form.depth != 8 && form.depth != 10 && form.depth != 12 && form.depth != 16) {
    *why = "speed_chroma: scores 8, 10, 12 and 16-bit pictures";
    return MetricStatus::kUnsupported;
  }
  // The planes as libvmaf sizes them: the luma size halved, rounded down, where subsampled.
  const int w = form.layout == ChromaLayout::k444 ? form.width : form.width / 2;
  const int h = form.layout == ChromaLayout::k420 ? form.height / 2 : form.height;
  speed::Params p;
  p.kernelscale = float(o.get_double("speed_kernelscale"));
  p.prescale = o.get_double("speed_prescale");
  p.sigma_nn = float(o.get_double("speed_sigma_nn"));
  p.nn_floor = float(o.get_double("speed_nn_floor"));
  p.weight_var_mode = int(o.get_int("speed_weight_var_mode"));
  if (speed::fit_size(w, h, p.prescale).blocks_x == 0) {
    *why =
        "speed_chroma: chroma planes rescaled to under 80x80 samples are not scored (a 5x5 "
        "block of every 16th sample)";
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<SpeedMetric>(w, h, p, cpu_flags, o.get_double("speed_max_val"),
                                       speed_scores(o));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& speed_chroma_metric() {
  static const MetricRow row = {
      "speed_chroma", "libvmaf's SpEED of the chroma planes (speed_chroma_u, _v, _uv)",
      option_table(), 0,
      speed_scores,   make_speed,
      nullptr,        check_speed};
  return row;
}

}  // namespace vq
