// libvmaf's JSON model format, read with nlohmann-json, every field checked before it is used:
// a malformed or hostile file is refused with the field it got wrong, never trusted.
#include <charconv>
#include <cmath>

#include "metrics/vmaf/model.h"

#if VQ_HAVE_NLOHMANN
#include <nlohmann/json.hpp>
#endif

namespace vq::vmaf {

#if VQ_HAVE_NLOHMANN

namespace {

using Json = nlohmann::json;

constexpr size_t kMaxFeatures = 64;  // as libvmaf reads
constexpr size_t kMaxKnots = 10;

// A model's document is a few levels deep and holds a few hundred values; one far beyond that is
// refused before it is built, since the document would take tens of bytes per byte of the file.
constexpr size_t kMaxDepth = 16;
constexpr size_t kMaxValues = 65536;

// Walks the text without building it (nlohmann-json's SAX interface), stopping at the first
// value beyond the bounds. `why` is set when the text is well-formed JSON beyond them.
struct DocumentBounds {
  size_t depth = 0, values = 0;
  std::string why;
  bool value() {
    if (++values <= kMaxValues) return true;
    why = "holds more than " + std::to_string(kMaxValues) + " JSON values (a model holds hundreds)";
    return false;
  }
  bool open() {
    if (++depth <= kMaxDepth) return value();
    why = "nests deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(Json::number_integer_t) { return value(); }
  bool number_unsigned(Json::number_unsigned_t) { return value(); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return value(); }
  bool string(Json::string_t&) { return value(); }
  bool binary(Json::binary_t&) { return value(); }
  bool key(Json::string_t&) { return value(); }
  bool start_object(size_t) { return open(); }
  bool start_array(size_t) { return open(); }
  bool end_object() { return --depth, true; }
  bool end_array() { return --depth, true; }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

int number(const Json& j, double* out) {
  if (!j.is_number()) return 0;
  *out = j.get<double>();
  return std::isfinite(*out) ? 1 : 0;
}

// An option value as libvmaf's dictionaries hold it: numbers in their shortest form.
std::string option_value(const Json& v) {
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  if (v.is_string()) return v.get<std::string>();
  const double d = v.get<double>();
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, r.ptr);
}

int numbers(const Json& j, size_t count, std::vector<double>* out) {
  if (!j.is_array() || j.size() != count) return 0;
  out->clear();
  for (const Json& e : j) {
    double d;
    if (!number(e, &d)) return 0;
    out->push_back(d);
  }
  return 1;
}

int read_transform(const Json& t, Transform* out, std::string* why) {
  if (!t.is_object()) {
    *why = "score_transform is not an object";
    return 0;
  }
  for (const auto& [key, v] : t.items()) {
    if (key == "enabled") {
      if (!v.is_boolean()) {
        *why = "score_transform.enabled is not true or false";
        return 0;
      }
      out->enabled = v.get<bool>();
    } else if (key == "p0" || key == "p1" || key == "p2") {
      const int i = key[1] - '0';
      if (v.is_null()) continue;
      if (!number(v, &out->p[i])) {
        *why = "score_transform." + key + " is not a number";
        return 0;
      }
      out->has_p[i] = true;
    } else if (key == "knots") {
      if (v.is_null()) continue;
      if (!v.is_array() || v.size() < 2 || v.size() > kMaxKnots) {
        *why = "score_transform.knots is not a list of 2 to 10 points";
        return 0;
      }
      for (const Json& k : v) {
        double x, y;
        if (!k.is_array() || k.size() != 2 || !number(k[0], &x) || !number(k[1], &y)) {
          *why = "score_transform.knots holds a point that is not [x, y]";
          return 0;
        }
        if (!out->knots.empty() &&
            !(out->knots.back().first < x && out->knots.back().second <= y)) {
          *why = "score_transform.knots do not rise";
          return 0;
        }
        out->knots.emplace_back(x, y);
      }
    } else if (key == "out_lte_in" || key == "out_gte_in") {
      if (!v.is_string()) {
        *why = "score_transform." + key + " is not a string";
        return 0;
      }
      (key == "out_lte_in" ? out->out_lte_in : out->out_gte_in) = v.get<std::string>() == "true";
    }
  }
  return 1;
}

// The model types libvmaf reads: a plain nu-SVR, and the two kinds of bootstrap member.
enum class ModelType { kPlain, kBootstrap, kResidueBootstrap };

int read_model_dict(const Json& d, Model* out, ModelType* type, std::string* why);

// A bootstrap model's document: models "0", "1", ... in order, the first giving the score, the
// others its members, all bootstrap members of one kind.
int read_collection(const Json& root, Model* out, std::string* why) {
  Model first;
  size_t count = 0;
  ModelType kind = ModelType::kPlain;
  for (;; ++count) {
    const auto it = root.find(std::to_string(count));
    if (it == root.end()) break;
    Model m;
    ModelType type;
    const std::string which = "model " + std::to_string(count) + ": ";
    if (!it->is_object() || !it->contains("model_dict")) {
      *why = which + "no model_dict object";
      return 0;
    }
    if (!read_model_dict((*it)["model_dict"], &m, &type, why)) {
      *why = which + *why;
      return 0;
    }
    if (count == 0) {
      first = std::move(m);
      continue;
    }
    if (type == ModelType::kPlain || (count > 1 && type != kind)) {
      *why = which +
             "the members of a bootstrap model are BOOTSTRAP_LIBSVMNUSVR or "
             "RESIDUEBOOTSTRAP_LIBSVMNUSVR models, all of one kind";
      return 0;
    }
    kind = type;
    first.members.push_back(std::move(m));
  }
  if (first.members.empty()) {
    *why = "no model_dict object, nor models \"0\", \"1\", ... of a bootstrap model";
    return 0;
  }
  *out = std::move(first);
  return 1;
}

int read_model_dict(const Json& d, Model* out, ModelType* type_out, std::string* why) {
  if (!d.is_object()) {
    *why = "model_dict is not an object";
    return 0;
  }
  Model m;
  const auto field = [&](const char* name) -> const Json* {
    const auto it = d.find(name);
    return it == d.end() ? nullptr : &*it;
  };

  const Json* type = field("model_type");
  const std::string type_name =
      type != nullptr && type->is_string() ? type->get<std::string>() : "";
  if (type_name == "LIBSVMNUSVR") {
    *type_out = ModelType::kPlain;
  } else if (type_name == "BOOTSTRAP_LIBSVMNUSVR") {
    *type_out = ModelType::kBootstrap;
  } else if (type_name == "RESIDUEBOOTSTRAP_LIBSVMNUSVR") {
    *type_out = ModelType::kResidueBootstrap;
  } else {
    *why = "model_type is not LIBSVMNUSVR, BOOTSTRAP_LIBSVMNUSVR or RESIDUEBOOTSTRAP_LIBSVMNUSVR";
    return 0;
  }
  const Json* names = field("feature_names");
  if (names == nullptr || !names->is_array() || names->empty() || names->size() > kMaxFeatures) {
    *why = "feature_names is not a list of 1 to 64 names";
    return 0;
  }
  for (const Json& n : *names) {
    if (!n.is_string()) {
      *why = "feature_names holds something that is not a name";
      return 0;
    }
    m.features.push_back({n.get<std::string>(), "", 1, 0});
  }
  const size_t n = m.features.size();

  if (const Json* opts = field("feature_opts_dicts")) {
    if (!opts->is_array() || opts->size() > n) {
      *why = "feature_opts_dicts is not a list of at most one object per feature";
      return 0;
    }
    for (size_t i = 0; i < opts->size(); ++i) {
      const Json& o = (*opts)[i];
      if (!o.is_object()) {
        *why = "feature_opts_dicts holds something that is not an object";
        return 0;
      }
      std::string s;
      for (const auto& [key, v] : o.items()) {
        if (!(v.is_boolean() || v.is_string() || v.is_number()) ||
            key.find_first_of(":=") != std::string::npos ||
            (v.is_string() && v.get<std::string>().find(':') != std::string::npos)) {
          *why = "feature_opts_dicts has an option '" + key + "' of a kind not read";
          return 0;
        }
        if (!s.empty()) s += ':';
        s += key + "=" + option_value(v);
      }
      m.features[i].options = s;
    }
  }

  const Json* norm = field("norm_type");
  if (norm != nullptr && (!norm->is_string() || (norm->get<std::string>() != "linear_rescale" &&
                                                 norm->get<std::string>() != "none"))) {
    *why = "norm_type is neither linear_rescale nor none";
    return 0;
  }
  m.linear_rescale = norm != nullptr && norm->get<std::string>() == "linear_rescale";
  if (m.linear_rescale) {
    std::vector<double> slopes, intercepts;
    const Json* s = field("slopes");
    const Json* i = field("intercepts");
    if (s == nullptr || i == nullptr || !numbers(*s, n + 1, &slopes) ||
        !numbers(*i, n + 1, &intercepts)) {
      *why = "slopes and intercepts are not lists of one number per feature plus one";
      return 0;
    }
    if (slopes[0] == 0) {
      *why = "the prediction's slope is 0";
      return 0;
    }
    m.slope = slopes[0];
    m.intercept = intercepts[0];
    for (size_t k = 0; k < n; ++k) {
      m.features[k].slope = slopes[k + 1];
      m.features[k].intercept = intercepts[k + 1];
    }
  }

  if (const Json* clip = field("score_clip")) {
    if (!clip->is_array() || clip->size() != 2 || !number((*clip)[0], &m.clip_min) ||
        !number((*clip)[1], &m.clip_max) || m.clip_min > m.clip_max) {
      *why = "score_clip is not [min, max]";
      return 0;
    }
    m.clip = true;
  }
  if (const Json* t = field("score_transform"))
    if (!read_transform(*t, &m.transform, why)) return 0;

  const Json* svm = field("model");
  if (svm == nullptr || !svm->is_string()) {
    *why = "no model string (libsvm's text form)";
    return 0;
  }
  if (!parse_svm_text(svm->get_ref<const std::string&>(), int(n), &m, why)) return 0;

  if (const Json* c = field("chroma_correction_parameter")) {
    // libvmaf predicts nothing with a parameter of 0, and needs one feature of each kind.
    if (!number(*c, &m.chroma_correction_parameter) || m.chroma_correction_parameter == 0) {
      *why = "chroma_correction_parameter is not a number other than 0";
      return 0;
    }
    int luma = 0, chroma = 0;
    for (const ModelFeature& f : m.features) {
      luma += f.name.find("adm3") != std::string::npos;
      chroma += f.name.find("speed_chroma") != std::string::npos;
    }
    if (luma != 1 || chroma != 1) {
      *why =
          "chroma_correction_parameter needs exactly one feature named with adm3 and one "
          "with speed_chroma";
      return 0;
    }
    m.chroma_correction = true;
  }
  *out = std::move(m);
  return 1;
}

}  // namespace

int parse_model_json(std::string_view text, Model* out, std::string* why) {
  DocumentBounds bounds;
  if (!Json::sax_parse(text.begin(), text.end(), &bounds) && !bounds.why.empty()) {
    *why = bounds.why;
    return 0;
  }
  const Json root = Json::parse(text.begin(), text.end(), nullptr, false);
  if (root.is_discarded()) {
    *why = "not valid JSON";
    return 0;
  }
  if (!root.is_object()) {
    *why = "no model_dict object";
    return 0;
  }
  if (!root.contains("model_dict")) return read_collection(root, out, why);
  ModelType type;
  return read_model_dict(root["model_dict"], out, &type, why);
}

#else

int parse_model_json(std::string_view text, Model* out, std::string* why) {
  (void)text;
  (void)out;
  *why = "this build reads no model files (it was built without nlohmann-json)";
  return 0;
}

#endif

}  // namespace vq::vmaf
