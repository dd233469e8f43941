// Console front end: banner, argument scan, usage text, the wait for ENTER, the output files and
// the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// The command line, scanned. An argument that begins with "--" is a long option of the table
// below and must be well formed; any other that begins with '-' is a switch (-v... turns verbose
// output on, the rest are ignored); any other is positional (file 1, file 2, maxframes, then
// ignored).
struct Settings {
  const char* file1 = nullptr;
  const char* file2 = nullptr;
  int32_t maxframes = 0;  // 0 or less: no limit
  bool verbose = false;
  const char* csv_path = nullptr;        // --csv=FILE
  const char* json_path = nullptr;       // --json=FILE
  const char* xml_path = nullptr;        // --xml=FILE
  const char* html_path = nullptr;       // --html=FILE
  const char* html_worst = nullptr;      // --html-worst=N
  bool ssim = false;                     // --ssim (also listed in `metrics` as "ssim")
  std::vector<const char*> metrics;      // --metric=NAME[=OPT=VALUE:...], each time it is given
  std::vector<const char*> versus;       // --vs=FILE, each time it is given
  const char* preset = nullptr;          // --preset=NAME
  const char* threads = nullptr;         // --threads=N
  const char* size = nullptr;            // --size=WxH, for headerless YUV
  const char* pix_fmt = nullptr;         // --pix-fmt=NAME, for headerless YUV
  const char* max_pixels = nullptr;      // --max-pixels=N
  const char* skip = nullptr;            // --skip=A:B
  const char* scale = nullptr;           // --scale=FILTER
  const char* pair = nullptr;            // --pair=order|timestamps
  bool align = false;                    // --align
  const char* worst_pairs = nullptr;     // --worst-pairs=N
  const char* manifest = nullptr;        // --manifest=FILE: the pairs come from FILE
  const char* manifest_index = nullptr;  // --manifest-index=K or env:NAME
  bool help = false;                     // --help
  bool version = false;                  // --version
  int positionals = 0;
};

// One long option: --name for a flag, --name=VALUE for an option that takes a value (which must
// not be empty). Each sets one field of Settings; an option that may be given more than once
// adds its value to a list instead.
struct LongOption {
  const char* name;
  const char* value;            // the value's name in the help text; nullptr for a flag
  const char* Settings::*text;  // where the value goes
  bool Settings::*flag;         // where a flag goes
  const char* help;             // one line for --help
  std::vector<const char*> Settings::*list = nullptr;  // where each value goes, when repeatable
  const char* metric = nullptr;  // a flag that stands for --metric=this (kept in the list)
};
extern const LongOption kLongOptions[];
extern const int kLongOptionCount;

// What the scan has to tell people: how arguments were read, or why the command line is refused.
struct ScanNotes {
  std::string error;               // set when the scan fails
  std::vector<std::string> notes;  // one line each: an ignored switch, a maxframes not a number
};

// 1 and `out` filled when the command line is good; 0, `out` untouched, with notes->error naming
// the argument when a long option is unknown, malformed or given twice.
[[nodiscard]] int scan_arguments(int argc, const char* const* argv, Settings* out,
                                 ScanNotes* notes);

// The rules of atol (leading white space, one sign, digits up to the first non-digit, no digits
// give 0), saturating at the limits of a signed 32-bit number instead of overflowing.
[[nodiscard]] int32_t parse_maxframes(const char* text);

// A campaign: a manifest file of comparisons, one a line, run one after another or one line per
// task of a job array. The format: arguments separated by blanks (spaces, tabs), as on a command
// line (reference, distorted, maxframes, -v, long options); a double-quoted part of an argument
// keeps its blanks, and inside it \" and \\ stand for " and \. A line whose first non-blank
// is '#' and a blank line are skipped; the others are numbered from 0 (the line's index).
struct ManifestLine {
  int index = 0;
  int line_number = 0;            // in the file, from 1
  std::vector<std::string> args;  // as written, quotes removed
  std::string outputs[4];         // the per-pair, JSON, XML and HTML paths, once planned
};

// The largest manifest read: bytes and lines (comments and blank lines included). Every task of
// a job array reads and checks the whole manifest, so the bound keeps that to a second or two.
inline constexpr int64_t kManifestMaxBytes = 16 << 20;
inline constexpr int64_t kManifestMaxLines = 100000;

// 1 and `out` filled when `text` is a well-formed manifest; 0 with `why` naming the line.
[[nodiscard]] int parse_manifest(std::string_view text, std::vector<ManifestLine>* out,
                                 std::string* why);
// The file `path` read and parsed, refused above the limits: 1, or 0 with `why`.
[[nodiscard]] int read_manifest(const char* path, std::vector<ManifestLine>* out, std::string* why);

// The value of --manifest-index: a number from 0, or env:NAME for the number in environment
// variable NAME (as a job array hands each task its index). `lookup` reads the environment.
using EnvLookup = const char* (*)(const char* name);
[[nodiscard]] int parse_manifest_index(const char* text, EnvLookup lookup, int64_t* out,
                                       std::string* why);

// The output paths of Settings, in the order of ManifestLine::outputs.
extern const char* Settings::*const kOutputPaths[4];

// An output path with {index} replaced by the line's index and {name} by the distorted file's
// name without its folder and last extension.
[[nodiscard]] std::string expand_output_path(std::string_view pattern, int index,
                                             std::string_view distorted);

// One line's settings: the command line's (`base`) with the line's arguments over them. A long
// option the line gives replaces the command line's; a line that names a metric (--metric,
// --ssim) replaces the command line's list of metrics; flags add. Output paths are as written,
// {index} and {name} not yet replaced. The pointers point into `base`'s strings and `line`.
// 1, or 0 with `why` when the line is not a comparison the tool would run.
[[nodiscard]] int line_settings(const Settings& base, const ManifestLine& line, Settings* out,
                                std::string* why);

// Checks every line and fills its outputs: each line must name an output (its own or, through
// {index} or {name}, the command line's), and no two lines one output. 1, or 0 with `why`.
[[nodiscard]] int plan_campaign(const Settings& base, std::vector<ManifestLine>* lines,
                                std::string* why);

// 1 when the line has run before: every output it names is there as a regular file (an output
// is written in full or not at all, so one that is there is complete). A line with an output
// that is not a regular file (a terminal, /dev/null) is never done.
[[nodiscard]] int line_is_done(const ManifestLine& line);

// The frames of each input --skip=A:B drops: A and B whole decimal numbers from 0 (digits only,
// at most 2147483647). 1 and out[0], out[1] set; 0, `out` untouched, with *why naming the option
// and saying what it takes.
[[nodiscard]] int parse_skip(const char* text, int32_t out[2], std::string* why);

// Where the front end talks: stdout for the fixed texts, stdin for the wait (read only when it is
// a terminal), stderr for notices and (when it is a terminal) progress.
struct Console {
  std::FILE* out = stdout;
  std::FILE* in = stdin;
  std::FILE* err = stderr;
  bool err_is_terminal = false;
  bool in_is_terminal = false;
};

// The whole program: returns the exit status.
[[nodiscard]] int vidqual_main(int argc, const char* const* argv, const Console& console,
                               VersionReader read_version);

}  // namespace vq
