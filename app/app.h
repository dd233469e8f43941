// Console front end: the command line read into typed settings, the table of outputs, the modes
// (two files, one reference against many, a manifest's lines) and the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bdrate/bdrate.h"
#include "metrics/metric.h"
#include "report/report.h"
#include "source/source.h"

namespace vq {

// Exit statuses of the tool.
enum ExitStatus {
  kExitOk = 0,       // both files opened and every pair of the pair count compared
  kExitUsage = 1,    // the usage text was shown, or the command line refused
  kExitFailure = 2,  // a file could not be opened, a frame read, a pair compared or a report
                     // written
};

// The four 16-bit numbers of the product version.
struct ProductVersion {
  uint16_t part[4] = {1, 2, 0, 0};
};

// Reads this program's own product version; 0 when it cannot be had.
using VersionReader = int (*)(ProductVersion* out);
[[nodiscard]] int read_own_product_version(ProductVersion* out);

// ---- Outputs ------------------------------------------------------------------------------------

// One output file of a run: the option that names its path, the help line and its maker. Every
// list of outputs (settings, manifest lines, --vs, --help) is indexed by this table.
struct OutputRow {
  const char* option;       // "csv" for --csv=FILE
  const char* value;        // the value's name in the help text
  const char* help;         // one line for --help
  ReportMaker make;         // makes the output for a run
  bool (*available)();      // whether this build can write it
  const char* unavailable;  // why not, when it cannot
};
[[nodiscard]] std::span<const OutputRow> output_table();

// The model files the requests read: the value of every text option given as path:FILE.
[[nodiscard]] std::vector<std::string> model_files(const std::vector<MetricRequest>& metrics);

// A file a run reads, which no output may replace: its path and what it is ("input", "model
// file", "manifest").
struct ReadFile {
  std::string path;
  const char* what;
};
// Why the outputs may not be written, or empty when they may: the first output (empty paths are
// not written) that is one file with a file read or with an earlier output, the same file through
// any spelling or link as same_file() tells. Checked before anything is opened for writing, so
// that a refused run leaves every file as it was.
[[nodiscard]] std::string output_clash(const std::vector<ReadFile>& reads,
                                       const std::vector<std::string>& outputs);
// "the output [OUT] is the input [IN]; nothing was written".
[[nodiscard]] std::string read_clash_text(const std::string& output, const ReadFile& read);

// ---- The command line ---------------------------------------------------------------------------

// The command line as written, scanned: positional arguments, switches and the text of every long
// option. An argument that begins with "--" is a long option of the table and must be well
// formed; any other that begins with '-' is a switch (-v... turns verbose output on, the rest are
// ignored with a note); any other is positional (file 1, file 2, maxframes, then ignored).
struct Arguments {
  std::optional<std::string> file1, file2;
  int32_t maxframes = 0;  // 0 or less: no limit
  int positionals = 0;
  bool verbose = false;
  std::vector<std::optional<std::string>> outputs;  // by output_table() row
  std::optional<std::string> html_worst, preset, threads, size, pix_fmt, max_pixels, skip, scale,
      pair, worst_pairs, cpumask, manifest, manifest_index, bd_method, rate_kbps, bit_depth;
  bool ssim = false, align = false, help = false, version = false, bd_rate = false;
  std::vector<std::string> metrics;  // --metric=NAME[=OPT=VALUE:...] and --ssim, in order
  std::vector<std::string> versus;   // --vs=FILE, each time given
  std::vector<std::string> notes;    // one line each: an ignored switch, a maxframes not a number
};

// When a refusal is told, in the order of the checks: a scan refusal at once (with the usage
// text), a metric before the scan's notes (with the usage text), any other value after them.
enum class RefusalStage { kNone, kScan, kMetrics, kValues };

// Why a command line is refused: the text after "vidqual: ".
struct Refusal {
  RefusalStage stage = RefusalStage::kNone;
  std::string why;
  [[nodiscard]] explicit operator bool() const { return stage != RefusalStage::kNone; }
};

// The command line, every value checked and converted.
struct Settings {
  std::optional<std::string> file1, file2;
  int32_t maxframes = 0;  // 0 or less: no limit
  bool verbose = false;
  std::vector<std::string> outputs;  // by output_table() row; empty: not written
  int html_worst = 3;
  std::vector<MetricRequest> metrics;           // psnr first, then those asked for, expanded
  std::vector<std::string> columns;             // the per-pair files' columns
  std::vector<std::vector<std::string>> asked;  // the scores of each metric asked for
  std::string ranked = "y_psnr";                // what the worst pairs are judged by
  bool align = false;
  int32_t skip[2] = {0, 0};
  int32_t worst_pairs = 0;
  std::optional<int> threads;  // none: the processors vidqual may use
  ScaleFilter scale = ScaleFilter::kNone;
  int bit_depth = 0;  // every pair scored at this depth; 0: at the deeper picture's
  bool pair_by_time = false;
  uint32_t cpu_flags = detect_cpu_flags();  // this processor's CpuFlags less --cpumask's
  OpenOptions open[2];
  std::vector<std::string> versus;
  std::optional<std::string> manifest;
  // As written: env:NAME is read, and the number checked, once the manifest is.
  std::optional<std::string> manifest_index;
  double rate_kbps = 0;  // the second file's rate as given (--rate-kbps); 0: as its file states
  bool bd_rate = false;  // the two files are RD tables to compare by BD-rate
  BdMethod bd_method = BdMethod::kAom;
  // The scores of the files in libvmaf's layouts, in libvmaf's order (libvmaf_columns()).
  std::vector<std::string> log_columns;
  int32_t log_every = 1;  // those files list every Nth pair (libvmaf's --subsample)
};

// A command line read: the arguments as written (a manifest line's are laid over them), the
// settings, the scan's notes and the first refusal.
struct CommandLine {
  Arguments args;
  Settings settings;
  Refusal refusal;
};

// Scans `args` (argv without the program's name): a refusal of stage kScan when a long option
// is unknown, malformed or given twice.
[[nodiscard]] Refusal scan_arguments(const std::vector<std::string>& args, Arguments* out);

// Checks and converts every value of `a`, in the order the tool has always checked them; the
// first refusal is returned, `out` holding what was read up to it.
[[nodiscard]] Refusal check_arguments(const Arguments& a, Settings* out);

// Both of the above.
[[nodiscard]] CommandLine parse_command_line(const std::vector<std::string>& args);

// The scores of `metrics` (requests with what they need, in the order libvmaf's program takes
// its extractors: each model's features, then the model, then the features asked for) in the
// order libvmaf's files list them. libvmaf lists a score where it first receives one: per pair,
// its extractors in order (with `threaded`, as with --threads N, PSNR first, which it computes
// before handing the pair to its threads), then the scores written when the run ends (the
// motion scores that need the next pair), then each model's prediction.
[[nodiscard]] std::vector<std::string> libvmaf_columns(const std::vector<MetricRequest>& metrics,
                                                       bool threaded);

// The rules of atol (leading white space, one sign, digits up to the first non-digit, no digits
// give 0), saturating at the limits of a signed 32-bit number instead of overflowing.
[[nodiscard]] int32_t parse_maxframes(std::string_view text);

// ---- Campaigns ----------------------------------------------------------------------------------

// A campaign: a manifest file of comparisons, one a line, run one after another or one line per
// task of a job array. The format: arguments separated by blanks (spaces, tabs), as on a command
// line (reference, distorted, maxframes, -v, long options); a double-quoted part of an argument
// keeps its blanks, and inside it \" and \\ stand for " and \. A line whose first non-blank
// is '#' and a blank line are skipped; the others are numbered from 0 (the line's index).
struct ManifestLine {
  int index = 0;
  int line_number = 0;               // in the file, from 1
  std::vector<std::string> args;     // as written, quotes removed
  std::vector<std::string> outputs;  // by output_table() row, once planned; empty: none
};

// The largest manifest read: bytes and lines (comments and blank lines included). Every task of
// a job array reads and checks the whole manifest, so the bound keeps that to a second or two.
inline constexpr int64_t kManifestMaxBytes = 16 << 20;
inline constexpr int64_t kManifestMaxLines = 100000;

// 1 and `out` filled when `text` is a well-formed manifest; 0 with `why` naming the line.
[[nodiscard]] int parse_manifest(std::string_view text, std::vector<ManifestLine>* out,
                                 std::string* why);
// The file `path` read and parsed, refused above the limits: 1, or 0 with `why`.
[[nodiscard]] int read_manifest(const std::string& path, std::vector<ManifestLine>* out,
                                std::string* why);

// The value of --manifest-index: a number from 0, or env:NAME for the number in environment
// variable NAME (as a job array hands each task its index). `lookup` reads the environment.
using EnvLookup = const char* (*)(const char* name);
[[nodiscard]] int parse_manifest_index(const std::string& text, EnvLookup lookup, int64_t* out,
                                       std::string* why);

// An output path with {index} replaced by the line's index and {name} by the distorted file's
// name without its folder and last extension.
[[nodiscard]] std::string expand_output_path(std::string_view pattern, int index,
                                             std::string_view distorted);

// One line's arguments: the command line's (`base`) with the line's over them. A long option
// the line gives replaces the command line's; a line that names a metric (--metric, --ssim)
// replaces the command line's list of metrics; flags add. Output paths are as written, {index}
// and {name} not yet replaced. 1, or 0 with `why` when the line is not a comparison the tool
// would run. Its values are checked when the line runs (check_arguments).
[[nodiscard]] int line_arguments(const Arguments& base, const ManifestLine& line, Arguments* out,
                                 std::string* why);

// Checks every line and fills its outputs: each line must name an output (its own or, through
// {index} or {name}, the command line's), and no two lines one output. 1, or 0 with `why`.
[[nodiscard]] int plan_campaign(const Arguments& base, std::vector<ManifestLine>* lines,
                                std::string* why);

// 1 when the line has run before and succeeded: every output it names is there as a regular file
// (an output is written in full or not at all, and a failed line's are kept apart, so one that
// is there is a whole run's). A line with an output that is not a regular file (a terminal,
// /dev/null) is never done.
[[nodiscard]] int line_is_done(const ManifestLine& line);

// The frames of each input --skip=A:B drops: A and B whole decimal numbers from 0 (digits only,
// at most 2147483647). 1 and out[0], out[1] set; 0, `out` untouched, with *why naming the option
// and saying what it takes.
[[nodiscard]] int parse_skip(const std::string& text, int32_t out[2], std::string* why);

// ---- The program --------------------------------------------------------------------------------

// Where the front end talks: stdout for the fixed texts, stdin for the wait (read only when it is
// a terminal), stderr for notices and (when it is a terminal) progress.
struct Console {
  std::FILE* out = stdout;
  std::FILE* in = stdin;
  std::FILE* err = stderr;
  bool err_is_terminal = false;
  bool in_is_terminal = false;
};

// What a front end of its own (libvmaf's command line) hands the comparison builder beside the
// settings: inputs it opened and checked already, outputs beyond the table's (maker and path),
// listeners of the run, whether the written report goes to stdout, and whether a run that
// succeeds is followed by this tool's notes (a front end with its own words for them turns them
// off; a failure is told either way).
struct ComparisonExtras {
  std::unique_ptr<VideoSource> sources[2];
  std::vector<std::pair<ReportMaker, std::string>> outputs;
  std::vector<RunListener*> listeners;
  bool stdout_report = true;
  bool notes = true;
};

// One comparison of the two files of `s` through the builder every mode runs: outputs checked
// against the files read and opened, inputs opened (those `more` brings are used as they are),
// the run, the outputs committed. Nothing waits for ENTER and no usage text is shown; refusals
// and failures are told on c.err with "vidqual: ". The exit status.
[[nodiscard]] int compare_inputs(const Settings& s, const Console& c, const std::string& version,
                                 ComparisonExtras more);

// The BD-rate mode: the two files are RD tables, anchor then test; the summary goes to `c.out`,
// the cells that have no value and why to `c.err`, and the per-sequence rows to --csv=FILE. Every
// other option of a comparison is refused. The exit status.
[[nodiscard]] int run_bd_rate(const CommandLine& cl, const Console& c);

// ---- libvmaf's command line (vidqual-vmaf)
// -------------------------------------------------------

// One --model/-m: a bundled model (version=) or a model file (path=), its name in the files.
struct VmafModelOption {
  std::string version;
  std::string path;
  std::string name = "vmaf";
  bool disable_clip = false;
  bool enable_transform = false;
  // FEATURE.OPTION=VALUE: set for an extractor the model uses; ignored, as libvmaf ignores it,
  // for another extractor or an option the extractor does not have.
  std::vector<std::string> overrides;
};
// One --feature: libvmaf's name and the metric request that computes it here (empty when none).
struct VmafFeature {
  std::string name;
  std::string request;
};
// libvmaf's command line read: its options as libvmaf keeps them, --aom_ctc and --nflx_ctc
// already added as models and features.
struct VmafCommandLine {
  std::optional<std::string> reference, distorted, output;
  uint32_t width = 0, height = 0, bitdepth = 0;
  std::string pixel_format;  // 420, 422 or 444
  bool use_yuv = false;      // -w, -h, -p or -b was given
  LogFormat format = LogFormat::kXml;
  std::vector<VmafModelOption> models;  // the default model when none is given and not -n
  std::vector<VmafFeature> features;
  uint32_t threads = 0, subsample = 0, cpumask = 0, frame_cnt = 0, skip_ref = 0, skip_dist = 0;
  bool gpumask = false, no_prediction = false, quiet = false;
  bool common_bitdepth = false;  // inputs of different depths are scored at the greater
};
enum class VmafParse { kRun, kVersion, kRefused };
// Reads `args` (argv, the program's name first) as libvmaf's program does, with getopt_long:
// kRun and *out; kVersion at -v; kRefused with *why, the reason libvmaf prints before its usage
// text. An unknown option is told on stderr by getopt_long and skipped, as libvmaf skips it.
[[nodiscard]] VmafParse parse_vmaf_command_line(const std::vector<std::string>& args,
                                                VmafCommandLine* out, std::string* why);
// The program vidqual-vmaf: nothing on c.out; on c.err libvmaf's lines (at a terminal the
// version, the frame meter unless -q, each model's pooled score unless -q with -o) and reasons.
// 0, 1 for a refused command line, 255 where libvmaf gives up (a file, a model, a run).
[[nodiscard]] int vmaf_main(int argc, const char* const* argv, const Console& c,
                            VersionReader read_version);

// The whole program: returns the exit status.
[[nodiscard]] int vidqual_main(int argc, const char* const* argv, const Console& console,
                               VersionReader read_version);

}  // namespace vq
