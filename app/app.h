// Console front end: banner, argument scan, usage text, the wait for ENTER, the output files and
// the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
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
  const char* csv_path = nullptr;    // --csv=FILE
  const char* json_path = nullptr;   // --json=FILE
  const char* xml_path = nullptr;    // --xml=FILE
  const char* html_path = nullptr;   // --html=FILE
  const char* html_worst = nullptr;  // --html-worst=N
  bool ssim = false;                 // --ssim (also listed in `metrics` as "ssim")
  std::vector<const char*> metrics;  // --metric=NAME[=OPT=VALUE:...], each time it is given
  const char* preset = nullptr;      // --preset=NAME
  const char* threads = nullptr;     // --threads=N
  const char* size = nullptr;        // --size=WxH, for headerless YUV
  const char* pix_fmt = nullptr;     // --pix-fmt=NAME, for headerless YUV
  const char* max_pixels = nullptr;  // --max-pixels=N
  const char* scale = nullptr;       // --scale=FILTER
  bool help = false;                 // --help
  bool version = false;              // --version
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
