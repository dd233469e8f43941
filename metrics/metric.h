// Metrics: the seam every metric plugs into, the registry that lists them, and the options
// syntax of the command line (`--metric=NAME=OPT=VALUE:OPT=VALUE`, the feature syntax libvmaf's
// users know). A metric is one folder (or file) under metrics/ and one row of the registry
// (metrics/registry.cpp). It knows pictures and the score table, never a source or an output.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "score/score.h"
#include "video/video.h"

namespace vq {

// The form every picture of a run's pairs has once the pair is brought to one form: the
// reference's size, one depth, one chroma layout. Where the run scaled the encode (the second
// picture) to the reference's size or widened it to the depth asked for, the encode's own size
// and depth before that (0: not scaled, not widened), for metrics that judge the encode as it was
// made (CAMBI's enc_width, enc_height and enc_bitdepth).
struct PictureForm {
  int32_t width = 0;
  int32_t height = 0;
  int32_t chroma_width = 0;
  int32_t chroma_height = 0;
  int depth = 8;
  ChromaLayout layout = ChromaLayout::k420;
  int32_t encode_width = 0;
  int32_t encode_height = 0;
  int encode_depth = 0;
};

// An option a metric took from the picture form instead of its request ("enc_width", 640).
struct FormOption {
  std::string name;
  int64_t value = 0;
};

enum class OptionType : uint8_t { kBool, kInt, kDouble, kString };

// One option of a metric, as `--help` lists it.
struct MetricOption {
  const char* name;
  OptionType type;
  const char* default_value;  // written as on the command line ("true", "4", "0.5", "")
  const char* help;
};

// A metric's options as the command line set them, parsed and checked against its option table:
// every option of the table has a value, its default when not given.
class MetricOptions {
 public:
  MetricOptions() = default;
  [[nodiscard]] bool get_bool(std::string_view name) const;
  [[nodiscard]] int64_t get_int(std::string_view name) const;
  [[nodiscard]] double get_double(std::string_view name) const;
  [[nodiscard]] std::string get_string(std::string_view name) const;
  // Whether the command line gave it (as opposed to its default).
  [[nodiscard]] bool given(std::string_view name) const;

  struct Value {
    std::string name;
    OptionType type = OptionType::kBool;
    std::string text;  // as given, or the default
    bool given = false;
    bool b = false;
    int64_t i = 0;
    double d = 0;
  };
  std::vector<Value> values;

 private:
  [[nodiscard]] const Value* value(std::string_view name) const;
};

enum class MetricStatus : uint8_t {
  kOk,
  kUnsupported,  // the picture form is not one the metric scores (why says so)
  kOutOfMemory,
};

// Flags of a registry row.
enum MetricFlags : uint32_t {
  // Needs its pairs in order, one after another, and may keep earlier pictures (VMAF's motion).
  // The run makes one scorer of it and calls it in pair order; every other metric gets one
  // scorer per thread, called for any pair in any order.
  kMetricTemporal = 1u << 0,
  // Costs less than copying its pair's pictures (PSNR: one read of each plane): when every
  // metric of a run is light, pairs are scored where they are read, without copies for other
  // threads.
  kMetricLight = 1u << 1,
  // Its score names are its own: no other request of the run may write one of them (two VMAF
  // models both writing "vmaf" would overwrite each other). The run refuses such a set.
  kMetricUniqueNames = 1u << 2,
  // Takes options "FEATURE.OPTION=VALUE" besides its own, for the metrics it needs (a VMAF
  // model's feature options overridden, "cambi.enc_width=1280"): each is kept as given, a string
  // value under its dotted name, for the row to check and apply.
  kMetricFeatureOptions = 1u << 3,
  // Scores RGB pictures: the run hands it each picture of a pair converted as FFmpeg converts
  // it for PNG output (format=rgb24, or rgb48 for pictures deeper than 8 bits, by the stream's
  // matrix and range), as three full-range planes R, G and B of the picture's size
  // (ChromaLayout::k444, depth 8 or 16, sRGB-encoded samples as the PNG would hold them), and
  // makes its scorers for that form. The conversion is done once per pair for every such metric.
  kMetricRgb = 1u << 4,
};

// One scorer of a metric, made for one picture form.
class Metric {
 public:
  Metric() = default;
  Metric(const Metric&) = delete;
  Metric& operator=(const Metric&) = delete;
  virtual ~Metric() = default;
  // Scores pair `pair` (0-based) of the reference `ref` (the first input) and the distorted
  // `dist` (the second), two pictures of the form the scorer was made for, into `table`. The
  // pictures are valid during the call only.
  [[nodiscard]] virtual MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                                           ScoreTable* table) = 0;
  // Once, after the last pair, on one thread, with every scorer's pairs in the table: writes
  // what it held back (a temporal metric's last pair, values computed from other columns) and
  // its aggregates.
  [[nodiscard]] virtual MetricStatus flush(ScoreTable* table) {
    (void)table;
    return MetricStatus::kOk;
  }
};

struct MetricRequest;

// One of a metric's scores that scores a single plane: its name, the family it shares with the
// other planes' scores ("psnr" for y_psnr and psnr_cb) and the plane ("Y", "Cb", "All").
struct ScorePlane {
  const char* name;
  const char* family;
  const char* plane;
};

