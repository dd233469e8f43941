// The model's arithmetic and libsvm's text form. The order of every sum is libvmaf's, so that
// the prediction is the same double: features normalised one by one, the kernel's squared
// distance summed over the features in order, the weighted kernels over the support vectors in
// order, then the denormalisation, the transform and the clip.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include "metrics/vmaf/model.h"

namespace vq::vmaf {

namespace {

// A model of more support vectors than any libvmaf ships is refused rather than read.
constexpr int64_t kMaxSupportVectors = 1 << 20;

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
  // What is reserved by the count is bounded by the text; the elements grow as they are read.
  out->coef.assign(size_t(total), 0.0);
  out->first.assign(1, 0);
  out->first.reserve(size_t(total) + 1);
  out->element_feature.clear();
  out->element_value.clear();
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
      out->element_feature.push_back(uint8_t(index - 1));
      out->element_value.push_back(v);
      last = index;
    }
    out->first.push_back(uint32_t(out->element_value.size()));
  }
  return 1;
}

namespace {

// Where the chroma correction reads and writes: the one feature whose name holds "adm3" and the
// one whose name holds "speed_chroma"; -1 where there is not exactly one.
int feature_holding(const Model& m, const char* part) {
  int at = -1;
  for (size_t k = 0; k < m.features.size(); ++k)
    if (m.features[k].name.find(part) != std::string::npos) {
      if (at >= 0) return -1;
      at = int(k);
    }
  return at;
}

}  // namespace

double regress(const Model& m, std::span<const double> features) {
  const size_t n = m.features.size();
  double x[64];
  for (size_t k = 0; k < n; ++k)
    x[k] = m.linear_rescale ? m.features[k].slope * features[k] + m.features[k].intercept
                            : features[k];
  if (m.chroma_correction) {
    // Both features are taken back from their normalised values, as libvmaf does, so that the
    // luma feature is the same double its correction starts from.
    const auto raw = [&](int k) {
      return m.linear_rescale
                 ? (x[k] - m.features[size_t(k)].intercept) / m.features[size_t(k)].slope
                 : x[k];
    };
    const int luma = feature_holding(m, "adm3");
    const int chroma = feature_holding(m, "speed_chroma");
    if (luma >= 0 && chroma >= 0 && raw(chroma) == 0.0) {
      const double c = m.chroma_correction_parameter;
      const double corrected = (-c * raw(luma)) + c;
      const ModelFeature& f = m.features[size_t(chroma)];
      x[chroma] = m.linear_rescale ? f.slope * corrected + f.intercept : corrected;
    }
  }
  double sum = 0;
  for (size_t i = 0; i < m.coef.size(); ++i) {
    size_t e = m.first[i];
    const size_t end = m.first[i + 1];
    double d2 = 0;
    for (size_t k = 0; k < n; ++k) {
      double sv = 0;  // an element the text leaves out
      if (e < end && m.element_feature[e] == k) sv = m.element_value[e++];
      const double d = x[k] - sv;
      d2 += d * d;
    }
    sum += m.coef[i] * std::exp(-m.gamma * d2);
  }
  double y = sum - m.rho;
  if (m.linear_rescale) y = (y - m.intercept) / m.slope;
  return y;
}

