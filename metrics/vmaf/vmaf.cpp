// The vmaf and vmaf_neg metrics: a model's prediction from the feature columns other metrics
// write. The rows ask for those metrics (needs), with the options the model gives each feature
// (NEG's gain limits), and predict every pair in flush, after the temporal features have
// written their last pairs, so that every thread count gives the same scores. A bootstrap model
// also writes each member's score and the members' mean, deviation and 95% interval.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "metrics/rows.h"
#include "metrics/vmaf/model.h"

namespace vq {

namespace {

using vmaf::Model;

const MetricOption kVmafOptions[] = {
    {"model", OptionType::kString, "vmaf_v0.6.1",
     "a bundled model: vmaf_v0.6.1 (HD, viewed from 3 picture heights), vmaf_v0.6.1neg (the "
     "same without credit for enhancement), vmaf_4k_v0.6.1 and vmaf_4k_v0.6.1neg (4K from 1.5 "
     "heights), vmaf_b_v0.6.3 (v0.6.1 with the spread of 20 retrained members); the v1 "
     "generation: vmaf_v1.0.16_3d0h (HD on a TV from 3 heights), vmaf_v1.0.16_5d0h (a phone or "
     "laptop, 5 heights), vmaf_v1.0.16_1d5h_2160 (4K from 1.5 heights), vmaf_v1.0.16_3d0h_2160 "
     "(4K from 3 heights), and vmaf_v1.0.16_hfr_3d0h, _hfr_5d0h, _hfr_1d5h_2160, _hfr_3d0h_2160 "
     "for the same at high frame rates; or path:FILE (a model file in libvmaf's JSON format; "
     "FILE without colons). FEATURE.OPTION=VALUE sets a feature's option for the model (adm., "
     "vif., motion., cambi., speed_chroma.)"},
    {"name", OptionType::kString, "", "the score's name (vmaf, or vmaf_neg for NEG models)"},
    {"enable_transform", OptionType::kBool, "false", "apply the model's score transform"},
    {"disable_clip", OptionType::kBool, "false", "do not clip the score to the model's range"},
};
const MetricOption kVmafNegOptions[] = {
    {"model", OptionType::kString, "vmaf_v0.6.1neg", "as vmaf's model option"},
    {"name", OptionType::kString, "", "the score's name (vmaf_neg)"},
    {"enable_transform", OptionType::kBool, "false", "apply the model's score transform"},
    {"disable_clip", OptionType::kBool, "false", "do not clip the score to the model's range"},
};

// Where a model's feature comes from: the metric that writes it and its column before option
// suffixes. A model names a feature by libvmaf's long name or by its column.
struct FeatureSource {
  const char* libvmaf_name;
  const char* metric;
  const char* column;
};
const FeatureSource kSources[] = {
    {"VMAF_integer_feature_adm2_score", "integer_adm", "integer_adm2"},
    {"VMAF_integer_feature_adm_scale0_score", "integer_adm", "integer_adm_scale0"},
    {"VMAF_integer_feature_adm_scale1_score", "integer_adm", "integer_adm_scale1"},
    {"VMAF_integer_feature_adm_scale2_score", "integer_adm", "integer_adm_scale2"},
    {"VMAF_integer_feature_adm_scale3_score", "integer_adm", "integer_adm_scale3"},
    {"VMAF_integer_feature_adm3_score", "integer_adm", "integer_adm3"},
    {"VMAF_integer_feature_aim_score", "integer_adm", "integer_aim"},
    {"VMAF_integer_feature_motion3_score", "integer_motion", "integer_motion3"},
    {"Cambi_feature_cambi_score", "cambi", "cambi"},
    {"Speed_chroma_feature_speed_chroma_u_score", "speed_chroma", "speed_chroma_u"},
    {"Speed_chroma_feature_speed_chroma_v_score", "speed_chroma", "speed_chroma_v"},
    {"Speed_chroma_feature_speed_chroma_uv_score", "speed_chroma", "speed_chroma_uv"},
    {"VMAF_integer_feature_motion2_score", "integer_motion", "integer_motion2"},
    {"VMAF_integer_feature_motion_score", "integer_motion", "integer_motion"},
    {"VMAF_integer_feature_vif_scale0_score", "integer_vif", "integer_vif_scale0"},
    {"VMAF_integer_feature_vif_scale1_score", "integer_vif", "integer_vif_scale1"},
    {"VMAF_integer_feature_vif_scale2_score", "integer_vif", "integer_vif_scale2"},
    {"VMAF_integer_feature_vif_scale3_score", "integer_vif", "integer_vif_scale3"},
};

// The feature extractors by libvmaf's names, as a model's feature options are overridden
// ("cambi.enc_width=1280"); the metric's own name is taken too.
const struct {
  const char* libvmaf_name;
  const char* metric;
} kExtractors[] = {
    {"adm", "integer_adm"}, {"vif", "integer_vif"},           {"motion", "integer_motion"},
    {"cambi", "cambi"},     {"speed_chroma", "speed_chroma"},
};

const char* extractor_metric(const std::string& name) {
  for (const auto& e : kExtractors)
    if (name == e.libvmaf_name || name == e.metric) return e.metric;
  return nullptr;
}

// The options a request gives its model's features: metric, option and value.
struct FeatureOption {
  std::string metric, option, value;
};

int feature_options(const MetricOptions& o, std::vector<FeatureOption>* out, std::string* why) {
  out->clear();
  for (const MetricOptions::Value& v : o.values) {
    const size_t dot = v.name.find('.');
    if (dot == std::string::npos) continue;
    const std::string feature = v.name.substr(0, dot), option = v.name.substr(dot + 1);
    const char* metric = extractor_metric(feature);
    if (metric == nullptr) {
      *why = "vmaf: no model feature is computed by '" + feature +
             "' (its options are given as adm., vif., motion., cambi. or speed_chroma.)";
      return 0;
    }
    bool known = false;
    for (const MetricOption& mo : find_metric(metric)->options)
      known = known || option == mo.name;
    if (!known) {
      *why = "vmaf: option " + v.name + ": " + feature + " has no option '" + option + "'";
      return 0;
    }
    out->push_back({metric, option, v.text});
  }
  return 1;
}

// A feature's options ("k=v:k=v") with `over`'s for its metric laid over them: a given option
// replaces the model's, a new one is added after them.
std::string merged_options(const std::string& options, const std::string& metric,
                           const std::vector<FeatureOption>& over) {
  std::vector<std::pair<std::string, std::string>> kv;
  for (size_t at = 0; at < options.size();) {
    const size_t end = std::min(options.find(':', at), options.size());
    const std::string item = options.substr(at, end - at);
    const size_t eq = item.find('=');
    kv.emplace_back(item.substr(0, eq), eq == std::string::npos ? "" : item.substr(eq + 1));
    at = end + 1;
  }
  for (const FeatureOption& f : over) {
    if (f.metric != metric) continue;
    auto it =
        std::find_if(kv.begin(), kv.end(), [&](const auto& p) { return p.first == f.option; });
    if (it != kv.end())
      it->second = f.value;
    else
      kv.emplace_back(f.option, f.value);
  }
  std::string s;
  for (const auto& [k, v] : kv)
    s += (s.empty() ? "" : ":") + k + "=" + v;
  return s;
}

const FeatureSource* source_of(const std::string& name) {
  for (const FeatureSource& s : kSources)
    if (name == s.libvmaf_name || name == s.column) return &s;
  return nullptr;
}

// One feature of a model resolved: the request that computes it and the column it reads.
struct Resolved {
  std::string request;
  std::string column;
};

// `label` names the model as the request does (one file may be named more ways than one).
int resolve(const Model& m, const std::string& label, const std::vector<FeatureOption>& over,
            std::vector<Resolved>* out, std::string* why) {
  out->clear();
  for (const vmaf::ModelFeature& f : m.features) {
    const FeatureSource* s = source_of(f.name);
    if (s == nullptr) {
      *why = "model " + label + " needs feature " + f.name + ", which no metric here computes";
      return 0;
    }
    Resolved r;
    const std::string options = merged_options(f.options, s->metric, over);
    r.request = options.empty() ? s->metric : std::string(s->metric) + "=" + options;
    MetricRequest req;
    std::string w;
    if (!parse_metric_request(r.request, &req, &w)) {
      *why = "model " + label + " needs " + r.request + ": " + w;
      return 0;
    }
    // The column is the feature's name with the suffix its options add ("integer_adm2_egl_1").
    const std::string base = s->column;
    for (const std::string& c : req.row->scores(req.options))
      if (c == base || (c.size() > base.size() && c.compare(0, base.size(), base) == 0 &&
                        c[base.size()] == '_')) {
        r.column = c;
        break;
      }
    if (r.column.empty()) {
      *why = "model " + label + ": " + r.request + " writes no " + base;
      return 0;
    }
    out->push_back(std::move(r));
  }
  return 1;
}

// The model the options name, read once per process and shared by every request and scorer,
// and the features of it and of each of its members, in that order.
int load(const MetricOptions& o, std::shared_ptr<const Model>* m,
         std::vector<std::vector<Resolved>>* features, std::string* why) {
  const std::string name = o.get_string("model");
  const std::string label = name.substr(0, 5) == "path:" ? name.substr(5) : name;
  std::string w;
  std::vector<FeatureOption> over;
  if (!feature_options(o, &over, why)) return 0;
  if (!vmaf::load_model(name, m, &w)) {
    *why = "vmaf: " + w;
    return 0;
  }
  features->assign(1 + (*m)->members.size(), {});
  for (size_t i = 0; i < features->size(); ++i)
    if (!resolve(i == 0 ? **m : (*m)->members[i - 1], label, over, &(*features)[i], &w)) {
      *why = "vmaf: " + w;
      return 0;
    }
  return 1;
}

std::string score_name(const MetricOptions& o) {
  const std::string name = o.get_string("name");
  if (!name.empty()) return name;
  const std::string model = o.get_string("model");
  const bool neg = model.substr(0, 5) != "path:" && model.size() >= 3 &&
                   model.compare(model.size() - 3, 3, "neg") == 0;
  return neg ? "vmaf_neg" : "vmaf";
}

// A bootstrap model's scores after its own: each member's, then the members' statistics.
std::vector<std::string> bootstrap_names(const std::string& name, size_t members) {
  std::vector<std::string> v;
  for (size_t i = 1; i <= members; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "_%04zu", i);
    v.push_back(name + number);
  }
  for (const char* s : {"_bagging", "_stddev", "_ci_p95_lo", "_ci_p95_hi"})
    v.push_back(name + s);
  return v;
}

std::vector<std::string> vmaf_scores(const MetricOptions& o) {
  std::vector<std::string> v = {score_name(o)};
  std::shared_ptr<const Model> m;
  std::string why;
  if (vmaf::load_model(o.get_string("model"), &m, &why) && !m->members.empty())
    for (std::string& s : bootstrap_names(v[0], m->members.size()))
      v.push_back(std::move(s));
  return v;
}

int check_vmaf(const MetricOptions& o, std::string* why) {
  const std::string name = o.get_string("name");
  if (const char* fault = name.empty() ? nullptr : score_name_fault(name)) {
    *why = "vmaf: option name: '" + name + "' " + fault;
    return 0;
  }
  std::shared_ptr<const Model> m;
  std::vector<std::vector<Resolved>> f;
  return load(o, &m, &f, why);
}

std::vector<std::string> vmaf_needs(const MetricOptions& o) {
  std::shared_ptr<const Model> m;
  std::vector<std::vector<Resolved>> f;
  std::string why;
  std::vector<std::string> v;
  if (!load(o, &m, &f, &why)) return v;
  for (const std::vector<Resolved>& model : f)
    for (const Resolved& r : model) {
      bool have = false;
      for (const std::string& s : v)
        have = have || s == r.request;
      if (!have) v.push_back(r.request);
    }
  return v;
}

class VmafMetric final : public Metric {
 public:
  VmafMetric(std::shared_ptr<const Model> m, std::vector<std::vector<Resolved>> features,
             const MetricOptions& o)
      : model_(std::move(m)),
        features_(std::move(features)),
        name_(score_name(o)),
        force_transform_(o.get_bool("enable_transform")),
        no_clip_(o.get_bool("disable_clip")) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    (void)pair;
    (void)ref;
    (void)dist;
    (void)table;
    return MetricStatus::kOk;
  }

