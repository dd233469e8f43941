// The program: the banner, --help, the modes (two files, one reference against many, a
// manifest's lines), the one comparison builder they share, and the exit status.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>

#include "app/app.h"
#include "app/options.h"
#include "compare/compare.h"
#include "convert/convert.h"
#include "decode/decode.h"

namespace vq {

namespace {

constexpr char kProgramName[] = "VIDQUAL";
constexpr char kNotice[] = "PSNR and SSIM of the Y, U and V planes of two video files";

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

// Flushes stdout; the first failure's errno is kept for the message at the end.
void flush(std::FILE* out, int* error) {
  if (std::fflush(out) != 0 && *error == 0) *error = errno;
}

// The prompt is printed wherever it always was; a byte is read only from a terminal, so that a
// script's input (a list of names piped into a loop) is never eaten.
void wait_for_enter(const Console& c, int* out_error) {
  std::fputs("Press ENTER to continue...", c.out);
  flush(c.out, out_error);
  if (c.in_is_terminal) (void)std::fgetc(c.in);
  std::fputs("\n", c.out);
}

// One updating line on a terminal: pairs done, speed, time left. Redrawn at most ten times a
// second and wiped before the report.
class Progress final : public RunListener {
 public:
  Progress(std::FILE* err, bool enabled) : err_(err), enabled_(enabled) {}
  void on_start(int32_t pair_count, const ScoreTable&) override { pair_count_ = pair_count; }
  void on_pair(const PairView& pair) override { update(pair.number, pair_count_); }
  void on_end(const RunResult&) override { clear(); }

 private:
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

