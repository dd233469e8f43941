// The VMAF model file reader on the NEG model's own file and on broken ones (with nlohmann-json;
// a build without it refuses model files), and the request sets a run expands or refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "metrics/metric.h"
#include "metrics/vmaf/model.h"

#if VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

namespace vq {
namespace {

namespace fs = std::filesystem;

const std::string kNegFile = std::string(VQ_REFERENCE_DIR) + "/models/vmaf_v0.6.1neg.json";

// A file of this test's own under the temporary folder, removed when the test ends.
struct TempFile {
  explicit TempFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
  ~TempFile() {
    std::error_code ec;
    fs::remove(path, ec);
  }
  static inline int count = 0;
  const std::string path =
      (fs::temp_directory_path() /
       ("vidqual-vmaf-" + std::to_string(::getpid()) + "-" + std::to_string(count++) + ".json"))
          .string();
};

#if VQ_HAVE_JSON

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A model's every field but its name, as one value to compare.
auto fields(const vmaf::Model& m) {
  std::vector<std::tuple<std::string, std::string, double, double>> features;
  for (const vmaf::ModelFeature& f : m.features)
    features.emplace_back(f.name, f.options, f.slope, f.intercept);
  const vmaf::Transform& t = m.transform;
  return std::tuple(features, m.linear_rescale, m.slope, m.intercept, m.clip, m.clip_min,
                    m.clip_max,
                    std::tuple(t.enabled, std::to_array(t.has_p), std::to_array(t.p), t.out_lte_in,
                               t.out_gte_in, t.knots),
                    m.gamma, m.rho, m.coef, m.first, m.element_feature, m.element_value,
                    m.chroma_correction, m.chroma_correction_parameter);
}

// libvmaf's model files read into the models bundled under their names, to the bit.
TEST(VmafModel, FileEqualsBundledModel) {
  for (const char* name : {"vmaf_v0.6.1neg", "vmaf_v1.0.16_3d0h"}) {
    const std::string path = std::string(VQ_REFERENCE_DIR) + "/models/" + name + ".json";
    std::shared_ptr<const vmaf::Model> file, bundled;
    std::string why;
    ASSERT_TRUE(vmaf::load_model("path:" + path, &file, &why)) << why;
    ASSERT_TRUE(vmaf::load_model(name, &bundled, &why)) << why;
    EXPECT_EQ(file->name, path);
    EXPECT_EQ(fields(*file), fields(*bundled)) << name;
  }
}

// One file is read once however many comparisons name it: the scorers of every comparison and
// every later request, through another spelling of its path too, hold the one model read.
TEST(VmafModel, ComparisonsShareOneModel) {
  TempFile f(read_text(kNegFile));
  std::shared_ptr<const vmaf::Model> first, again;
  std::string why;
  ASSERT_TRUE(vmaf::load_model("path:" + f.path, &first, &why)) << why;
  MetricRequest r;
  ASSERT_TRUE(parse_metric_request("vmaf=model=path:" + f.path, &r, &why)) << why;
  std::unique_ptr<Metric> scorers[2];
  for (auto& s : scorers)
    ASSERT_EQ(r.row->make(PictureForm{}, r.options, 0, &s, &why), MetricStatus::kOk) << why;
  const fs::path p(f.path);
  ASSERT_TRUE(
      vmaf::load_model("path:" + (p.parent_path() / "." / p.filename()).string(), &again, &why))
      << why;
  EXPECT_EQ(again.get(), first.get());
  EXPECT_EQ(first.use_count(), 5);  // the models read, `first`, `again` and the two scorers
}

using nlohmann::json;

// A broken model file: the NEG model's document with the value at the JSON pointer `at` set to
// the JSON text `value` (erased when value is null; appended when `at` ends in "/-"), or with
// its libsvm text's first `at` = "svm:FROM" replaced by `value`, or else `value` as the whole
// file; or, with `edit`, the document changed by it. The refusal names what is wrong with words
// of `why`.
struct BrokenModel {
  const char* name;
  const char* at;
  const char* value;
  const char* why;
  void (*edit)(json& doc) = nullptr;
};

const std::string kDeeplyNested = std::string(100000, '[') + std::string(100000, ']');

const BrokenModel kBrokenModels[] = {
    {"empty file", nullptr, "", "not valid JSON"},
    {"cut short", nullptr, R"({"model_dict": {"model_type": "LIBSVMNUSVR")", "not valid JSON"},
    {"a list", nullptr, "[1, 2, 3]", "model_dict"},
    {"deeply nested", nullptr, kDeeplyNested.c_str(), "nests deeper"},
    {"no model_dict", nullptr, R"({"param_dict": {}})", "model_dict"},
    {"model_dict a string", nullptr, R"({"model_dict": "x"})", "model_dict"},
    {"no model type", "/model_dict/model_type", nullptr, "model_type"},
    {"unknown model type", "/model_dict/model_type", R"("EPSILONSVR")", "model_type"},
    {"model type a number", "/model_dict/model_type", "3", "model_type"},
    {"chroma correction without its features", "/model_dict/chroma_correction_parameter", "120.0",
     "adm3"},
    {"chroma correction a string", "/model_dict/chroma_correction_parameter", R"("120")",
     "chroma_correction_parameter"},
    {"chroma correction 0", nullptr, nullptr, "other than 0",
     [](json& d) {
       d["model_dict"]["feature_names"][0] = "VMAF_integer_feature_adm3_score";
       d["model_dict"]["feature_names"][1] = "Speed_chroma_feature_speed_chroma_uv_score";
       d["model_dict"]["chroma_correction_parameter"] = 0;
     }},
    {"bootstrap without members", nullptr, nullptr, "bootstrap",
     [](json& d) {
       d = {{"0", d}};
     }},
    {"bootstrap member not a bootstrap model", nullptr, nullptr, "model 1: the members",
     [](json& d) {
       d = {{"0", d}, {"1", d}};
     }},
    {"bootstrap members of two kinds", nullptr, nullptr, "model 2: the members",
     [](json& d) {
       json a = d, b = d;
       a["model_dict"]["model_type"] = "BOOTSTRAP_LIBSVMNUSVR";
       b["model_dict"]["model_type"] = "RESIDUEBOOTSTRAP_LIBSVMNUSVR";
       d = {{"0", d}, {"1", a}, {"2", b}};
     }},
    {"bootstrap member without slopes", nullptr, nullptr, "model 1: slopes",
     [](json& d) {
       json a = d;
       a["model_dict"]["model_type"] = "BOOTSTRAP_LIBSVMNUSVR";
       a["model_dict"].erase("slopes");
       d = {{"0", d}, {"1", a}};
     }},
    {"no feature names", "/model_dict/feature_names", nullptr, "feature_names"},
    {"no features", "/model_dict/feature_names", "[]", "feature_names"},
    {"a feature name a number", "/model_dict/feature_names/2", "7", "feature_names"},
    {"feature names an object", "/model_dict/feature_names", "{}", "feature_names"},
    {"a huge feature list", nullptr, nullptr, "JSON values",
     [](json& d) {
       d["model_dict"]["feature_names"] =
           json(std::vector<std::string>(100000, "VMAF_integer_feature_adm2_score"));
     }},
    {"more option sets than features", "/model_dict/feature_opts_dicts/-", "{}",
     "feature_opts_dicts"},
    {"option sets an object", "/model_dict/feature_opts_dicts", "{}", "feature_opts_dicts"},
    {"an option set a number", "/model_dict/feature_opts_dicts/0", "1", "feature_opts_dicts"},
    {"an option a list", "/model_dict/feature_opts_dicts/0/adm_enhn_gain_limit", "[1, 2]",
     "adm_enhn_gain_limit"},
    {"an option value with a colon", "/model_dict/feature_opts_dicts/0/adm_enhn_gain_limit",
     R"("1:debug")", "adm_enhn_gain_limit"},
    {"an option name with '='", "/model_dict/feature_opts_dicts/0/a=b", "1", "a=b"},
    {"unknown norm type", "/model_dict/norm_type", R"("clip_0to1")", "norm_type"},
    {"norm type a number", "/model_dict/norm_type", "1", "norm_type"},
    {"no slopes", "/model_dict/slopes", nullptr, "slopes"},
    {"a slope too few", "/model_dict/slopes/6", nullptr, "slopes"},
    {"an intercept too many", "/model_dict/intercepts/-", "0.5", "intercepts"},
    {"a slope a string", "/model_dict/slopes/3", R"("1.5")", "slopes"},
    {"a slope beyond a double", "/model_dict/slopes/2", R"("1e400")",  // unquoted once written
     "not valid JSON"},
    {"the prediction's slope 0", "/model_dict/slopes/0", "0", "slope"},
    {"clip of one number", "/model_dict/score_clip", "[0.0]", "score_clip"},
    {"clip upside down", "/model_dict/score_clip", "[100.0, 0.0]", "score_clip"},
    {"clip a string", "/model_dict/score_clip", R"("0, 100")", "score_clip"},
    {"transform a list", "/model_dict/score_transform", "[1, 2]", "score_transform"},
    {"transform enabled a string", "/model_dict/score_transform/enabled", R"("true")", "enabled"},
    {"transform p1 a string", "/model_dict/score_transform/p1", R"("1.7")", "p1"},
    {"out_gte_in a bool", "/model_dict/score_transform/out_gte_in", "true", "out_gte_in"},
    {"one knot", "/model_dict/score_transform/knots", "[[0.0, 0.0]]", "knots"},
    {"eleven knots", nullptr, nullptr, "knots",
     [](json& d) {
       json k = json::array();
       for (int i = 0; i < 11; ++i)
         k.push_back({i * 10.0, i * 10.0});
       d["model_dict"]["score_transform"]["knots"] = k;
     }},
    {"a knot of three numbers", "/model_dict/score_transform/knots",
     "[[0.0, 0.0], [50.0, 40.0, 1.0]]", "knots"},
    {"a knot a number", "/model_dict/score_transform/knots", "[[0.0, 0.0], 5]", "knots"},
    {"knots falling", "/model_dict/score_transform/knots",
     "[[0.0, 0.0], [60.0, 70.0], [50.0, 100.0]]", "knots"},
    {"no libsvm model", "/model_dict/model", nullptr, "model string"},
    {"libsvm model a list", "/model_dict/model", "[1, 2]", "model string"},
    {"a classifier", "svm:nu_svr", "c_svc", "nu-SVR"},
    {"a linear kernel", "svm:kernel_type rbf", "kernel_type linear", "RBF"},
    {"gamma not a number", "svm:gamma 0.04", "gamma x", "gamma"},
    {"no rho", "svm:rho -1.33133\n", "", "rho"},
    {"an unknown header line", "svm:nr_class 2", "nr_class 2\nweights 4", "weights"},
    {"no total_sv", "svm:total_sv 211\n", "", "total_sv"},
    {"total_sv 0", "svm:total_sv 211", "total_sv 0", "total_sv"},
    {"total_sv beyond the text", "svm:total_sv 211", "total_sv 400000", "total_sv"},
    {"total_sv huge", "svm:total_sv 211", "total_sv 99999999999999999999", "total_sv"},
    {"a support vector too few", "svm:total_sv 211", "total_sv 212", "fewer support"},
    {"a coefficient not a number", "svm:SV\n-4 1:", "SV\nminus4 1:", "coefficient"},
    {"an element without a colon", "svm:2:0.34681232", "2 0.34681232", "bad element"},
    {"an element's value not a number", "svm:2:0.34681232", "2:abc", "bad element"},
    {"an element's value beyond a double", "svm:2:0.34681232", "2:1e999", "bad element"},
    {"element index beyond the features", "svm:6:0.73495824", "7:0.73495824", "bad element"},
    {"element indices falling", "svm:3:0.093755557", "1:0.093755557", "bad element"},
    {"an element index beyond 64 bits", "svm:6:0.73495824", "99999999999999999999:0.7",
     "bad element"},
};

// The file's text for a broken model, made from the NEG model's document `neg`.
std::string broken_text(const BrokenModel& c, const json& neg) {
  if (c.at == nullptr && c.edit == nullptr) return c.value;
  json doc = neg;
  const std::string at = c.at ? c.at : "";
  if (c.edit != nullptr) {
    c.edit(doc);
  } else if (at.starts_with("svm:")) {
    std::string s = doc["model_dict"]["model"].get<std::string>();
    const size_t from = s.find(at.substr(4));
    EXPECT_NE(from, std::string::npos) << at;
    if (from != std::string::npos) s.replace(from, at.size() - 4, c.value);
    doc["model_dict"]["model"] = s;
  } else {
    const json::json_pointer p(at);
    json& parent = doc[p.parent_pointer()];
    if (c.value == nullptr && parent.is_array())
      parent.erase(std::stoul(p.back()));
    else if (c.value == nullptr)
      parent.erase(p.back());
    else if (p.back() == "-")
      parent.push_back(json::parse(c.value));
    else
      doc[p] = json::parse(c.value);
  }
  std::string text = doc.dump();
  // A number beyond a double, which a document cannot hold, written into its text.
  for (size_t pos; (pos = text.find("\"1e400\"")) != std::string::npos;)
    text.replace(pos, 7, "1e400");
  return text;
}

TEST(VmafModel, BrokenFilesAreRefused) {
  const json neg = json::parse(read_text(kNegFile));
  for (const BrokenModel& c : kBrokenModels) {
    SCOPED_TRACE(c.name);
    const std::string text = broken_text(c, neg);
    vmaf::Model m;
    m.name = "untouched";
    std::string why;
    EXPECT_EQ(vmaf::parse_model_json(text, &m, &why), 0);
    EXPECT_FALSE(why.empty());
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(m.name, "untouched");
    EXPECT_TRUE(m.coef.empty());
  }
  // Unchanged, the document reads (so each refusal above is its edit's).
  vmaf::Model m;
  std::string why;
  EXPECT_EQ(vmaf::parse_model_json(neg.dump(), &m, &why), 1) << why;
}

// A bootstrap model's file: its first model and its members, each the model it holds; members
// that agree have no spread.
TEST(VmafModel, BootstrapFileReadsItsMembers) {
  json doc = json::parse(read_text(kNegFile));
  json member = doc;
  member["model_dict"]["model_type"] = "BOOTSTRAP_LIBSVMNUSVR";
  doc = {{"0", doc}, {"1", member}, {"2", member}, {"4", member}};  // "4" is not read: no "3"
  vmaf::Model m, neg;
  std::string why;
  ASSERT_EQ(vmaf::parse_model_json(doc.dump(), &m, &why), 1) << why;
  ASSERT_EQ(vmaf::parse_model_json(read_text(kNegFile), &neg, &why), 1) << why;
  ASSERT_EQ(m.members.size(), 2u);
  EXPECT_EQ(fields(m), fields(neg));
  EXPECT_EQ(fields(m.members[1]), fields(neg));
  const double x[] = {0.9, 3.1, 0.5, 0.9, 0.95, 0.98};
  const double raw[] = {vmaf::regress(neg, x), vmaf::regress(neg, x)};
  const vmaf::BootstrapScores b = vmaf::bootstrap(m.members[0], raw, false, false);
  EXPECT_EQ(b.bagging, vmaf::predict(neg, x, false, false));
  EXPECT_EQ(b.stddev, 0);
  EXPECT_EQ(b.ci_p95_lo, b.bagging);
  EXPECT_EQ(b.ci_p95_hi, b.bagging);
}

// The members' statistics: the percentiles between ranks, the clip applied to each and bending
// the deviation where the mean lies within 0.01 of it.
TEST(VmafModel, BootstrapStatistics) {
  const struct {
    double clip_max;
    bool no_clip;
    vmaf::BootstrapScores want;
  } cases[] = {
      {10, false, {2.5, std::sqrt(1.25), 1.075, 3.925}},
      {3, false, {2.5, std::sqrt(1.25), 1.075, 3}},
      {2.5, false, {2.5, std::sqrt(1.25) * 0.5, 1.075, 2.5}},
      {2.5, true, {2.5, std::sqrt(1.25), 1.075, 3.925}},
  };
  const double raw[] = {4, 1, 3, 2};
  for (const auto& c : cases) {
    vmaf::Model m;
    m.clip = true;
    m.clip_max = c.clip_max;
    const vmaf::BootstrapScores b = vmaf::bootstrap(m, raw, false, c.no_clip);
    EXPECT_DOUBLE_EQ(b.bagging, c.want.bagging) << c.clip_max;
    EXPECT_NEAR(b.stddev, c.want.stddev, 1e-12) << c.clip_max;
    EXPECT_DOUBLE_EQ(b.ci_p95_lo, c.want.ci_p95_lo) << c.clip_max;
    EXPECT_DOUBLE_EQ(b.ci_p95_hi, c.want.ci_p95_hi) << c.clip_max;
  }
}

// Through the metric: a file the reader takes whose features no metric here computes, or whose
// feature options a metric refuses, is refused with its path; so is a file that is not a model.
TEST(VmafModel, RequestsOfBadFilesAreRefused) {
  const json neg = json::parse(read_text(kNegFile));
  json unknown = neg;
  unknown["model_dict"]["feature_names"][1] = "VMAF_feature_motion2_score";
  json bad_option = neg;
  bad_option["model_dict"]["feature_opts_dicts"][3] = {{"vif_enhn_gain_limit", 0.5}};
  json no_such_option = neg;
  no_such_option["model_dict"]["feature_opts_dicts"][1] = {{"no_such_option", true}};
  const struct {
    const char* name;
    std::string text;
    const char* why;
  } cases[] = {
      {"unknown feature", unknown.dump(), "VMAF_feature_motion2_score"},
      {"option out of range", bad_option.dump(), "vif_enhn_gain_limit"},
      {"unknown option", no_such_option.dump(), "no_such_option"},
      {"not a model", "{}", "model_dict"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile f(c.text);
    MetricRequest r;
    std::string why;
    EXPECT_FALSE(parse_metric_request("vmaf=model=path:" + f.path, &r, &why));
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_NE(why.find(f.path), std::string::npos) << why;
  }
}

#else

// A build without nlohmann-json reads no model files, and says so.
TEST(VmafModel, FilesNeedTheJsonReader) {
  MetricRequest r;
  std::string why;
  EXPECT_FALSE(parse_metric_request("vmaf=model=path:" + kNegFile, &r, &why));
  EXPECT_NE(why.find("nlohmann-json"), std::string::npos) << why;
}

#endif

// The peak of this process's resident memory in bytes since the last reset; with `reset`, the
// peak is reset first (to what it holds now). -1 where Linux can't say.
int64_t peak_memory(bool reset) {
  if (reset) std::ofstream("/proc/self/clear_refs") << "5";
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmHWM:")) return std::stoll(line.substr(6)) << 10;
  return -1;
}

// A model file in libvmaf's JSON format of `features` adm2 features with libsvm's text `svm`.
std::string json_model(int features, const std::string& svm) {
  std::string names, ones;
  for (int i = 0; i <= features; ++i) {
    if (i > 0) names += std::string(i > 1 ? "," : "") + "\"VMAF_integer_feature_adm2_score\"";
    ones += i > 0 ? ",1" : "1";
  }
  std::string escaped;
  for (char c : svm)
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  return R"({"model_dict": {"model_type": "LIBSVMNUSVR", "norm_type": "linear_rescale", )"
         R"("feature_names": [)" +
         names + R"(], "slopes": [)" + ones + R"(], "intercepts": [)" + ones + R"(], "model": ")" +
         escaped + "\"}}";
}

const std::string kSvmHead = "svm_type nu_svr\nkernel_type rbf\ngamma 0.04\nrho 1\n";

// Hostile model files, each read or refused at once, in memory its bytes justify: counts its
// text cannot fill, files that are not regular files, a file larger than any model. Rows whose
// file reaches the JSON reader are refused for want of it in a build without nlohmann-json.
TEST(VmafModel, HostileFilesAreBounded) {
  const fs::path dir = fs::temp_directory_path() / ("vidqual-hostile-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const struct {
    const char* name;
    std::string (*make)(const fs::path& dir);  // the file's path
    const char* why;                           // nullptr: read
    bool parsed;                               // reaches the JSON reader
  } cases[] = {
      {"a million empty support vectors of 64 features",
       [](const fs::path& d) {
         std::string svm = kSvmHead + "total_sv 1048576\nSV\n";
         for (int i = 0; i < (1 << 20); ++i)
           svm += "0\n";
         std::ofstream(d / "empty_vectors.json") << json_model(64, svm);
         return (d / "empty_vectors.json").string();
       },
       nullptr, true},
      {"a million support vectors declared, one given",
       [](const fs::path& d) {
         std::ofstream(d / "count.json")
             << json_model(64, kSvmHead + "total_sv 1048576\nSV\n1 1:0.5\n");
         return (d / "count.json").string();
       },
       "total_sv", true},
      {"a million values of a document",
       [](const fs::path& d) {
         std::string values = "[0";
         for (int i = 0; i < (1 << 20); ++i)
           values += ",{}";
         std::ofstream(d / "values.json") << R"({"param_dict": )" << values << "]}";
         return (d / "values.json").string();
       },
       "more than 65536 JSON values", true},
      {"15 MiB of open brackets",
       [](const fs::path& d) {
         std::ofstream(d / "nested.json") << std::string(15 << 20, '[');
         return (d / "nested.json").string();
       },
       "nests deeper", true},
      {"a FIFO",
       [](const fs::path& d) {
         const std::string p = (d / "fifo.json").string();
         EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
         return p;
       },
       "a FIFO, not a regular file", false},
      {"a directory", [](const fs::path& d) { return d.string(); }, "a directory", false},
      {"an endless device", [](const fs::path&) { return std::string("/dev/zero"); }, "a device",
       false},
      {"a gigabyte of nothing",
       [](const fs::path& d) {
         std::ofstream(d / "sparse.json").close();
         fs::resize_file(d / "sparse.json", uintmax_t(1) << 30);  // sparse: nothing written
         return (d / "sparse.json").string();
       },
       "larger than 16 MiB", false},
  };
  ::alarm(60);  // a reader waiting on a FIFO fails the test instead of hanging it
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.make(dir);
    const int64_t before = peak_memory(true);
    const auto started = std::chrono::steady_clock::now();
    std::shared_ptr<const vmaf::Model> m;
    std::string why;
#if VQ_HAVE_JSON
    const char* want = c.why;
#else
    const char* want = c.parsed ? "nlohmann-json" : c.why;
#endif
    EXPECT_EQ(vmaf::load_model("path:" + path, &m, &why), want == nullptr ? 1 : 0) << why;
    if (want != nullptr) {
      EXPECT_NE(why.find(want), std::string::npos) << why;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_LT(peak_memory(false) - before, int64_t(64) << 20);
  }
  ::alarm(0);
  fs::remove_all(dir);
}

// Request sets as a run expands them: a VMAF request scores the features its model needs, each
// once, before the model; requests whose scores would land in one column are refused as a set
// (the same request twice is one; differently named models sit side by side).
TEST(Vmaf, RequestSetsExpandOrClash) {
  const struct {
    std::vector<const char*> requests;
    std::vector<const char*> metrics;  // the expanded requests' metrics in order; empty: unchecked
    const char* clash = nullptr;       // the refusal names this; nullptr: the set is taken
  } cases[] = {
      {{"vmaf"}, {"integer_adm", "integer_motion", "integer_vif", "vmaf"}},
      {{"vmaf", "vmaf_neg"},
       {"integer_adm", "integer_motion", "integer_vif", "vmaf", "integer_adm", "integer_vif",
        "vmaf_neg"}},
      {{"integer_motion", "vmaf"}, {"integer_motion", "integer_adm", "integer_vif", "vmaf"}},
      {{"vmaf=model=vmaf_4k_v0.6.1:name=a", "vmaf"},
       {"integer_adm", "integer_motion", "integer_vif", "vmaf", "vmaf"}},
      {{"vmaf", "vmaf"}, {}},
      {{"vmaf_neg", "vmaf=model=vmaf_v0.6.1neg"}, {}},
      {{"vmaf", "vmaf=model=vmaf_4k_v0.6.1:name=vmaf_4k"}, {}},
      {{"vmaf", "vmaf=enable_transform=true:name=vmaf_t", "vmaf_neg=disable_clip=true:name=n"}, {}},
      {{"vmaf", "vmaf=model=vmaf_4k_v0.6.1"}, {}, "'vmaf'"},
      {{"vmaf", "vmaf_neg=name=vmaf"}, {}, "'vmaf'"},
      {{"vmaf_neg", "vmaf=model=vmaf_4k_v0.6.1neg"}, {}, "'vmaf_neg'"},
      {{"vmaf=name=integer_motion2"}, {}, "'integer_motion2'"},
      {{"vmaf_neg=name=integer_adm2_egl_1"}, {}, "'integer_adm2_egl_1'"},
      {{"psnr", "vmaf=name=psnr_y"}, {}, "'psnr_y'"},
  };
  for (const auto& c : cases) {
    std::vector<MetricRequest> asked;
    std::string why, trace;
    for (const char* text : c.requests) {
      MetricRequest r;
      ASSERT_TRUE(parse_metric_request(text, &r, &why)) << text << ": " << why;
      asked.push_back(std::move(r));
      trace += std::string(" ") + text;
    }
    SCOPED_TRACE(trace);
    std::vector<MetricRequest> all;
    const bool taken = expand_metric_requests(asked, &all, &why);
    EXPECT_EQ(taken, c.clash == nullptr) << why;
    if (c.clash != nullptr) {
      EXPECT_NE(why.find(c.clash), std::string::npos) << why;
      EXPECT_TRUE(all.empty());
    }
    if (c.metrics.empty()) continue;
    std::vector<std::string> got, want(c.metrics.begin(), c.metrics.end());
    for (const MetricRequest& r : all)
      got.push_back(r.row->name);
    EXPECT_EQ(got, want);
  }
}

}  // namespace
}  // namespace vq