  MetricStatus flush(ScoreTable* table) override {
    std::vector<int> out = {table->declare(name_)};
    const size_t members = model_->members.size();
    if (members > 0)
      for (const std::string& n : bootstrap_names(name_, members))
        out.push_back(table->declare(n));
    // The columns each model reads, the model's first.
    std::vector<std::vector<int>> columns(features_.size());
    for (size_t i = 0; i < features_.size(); ++i)
      for (const Resolved& r : features_[i]) {
        const int c = table->find(r.column);
        if (c < 0) return MetricStatus::kOk;  // no pair was scored
        columns[i].push_back(c);
      }
    std::vector<double> x, raw(members);
    for (int32_t pair = 0; pair < table->rows(); ++pair) {
      bool all = true;
      for (size_t i = 0; i < columns.size() && all; ++i) {
        x.resize(columns[i].size());
        for (size_t k = 0; k < columns[i].size() && all; ++k)
          all = table->get(columns[i][k], pair, &x[k]) == 1;
        if (!all) break;
        const Model& m = i == 0 ? *model_ : model_->members[i - 1];
        const double y = vmaf::regress(m, x);
        table->set(out[i], pair, vmaf::finish(m, y, force_transform_, no_clip_));
        if (i > 0) raw[i - 1] = y;
      }
      if (!all || members == 0) continue;
      const vmaf::BootstrapScores b =
          vmaf::bootstrap(model_->members[0], raw, force_transform_, no_clip_);
      const double stats[] = {b.bagging, b.stddev, b.ci_p95_lo, b.ci_p95_hi};
      for (size_t k = 0; k < 4; ++k)
        table->set(out[1 + members + k], pair, stats[k]);
    }
    return MetricStatus::kOk;
  }