  std::FILE* err_;
  bool enabled_;
  int32_t pair_count_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
};

void print_usage(std::FILE* out) {
  for (const char* line : kUsage)
    std::fputs(line, out);
}

// What the two files may be, for --help: the usage text above it speaks of AVI files only.
void print_input_kinds(std::FILE* out) {
  std::fputs("INPUTS:\n", out);
  std::fputs(
      "\tThe two files are video files of any of these kinds, recognised by their first\n"
      "\tbytes: AVI (uncompressed RGB and YV12 read directly, compressed streams decoded),\n"
      "\tY4M (8 to 16 bits; also from a pipe or standard input, named -), headerless\n"
      "\tYUV (a name ending in .yuv, with --size and --pix-fmt)",
      out);
  std::fputs(have_ffmpeg() ? ", and every container and\n\timage FFmpeg's libraries read (MP4, "
                             "MOV, MKV, WebM, IVF, MPEG-TS, FLV, PNG, ...).\n"
                           : "; this build has no FFmpeg\n\tlibraries, so MP4, MKV and the like "
                             "are not read.\n",
             out);
}

// The long options, one line each in the usage text's style: the outputs, then the others.
void print_long_options(std::FILE* out) {
  const auto line = [out](const std::string& spelled, const char* help) {
    // A name too long for the column keeps a blank before its dash.
    std::fprintf(out, "\t%-16s%s- %s;\n", spelled.c_str(), spelled.size() >= 16 ? " " : "", help);
  };
  std::fputs("LONG OPTIONS:\n", out);
  for (const OutputRow& o : output_table())
    line(std::string("--") + o.option + "=" + o.value, o.help);
  for (const LongOption& o : long_options())
    line(std::string("--") + o.name + (o.value ? "=" : "") + (o.value ? o.value : ""), o.help);
}

void print_report_failure(const Report& report, std::FILE* err) {
  if (report.error() == ENOMEM) {
    std::fprintf(err, "vidqual: out of memory writing [%s]\n", report.path().c_str());
  } else {
    std::fprintf(err, "vidqual: can't write [%s]: %s\n", report.path().c_str(),
                 std::strerror(report.error()));
  }
}

// What every mode is handed: the console, the version text, and where the first failure to
// write stdout is kept. `watched` is false for a comparison among several (a campaign's line, one
// of --vs): a refusal then shows no usage and nothing waits for ENTER.
struct Front {
  Console c;
  std::string version;
  int* out_error = nullptr;
  bool watched = true;
  // A campaign's line: its index, which its JSON document records; the outputs of a failed run
  // are then kept apart (failed_output_path()), so that the line runs again.
  int line_index = -1;
};

int refuse_with_usage(const Front& f) {
  if (!f.watched) return kExitUsage;
  print_usage(f.c.out);
  wait_for_enter(f.c, f.out_error);
  return kExitUsage;
}

// A refusal of the checked values, told as the two-file command tells it: a metric before the
// scan's notes (with the usage text), a missing second file after them, then any other value.
// -1 when the comparison may go on, else the exit status.
int tell_refusal(const Settings& s, const Refusal& refusal, const std::vector<std::string>& notes,
                 bool needs_file2, const Front& f) {
  if (refusal.stage == RefusalStage::kMetrics) {
    std::fprintf(f.c.err, "vidqual: %s\n", refusal.why.c_str());
    return refuse_with_usage(f);
  }
  for (const std::string& note : notes)
    std::fprintf(f.c.err, "%s\n", note.c_str());
  if (needs_file2 && !s.file2) return refuse_with_usage(f);
  if (refusal) {
    std::fprintf(f.c.err, "vidqual: %s\n", refusal.why.c_str());
    return kExitUsage;
  }
  return -1;
}

// The files a comparison reads: its inputs (the reference, then each distorted input) and the
// model files its metrics name.
std::vector<ReadFile> read_files(const Settings& s, const std::vector<std::string>& distorted) {
  std::vector<ReadFile> reads = {{*s.file1, "input"}};
  for (const std::string& d : distorted)
    reads.push_back({d, "input"});
  for (std::string& model : model_files(s.metrics))
    reads.push_back({std::move(model), "model file"});
  return reads;
}

// What the outputs learn of a comparison from its settings.
RunDescription describe(const Settings& s, const std::string& version) {
  RunDescription d;
  d.version = version;
  d.path[0] = *s.file1;
  d.path[1] = *s.file2;
  d.maxframes = s.maxframes;
  d.scale = s.scale;
  d.rate_kbps = s.rate_kbps;
  d.html_worst = s.html_worst;
  d.worst_pairs = s.worst_pairs;
  d.columns = s.columns;
  d.ranked = s.ranked;
  d.asked = s.asked;
  d.log_columns = s.log_columns;
  d.log_every = s.log_every;
  return d;
}

// Every output the settings name, made from its row, and those of `more`, opened: 1, or 0 with
// the failure told.
int open_outputs(const Settings& s, const RunDescription& d, const ComparisonExtras& more,
                 std::vector<std::unique_ptr<Report>>* reports, std::FILE* err) {
  std::vector<std::pair<ReportMaker, std::string>> outputs;
  const std::span<const OutputRow> rows = output_table();
  for (size_t i = 0; i < rows.size(); ++i)
    if (!s.outputs[i].empty()) outputs.emplace_back(rows[i].make, s.outputs[i]);
  outputs.insert(outputs.end(), more.outputs.begin(), more.outputs.end());
  for (const auto& [make, path] : outputs) {
    std::unique_ptr<Report>& report = reports->emplace_back(make(d));
    if (!report->open(path.c_str())) {
      print_report_failure(*report, err);
      return 0;
    }
  }
  return 1;
}

// The inputs, opened here (either may come open: a reference shared by several comparisons,
// inputs a front end checked): 1; 0 when one does not open, with the fixed line (when the
// written report is on stdout) and the reason; -1 when pairs by time lack a rate.
[[nodiscard]] int open_inputs(const Settings& s, const RunDescription& d,
                              std::unique_ptr<VideoSource> sources[2], bool stdout_report,
                              const Front& f) {
  for (int i = 0; i < 2; ++i) {
    if (sources[i]) continue;
    std::string why;
    const OpenStatus opened = open_video(d.path[i].c_str(), s.open[i], &sources[i], &why);
    if (opened == OpenStatus::kOpened) continue;
    if (stdout_report) print_open_failure(f.c.out, d.path[i]);
    RunResult failed;
    failed.outcome =
        opened == OpenStatus::kOutOfMemory ? RunOutcome::kOutOfMemory : RunOutcome::kOpenFailed;
    failed.failed_input = i + 1;
    failed.reason = why;
    failed.failed = true;
    sources[0].reset();
    print_notes(d, failed, f.c.err);
    return 0;
  }
  // Pairs by time need both rates: a stream that states none cannot be placed in time.
  for (int i = 0; s.pair_by_time && i < 2; ++i) {
    const SourceInfo& info = sources[i]->info();
    if (info.rate_num > 0 && info.rate_den > 0) continue;
    std::fprintf(
        f.c.err,
        "vidqual: --pair=timestamps needs the frame rate of both inputs; [%s] states none\n",
        d.path[i].c_str());
    return -1;
  }
  return 1;
}

// The run of open inputs, told to the written report, the progress line and the outputs, which
// are committed after it. The exit status.
int run_and_commit(const Settings& s, const RunDescription& d,
                   const std::unique_ptr<VideoSource> sources[2],
                   const std::vector<std::unique_ptr<Report>>& reports,
                   const ComparisonExtras& more, const Front& f) {
  ScoreTable table;
  Progress progress(f.c.err, f.c.err_is_terminal);
  std::unique_ptr<RunListener> text;
  if (more.stdout_report) {
    text = make_text_report(f.c.out, s.verbose, d);
    if (!text) throw std::bad_alloc();
  }
  RunSettings run;
  run.sources[0] = sources[0].get();
  run.sources[1] = sources[1].get();
  run.maxframes = s.maxframes;
  run.skip[0] = s.skip[0];
  run.skip[1] = s.skip[1];
  run.align = s.align;
  run.metrics = s.metrics;
  run.scale = s.scale;
  run.depth = s.bit_depth;
  run.pair_by_time = s.pair_by_time;
  run.threads = s.threads.value_or(available_processors());
  run.cpu_flags = s.cpu_flags;
  run.table = &table;
  if (text) run.listeners.push_back(text.get());
  run.listeners.push_back(&progress);
  for (const auto& report : reports)
    run.listeners.push_back(report.get());
  run.listeners.insert(run.listeners.end(), more.listeners.begin(), more.listeners.end());

  flush(f.c.out, f.out_error);
  RunResult r;
  comparison_run(run, &r);
  flush(f.c.out, f.out_error);
  if (more.notes || r.failed) print_notes(d, r, f.c.err);
  int status = r.failed ? kExitFailure : kExitOk;
  const bool apart = r.failed && f.line_index >= 0;
  for (const auto& report : reports) {
    if (!report->commit(apart)) {
      print_report_failure(*report, f.c.err);
      status = kExitFailure;
    } else if (apart) {
      const std::string kept = failed_output_path(report->path());
      std::error_code ec;
      if (std::filesystem::is_regular_file(kept, ec))
        std::fprintf(f.c.err, "note: the run failed: [%s] is kept as [%s]\n",
                     report->path().c_str(), kept.c_str());
    }
  }
  return status;
}

// The comparison builder, which every mode runs its comparisons through: checked settings with
// both files named, outputs made and opened, inputs opened (the reference may come open), the
// run started and the outputs committed. A failure before the run leaves every output path as
// it was. `more` adds inputs already open, outputs and listeners. The exit status.
int run_comparison(const Settings& s, const Front& f, ComparisonExtras more = {}) {
  // Pictures reach the metrics that score RGB through FFmpeg's conversion only: without it such
  // a comparison fails as one of a compressed stream does, before anything is opened.
  for (const MetricRequest& r : s.metrics) {
    if ((r.row->flags & kMetricRgb) && !have_ffmpeg()) {
      std::fprintf(f.c.err,
                   "vidqual: --metric=%s scores RGB pictures: converting to them needs FFmpeg's "
                   "libraries (%s)\n",
                   r.row->name, ffmpeg_absence().c_str());
      return kExitFailure;
    }
  }
  std::vector<std::string> planned = s.outputs;
  for (const auto& output : more.outputs)
    planned.push_back(output.second);
  if (const std::string why = output_clash(read_files(s, {*s.file2}), planned); !why.empty()) {
    std::fprintf(f.c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  RunDescription d = describe(s, f.version);
  d.manifest_index = f.line_index;
  std::vector<std::unique_ptr<Report>> reports;
  if (!open_outputs(s, d, more, &reports, f.c.err)) return kExitFailure;
  std::unique_ptr<VideoSource>* sources = more.sources;
  if (const int opened = open_inputs(s, d, sources, more.stdout_report, f); opened != 1) {
    for (const auto& report : reports)
      report->abandon();
    if (opened == 0 && f.watched) wait_for_enter(f.c, f.out_error);
    return kExitFailure;
  }
  return run_and_commit(s, d, sources, reports, more, f);
}

// ---- The modes ----------------------------------------------------------------------------------

// Two files: the tool's first and plainest form.
int run_two_files(const CommandLine& cl, const Front& f) {
  const int refused = tell_refusal(cl.settings, cl.refusal, cl.args.notes, true, f);
  return refused >= 0 ? refused : run_comparison(cl.settings, f);
}

const char* environment(const char* name) {
  return std::getenv(name);
}

// The note for a line whose own metrics replace those the command line named; empty when none.
std::string replaced_metrics(const Arguments& base, const Arguments& own, int index) {
  const bool metric = !base.metrics.empty() && !own.metrics.empty();
  const bool preset = base.preset && own.preset;
  if (!(own.metrics.empty() ? preset : metric || preset)) return {};
  return "note: line " + std::to_string(index) + " names its own metrics; the command line's " +
         (metric && preset ? "--metric and --preset do"
          : metric         ? "--metric does"
                           : "--preset does") +
         " not apply";
}

// The lines that run: every line, or the one --manifest-index names. 1 and [*first, *end); 0
// with the refusal told.
int chosen_lines(const Arguments& base, size_t count, size_t* first, size_t* end, std::FILE* err) {
  *first = 0, *end = count;
  if (!base.manifest_index) return 1;
  int64_t k = 0;
  std::string why;
  if (!parse_manifest_index(*base.manifest_index, environment, &k, &why)) {
    std::fprintf(err, "vidqual: %s\n", why.c_str());
    return 0;
  }
  if (k >= int64_t(count)) {
    std::fprintf(err,
                 "vidqual: [--manifest-index=%s]: index %lld is out of range: the manifest "
                 "has %zu lines (0 to %zu)\n",
                 base.manifest_index->c_str(), static_cast<long long>(k), count, count - 1);
    return 0;
  }
  *first = size_t(k);
  *end = *first + 1;
  return 1;
}

// One line of a campaign, unwatched. With `headed` its block on stdout is headed by the line,
// after a blank line when *headed says a block came before. The exit status, a failure told
// with the line's index.
int run_line(const Arguments& base, const ManifestLine& line, bool* headed, const Front& f) {
  Arguments own, args;
  Settings s;
  std::string why;
  int status = kExitUsage;
  if (line_arguments(base, line, &args, &why)) {
    if (headed) {
      std::fprintf(f.c.out, "%sline %d: [%s] [%s]\n", *headed ? "\n" : "", line.index,
                   args.file1->c_str(), args.file2->c_str());
      *headed = true;
    }
    (void)scan_arguments(line.args, &own);  // scanned well already, in line_arguments
    if (const std::string note = replaced_metrics(base, own, line.index); !note.empty())
      std::fprintf(f.c.err, "%s\n", note.c_str());
    const Refusal refusal = check_arguments(args, &s);
    s.outputs = line.outputs;
    status = tell_refusal(s, refusal, {}, true, f);
    Front fl = f;
    fl.line_index = line.index;
    if (status < 0) status = run_comparison(s, fl);
  }
  if (status != kExitOk) {
    std::fprintf(f.c.err, "vidqual: line %d failed (manifest line %d, [%s] and [%s]): status %d\n",
                 line.index, line.line_number, s.file1 ? s.file1->c_str() : "",
                 s.file2 ? s.file2->c_str() : "", status);
  }
  return status;
}

// The lines of a manifest, each as its own comparison, or the one line --manifest-index names.
// A malformed manifest is refused before any line runs; a line that fails is told of with its
// index and the next one runs. When several lines run, a line "line K: [REF] [DIST]" heads each
// one's block on stdout, a blank line between blocks. The status is the worst of the lines'.
int run_campaign(const CommandLine& cl, const Front& front) {
  const Arguments& base = cl.args;
  const Console& c = front.c;
  for (const std::string& note : base.notes)
    std::fprintf(c.err, "%s\n", note.c_str());
  if (base.positionals > 0) {
    std::fprintf(c.err, "vidqual: [%s]: with --manifest the files come from the manifest\n",
                 base.file1->c_str());
    return kExitUsage;
  }
  std::vector<ManifestLine> lines;
  std::string why;
  if (!read_manifest(*base.manifest, &lines, &why) || !plan_campaign(base, &lines, &why)) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  size_t first = 0, end = 0;
  if (!chosen_lines(base, lines.size(), &first, &end, c.err)) return kExitUsage;
  Front f = front;
  f.watched = false;
  int worst = kExitOk;
  bool headed = false;
  for (size_t i = first; i < end; ++i) {
    const ManifestLine& line = lines[i];
    // Held until the line has run; the line's state is read only once they are held.
    OutputLocks locks;
    if (locks.take(line.outputs) == OutputLocks::Status::kBusy) {
      std::fprintf(c.err, "vidqual: skipped line %d: another task is writing its outputs\n",
                   line.index);
      continue;
    }
    if (line_is_done(line)) {
      std::fprintf(c.err, "vidqual: skipped line %d: output exists\n", line.index);
      continue;
    }
    // What an earlier failed run kept apart is out of date once the line runs again.
    for (const std::string& path : line.outputs) {
      struct stat st;
      if (!path.empty() && (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)))
        std::remove(failed_output_path(path).c_str());
    }
    worst = std::max(worst, run_line(base, line, end - first > 1 ? &headed : nullptr, f));
  }
  return worst;
}

// A buffer a stream writes into (the report of one comparison among several run at once),
// copied out once they are done.
class MemoryStream {
 public:
  MemoryStream() : file_(open_memstream(&data_, &size_)) {}
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  ~MemoryStream() {
    if (file_) std::fclose(file_);
    std::free(data_);
  }
  [[nodiscard]] std::FILE* file() const { return file_; }
  // Writes what the stream holds to `to`.
  void copy_to(std::FILE* to) {
    if (!file_) return;
    std::fflush(file_);
    if (size_) std::fwrite(data_, 1, size_, to);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

// The output paths of each --vs input, from the command line's patterns: 1, or 0 with the
// refusal told when several inputs would write one file.
int plan_versus_outputs(const Settings& base, std::vector<std::vector<std::string>>* out,
                        std::FILE* err) {
  const size_t n = base.versus.size();
  const std::span<const OutputRow> rows = output_table();
  std::vector<std::vector<std::string>>& outputs = *out;
  outputs.assign(n, std::vector<std::string>(rows.size()));
  for (size_t o = 0; o < rows.size(); ++o) {
    const std::string& pattern = base.outputs[o];
    if (pattern.empty()) continue;
    if (n > 1 && pattern.find("{name}") == pattern.npos &&
        pattern.find("{index}") == pattern.npos) {
      std::fprintf(err,
                   "vidqual: [--%s=%s]: with several --vs inputs each writes its own file: put "
                   "{name} or {index} in the path\n",
                   rows[o].option, pattern.c_str());
      return 0;
    }
    for (size_t k = 0; k < n; ++k)
      outputs[k][o] = expand_output_path(pattern, int(k), base.versus[k]);
  }
  // The same spelling from two inputs, an output of each kind first, then across kinds.
  for (size_t across = 0; across < 2; ++across)
    for (size_t k = 0; k < n; ++k)
      for (size_t j = 0; j < k; ++j)
        for (size_t o = 0; o < rows.size(); ++o)
          for (size_t p = 0; p < rows.size(); ++p)
            if ((p != o) == bool(across) && !outputs[k][o].empty() &&
                outputs[k][o] == outputs[j][p]) {
              std::fprintf(err, "vidqual: [%s] and [%s] would both write [%s]\n",
                           base.versus[j].c_str(), base.versus[k].c_str(), outputs[k][o].c_str());
              return 0;
            }
  return 1;
}

// The comparisons against one open reference, all at once, each writing into streams of its
// own, which are copied out in order once all are done: each block headed by "against [FILE]",
// a blank line between blocks. The worst status.
int run_at_once(const std::vector<Settings>& settings, VideoSource* reference, const Front& f) {
  const size_t n = settings.size();
  SharedSource shared(reference, int(n), 8);
  std::vector<std::unique_ptr<MemoryStream>> out(n), err(n);
  std::vector<int> status(n, kExitFailure), errors(n, 0);
  std::vector<std::unique_ptr<VideoSource>> views(n);
  for (size_t k = 0; k < n; ++k) {
    out[k] = std::make_unique<MemoryStream>();
    err[k] = std::make_unique<MemoryStream>();
    views[k] = shared.view(int(k));
  }
  const auto one = [&](size_t k) {
    Front fk = f;
    fk.c.out = out[k]->file();
    fk.c.err = err[k]->file();
    fk.out_error = &errors[k];
    fk.watched = false;
    if (!fk.c.out || !fk.c.err) {
      views[k].reset();
      return;
    }
    try {
      ComparisonExtras shared_reference;
      shared_reference.sources[0] = std::move(views[k]);
      status[k] = run_comparison(settings[k], fk, std::move(shared_reference));
    } catch (const std::bad_alloc&) {
      views[k].reset();
      std::fputs("vidqual: out of memory\n", fk.c.err);
      status[k] = kExitFailure;
    }
  };
  std::vector<std::thread> running;
  for (size_t k = 1; k < n; ++k) {
    try {
      running.emplace_back(one, k);
    } catch (const std::system_error& e) {
      // Not in turn on this thread: the shared reference keeps only a few frames ahead of the
      // slowest comparison, so one run alone would wait for the others for ever.
      views[k].reset();
      if (err[k]->file())
        std::fprintf(err[k]->file(), "vidqual: can't start a thread for [%s]: %s\n",
                     settings[k].file2->c_str(), e.what());
    }
  }
  one(0);
  for (std::thread& t : running)
    t.join();
  int worst = kExitOk;
  for (size_t k = 0; k < n; ++k) {
    std::fprintf(f.c.out, "%sagainst [%s]\n", k ? "\n" : "", settings[k].file2->c_str());
    out[k]->copy_to(f.c.out);
    err[k]->copy_to(f.c.err);
    if (errors[k] && !*f.out_error) *f.out_error = errors[k];
    worst = std::max(worst, status[k]);
  }
  return worst;
}

// One reference against several distorted inputs (--vs=FILE, each time given): the reference
// is opened and read once, every comparison runs at once on its share of the threads, and each
// writes its own report block (stdout, then its notes on stderr, in the order of the inputs)
// and its own outputs, whose paths name the input with {name} or {index}. The values are
// checked once, as for two files. The status is the worst of the comparisons'.
int run_versus(const CommandLine& cl, const Front& f) {
  const Settings& base = cl.settings;
  const size_t n = base.versus.size();
  if (base.file2 || !base.file1) {
    std::fputs(
        "vidqual: with --vs, name the reference alone: vidqual REF [maxframes] --vs=FILE ...\n",
        f.c.err);
    return kExitUsage;
  }
  std::vector<std::vector<std::string>> outputs;
  if (!plan_versus_outputs(base, &outputs, f.c.err)) return kExitUsage;
  if (const int refused = tell_refusal(base, cl.refusal, cl.args.notes, false, f); refused >= 0)
    return refused;
  // Every output against every input, model file and other output, before any comparison runs.
  std::vector<std::string> planned;
  for (const std::vector<std::string>& of_one : outputs)
    planned.insert(planned.end(), of_one.begin(), of_one.end());
  if (const std::string why = output_clash(read_files(base, base.versus), planned); !why.empty()) {
    std::fprintf(f.c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  std::vector<Settings> settings(n, base);
  for (size_t k = 0; k < n; ++k) {
    settings[k].file2 = base.versus[k];
    settings[k].outputs = outputs[k];
    settings[k].threads = std::max(1, base.threads.value_or(available_processors()) / int(n));
  }
  std::unique_ptr<VideoSource> reference;
  std::string why;
  // A reference that does not open is told of as the two-file command tells it.
  if (open_video(base.file1->c_str(), base.open[0], &reference, &why) != OpenStatus::kOpened) {
    Settings s = settings[0];
    s.threads = base.threads;
    return run_comparison(s, f);
  }
  return run_at_once(settings, reference.get(), f);
}

// The modes, the first whose test the settings pass runs: one row each, a driver of its own.
struct Mode {
  const char* name;
  bool (*chosen)(const Settings& s);
  int (*run)(const CommandLine& cl, const Front& f);
};
const Mode kModes[] = {
    {"bd-rate", [](const Settings& s) { return s.bd_rate; },
     [](const CommandLine& cl, const Front& f) { return run_bd_rate(cl, f.c); }},
    {"manifest", [](const Settings& s) { return s.manifest.has_value(); }, run_campaign},
    {"versus", [](const Settings& s) { return !s.versus.empty(); }, run_versus},
    {"two files", [](const Settings&) { return true; }, run_two_files},
};

// Everything but the last check of stdout.
int front_end(int argc, const char* const* argv, const Console& c, VersionReader read_version,
              int* out_error) {
  const CommandLine cl = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  const Settings& s = cl.settings;
  const bool scanned = cl.refusal.stage != RefusalStage::kScan;

  ProductVersion v;
  if (!read_version(&v)) v = ProductVersion{};
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", v.part[0], v.part[1], v.part[2], v.part[3]);
  std::fprintf(c.out, "%s v%s, %s\n", kProgramName, version, kNotice);
  if (scanned && cl.args.version) return kExitOk;
  std::fputs("\n", c.out);
  const Front f{c, version, out_error, true};
  if (!scanned) {
    std::fprintf(c.err, "vidqual: %s\n", cl.refusal.why.c_str());
    return refuse_with_usage(f);
  }
  if (cl.args.help) {
    print_usage(c.out);
    print_input_kinds(c.out);
    print_long_options(c.out);
    print_metric_help(c.out);
    return kExitOk;
  }
  if (s.manifest_index && !s.manifest) {
    std::fputs("vidqual: --manifest-index picks a line of --manifest=FILE, which is not given\n",
               c.err);
    return kExitUsage;
  }
  // A campaign's lines name their own two files: a --vs beside it would be dropped unseen.
  if (s.manifest && !s.versus.empty()) {
    std::fputs(
        "vidqual: --vs and --manifest cannot both be given: each manifest line names its "
        "own two files\n",
        c.err);
    return kExitUsage;
  }
  for (const Mode& mode : kModes)
    if (mode.chosen(s)) return mode.run(cl, f);
  return kExitUsage;
}

}  // namespace

int compare_inputs(const Settings& s, const Console& c, const std::string& version,
                   ComparisonExtras more) {
  int out_error = 0;
  const Front f{c, version, &out_error, false};
  return run_comparison(s, f, std::move(more));
}

int vidqual_main(int argc, const char* const* argv, const Console& c, VersionReader read_version) {
  int status;
  int out_error = 0;
  try {
    status = front_end(argc, argv, c, read_version, &out_error);
  } catch (const std::bad_alloc&) {
    std::fputs("vidqual: out of memory\n", c.err);
    status = kExitFailure;
  }
  // Every write to stdout is checked here: a report that did not arrive is a failure.
  flush(c.out, &out_error);
  if (std::ferror(c.out)) {
    std::fprintf(c.err, "vidqual: can't write to standard output%s%s\n", out_error ? ": " : "",
                 out_error ? std::strerror(out_error) : "");
    return kExitFailure;
  }
  return status;
}

}  // namespace vq
