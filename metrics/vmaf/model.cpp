// The model's arithmetic and libsvm's text form. The order of every sum is libvmaf's, so that
// the prediction is the same double: features normalised one by one, the kernel's squared
// distance summed over the features in order, the weighted kernels over the support vectors in
// order, then the denormalisation, the transform and the clip.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "metrics/vmaf/model.h"

namespace vq::vmaf {

namespace {

// A model of more support vectors or features than any libvmaf ships is refused rather than
// read: the reader allocates by the counts it is given.
constexpr int64_t kMaxSupportVectors = 1 << 20;
constexpr size_t kMaxModelFileBytes = size_t(64) << 20;

int parse_double(std::string_view s, double* out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *out);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(*out) ? 1 : 0;
}

int parse_int(std::string_view s, int64_t* out) {
  const char* end = s.data() + s.size();
  const auto r = std::from_chars(s.data(), end, *out);
  return r.ec == std::errc() && r.ptr == end ? 1 : 0;
}

// Splits off the next token of `line` (separated by spaces or tabs).
std::string_view next_token(std::string_view* line) {
  size_t b = 0;
  while (b < line->size() && ((*line)[b] == ' ' || (*line)[b] == '\t' || (*line)[b] == '\r'))
    ++b;
  size_t e = b;
  while (e < line->size() && (*line)[e] != ' ' && (*line)[e] != '\t' && (*line)[e] != '\r')
    ++e;
  const std::string_view t = line->substr(b, e - b);
  line->remove_prefix(e);
  return t;
}

std::string_view next_line(std::string_view* text) {
  const size_t nl = text->find('\n');
  const std::string_view line = text->substr(0, nl);
  text->remove_prefix(nl == std::string_view::npos ? text->size() : nl + 1);
  return line;
}

// Maps x through the knots: each segment's line over its span, the first and last lines beyond
// the ends, a horizontal segment its value. Where two segments meet, the later one's value
// stands, as libvmaf evaluates them in order.
double piecewise(const std::vector<std::pair<double, double>>& k, double x) {
  double y = 0;
  const size_t segments = k.size() - 1;
  for (size_t i = 0; i < segments; ++i) {
    const auto [x0, y0] = k[i];
    const auto [x1, y1] = k[i + 1];
    const bool in = x0 <= x && x <= x1;
    const bool below = i == 0 && x < x0;
    const bool above = i == segments - 1 && x > x1;
    if (!(in || below || above)) continue;
    if (y0 == y1) {
      y = y0;
    } else {
      double slope, offset;
      if (x0 == 0) {
        offset = y0;
        slope = (y1 - offset) / x1;
      } else {
        slope = (y1 - y0) / (x1 - x0);
        offset = y0 - x0 * slope;
      }
      y = slope * x + offset;
    }
  }
  return y;
}

}  // namespace

int parse_svm_text(std::string_view text, int dimensions, Model* out, std::string* why) {
  bool nu_svr = false, rbf = false, have_gamma = false, have_rho = false;
  int64_t total = -1;
  while (!text.empty()) {
    std::string_view line = next_line(&text);
    const std::string_view key = next_token(&line);
    if (key.empty()) continue;
    const std::string_view value = next_token(&line);
    if (key == "SV") break;
    if (key == "svm_type") {
      nu_svr = value == "nu_svr";
    } else if (key == "kernel_type") {
      rbf = value == "rbf";
    } else if (key == "gamma") {
      have_gamma = parse_double(value, &out->gamma) == 1;
    } else if (key == "rho") {
      have_rho = parse_double(value, &out->rho) == 1;
    } else if (key == "total_sv") {
      if (!parse_int(value, &total)) total = -1;
    } else if (key != "nr_class" && key != "label" && key != "nr_sv" && key != "probA" &&
               key != "probB" && key != "degree" && key != "coef0") {
      *why = "unknown libsvm header line '" + std::string(key) + "'";
      return 0;
    }
  }
  if (!nu_svr || !rbf) {
    *why = "only nu-SVR models with an RBF kernel are read";
    return 0;
  }
  if (!have_gamma || !have_rho) {
    *why = "the libsvm model has no valid gamma or rho";
    return 0;
  }
  if (total < 1 || total > kMaxSupportVectors ||
      total > int64_t(text.size() / 2 + 1)) {  // each vector takes at least a coefficient
    *why = "the libsvm model's total_sv is missing or out of range";
    return 0;
  }
  out->coef.assign(size_t(total), 0.0);
  out->sv.assign(size_t(total) * size_t(dimensions), 0.0);
  for (int64_t i = 0; i < total; ++i) {
    if (text.empty()) {
      *why = "the libsvm model has fewer support vectors than its total_sv";
      return 0;
    }
    std::string_view line = next_line(&text);
    if (!parse_double(next_token(&line), &out->coef[size_t(i)])) {
      *why = "support vector " + std::to_string(i + 1) + " has no valid coefficient";
      return 0;
    }
    int64_t last = 0;
    for (std::string_view t = next_token(&line); !t.empty(); t = next_token(&line)) {
      const size_t colon = t.find(':');
      int64_t index = 0;
      double v = 0;
      if (colon == std::string_view::npos || !parse_int(t.substr(0, colon), &index) ||
          !parse_double(t.substr(colon + 1), &v) || index <= last || index > dimensions) {
        *why = "support vector " + std::to_string(i + 1) + " has a bad element '" + std::string(t) +
               "' (indices rise from 1 to the feature count)";
        return 0;
      }
      out->sv[size_t(i) * size_t(dimensions) + size_t(index - 1)] = v;
      last = index;
    }
  }
  return 1;
}

