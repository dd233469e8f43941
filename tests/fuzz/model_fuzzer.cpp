// Fuzz target for the VMAF model reader: any bytes as a model file in libvmaf's JSON format, and
// as libsvm's text of a model over six features. Every model read is predicted on a few feature
// vectors, with and without its transform and clip, and must hold together: a support vector's
// elements where its offsets say, a clipped finite score inside the clip; a bootstrap model's
// members each so, and their interval inside the clip.
// Built with libFuzzer by run.sh, and replayed over the seed corpus by the normal test suite.
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/vmaf/model.h"

namespace {

using vq::vmaf::Model;

void check(const Model& m) {
  const size_t n = m.features.size();
  if (n == 0 || n > 64 || m.first.size() != m.coef.size() + 1 || m.first.front() != 0 ||
      m.first.back() != m.element_value.size() ||
      m.element_feature.size() != m.element_value.size())
    __builtin_trap();
  for (size_t i = 0; i + 1 < m.first.size(); ++i)
    for (uint32_t e = m.first[i]; e < m.first[i + 1]; ++e)
      if (m.element_feature[e] >= n ||
          (e > m.first[i] && m.element_feature[e] <= m.element_feature[e - 1]))
        __builtin_trap();
  // Feature values as the metrics write them, and beyond.
  static const double kValues[] = {0, 1, 0.5, 0.93, 3.2, 100, 1e-9, 1e9};
  for (size_t shift = 0; shift < 3; ++shift) {
    std::vector<double> x(n);
    for (size_t k = 0; k < n; ++k)
      x[k] = kValues[(k + shift * 3) % std::size(kValues)];
    for (const bool transform : {false, true})
      for (const bool no_clip : {false, true}) {
        const double y = vq::vmaf::predict(m, x, transform, no_clip);
        if (m.clip && !no_clip && std::isfinite(y) && (y < m.clip_min || y > m.clip_max))
          __builtin_trap();
      }
    // A bootstrap model's members, each a whole model, and their statistics.
    if (m.members.empty()) continue;
    std::vector<double> raw;
    for (const Model& member : m.members) {
      check(member);
      std::vector<double> xm(member.features.size(), x.empty() ? 0.5 : x[0]);
      raw.push_back(vq::vmaf::regress(member, xm));
    }
    const vq::vmaf::BootstrapScores b = vq::vmaf::bootstrap(m.members[0], raw, false, false);
    const Model& first = m.members[0];
    if (first.clip && std::isfinite(b.ci_p95_lo) &&
        (b.ci_p95_lo < first.clip_min || b.ci_p95_hi > first.clip_max))
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string why;
  Model json;
  if (vq::vmaf::parse_model_json(text, &json, &why)) check(json);
  Model svm;
  svm.features.resize(6);
  if (vq::vmaf::parse_svm_text(text, 6, &svm, &why)) check(svm);
  return 0;
}
