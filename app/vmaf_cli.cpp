// libvmaf's command line, as its `vmaf` program reads it (the same options, defaults, refusals and
// exit statuses), for the program vidqual-vmaf: settings for the one comparison builder, libvmaf's
// files and libvmaf's lines on standard error, nothing on standard output.
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/app.h"
#include "y4m/y4m.h"

namespace vq {

namespace {

// libvmaf's program returns -1 wherever it gives up after reading its command line.
constexpr int kVmafFailure = 255;

enum : int {
  kOptXml = 256,
  kOptJson,
  kOptCsv,
  kOptSub,
  kOptThreads,
  kOptFeature,
  kOptSubsample,
  kOptCpumask,
  kOptGpumask,
  kOptAomCtc,
  kOptNflxCtc,
  kOptFrameCnt,
  kOptSkipRef,
  kOptSkipDist,
};

// libvmaf's option table; getopt_long gives its rules (unambiguous prefixes, --opt=value and
// --opt value, any order). -c takes a value and does nothing, as in libvmaf.
constexpr char kShortOptions[] = "r:d:w:h:p:b:m:c:o:nvq";
const option kLongOptions[] = {
    {"reference", required_argument, nullptr, 'r'},
    {"distorted", required_argument, nullptr, 'd'},
    {"width", required_argument, nullptr, 'w'},
    {"height", required_argument, nullptr, 'h'},
    {"pixel_format", required_argument, nullptr, 'p'},
    {"bitdepth", required_argument, nullptr, 'b'},
    {"model", required_argument, nullptr, 'm'},
    {"output", required_argument, nullptr, 'o'},
    {"xml", no_argument, nullptr, kOptXml},
    {"json", no_argument, nullptr, kOptJson},
    {"csv", no_argument, nullptr, kOptCsv},
    {"sub", no_argument, nullptr, kOptSub},
    {"threads", required_argument, nullptr, kOptThreads},
    {"feature", required_argument, nullptr, kOptFeature},
    {"subsample", required_argument, nullptr, kOptSubsample},
    {"cpumask", required_argument, nullptr, kOptCpumask},
    {"gpumask", required_argument, nullptr, kOptGpumask},
    {"aom_ctc", required_argument, nullptr, kOptAomCtc},
    {"nflx_ctc", required_argument, nullptr, kOptNflxCtc},
    {"frame_cnt", required_argument, nullptr, kOptFrameCnt},
    {"frame_skip_ref", required_argument, nullptr, kOptSkipRef},
    {"frame_skip_dist", required_argument, nullptr, kOptSkipDist},
    {"no_prediction", no_argument, nullptr, 'n'},
    {"version", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {nullptr, 0, nullptr, 0},
};

const char kUsage[] =
    "Supported options:\n"
    " --reference/-r $path:        the reference: .y4m, .yuv or any video vidqual reads\n"
    " --distorted/-d $path:        the distorted video, read as the reference is\n"
    " --width/-w $unsigned:        width of .yuv inputs\n"
    " --height/-h $unsigned:       height of .yuv inputs\n"
    " --pixel_format/-p: $string   pixel format of .yuv inputs (420/422/444)\n"
    " --bitdepth/-b $unsigned:     bit depth of .yuv inputs (8/10/12/16)\n"
    " --model/-m $params:          a model, colon \":\" delimited parameters:\n"
    "                              `version=` a bundled model (vmaf_v0.6.1 ...)\n"
    "                              `path=` a model file\n"
    "                              `name=` its name in the output (vmaf when not given)\n"
    "                              `enable_transform`, `disable_clip`\n"
    " --output/-o $path:           output file\n"
    " --xml:                       write the output file as XML (the default)\n"
    " --json:                      write the output file as JSON\n"
    " --csv:                       write the output file as CSV\n"
    " --sub:                       write the output file as subtitles\n"
    " --threads $unsigned:         threads to use\n"
    " --feature $string:           one more feature, NAME=OPTION=VALUE:...\n"
    " --cpumask: $bitmask          instruction sets not to use (1 MMX, 2 SSE2, 4 AVX2, ...)\n"
    " --gpumask: $bitmask          accepted; no GPU is used\n"
    " --frame_cnt $unsigned:       most frames to compare\n"
    " --frame_skip_ref $unsigned:  skip the first N frames of the reference\n"
    " --frame_skip_dist $unsigned: skip the first N frames of the distorted video\n"
    " --subsample: $unsigned       list scores of every Nth frame only\n"
    " --aom_ctc $version:          AOM's test conditions (v1.0 .. v7.0)\n"
    " --nflx_ctc $version:         Netflix's test conditions (v1.0)\n"
    " --quiet/-q:                  no frame meter at a terminal\n"
    " --no_prediction/-n:          features only, no model\n"
    " --version/-v:                print the version and exit\n";

// libvmaf's feature names and the metrics of this tool that compute them.
struct FeatureName {
  const char* libvmaf;
  const char* metric;  // nullptr: libvmaf has it, this tool does not
};
const FeatureName kFeatureNames[] = {
    {"adm", "integer_adm"},
    {"vif", "integer_vif"},
    {"motion", "integer_motion"},
    {"psnr", "psnr"},
    {"float_ssim", "float_ssim"},
    {"float_ms_ssim", "float_ms_ssim"},
    {"psnr_hvs", "psnr_hvs"},
    {"ciede", "ciede"},
    {"cambi", "cambi"},
    {"float_ansnr", nullptr},
    {"float_adm", nullptr},
    {"float_moment", nullptr},
    {"float_motion", nullptr},
    {"float_psnr", nullptr},
    {"float_vif", nullptr},
    {"speed_chroma", "speed_chroma"},
    {"speed_temporal", nullptr},
    {"ssim", nullptr},
    {"null", nullptr},
};

// Splits `text` at every `sep`.
std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// A command line refused: the reason, then the usage text.
struct Refused {
  std::string why;
};

// libvmaf's name for an option in its messages: "-w/--width", or "--threads".
std::string option_name(int val) {
  for (const option& o : kLongOptions)
    if (o.name && o.val == val)
      return val < 256 ? std::string("-") + char(val) + "/--" + o.name : std::string("--") + o.name;
  return "?";
}

uint32_t parse_unsigned(const char* text, int val) {
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 0);
  if (*end || end == text)
    throw Refused{"Invalid argument \"" + std::string(text) + "\" for option " + option_name(val) +
                  "; should be an integer"};
  return uint32_t(n);
}

VmafModelOption parse_model(const std::string& text) {
  VmafModelOption m;
  for (const std::string& pair : split(text, ':')) {
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    if (eq == std::string::npos && key != "disable_clip" && key != "enable_transform")
      throw Refused{"Problem parsing model, bad option string \"" + key + "\"."};
    const std::string value = eq == std::string::npos ? "true" : split(pair.substr(eq + 1), '=')[0];
    if (key == "path") {
      m.path = value;
    } else if (key == "name") {
      m.name = value;
    } else if (key == "version") {
      m.version = value;
    } else if (key == "disable_clip") {
      m.disable_clip = m.disable_clip || value == "true";
    } else if (key == "enable_transform") {
      m.enable_transform = m.enable_transform || value == "true";
    } else {
      // FEATURE.OPTION=VALUE: an option of the model's extractor FEATURE.
      if (key.find('.') == std::string::npos)
        throw Refused{"Problem parsing model: \"" + key + "\"\n"};
      m.overrides.push_back(pair);
    }
  }
  return m;
}

// A --feature value in this tool's names: "adm=adm_enhn_gain_limit=1.0" is
// "integer_adm=adm_enhn_gain_limit=1.0". Names this tool lacks are kept for the refusal.
VmafFeature parse_feature(const std::string& text) {
  const size_t eq = text.find('=');
  VmafFeature f{text.substr(0, eq), ""};
  std::string options;
  if (eq != std::string::npos) {
    for (const std::string& pair : split(text.substr(eq + 1), ':')) {
      const size_t at = pair.find('=');
      if (at == std::string::npos)
        throw Refused{"Problem parsing feature \"" + f.name + "\", bad option string \"" + pair +
                      "\".\n"};
      if (!options.empty()) options.push_back(':');
      options.append(pair, 0, at + 1);
      options.append(split(pair.substr(at + 1), '=')[0]);
    }
  }
  for (const FeatureName& n : kFeatureNames)
    if (f.name == n.libvmaf && n.metric)
      f.request = std::string(n.metric) + (options.empty() ? "" : "=" + options);
  return f;
}

// The models and features of a preset (metrics/presets.cpp), added as libvmaf adds them.
void add_preset(const std::string& name, VmafCommandLine* out) {
  const MetricPreset* preset = find_preset(name);
  std::vector<MetricRequest> requests;
  std::string why;
  if (!preset || !preset_requests(*preset, &requests, &why))
    throw Refused{"preset " + name + ": " + why};
  for (size_t i = 0; i < requests.size(); ++i) {
    const MetricRequest& r = requests[i];
    if (r.row->flags & kMetricUniqueNames) {
      VmafModelOption m;
      m.version = r.options.get_string("model");
      m.name = r.row->scores(r.options).at(0);
      out->models.push_back(std::move(m));
    } else {
      out->features.push_back({r.row->name, preset->metrics[i]});
    }
  }
  out->common_bitdepth = out->common_bitdepth || preset->common_depth;
}

void read_option(int o, const char* arg, VmafCommandLine* c) {
  switch (o) {
    case 'r':
      c->reference = arg;
      break;
    case 'd':
      c->distorted = arg;
      break;
    case 'w':
      c->width = parse_unsigned(arg, 'w'), c->use_yuv = true;
      break;
    case 'h':
      c->height = parse_unsigned(arg, 'h'), c->use_yuv = true;
      break;
    case 'p':
      if (std::strcmp(arg, "420") && std::strcmp(arg, "422") && std::strcmp(arg, "444"))
        throw Refused{"Invalid argument \"" + std::string(arg) + "\" for option " +
                      option_name('p') + "; should be a valid pixel format (420/422/444)"};
      c->pixel_format = arg;
      c->use_yuv = true;
      break;
    case 'b':
      c->bitdepth = parse_unsigned(arg, 'b');
      if (c->bitdepth != 8 && c->bitdepth != 10 && c->bitdepth != 12 && c->bitdepth != 16)
        throw Refused{"Invalid argument \"" + std::string(arg) + "\" for option " +
                      option_name('b') + "; should be a valid bitdepth (8/10/12/16)"};
      c->use_yuv = true;
      break;
    case 'o':
      c->output = arg;
      break;
    case kOptXml:
      c->format = LogFormat::kXml;
      break;
    case kOptJson:
      c->format = LogFormat::kJson;
      break;
    case kOptCsv:
      c->format = LogFormat::kCsv;
      break;
    case kOptSub:
      c->format = LogFormat::kSub;
      break;
    case 'm':
      c->models.push_back(parse_model(arg));
      break;
    case kOptFeature:
      c->features.push_back(parse_feature(arg));
      break;
    case kOptThreads:
      c->threads = parse_unsigned(arg, kOptThreads);
      break;
    case kOptSubsample:
      c->subsample = parse_unsigned(arg, kOptSubsample);
      break;
    case kOptCpumask:
      c->cpumask = parse_unsigned(arg, kOptCpumask);
      break;
    case kOptGpumask:
      (void)parse_unsigned(arg, kOptGpumask);
      c->gpumask = true;
      break;
    case kOptAomCtc: {
      const std::string v = arg;
      if (v == "proposed") throw Refused{"`--aom_ctc proposed` is deprecated."};
      if (v.size() != 4 || v[0] != 'v' || v[1] < '1' || v[1] > '7' || v.substr(2) != ".0")
        throw Refused{"bad aom_ctc version \"" + v + "\""};
      add_preset("aom-ctc-" + v, c);
      break;
    }
    case kOptNflxCtc:
      if (std::strcmp(arg, "v1.0"))
        throw Refused{"bad nflx_ctc version \"" + std::string(arg) + "\""};
      add_preset("nflx-ctc-v1.0", c);
      break;
    case kOptFrameCnt:
      c->frame_cnt = parse_unsigned(arg, kOptFrameCnt);
      break;
    case kOptSkipRef:
      c->skip_ref = parse_unsigned(arg, kOptSkipRef);
      break;
    case kOptSkipDist:
      c->skip_dist = parse_unsigned(arg, kOptSkipDist);
      break;
    case 'n':
      c->no_prediction = true;
      break;
    case 'q':
      c->quiet = true;
      break;
    default:
      break;  // getopt_long has told of an unknown option; libvmaf goes on without it
  }
}

}  // namespace

VmafParse parse_vmaf_command_line(const std::vector<std::string>& args, VmafCommandLine* out,
                                  std::string* why) {
  VmafCommandLine c;
  std::vector<std::string> copies = args;
  std::vector<char*> argv;
  for (std::string& a : copies)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  optind = 0;  // a fresh scan (GNU getopt)
  try {
    for (int o; (o = getopt_long(int(args.size()), argv.data(), kShortOptions, kLongOptions,
                                 nullptr)) >= 0;) {
      if (o == 'v') return VmafParse::kVersion;
      read_option(o, optarg, &c);
    }
    if (!c.reference) throw Refused{"Reference .y4m or .yuv (-r/--reference) is required"};
    if (!c.distorted) throw Refused{"Distorted .y4m or .yuv (-d/--distorted) is required"};
    if (c.use_yuv && !(c.width && c.height && !c.pixel_format.empty() && c.bitdepth))
      throw Refused{
          "The following options are required for .yuv input:\n  --width/-w\n  --height/-h\n"
          "  --pixel_format/-p\n  --bitdepth/-b\n"};
    if (c.models.empty() && !c.no_prediction) {
      VmafModelOption m;
      m.version = "vmaf_v0.6.1";
      c.models.push_back(std::move(m));
    }
    for (size_t i = 0; i < c.models.size(); ++i)
      for (size_t j = 0; j < c.models.size(); ++j)
        if (i != j && c.models[i].name == c.models[j].name)
          throw Refused{
              "Each model should be uniquely named. Set using `--model` via the `name=...` "
              "param."};
  } catch (const Refused& r) {
    *why = r.why;
    return VmafParse::kRefused;
  }
  *out = std::move(c);
  return VmafParse::kRun;
}

namespace {

std::string model_label(const VmafModelOption& m) {
  return !m.version.empty() ? m.version : !m.path.empty() ? m.path : "(null)";
}

// The metric request of a model: the bundled one, or path:FILE, with the feature options
// `overrides` (FEATURE.OPTION=VALUE in this tool's spelling).
std::string model_request(const VmafModelOption& m, const std::vector<std::string>& overrides) {
  std::string text =
      "vmaf=model=" + (!m.version.empty() ? m.version : "path:" + m.path) + ":name=" + m.name;
  if (m.enable_transform) text += ":enable_transform=true";
  if (m.disable_clip) text += ":disable_clip=true";
  for (const std::string& o : overrides)
    text += ":" + o;
  return text;
}

// The overrides of `m` that libvmaf applies: those naming an option of an extractor the model
// uses. libvmaf passes the others by without a word: a feature the model does not use, an option
// its extractor does not have.
std::vector<std::string> applied_overrides(const VmafModelOption& m,
                                           const std::vector<std::string>& needs) {
  std::vector<std::string> kept;
  for (const std::string& o : m.overrides) {
    const size_t dot = o.find('.'), eq = o.find('=');
    const std::string feature = o.substr(0, dot);
    const std::string option = o.substr(dot + 1, std::min(o.find('.', dot + 1), eq) - dot - 1);
    const char* metric = nullptr;
    for (const FeatureName& n : kFeatureNames)
      if (feature == n.libvmaf) metric = n.metric;
    const bool used = metric && std::any_of(needs.begin(), needs.end(), [&](const std::string& n) {
                        return n.substr(0, n.find('=')) == metric;
                      });
    const MetricRow* row = used ? find_metric(metric) : nullptr;
    if (row && std::any_of(row->options.begin(), row->options.end(),
                           [&](const MetricOption& mo) { return option == mo.name; }))
      kept.push_back(feature + "." + option + "=" + o.substr(eq + 1));
  }
  return kept;
}

// libvmaf's lines per model at a terminal: the mean of its scores over the listed pairs, and for
// a bootstrap model a second line with the means of its members' statistics. Kept at the end of
// the run and printed once the frame meter is gone.
class PooledLines final : public RunListener {
 public:
  PooledLines(std::vector<std::pair<std::string, std::string>> models, int32_t every)
      : models_(std::move(models)), every_(std::max(every, 1)) {}
  void on_end(const RunResult& r) override {
    if (!r.table || r.compared == 0) return;
    for (const auto& [label, column] : models_) {
      double score = 0, bagging = 0, lo = 0, hi = 0, stddev = 0;
      if (!mean(r, column, &score)) continue;
      char line[160];
      std::snprintf(line, sizeof line, ": %f\n", score);
      text_ += label + line;
      if (mean(r, column + "_bagging", &bagging) && mean(r, column + "_ci_p95_lo", &lo) &&
          mean(r, column + "_ci_p95_hi", &hi) && mean(r, column + "_stddev", &stddev)) {
        std::snprintf(line, sizeof line, ": %f, ci.p95: [%f, %f], stddev: %f\n", bagging, lo, hi,
                      stddev);
        text_ += label + line;
      }
    }
  }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  // The mean of `column` over the listed pairs; false when the table has no such score.
  bool mean(const RunResult& r, const std::string& column, double* out) const {
    const int c = r.table->find(column);
    double sum = 0, v = 0;
    int32_t n = 0;
    for (int32_t row = 0; c >= 0 && row < r.compared; row += every_)
      if (r.table->get(c, row, &v)) sum += v, ++n;
    *out = n ? sum / n : 0.0;
    return n > 0;
  }

