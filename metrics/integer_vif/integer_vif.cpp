// The integer_vif metric: its registry row, its options and score names as libvmaf spells them,
// and the scorer that runs the fixed-point VIF on the luma of each pair.
#include <array>
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

// One request's columns: its names and the result (scorer, gain limit) they come from.
struct Columns {
  std::vector<std::string> names;
  size_t scorer = 0;
  int limit = 0;
  std::vector<int> ids;  // declared at the first pair
};

// Scores requests alike but for their gain limits: one scorer per kMaxGainLimits of their
// distinct limits, each filtering a pair once.
class VifMetric final : public Metric {
 public:
  VifMetric(const PictureForm& form, const std::vector<const MetricOptions*>& requests,
            const vif::Kernels& k)
      : skip0_(requests[0]->get_bool("vif_skip_scale0")) {
    std::vector<vif::Params> params;
    for (const MetricOptions* o : requests) {
      Columns c;
      c.names = vif_scores(*o);
      place(o->get_double("vif_enhn_gain_limit"), &params, &c);
      columns_.push_back(std::move(c));
    }
    for (const vif::Params& p : params)
      scorers_.push_back(std::make_unique<vif::Scorer>(form.width, form.height, form.depth, p, k));
    results_.resize(scorers_.size());
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    for (size_t i = 0; i < scorers_.size(); ++i)
      scorers_[i]->score({ref.plane[0], ref.pitch[0], ref.depth},
                         {dist.plane[0], dist.pitch[0], dist.depth}, results_[i].data());
    for (Columns& c : columns_) {
      if (c.ids.empty())
        for (const std::string& n : c.names)
          c.ids.push_back(table->declare(n));
      write(results_[c.scorer][size_t(c.limit)], c.ids, pair, table);
    }
    return MetricStatus::kOk;
  }

 private:
  // Where gain limit `egl` is scored: the scorer that has it, else the last one with room for
  // it, else a new one.
  void place(double egl, std::vector<vif::Params>* params, Columns* c) const {
    for (size_t i = 0; i < params->size(); ++i) {
      const vif::GainLimits& g = (*params)[i].gain;
      for (int l = 0; l < g.count; ++l)
        if (g.limit[l] == egl) {
          c->scorer = i;
          c->limit = l;
          return;
        }
    }
    if (params->empty() || params->back().gain.count == vif::kMaxGainLimits) {
      params->emplace_back();
      params->back().gain.count = 0;
      params->back().skip_scale0 = skip0_;
    }
    vif::GainLimits& g = params->back().gain;
    c->scorer = params->size() - 1;
    c->limit = g.count;
    g.limit[g.count++] = egl;
  }

  void write(const vif::Result& r, const std::vector<int>& ids, int32_t pair,
             ScoreTable* table) const {
    // Each ratio in float, as libvmaf divides its float numerator by its float denominator.
    double v[4 + 3 + 8];
    size_t n = 0;
    for (int s = 0; s < 4; ++s)
      v[n++] = s == 0 && skip0_ ? 0.0 : double(r.num[s] / r.den[s]);
    if (ids.size() > n) {
      double num = 0, den = 0;
      for (int s = skip0_ ? 1 : 0; s < 4; ++s) {
        num += double(r.num[s]);
        den += double(r.den[s]);
      }
      v[n++] = den == 0.0 ? 1.0 : num / den;
      v[n++] = num;
      v[n++] = den;
      for (int s = 0; s < 4; ++s) {
        v[n++] = s == 0 && skip0_ ? 0.0 : double(r.num[s]);
        v[n++] = s == 0 && skip0_ ? -1.0 : double(r.den[s]);
      }
    }
    for (size_t i = 0; i < ids.size(); ++i)
      table->set(ids[i], pair, v[i]);
  }

  bool skip0_;
  std::vector<Columns> columns_;
  std::vector<std::unique_ptr<vif::Scorer>> scorers_;
  std::vector<std::array<vif::Result, vif::kMaxGainLimits>> results_;
};

// Whether pictures of `form` are scored; *why when not.
int check_form(const PictureForm& form, std::string* why) {
  if (form.width < vif::kMinSize || form.height < vif::kMinSize) {
    *why =
        "integer_vif: pictures smaller than 16x16 are not scored (its coarsest scale needs at "
        "least 2 samples each way to mirror its filter)";
    return 0;
  }
  if (form.depth < 8 || form.depth > 16) {
    *why = "integer_vif: scores 8 to 16-bit pictures";
    return 0;
  }
  return 1;
}

MetricStatus make_vif(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                      std::unique_ptr<Metric>* out, std::string* why) {
  if (!check_vif(o, why) || !check_form(form, why)) return MetricStatus::kUnsupported;
  *out = std::make_unique<VifMetric>(form, std::vector<const MetricOptions*>{&o},
                                     vif::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

// Requests that differ in their gain limit alone filter alike: one pass scores them all. (The
// registry holds copies of the rows: a request is integer_vif's by its maker.)
bool vif_joins(const MetricOptions& o, const MetricRequest& other) {
  const MetricOptions& p = other.options;
  return other.row->make == make_vif && p.get_bool("debug") == o.get_bool("debug") &&
         p.get_bool("vif_skip_scale0") == o.get_bool("vif_skip_scale0") &&
         p.get_double("vif_enhn_gain_limit") != o.get_double("vif_enhn_gain_limit");
}

MetricStatus make_vif_joined(const PictureForm& form, const MetricOptions& o,
                             std::span<const MetricRequest* const> joined, uint32_t cpu_flags,
                             std::unique_ptr<Metric>* out, std::string* why) {
  std::vector<const MetricOptions*> all = {&o};
  for (const MetricRequest* r : joined) {
    if (!vif_joins(o, *r)) {
      *why = "integer_vif: a request that differs in more than its gain limit cannot join";
      return MetricStatus::kUnsupported;
    }
    all.push_back(&r->options);
  }
  for (const MetricOptions* p : all)
    if (!check_vif(*p, why)) return MetricStatus::kUnsupported;
  if (!check_form(form, why)) return MetricStatus::kUnsupported;
  *out = std::make_unique<VifMetric>(form, all, vif::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& integer_vif_metric() {
  static const MetricRow row = {"integer_vif", "libvmaf's integer VIF (integer_vif_scale0 .. 3)",
                                kVifOptions,   0,
                                vif_scores,    make_vif,
                                nullptr,       check_vif,
                                vif_joins,     make_vif_joined};
  return row;
}

}  // namespace vq