double predict(const Model& m, std::span<const double> features, bool force_transform,
               bool no_clip) {
  const size_t n = m.features.size();
  double x[64];
  for (size_t k = 0; k < n; ++k)
    x[k] = m.linear_rescale ? m.features[k].slope * features[k] + m.features[k].intercept
                            : features[k];
  double sum = 0;
  for (size_t i = 0; i < m.coef.size(); ++i) {
    const double* sv = &m.sv[i * n];
    double d2 = 0;
    for (size_t k = 0; k < n; ++k) {
      const double d = x[k] - sv[k];
      d2 += d * d;
    }
    sum += m.coef[i] * std::exp(-m.gamma * d2);
  }
  double y = sum - m.rho;
  if (m.linear_rescale) y = (y - m.intercept) / m.slope;

  const Transform& t = m.transform;
  if (t.enabled || force_transform) {
    const double in = y;
    double v = in;
    if (t.has_p[0] || t.has_p[1] || t.has_p[2]) {
      v = 0;
      if (t.has_p[0]) v += t.p[0];
      if (t.has_p[1]) v += t.p[1] * in;
      if (t.has_p[2]) v += t.p[2] * in * in;
    }
    if (t.knots.size() >= 2) v = piecewise(t.knots, v);
    if (t.out_lte_in && v > in) v = in;
    if (t.out_gte_in && v < in) v = in;
    y = v;
  }
  if (m.clip && !no_clip) {
    if (y < m.clip_min) y = m.clip_min;
    if (y > m.clip_max) y = m.clip_max;
  }
  return y;
}

std::string bundled_model_names() {
  std::string s;
  for (int i = 0; i < kBundledModelCount; ++i) {
    if (i > 0) s += ", ";
    s += kBundledModels[i].name;
  }
  return s;
}

namespace {

int from_bundled(const BundledModel& b, Model* out, std::string* why) {
  Model m;
  m.name = b.name;
  for (int k = 0; k < b.feature_count; ++k)
    m.features.push_back({b.features[k], b.options[k], b.slopes[k + 1], b.intercepts[k + 1]});
  m.linear_rescale = b.linear_rescale;
  m.slope = b.slopes[0];
  m.intercept = b.intercepts[0];
  m.clip = b.clip;
  m.clip_min = b.clip_min;
  m.clip_max = b.clip_max;
  m.transform.enabled = b.transform.enabled;
  m.transform.has_p[0] = b.transform.has_p0;
  m.transform.has_p[1] = b.transform.has_p1;
  m.transform.has_p[2] = b.transform.has_p2;
  m.transform.p[0] = b.transform.p0;
  m.transform.p[1] = b.transform.p1;
  m.transform.p[2] = b.transform.p2;
  m.transform.out_lte_in = b.transform.out_lte_in;
  m.transform.out_gte_in = b.transform.out_gte_in;
  if (!parse_svm_text(b.svm, b.feature_count, &m, why)) return 0;
  *out = std::move(m);
  return 1;
}

}  // namespace

int load_model(std::string_view name, Model* out, std::string* why) {
  if (name.substr(0, 5) == "path:") {
    const std::string path(name.substr(5));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
      *why = "cannot read the model file " + path + ": " + std::strerror(errno);
      return 0;
    }
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) {
      text.append(buf, got);
      if (text.size() > kMaxModelFileBytes) break;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || text.size() > kMaxModelFileBytes) {
      *why = "cannot read the model file " + path +
             (failed ? std::string(": read error") : std::string(": larger than 64 MiB"));
      return 0;
    }
    if (!parse_model_json(text, out, why)) {
      *why = "model file " + path + ": " + *why;
      return 0;
    }
    out->name = path;
    return 1;
  }
  for (int i = 0; i < kBundledModelCount; ++i)
    if (name == kBundledModels[i].name) return from_bundled(kBundledModels[i], out, why);
  *why = "no bundled model is named '" + std::string(name) +
         "' (bundled: " + bundled_model_names() + "; a file is model=path:FILE)";
  return 0;
}

}  // namespace vq::vmaf