// One row of the registry.
struct MetricRow {
  const char* name;  // "psnr", "float_ssim", "vmaf", ...
  const char* help;  // one line for --help
  std::span<const MetricOption> options;
  uint32_t flags;  // MetricFlags
  // The score names (table columns) it writes with these options, in the order outputs list
  // them. Declared into the table before the first pair.
  std::vector<std::string> (*scores)(const MetricOptions& options);
  // Makes a scorer for pictures of `form`. kOk and *out set, or another status and *why.
  MetricStatus (*make)(const PictureForm& form, const MetricOptions& options, uint32_t cpu_flags,
                       std::unique_ptr<Metric>* out, std::string* why);
  // Other metrics whose columns this one reads in flush() (VMAF's features), with their
  // options; nullptr when none. The run adds them to the ones asked for (once each: requests
  // that are the same metric with the same option values are one).
  std::vector<std::string> (*needs)(const MetricOptions& options) = nullptr;
  // Checks option values beyond their type (a range); nullptr when any value of the type is
  // fine. 0 with *why naming what is wrong; parse_metric_request refuses the request then.
  int (*check)(const MetricOptions& options, std::string* why) = nullptr;
  // One scorer for requests whose work is shared (float_ms_ssim's finest scale is float_ssim
  // at full resolution; integer_vif filters alike at every gain limit): whether request
  // `other` can join this row's request with `options`, and the maker of the scorer that
  // writes every column of the request and of those that joined it, the very values their
  // own scorers write. nullptr when this metric joins none. The registry holds copies of the
  // rows, so joins() knows another request's metric by its name or functions, not its address.
  bool (*joins)(const MetricOptions& options, const MetricRequest& other) = nullptr;
  MetricStatus (*make_joined)(const PictureForm& form, const MetricOptions& options,
                              std::span<const MetricRequest* const> joined, uint32_t cpu_flags,
                              std::unique_ptr<Metric>* out, std::string* why) = nullptr;
  // Those of its scores that score one plane; every other score of it is a family of its own.
  std::span<const ScorePlane> planes = {};
  // The options it scores pictures of `form` with that the form's encode size or depth set,
  // rather than the request (CAMBI's enc_* where the run scaled or widened the encode), for the
  // notes and the JSON document: the values it uses of that group of options, or none when it
  // took nothing from the form. nullptr when it takes nothing from the form.
  std::vector<FormOption> (*form_options)(const PictureForm& form,
                                          const MetricOptions& options) = nullptr;
};

// What score `name` of `row` is, for the score table and the outputs.
[[nodiscard]] ScoreInfo describe_score(const MetricRow& row, std::string_view name);

// Every metric, in the order --help lists them.
[[nodiscard]] std::span<const MetricRow> metric_registry();
[[nodiscard]] const MetricRow* find_metric(std::string_view name);

// A metric asked for: its row and its options.
struct MetricRequest {
  const MetricRow* row = nullptr;
  MetricOptions options;
};

// Why `name` cannot be a score's name, or nullptr when it can. Every output writes a score's
// name as it is (an XML attribute, a CSV column, a JSON key) beside fields of its own, so a name
// is a letter or '_' and then letters, digits, '_', '-' or '.', and none of those fields.
[[nodiscard]] const char* score_name_fault(std::string_view name);

// Reads "NAME" or "NAME=OPT=VALUE:OPT=VALUE". 1 and *out when the name is in the registry and
// every option is one of its table with a value of its type, its row's check() passes and every
// score name it writes is one the outputs can carry; 0 with *why naming what is wrong.
[[nodiscard]] int parse_metric_request(std::string_view text, MetricRequest* out, std::string* why);

// The requests with every metric they need added (needs() of each, recursively), requests for
// the same metric with the same option values kept once, in the order first asked.
[[nodiscard]] int expand_metric_requests(const std::vector<MetricRequest>& asked,
                                         std::vector<MetricRequest>* out, std::string* why);

// Requests scored by one scorer: a lead and the requests that joined it (none for most).
struct MetricGroup {
  const MetricRequest* lead = nullptr;
  std::vector<const MetricRequest*> joined;
};
// Groups requests by their rows' joins(): each request in one group, leads in the order asked.
[[nodiscard]] std::vector<MetricGroup> group_metric_requests(
    std::span<const MetricRequest* const> requests);
// The group's scorer: its lead's make() when none joined it, else its make_joined().
[[nodiscard]] MetricStatus make_group_scorer(const MetricGroup& group, const PictureForm& form,
                                             uint32_t cpu_flags, std::unique_ptr<Metric>* out,
                                             std::string* why);

// A named metric set (--preset=NAME): the requests of a codec test condition, as libvmaf's CLI
// spells them, and whether its conditions score inputs of different depth at the greater (AOM's
// from v6.0). Pairs are formed at the greater depth in every run, so the rule holds for each.
struct MetricPreset {
  const char* name;  // "aom-ctc-v7.0", "nflx-ctc-v1.0"
  std::span<const char* const> metrics;
  bool common_depth;
};
[[nodiscard]] std::span<const MetricPreset> metric_presets();
[[nodiscard]] const MetricPreset* find_preset(std::string_view name);
// Appends the preset's requests to *out. 0, *out untouched, with *why naming the preset and the
// first of its metrics this build lacks.
[[nodiscard]] int preset_requests(const MetricPreset& preset, std::vector<MetricRequest>* out,
                                  std::string* why);

// Prints every metric and its options, for --help.
void print_metric_help(std::FILE* out);

}  // namespace vq
