#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <string_view>

#include "app/app.h"
#include "compare/compare.h"

namespace vq {
namespace {

constexpr char kProgramName[] = "VIDQUAL";
constexpr char kNotice[] = "PSNR of the Y, U and V planes of two AVI files";

const char* const kUsage[] = {
    "VIDQUAL is a command line tool to calculate PSNR (Peak Signal to Noise Ratio)\n",
    "between 2 AVI files (frame by frame and total average).\n",
    "PSNR has been calculated for Y, U, V color planes separately.\n",
    "The more PSNR value, the less differences between video streams.\n",
    "\t\n",
    "USAGE:\n",
    "\tVIDQUAL <avifile1> <avifile2> [maxframes] [-v[erbose]]\n",
    "WHERE:\n",
    "\tavifile1    - first AVI file to compare [MANDATORY];\n",
    "\tavifile2    - second AVI file to compare [MANDATORY];\n",
    "\tmaxframes   - number of frames to process [OPTIONAL];\n",
    "\t-verbose    - turns ON verbose output for each frame [OPTIONAL];\n",
    "\n",
    "In most applications you don't need to specify optional parameters, they\n",
    "are needed only when you want to calculate PSNR for some sub-range of\n",
    "frames inside AVI file.\n",
    "This utility is a console application and should be run from command line.\n",
    "USAGE example:\n",
    "\tVIDQUAL movie1.avi movie2.avi\n",
    "This command will calculate PSNR between movie1.avi and movie2.avi files\n",
    "and will output resulting value to the screen.\n",
};

void wait_for_enter(const Console& c) {
  std::fputs("Press ENTER to continue...", c.out);
  std::fflush(c.out);
  (void)std::fgetc(c.in);
  std::fputs("\n", c.out);
}

// One updating line on a terminal: pairs done, speed, time left. Redrawn at most ten times a
// second and wiped before the report.
class Progress {
 public:
  Progress(std::FILE* err, bool enabled) : err_(err), enabled_(enabled) {}
  void update(int32_t pair, int32_t pair_count) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100) && pair != pair_count) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double fps = secs > 0 ? pair / secs : 0.0;
    const long eta = fps > 0 ? long((pair_count - pair) / fps + 0.5) : 0;
    std::fprintf(err_, "\rframe %d/%d, %.0f fps, ETA %ld:%02ld\033[K", pair, pair_count, fps,
                 eta / 60, eta % 60);
    std::fflush(err_);
    shown_ = true;
  }
  void clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", err_);
    std::fflush(err_);
    shown_ = false;
  }

 private:
  std::FILE* err_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace

int32_t parse_maxframes(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t n = 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p++ - '0');
    if (n > int64_t(INT32_MAX) + 1) n = int64_t(INT32_MAX) + 1;  // saturated; keep scanning
  }
  if (negative) return n > INT32_MAX ? INT32_MIN : -int32_t(n);
  return n > INT32_MAX ? INT32_MAX : int32_t(n);
}

void scan_arguments(int argc, const char* const* argv, Settings* out) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-') {
      if (arg[1] == 'v') s.verbose = true;
      if (std::string_view(arg).starts_with("--csv=")) s.csv_path = arg + 6;
      continue;
    }
    if (s.positionals == 0) s.file1 = arg;
    if (s.positionals == 1) s.file2 = arg;
    if (s.positionals == 2) s.maxframes = parse_maxframes(arg);
    ++s.positionals;
  }
  *out = s;
}

int vidqual_main(int argc, const char* const* argv, const Console& c, VersionReader read_version) {
  ProductVersion v;
  if (!read_version(&v)) v = ProductVersion{};
  std::fprintf(c.out, "%s v%d.%d.%d.%d, %s\n\n", kProgramName, v.part[0], v.part[1], v.part[2],
               v.part[3], kNotice);

  Settings s;
  scan_arguments(argc, argv, &s);
  if (argc < 3 || s.file2 == nullptr) {
    for (const char* line : kUsage)
      std::fputs(line, c.out);
    wait_for_enter(c);
    return kExitUsage;
  }

  std::unique_ptr<CsvWriter> csv;
  if (s.csv_path) {
    csv = std::make_unique<CsvWriter>();
    if (!csv->open(s.csv_path)) {
      std::fprintf(c.err, "vidqual: can't write the per-frame file [%s]\n", s.csv_path);
      return kExitFailure;
    }
  }

  Progress progress(c.err, c.err_is_terminal);
  RunSettings run;
  run.path1 = s.file1;
  run.path2 = s.file2;
  run.maxframes = s.maxframes;
  run.verbose = s.verbose;
  int32_t pair_count = 0;
  run.on_start = [&](int32_t n) { pair_count = n; };
  run.on_pair = [&](int32_t pair, const FrameScore& score) {
    if (csv) csv->add_row(pair, score);
    progress.update(pair, pair_count);
  };
  run.before_report = [&] { progress.clear(); };

  std::fflush(c.out);
  RunResult r;
  if (!comparison_run(run, c.out, &r)) {
    print_notes(run, r, c.err);
    if (csv) (void)csv->finish(PsnrTotals{}, PairStats{});
    wait_for_enter(c);
    return kExitFailure;
  }
  std::fflush(c.out);
  print_notes(run, r, c.err);
  if (csv && !csv->finish(r.totals, r.stats)) {
    std::fprintf(c.err, "vidqual: can't write the per-frame file [%s]\n", s.csv_path);
    return kExitFailure;
  }
  return r.failed ? kExitFailure : kExitOk;
}

}  // namespace vq