 private:
  std::shared_ptr<const Model> model_;
  std::vector<std::vector<Resolved>> features_;
  std::string name_;
  bool force_transform_;
  bool no_clip_;
};

MetricStatus make_vmaf(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                       std::unique_ptr<Metric>* out, std::string* why) {
  (void)form;
  (void)cpu_flags;
  std::shared_ptr<const Model> m;
  std::vector<std::vector<Resolved>> f;
  if (!load(o, &m, &f, why)) return MetricStatus::kUnsupported;
  *out = std::make_unique<VmafMetric>(std::move(m), std::move(f), o);
  return MetricStatus::kOk;
}

}  // namespace

// Temporal so that its flush follows the flush of integer_motion, which writes its last pairs
// there; its score() does nothing, so being called in pair order costs nothing.
const MetricRow& vmaf_metric() {
  static const MetricRow row = {
      "vmaf",       "libvmaf's VMAF model (vmaf_v0.6.1 unless model= names another)",
      kVmafOptions, kMetricTemporal | kMetricUniqueNames | kMetricFeatureOptions,
      vmaf_scores,  make_vmaf,
      vmaf_needs,   check_vmaf};
  return row;
}

const MetricRow& vmaf_neg_metric() {
  static const MetricRow row = {
      "vmaf_neg",      "libvmaf's VMAF NEG model (vmaf with model=vmaf_v0.6.1neg)",
      kVmafNegOptions, kMetricTemporal | kMetricUniqueNames | kMetricFeatureOptions,
      vmaf_scores,     make_vmaf,
      vmaf_needs,      check_vmaf};
  return row;
}

}  // namespace vq
