// VMAF's model: libvmaf's nu-SVR regression over normalised features, its score transform and
// its clip, and the bootstrap models whose members' spread gives a confidence interval. Models
// come bundled (models.cpp, written from libvmaf's JSON files) or from a file in libvmaf's JSON
// model format (model=path:FILE). Private to metrics/vmaf/ and its tests.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vq::vmaf {

// The optional mapping of the prediction, applied before the clip: a polynomial of up to the
// second order, then a piecewise-linear mapping, then the rectifications.
struct Transform {
  bool enabled = false;
  bool has_p[3] = {false, false, false};
  double p[3] = {0, 0, 0};
  bool out_lte_in = false;
  bool out_gte_in = false;
  std::vector<std::pair<double, double>> knots;  // empty: no piecewise mapping
};

struct ModelFeature {
  std::string name;     // libvmaf's feature name, "VMAF_integer_feature_adm2_score"
  std::string options;  // the extractor's options, "adm_enhn_gain_limit=1", or ""
  double slope = 1;
  double intercept = 0;
};

struct Model {
  std::string name;  // "vmaf_v0.6.1", or the file's path
  std::vector<ModelFeature> features;
  bool linear_rescale = true;
  double slope = 1;  // of the prediction, undone after the regression
  double intercept = 0;
  bool clip = false;
  double clip_min = 0;
  double clip_max = 0;
  Transform transform;
  double gamma = 0;  // the RBF kernel's
  double rho = 0;
  std::vector<double> coef;  // one per support vector
  // The support vectors as libsvm's text holds them, without the elements it leaves out (those
  // are 0): vector i is elements first[i] to first[i + 1] - 1, each a feature (0-based, rising
  // within a vector) and its value. Kept sparse, a model takes memory in proportion to its text.
  std::vector<uint32_t> first;  // coef.size() + 1 offsets
  std::vector<uint8_t> element_feature;
  std::vector<double> element_value;
  // When set, a chroma feature ("speed_chroma") of exactly 0 is replaced, before the regression,
  // by this parameter times one minus the luma feature ("adm3"): a picture without chroma
  // detail is judged by its luma.
  bool chroma_correction = false;
  double chroma_correction_parameter = 0;
  // A bootstrap model: this model gives the score, its members (each a whole model, the same
  // features retrained on a resampling) give the spread. Empty for a plain model.
  std::vector<Model> members;
};

// A bundled model as models.cpp writes it.
struct BundledTransform {
  bool enabled;
  bool has_p0, has_p1, has_p2;
  double p0, p1, p2;
  bool out_lte_in, out_gte_in;
};
struct BundledModel {
  const char* name;
  int feature_count;
  const char* const* features;
  const char* const* options;
  const double* slopes;  // the prediction's first, then one per feature
  const double* intercepts;
  bool linear_rescale;
  bool clip;
  double clip_min, clip_max;
  BundledTransform transform;
  const char* svm;  // libsvm's text form
  bool chroma_correction;
  double chroma_correction_parameter;
  const BundledModel* members;  // a bootstrap model's, or null
  int member_count;
};
extern const BundledModel kBundledModels[];
extern const int kBundledModelCount;

// The names of the bundled models, for --help and refusals: "vmaf_v0.6.1, vmaf_v0.6.1neg, ...".
[[nodiscard]] std::string bundled_model_names();

// The largest model file read. libvmaf's models take tens of kilobytes.
inline constexpr int64_t kMaxModelFileBytes = int64_t(16) << 20;

// Reads the model a `model=` option names: a bundled model's name, or "path:FILE" for a file in
// libvmaf's JSON model format (a regular file of at most kMaxModelFileBytes: a FIFO, a device or
// a directory is refused without waiting on it). A model is read once per process and shared,
// never changed: every request, check and scorer naming the same bundled model, or the same file
// unchanged (through any spelling or link), gets the same one. 1 and *out, or 0 with *why saying
// what is wrong.
[[nodiscard]] int load_model(std::string_view name, std::shared_ptr<const Model>* out,
                             std::string* why);

// Reads libvmaf's JSON model format from memory, every field checked (needs nlohmann-json in the
// build; without it 0 and *why says so).
[[nodiscard]] int parse_model_json(std::string_view text, Model* out, std::string* why);

// Reads libsvm's text form of a nu-SVR model with an RBF kernel over `dimensions` features into
// *out (gamma, rho, coef, sv). 1, or 0 with *why.
[[nodiscard]] int parse_svm_text(std::string_view text, int dimensions, Model* out,
                                 std::string* why);

// The model's score for one pair's raw feature values (model order), as libvmaf predicts it:
// normalised, chroma-corrected where the model asks, regressed, denormalised (regress), then
// transformed where the model enables it or `force_transform` asks and clipped unless `no_clip`
// (finish).
[[nodiscard]] double regress(const Model& m, std::span<const double> features);
[[nodiscard]] double finish(const Model& m, double y, bool force_transform, bool no_clip);
[[nodiscard]] double predict(const Model& m, std::span<const double> features, bool force_transform,
                             bool no_clip);

// A bootstrap model's scores of one pair, from its members' regressions (member order, neither
// transformed nor clipped): their mean, their spread as the standard deviation, and the 2.5th
// and 97.5th percentiles, each then transformed and clipped as the first member's score is (the
// deviation scaled by that mapping's slope at the mean).
struct BootstrapScores {
  double bagging, stddev, ci_p95_lo, ci_p95_hi;
};
[[nodiscard]] BootstrapScores bootstrap(const Model& first_member, std::span<const double> raw,
                                        bool force_transform, bool no_clip);

}  // namespace vq::vmaf