  std::vector<std::pair<std::string, std::string>> models_;  // label, column
  int32_t every_;
  std::string text_;
};

// libvmaf's line when one input runs out of pictures before the other, while pairs are still
// wanted (--frame_cnt not yet reached): "REF" ended before "DIST".
class EndLine final : public RunListener {
 public:
  EndLine(const std::string* paths[2], uint32_t frame_cnt, std::FILE* err)
      : paths_{paths[0], paths[1]}, frame_cnt_(frame_cnt), err_(err) {}
  void on_end(const RunResult& r) override {
    if (r.outcome != RunOutcome::kOk) return;
    const int32_t most = int32_t(std::min<uint32_t>(frame_cnt_, INT32_MAX));
    int shorter = r.ended;
    const PairPlan plan = plan_pairs(r.info, r.skip, 0, false);
    if (shorter == 0 && plan.known && plan.after[0] != plan.after[1])
      shorter = plan.after[0] < plan.after[1] ? 1 : 2;
    if (shorter == 0 || (most > 0 && r.compared >= most)) return;
    std::fprintf(err_, "\n\"%s\" ended before \"%s\".\n", paths_[shorter - 1]->c_str(),
                 paths_[2 - shorter]->c_str());
  }

 private:
  const std::string* paths_[2];
  uint32_t frame_cnt_;
  std::FILE* err_;
};

// The layout and depth a source's pictures have, by the pixel format it states; false when it
// states none of the planar YUV ones.
bool planar_form(const VideoSource& s, RawYuvFormat* out) {
  return parse_pix_fmt(s.info().pixel_format.c_str(), out) == 1;
}

// The checks libvmaf makes of the two inputs: the number of problems, each told.
int incompatible(const VideoSource& ref, const VideoSource& dist, bool common_bitdepth,
                 std::FILE* err) {
  int problems = 0;
  const SourceInfo &a = ref.info(), &b = dist.info();
  if (a.width != b.width || a.height != b.height) {
    std::fprintf(err, "dimensions do not match: %dx%d, %dx%d\n", a.width, a.height, b.width,
                 b.height);
    ++problems;
  }
  RawYuvFormat fa, fb;
  if (planar_form(ref, &fa) && planar_form(dist, &fb)) {
    if (fa.layout != fb.layout) {
      // libvmaf numbers its layouts 0 (4:2:0), 2 (4:2:2) and 3 (4:4:4) in this line.
      const auto number = [](ChromaLayout l) {
        return l == ChromaLayout::k420 ? 0 : l == ChromaLayout::k422 ? 2 : 3;
      };
      std::fprintf(err, "pixel formats do not match: %d, %d\n", number(fa.layout),
                   number(fb.layout));
      ++problems;
    }
    if (!common_bitdepth && fa.depth != fb.depth) {
      std::fprintf(err, "bitdepths do not match: %d, %d\n", fa.depth, fb.depth);
      ++problems;
    }
  }
  return problems;
}

// The settings of the comparison: the requests in libvmaf's order of extractors (each model's
// features and the model, then the features), the inputs' options and the run's. 1, or 0 with
// the failure told in libvmaf's words.
int make_settings(const VmafCommandLine& c, Settings* out, std::FILE* err) {
  std::vector<MetricRequest> asked;
  std::string why;
  for (const VmafModelOption& m : c.models) {
    MetricRequest r;
    if ((m.version.empty() && m.path.empty()) ||
        !parse_metric_request(model_request(m, {}), &r, &why)) {
      std::fprintf(err, "problem loading model: %s\n", model_label(m).c_str());
      if (!why.empty()) std::fprintf(err, "vidqual-vmaf: %s\n", why.c_str());
      return 0;
    }
    const std::vector<std::string> overrides = applied_overrides(m, r.row->needs(r.options));
    if (!overrides.empty() && !parse_metric_request(model_request(m, overrides), &r, &why)) {
      std::fprintf(err, "problem loading feature extractors from model: %s\nvidqual-vmaf: %s\n",
                   model_label(m).c_str(), why.c_str());
      return 0;
    }
    if (!c.no_prediction) {
      asked.push_back(std::move(r));
      continue;
    }
    // Without prediction the model's features are still scored, as libvmaf scores them.
    for (const std::string& text : r.row->needs(r.options)) {
      MetricRequest need;
      if (!parse_metric_request(text, &need, &why)) return 0;
      asked.push_back(std::move(need));
    }
  }
  for (const VmafFeature& f : c.features) {
    MetricRequest r;
    if (f.request.empty() || !parse_metric_request(f.request, &r, &why)) {
      std::fprintf(err, "problem loading feature extractor: %s\n", f.name.c_str());
      if (f.request.empty()) {
        const bool known = std::any_of(std::begin(kFeatureNames), std::end(kFeatureNames),
                                       [&](const FeatureName& n) { return f.name == n.libvmaf; });
        if (known)
          std::fprintf(err, "vidqual-vmaf: libvmaf's %s is not computed here\n", f.name.c_str());
      } else {
        std::fprintf(err, "vidqual-vmaf: %s\n", why.c_str());
      }
      return 0;
    }
    asked.push_back(std::move(r));
  }
  std::vector<MetricRequest> expanded;
  if (!expand_metric_requests(asked, &expanded, &why)) {
    std::fprintf(err, "vidqual-vmaf: %s\n", why.c_str());
    return 0;
  }

  Arguments a;
  a.outputs.resize(output_table().size());
  a.file1 = *c.reference;
  a.file2 = *c.distorted;
  a.positionals = 2;
  a.maxframes = int32_t(std::min<uint32_t>(c.frame_cnt, INT32_MAX));
  for (const MetricRequest& r : expanded) {
    std::string text = r.row->name;
    for (const MetricOptions::Value& v : r.options.values)
      if (v.given)
        text +=
            std::string(text.find('=') == std::string::npos ? "=" : ":") + v.name + "=" + v.text;
    a.metrics.push_back(text);
  }
  if (c.threads > 0) a.threads = std::to_string(std::min<uint32_t>(c.threads, 64));
  if (c.cpumask) a.cpumask = std::to_string(c.cpumask);
  if (c.skip_ref || c.skip_dist)
    a.skip = std::to_string(std::min<uint32_t>(c.skip_ref, INT32_MAX)) + ":" +
             std::to_string(std::min<uint32_t>(c.skip_dist, INT32_MAX));
  // As libvmaf reads them, -w, -h, -p and -b make both inputs headerless YUV whatever their
  // names, and without them a name ending in .yuv is no sign of headerless data: the inputs are
  // opened by open_input, so the name rule of the checks is given a size to pass.
  const bool raw_name =
      is_raw_yuv_name(c.reference->c_str()) || is_raw_yuv_name(c.distorted->c_str());
  if (c.use_yuv) {
    a.size = std::to_string(c.width) + "x" + std::to_string(c.height);
    a.pix_fmt = "yuv" + c.pixel_format + "p" +
                (c.bitdepth > 8 ? std::to_string(c.bitdepth) + "le" : std::string());
  } else if (raw_name) {
    a.size = "1x1";
  }
  if (const Refusal refusal = check_arguments(a, out)) {
    std::fprintf(err, "vidqual-vmaf: %s\n", refusal.why.c_str());
    return 0;
  }
  if (!c.use_yuv)
    for (OpenOptions& o : out->open)
      o.raw_width = o.raw_height = 0;
  out->log_columns = libvmaf_columns(expanded, c.threads > 0);
  out->log_every = int32_t(std::max<uint32_t>(std::min<uint32_t>(c.subsample, INT32_MAX), 1));
  return 1;
}

// One input as libvmaf's program reads it: headerless YUV of `o`'s size and format when `raw`
// (-w, -h, -p, -b), whatever the name; otherwise anything vidqual reads, a name ending in .yuv
// included when it holds Y4M.
OpenStatus open_input(const std::string& path, bool raw, const OpenOptions& o,
                      std::unique_ptr<VideoSource>* out, std::string* why) {
  if (!raw) {
    const OpenStatus status = open_video(path.c_str(), o, out, why);
    if (status == OpenStatus::kFailed && is_raw_yuv_name(path.c_str()))
      *why = "not a Y4M file; headerless YUV is read with -w, -h, -p and -b";
    return status;
  }
  RawYuvFormat format;
  if (!parse_pix_fmt(o.raw_pix_fmt.c_str(), &format)) {
    *why = "unknown pixel format " + o.raw_pix_fmt;
    return OpenStatus::kFailed;
  }
  format.width = o.raw_width;
  format.height = o.raw_height;
  if (int64_t(format.width) * format.height > o.max_pixels) {
    *why = "pictures larger than " + std::to_string(o.max_pixels) + " samples are not read";
    return OpenStatus::kFailed;
  }
  std::unique_ptr<InputFile> file;
  if (const OpenStatus status = open_input_file(path.c_str(), &file, why);
      status != OpenStatus::kOpened)
    return status;
  *out = open_raw_yuv(std::move(file), format, why);
  return *out ? OpenStatus::kOpened : OpenStatus::kFailed;
}

// The maker of the output file in `format`.
ReportMaker log_maker(LogFormat format) {
  switch (format) {
    case LogFormat::kJson:
      return [](const RunDescription& d) { return make_libvmaf_log(d, LogFormat::kJson); };
    case LogFormat::kCsv:
      return [](const RunDescription& d) { return make_libvmaf_log(d, LogFormat::kCsv); };
    case LogFormat::kSub:
      return [](const RunDescription& d) { return make_libvmaf_log(d, LogFormat::kSub); };
    case LogFormat::kXml:
      break;
  }
  return make_xml_report;
}

}  // namespace

int vmaf_main(int argc, const char* const* argv, const Console& console,
              VersionReader read_version) {
  const std::vector<std::string> args(argv, argv + argc);
  std::FILE* err = console.err;
  ProductVersion v;
  if (!read_version(&v)) v = ProductVersion{};
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", v.part[0], v.part[1], v.part[2], v.part[3]);

  VmafCommandLine c;
  std::string why;
  switch (parse_vmaf_command_line(args, &c, &why)) {
    case VmafParse::kVersion:
      std::fprintf(err, "%s\n", version);
      return kExitOk;
    case VmafParse::kRefused:
      std::fprintf(err, "%s\n\nUsage: %s [options]\n\n%s", why.c_str(), args.at(0).c_str(), kUsage);
      return kExitUsage;
    case VmafParse::kRun:
      break;
  }
  const bool terminal = console.err_is_terminal;
  if (terminal && !c.quiet) std::fprintf(err, "VMAF version %s\n", version);
  if (c.gpumask) std::fputs("vidqual-vmaf: --gpumask: no GPU is used; ignored\n", err);

  // libvmaf's first checks: each file opens (standard input, -, is read as vidqual reads it).
  for (const std::string* path : {&*c.reference, &*c.distorted}) {
    std::FILE* f = *path == "-" ? nullptr : std::fopen(path->c_str(), "rb");
    if (f) std::fclose(f);
    if (!f && *path != "-") {
      std::fprintf(err, "could not open file: %s\n", path->c_str());
      return kVmafFailure;
    }
  }
  Settings s;
  if (!make_settings(c, &s, err)) return kVmafFailure;

  ComparisonExtras more;
  more.stdout_report = false;
  for (int i = 0; i < 2; ++i) {
    const std::string& path = i ? *c.distorted : *c.reference;
    if (open_input(path, c.use_yuv, s.open[i], &more.sources[i], &why) != OpenStatus::kOpened) {
      std::fprintf(err, "problem with %s file: %s\nvidqual-vmaf: %s\n",
                   i ? "distorted" : "reference", path.c_str(), why.c_str());
      return kVmafFailure;
    }
  }
  if (const int problems =
          incompatible(*more.sources[0], *more.sources[1], c.common_bitdepth, err)) {
    std::fprintf(err, "videos are incompatible, %d %s.\n", problems,
                 problems == 1 ? "problem" : "problems");
    return kVmafFailure;
  }
  // libvmaf's pool holds two pictures per thread and one more pair, or four without threads.
  if (terminal && !c.quiet)
    std::fprintf(err, "picture pool: %llu pictures pre-allocated\n",
                 c.threads > 0 ? (static_cast<unsigned long long>(c.threads) + 1) * 2 + 1 : 4ULL);
  if (c.output) more.outputs.emplace_back(log_maker(c.format), *c.output);
  std::vector<std::pair<std::string, std::string>> models;
  if (!c.no_prediction)
    for (const VmafModelOption& m : c.models)
      models.emplace_back(model_label(m), m.name);
  const std::string* paths[2] = {&*c.reference, &*c.distorted};
  EndLine end(paths, c.frame_cnt, err);
  more.listeners.push_back(&end);
  more.notes = false;  // libvmaf's own lines only
  PooledLines pooled(models, s.log_every);
  if (terminal && (!c.quiet || !c.output)) more.listeners.push_back(&pooled);

  Console quiet = console;
  quiet.err_is_terminal = terminal && !c.quiet;  // the frame meter
  const int status = compare_inputs(s, quiet, version, std::move(more));
  std::fputs(pooled.text().c_str(), err);
  return status == kExitOk ? kExitOk : kVmafFailure;
}

}  // namespace vq
