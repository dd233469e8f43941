// Console front end: banner, argument scan, usage text, the wait for ENTER and the exit status.
#pragma once

#include <cstdint>
#include <cstdio>

namespace vq {

// Exit statuses of the tool.
enum ExitStatus {
  kExitOk = 0,       // both files opened and every pair of the pair count compared
  kExitUsage = 1,    // the usage text was shown
  kExitFailure = 2,  // a file could not be opened, a frame read or a pair compared
};

// The four 16-bit numbers of the product version.
struct ProductVersion {
  uint16_t part[4] = {1, 2, 0, 0};
};

// Reads this program's own product version; 0 when it cannot be had.
using VersionReader = int (*)(ProductVersion* out);
[[nodiscard]] int read_own_product_version(ProductVersion* out);

// The command line, scanned: every argument that begins with '-' is a switch, any other is
// positional (file 1, file 2, maxframes, then ignored).
struct Settings {
  const char* file1 = nullptr;
  const char* file2 = nullptr;
  int32_t maxframes = 0;  // 0 or less: no limit
  bool verbose = false;
  const char* csv_path = nullptr;  // --csv=FILE
  int positionals = 0;
};

void scan_arguments(int argc, const char* const* argv, Settings* out);

// The rules of atol (leading white space, one sign, digits up to the first non-digit, no digits
// give 0), saturating at the limits of a signed 32-bit number instead of overflowing.
[[nodiscard]] int32_t parse_maxframes(const char* text);

// Where the front end talks: stdout for the fixed texts, stdin for the wait, stderr for notices
// and (when it is a terminal) progress.
struct Console {
  std::FILE* out = stdout;
  std::FILE* in = stdin;
  std::FILE* err = stderr;
  bool err_is_terminal = false;
};

// The whole program: returns the exit status.
[[nodiscard]] int vidqual_main(int argc, const char* const* argv, const Console& console,
                               VersionReader read_version);

}  // namespace vq