double finish(const Model& m, double y, bool force_transform, bool no_clip) {
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

double predict(const Model& m, std::span<const double> features, bool force_transform,
               bool no_clip) {
  return finish(m, regress(m, features), force_transform, no_clip);
}

BootstrapScores bootstrap(const Model& first_member, std::span<const double> raw,
                          bool force_transform, bool no_clip) {
  const size_t n = raw.size();
  double sum = 0;
  for (const double v : raw)
    sum += v;
  const double mean = sum / double(n);
  double ssd = 0;
  for (const double v : raw)
    ssd += std::pow(v - mean, 2);
  std::vector<double> sorted(raw.begin(), raw.end());
  std::sort(sorted.begin(), sorted.end());
  // Linear interpolation between the closest ranks.
  const auto percentile = [&](double perc) {
    const double p = perc * double(n - 1) / 100.;
    const size_t lo = size_t(std::floor(p)), hi = size_t(std::ceil(p));
    return lo == hi ? sorted[lo] : sorted[lo] * (double(hi) - p) + sorted[hi] * (p - double(lo));
  };
  const auto map = [&](double y) { return finish(first_member, y, force_transform, no_clip); };
  // The mapping's slope at the mean, over a step of 0.01 either side.
  const double delta = 0.01;
  const double slope = (map(mean + delta) - map(mean - delta)) / (2.0 * delta);
  return {map(mean), std::sqrt(ssd / double(n)) * slope, map(percentile(2.5)),
          map(percentile(97.5))};
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
  m.chroma_correction = b.chroma_correction;
  m.chroma_correction_parameter = b.chroma_correction_parameter;
  for (int i = 0; i < b.member_count; ++i) {
    Model member;
    if (!from_bundled(b.members[i], &member, why)) return 0;
    m.members.push_back(std::move(member));
  }
  *out = std::move(m);
  return 1;
}

}  // namespace

namespace {

// Closes the descriptor it holds.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// Opens the model file without waiting on it (a FIFO without a writer would block the open),
// refuses what is not a regular file or is larger than a model, and reads it whole, at most
// kMaxModelFileBytes (a file that grows while read is refused too). *key names the file as it
// is now: its device, inode, size and time of change.
int read_model_file(const std::string& path, std::string* text, std::string* key,
                    std::string* why) {
  const std::string what = "cannot read the model file " + path + ": ";
  const Descriptor f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st;
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
    *why = what + std::strerror(errno);
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = what + "it is " + kind_of(st.st_mode) + ", not a regular file";
    return 0;
  }
  const std::string too_large = what + "larger than " + std::to_string(kMaxModelFileBytes >> 20) +
                                " MiB (libvmaf's models take tens of kilobytes)";
  if (st.st_size > kMaxModelFileBytes) {
    *why = too_large;
    return 0;
  }
  std::string bytes(size_t(st.st_size) + 1, '\0');  // one more, to see a file that grew
  size_t got = 0;
  while (true) {
    if (got == bytes.size()) {
      if (bytes.size() > size_t(kMaxModelFileBytes)) {
        *why = too_large;
        return 0;
      }
      bytes.resize(std::min(bytes.size() * 2, size_t(kMaxModelFileBytes) + 1));
    }
    const ssize_t n = ::read(f.fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = what + std::strerror(errno);
      return 0;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  bytes.resize(got);
  *text = std::move(bytes);
  *key = "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
  return 1;
}

// Every model read so far, by its bundled name or its file's key.
std::mutex models_mutex;
std::map<std::string, std::shared_ptr<const Model>>& models_read() {
  static std::map<std::string, std::shared_ptr<const Model>> models;
  return models;
}

}  // namespace

int load_model(std::string_view name, std::shared_ptr<const Model>* out, std::string* why) {
  const std::lock_guard lock(models_mutex);
  auto& models = models_read();
  const BundledModel* bundled = nullptr;
  std::string key, text;
  const std::string path(name.substr(0, 5) == "path:" ? name.substr(5) : "");
  if (name.substr(0, 5) == "path:") {
    if (!read_model_file(path, &text, &key, why)) return 0;
  } else {
    for (int i = 0; i < kBundledModelCount && bundled == nullptr; ++i)
      if (name == kBundledModels[i].name) bundled = &kBundledModels[i];
    if (bundled == nullptr) {
      *why = "no bundled model is named '" + std::string(name) +
             "' (bundled: " + bundled_model_names() + "; a file is model=path:FILE)";
      return 0;
    }
    key = "bundled " + std::string(name);
  }
  if (const auto it = models.find(key); it != models.end()) {
    *out = it->second;
    return 1;
  }
  auto m = std::make_shared<Model>();
  if (bundled != nullptr) {
    if (!from_bundled(*bundled, m.get(), why)) return 0;
  } else {
    if (!parse_model_json(text, m.get(), why)) {
      *why = "model file " + path + ": " + *why;
      return 0;
    }
    m->name = path;
  }
  models.emplace(key, m);
  *out = std::move(m);
  return 1;
}

}  // namespace vq::vmaf
