#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <system_error>
#include <thread>

#include "app/app.h"
#include "compare/compare.h"
#include "decode/decode.h"
#include "metrics/metric.h"
#include "report/report.h"
#include "source/source.h"
#include "y4m/y4m.h"

namespace vq {

// The long options: one line each. Settings has a field for each.
const LongOption kLongOptions[] = {
    {"csv", "FILE", &Settings::csv_path, nullptr, "write one row per compared pair to FILE (CSV)"},
    {"json", "FILE", &Settings::json_path, nullptr, "write the run and its pairs to FILE as JSON"},
    {"xml", "FILE", &Settings::xml_path, nullptr,
     "write the run's scores to FILE in libvmaf's XML report layout"},
    {"html", "FILE", &Settings::html_path, nullptr,
     "write a page with charts and the worst pairs to FILE (HTML)"},
    {"html-worst", "N", &Settings::html_worst, nullptr,
     "how many of the worst pairs the page shows (0 to 50; 3 when not given)"},
    {"ssim", nullptr, nullptr, &Settings::ssim,
     "score FFmpeg's SSIM beside PSNR (Y, U, V and All): --metric=ssim", &Settings::metrics,
     "ssim"},
    {"metric", "NAME", nullptr, nullptr,
     "score metric NAME too, NAME=OPTION=VALUE:OPTION=VALUE with options (again for more; "
     "listed below)",
     &Settings::metrics},
    {"preset", "NAME", &Settings::preset, nullptr,
     "score the metric set of codec test conditions NAME (aom-ctc-v1.0 .. aom-ctc-v7.0, "
     "nflx-ctc-v1.0), as libvmaf's --aom_ctc and --nflx_ctc; --metric adds to it"},
    {"skip", "A:B", &Settings::skip, nullptr,
     "drop the first A frames of file 1 and B of file 2 before pairing (pairs count from there)"},
    {"align", nullptr, nullptr, &Settings::align,
     "find the frame offset from the first frames (up to 10 either way) and drop as --skip does"},
    {"worst-pairs", "N", &Settings::worst_pairs, nullptr,
     "list the N lowest pairs of every score in the JSON document (0 when not given: none)"},
    {"threads", "N", &Settings::threads, nullptr,
     "score pairs on N threads (1 to 64; the processors vidqual may use when not given)"},
    {"size", "WxH", &Settings::size, nullptr,
     "the picture size of headerless .yuv files (WxH:WxH: the first's, then the second's)"},
    {"pix-fmt", "NAME", &Settings::pix_fmt, nullptr,
     "the layout of headerless .yuv files (yuv420p, yuv420p10le, yuv422p, yuv444p, gray...; "
     "NAME:NAME for each)"},
    {"max-pixels", "N", &Settings::max_pixels, nullptr,
     "the largest picture read, in samples per plane (67108864 when not given)"},
    {"scale", "FILTER", &Settings::scale, nullptr,
     "scale the second's pictures to the first's size when they differ (bicubic, bilinear, "
     "lanczos, neighbor), as FFmpeg's scale filter does; without it sizes must match"},
    {"vs", "FILE", nullptr, nullptr,
     "compare the one input with FILE, each time given, all at once, the input read once (output "
     "paths take {name} or {index})",
     &Settings::versus},
    {"pair", "MODE", &Settings::pair, nullptr,
     "how frames are paired: order (the default: frame i with frame i) or timestamps (each frame "
     "of the first with the second's frame shown at its time, by the stated frame rates)"},
    {"manifest", "FILE", &Settings::manifest, nullptr,
     "run the comparisons FILE lists, one a line, with these options for each (README: "
     "Campaigns)"},
    {"manifest-index", "K", &Settings::manifest_index, nullptr,
     "run only line K of the manifest (from 0); env:NAME takes K from environment variable NAME"},
    {"help", nullptr, nullptr, &Settings::help, "print this text and the long options, then exit"},
    {"version", nullptr, nullptr, &Settings::version, "print the version line, then exit"},
};
const int kLongOptionCount = int(std::size(kLongOptions));

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

// Whole text a decimal number: white space, one sign, digits, nothing after.
bool is_number(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
    ++p;
  if (*p == '+' || *p == '-') ++p;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9')
    ++p;
  return *p == '\0';
}

// Reads one argument that begins with "--" into `s`: empty when fine, else why it is refused.
std::string read_long_option(const char* arg, Settings* s) {
  const std::string_view text(arg + 2);
  const size_t eq = text.find('=');
  const std::string_view name = text.substr(0, eq);
  for (const LongOption& o : std::span(kLongOptions, kLongOptionCount)) {
    if (name != o.name) continue;
    const std::string spelled = std::string("--") + o.name;
    if (!o.value) {
      if (eq != std::string_view::npos) return spelled + " takes no value";
      s->*o.flag = true;
      if (o.metric) (s->*o.list).push_back(o.metric);
      return {};
    }
    if (eq == std::string_view::npos || eq + 1 == text.size())
      return spelled + " needs a value: " + spelled + "=" + o.value;
    if (o.list) {
      (s->*o.list).push_back(arg + 2 + eq + 1);
      return {};
    }
    if (s->*o.text) return spelled + " is given twice";
    s->*o.text = arg + 2 + eq + 1;
    return {};
  }
  return "not an option vidqual knows (--help lists them)";
}

// The size and layout of headerless YUV: empty when fine (or not needed), else why not.
// "A:B" as the values for the first and second input, or one value for both.
void split_pair(const char* text, std::string out[2]) {
  const std::string t = text;
  const size_t colon = t.find(':');
  out[0] = t.substr(0, colon);
  out[1] = colon == std::string::npos ? out[0] : t.substr(colon + 1);
}

// The layout of headerless YUV, from --size and --pix-fmt, for each input.
std::string raw_yuv_options(const Settings& s, OpenOptions out[2]) {
  if (s.file1 && s.file2 && std::strcmp(s.file1, "-") == 0 && std::strcmp(s.file2, "-") == 0) {
    return "standard input (-) can be only one of the two files";
  }
  std::string formats[2], sizes[2];
  if (s.pix_fmt) split_pair(s.pix_fmt, formats);
  if (s.size) split_pair(s.size, sizes);
  for (int i = 0; i < 2; ++i) {
    RawYuvFormat format;
    if (s.pix_fmt) {
      if (!parse_pix_fmt(formats[i].c_str(), &format)) {
        return std::string("[--pix-fmt=") + s.pix_fmt + "]: " + formats[i] +
               " is not a layout vidqual reads";
      }
      out[i].raw_pix_fmt = formats[i];
    }
    if (s.size && !parse_frame_size(sizes[i].c_str(), &out[i].raw_width, &out[i].raw_height)) {
      return std::string("[--size=") + s.size +
             "]: not a picture size (WxH, such as 1920x1080, or WxH:WxH for each input)";
    }
    if (s.max_pixels) {
      char* end = nullptr;
      errno = 0;
      const long long n = std::strtoll(s.max_pixels, &end, 10);
      if (!is_number(s.max_pixels) || *end || errno || n < 1) {
        return std::string("[--max-pixels=") + s.max_pixels + "]: not a positive number of samples";
      }
      out[i].max_pixels = n;
    }
  }
  for (const char* f : {s.file1, s.file2}) {
    if (f && is_raw_yuv_name(f) && !s.size) {
      return std::string("[") + f + "] is headerless YUV: give its size with --size=WxH";
    }
  }
  return {};
}

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

// The long options, one line each in the usage text's style.
void print_long_options(std::FILE* out) {
  std::fputs("LONG OPTIONS:\n", out);
  for (const LongOption& o : std::span(kLongOptions, kLongOptionCount)) {
    const std::string spelled =
        std::string("--") + o.name + (o.value ? "=" : "") + (o.value ? o.value : "");
    // A name too long for the column keeps a blank before its dash.
    std::fprintf(out, "\t%-16s%s- %s;\n", spelled.c_str(), spelled.size() >= 16 ? " " : "", o.help);
  }
}

// The metrics of a run: libvmaf's psnr first (it carries the report's own PSNR; asked for with
// options, those options), then every metric asked for, in the order asked, with what they need.
// *listed gets the columns the per-pair files show: the report's and those of the metrics asked
// for; *ranked vmaf when it is among them, else the first asked for, or the report's Y PSNR;
// *asked the scores of each metric asked for. The preset's metrics come before those of
// --metric. Empty when fine, else why.
std::string metric_requests(const Settings& s, std::vector<MetricRequest>* out,
                            std::vector<std::string>* listed, std::string* ranked,
                            std::vector<std::vector<std::string>>* asked_scores) {
  const MetricRow* psnr = find_metric("psnr");
  std::vector<MetricRequest> asked;
  std::string why;
  if (s.preset) {
    const MetricPreset* preset = find_preset(s.preset);
    if (preset == nullptr) {
      return "[--preset=" + std::string(s.preset) + "]: no preset is named so (--help lists them)";
    }
    if (!preset_requests(*preset, &asked, &why))
      return "[--preset=" + std::string(s.preset) + "]: " + why;
  }
  for (const char* text : s.metrics) {
    MetricRequest r;
    if (!parse_metric_request(text, &r, &why))
      return "[--metric=" + std::string(text) + "]: " + why;
    asked.push_back(std::move(r));
  }
  std::vector<MetricRequest> all;
  const auto asked_psnr = std::find_if(asked.begin(), asked.end(),
                                       [psnr](const MetricRequest& r) { return r.row == psnr; });
  if (asked_psnr != asked.end()) {
    all.push_back(*asked_psnr);
  } else {
    MetricRequest always;
    if (!parse_metric_request("psnr", &always, &why)) return why;
    all.push_back(std::move(always));
  }
  for (auto r = asked.begin(); r != asked.end(); ++r)
    if (r != asked_psnr) all.push_back(*r);
  if (!expand_metric_requests(all, out, &why)) return why;

  asked_scores->clear();
  for (const MetricRequest& r : asked)
    asked_scores->push_back(r.row->scores(r.options));
  listed->clear();
  for (const char* const* names : {kReportPsnr, kReportMse})
    for (int p = 0; p < 3; ++p)
      listed->push_back(names[p]);
  *ranked = kReportPsnr[0];
  if (!asked.empty()) {
    const std::vector<std::string> first = asked.front().row->scores(asked.front().options);
    if (!first.empty()) *ranked = first.front();
  }
  // The columns of every metric of the run but the always-on psnr when it was not asked for.
  for (size_t i = asked_psnr == asked.end() ? 1 : 0; i < out->size(); ++i) {
    const MetricRequest& r = (*out)[i];
    for (const std::string& name : r.row->scores(r.options))
      if (std::find(listed->begin(), listed->end(), name) == listed->end()) listed->push_back(name);
  }
  // VMAF, when the run computes it, is what the worst pairs are judged by.
  if (std::find(listed->begin(), listed->end(), "vmaf") != listed->end()) *ranked = "vmaf";
  return {};
}

void print_report_failure(const Report& report, std::FILE* err) {
  if (report.error() == ENOMEM) {
    std::fprintf(err, "vidqual: out of memory writing [%s]\n", report.path().c_str());
  } else {
    std::fprintf(err, "vidqual: can't write [%s]: %s\n", report.path().c_str(),
                 std::strerror(report.error()));
  }
}

// One comparison, once the command line is scanned and the banner printed: `notes` are the
// scan's, printed once the metrics are known good. In a campaign (`campaign`) a refusal shows no
// usage and nothing waits for ENTER: the run is unwatched and the next line follows.
int compare_files(const Settings& s, const std::vector<std::string>& notes,
                  const std::string& version, const Console& c, bool campaign, int* out_error,
                  std::unique_ptr<VideoSource> reference = nullptr) {
  const auto refuse = [&] {
    if (campaign) return kExitUsage;
    print_usage(c.out);
    wait_for_enter(c, out_error);
    return kExitUsage;
  };
  // A metric, option or value that does not exist is refused before anything is opened.
  std::vector<MetricRequest> metrics;
  RunDescription described;
  if (const std::string why =
          metric_requests(s, &metrics, &described.columns, &described.ranked, &described.asked);
      !why.empty()) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return refuse();
  }
  for (const std::string& note : notes)
    std::fprintf(c.err, "%s\n", note.c_str());
  if (s.file2 == nullptr) return refuse();
  OpenOptions open[2];
  if (const std::string why = raw_yuv_options(s, open); !why.empty()) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  int worst = 3;
  if (s.html_worst) {
    const int32_t n = parse_maxframes(s.html_worst);
    if (!is_number(s.html_worst) || n < 0 || n > 50) {
      std::fprintf(c.err, "vidqual: [--html-worst=%s]: not a number from 0 to 50\n", s.html_worst);
      return kExitUsage;
    }
    worst = int(n);
  }
  int32_t skip[2] = {0, 0};
  if (s.skip) {
    std::string why;
    if (s.align) {
      std::fputs("vidqual: --align and --skip cannot both be given: --align chooses the skip\n",
                 c.err);
      return kExitUsage;
    }
    if (!parse_skip(s.skip, skip, &why)) {
      std::fprintf(c.err, "vidqual: %s\n", why.c_str());
      return kExitUsage;
    }
  }
  if (s.worst_pairs) {
    const int32_t n = parse_maxframes(s.worst_pairs);
    if (!is_number(s.worst_pairs) || n < 0) {
      std::fprintf(c.err, "vidqual: [--worst-pairs=%s]: not a number of pairs from 0\n",
                   s.worst_pairs);
      return kExitUsage;
    }
    described.worst_pairs = n;
  }
  int threads = available_processors();
  if (s.threads) {
    const int32_t n = parse_maxframes(s.threads);
    if (!is_number(s.threads) || n < 1 || n > 64) {
      std::fprintf(c.err, "vidqual: [--threads=%s]: not a number from 1 to 64\n", s.threads);
      return kExitUsage;
    }
    threads = int(n);
  }
  ScaleFilter scale = ScaleFilter::kNone;
  if (s.scale) {
    if (!parse_scale_filter(s.scale, &scale)) {
      std::fprintf(c.err,
                   "vidqual: [--scale=%s]: not a scale filter (bicubic, bilinear, lanczos, "
                   "neighbor)\n",
                   s.scale);
      return kExitUsage;
    }
    if (!have_ffmpeg()) {
      std::fprintf(c.err,
                   "vidqual: --scale is unavailable: scaling needs FFmpeg's libraries (%s)\n",
                   ffmpeg_absence().c_str());
      return kExitUsage;
    }
  }
  bool by_time = false;
  if (s.pair) {
    if (std::strcmp(s.pair, "timestamps") != 0 && std::strcmp(s.pair, "order") != 0) {
      std::fprintf(c.err, "vidqual: [--pair=%s]: not a pairing (order or timestamps)\n", s.pair);
      return kExitUsage;
    }
    by_time = std::strcmp(s.pair, "timestamps") == 0;
  }
  if (s.html_path && !png_available()) {
    std::fputs("vidqual: --html is unavailable: this build has no PNG library (libpng)\n", c.err);
    return kExitUsage;
  }
  if (s.json_path && !json_available()) {
    std::fputs("vidqual: --json is unavailable: this build has no JSON library\n", c.err);
    return kExitUsage;
  }

  // No output may be an input, and no two outputs one file: checked before anything is opened
  // for writing, so that a refused run leaves every file as it was.
  const char* outputs[] = {s.csv_path, s.json_path, s.xml_path, s.html_path};
  for (size_t i = 0; i < std::size(outputs); ++i) {
    if (!outputs[i]) continue;
    for (const char* input : {s.file1, s.file2}) {
      if (same_file(outputs[i], input)) {
        std::fprintf(c.err, "vidqual: the output [%s] is the input [%s]; nothing was written\n",
                     outputs[i], input);
        return kExitUsage;
      }
    }
    for (size_t j = 0; j < i; ++j) {
      if (outputs[j] && same_file(outputs[i], outputs[j])) {
        std::fprintf(c.err, "vidqual: [%s] and [%s] are one file; nothing was written\n",
                     outputs[j], outputs[i]);
        return kExitUsage;
      }
    }
  }

  described.version = version;
  described.path[0] = s.file1;
  described.path[1] = s.file2;
  described.maxframes = s.maxframes;
  described.scale = scale;
  described.html_worst = worst;
  static constexpr ReportMaker kMakers[] = {make_csv_report, make_json_report, make_xml_report,
                                            make_html_report};
  const char* paths[] = {s.csv_path, s.json_path, s.xml_path, s.html_path};
  std::vector<std::unique_ptr<Report>> reports;
  for (size_t i = 0; i < std::size(paths); ++i) {
    if (!paths[i]) continue;
    std::unique_ptr<Report>& report = reports.emplace_back(kMakers[i](described));
    if (!report->open(paths[i])) {
      print_report_failure(*report, c.err);
      return kExitFailure;
    }
  }

  // The inputs, opened here and handed to the run; on failure the fixed line, the reason and
  // the wait, and every output path keeps what it held.
  std::unique_ptr<VideoSource> sources[2];
  sources[0] = std::move(reference);
  for (int i = 0; i < 2; ++i) {
    if (sources[i]) continue;  // the reference, opened once for several comparisons
    std::string why;
    const OpenStatus opened = open_video(described.path[i].c_str(), open[i], &sources[i], &why);
    if (opened == OpenStatus::kOpened) continue;
    print_open_failure(c.out, described.path[i]);
    RunResult failed;
    failed.outcome =
        opened == OpenStatus::kOutOfMemory ? RunOutcome::kOutOfMemory : RunOutcome::kOpenFailed;
    failed.failed_input = i + 1;
    failed.reason = why;
    failed.failed = true;
    sources[0].reset();
    print_notes(described, failed, c.err);
    for (const auto& report : reports)
      report->abandon();
    if (!campaign) wait_for_enter(c, out_error);
    return kExitFailure;
  }

  // Pairs by time need both rates: a stream that states none cannot be placed in time.
  for (int i = 0; by_time && i < 2; ++i) {
    const SourceInfo& info = sources[i]->info();
    if (info.rate_num > 0 && info.rate_den > 0) continue;
    std::fprintf(
        c.err, "vidqual: --pair=timestamps needs the frame rate of both inputs; [%s] states none\n",
        described.path[i].c_str());
    for (const auto& report : reports)
      report->abandon();
    return kExitFailure;
  }

  ScoreTable table;
  Progress progress(c.err, c.err_is_terminal);
  const std::unique_ptr<RunListener> text = make_text_report(c.out, s.verbose, described);
  if (!text) throw std::bad_alloc();
  RunSettings run;
  run.sources[0] = sources[0].get();
  run.sources[1] = sources[1].get();
  run.maxframes = s.maxframes;
  run.skip[0] = skip[0];
  run.skip[1] = skip[1];
  run.align = s.align;
  run.metrics = std::move(metrics);
  run.scale = scale;
  run.pair_by_time = by_time;
  run.threads = threads;
  run.cpu_flags = detect_cpu_flags();
  run.table = &table;
  run.listeners.push_back(text.get());
  run.listeners.push_back(&progress);
  for (const auto& report : reports)
    run.listeners.push_back(report.get());

  flush(c.out, out_error);
  RunResult r;
  comparison_run(run, &r);
  flush(c.out, out_error);
  print_notes(described, r, c.err);
  int status = r.failed ? kExitFailure : kExitOk;
  for (const auto& report : reports) {
    if (!report->commit()) {
      print_report_failure(*report, c.err);
      status = kExitFailure;
    }
  }
  return status;
}

const char* environment(const char* name) {
  return std::getenv(name);
}

// The lines of a manifest, each as its own comparison, or the one line --manifest-index names.
// A malformed manifest is refused before any line runs; a line that fails is told of with its
// index and the next one runs. The status is the worst of the lines'.
int run_campaign(const Settings& base, const std::string& version, const Console& c,
                 int* out_error) {
  if (base.positionals > 0) {
    std::fprintf(c.err, "vidqual: [%s]: with --manifest the files come from the manifest\n",
                 base.file1);
    return kExitUsage;
  }
  std::vector<ManifestLine> lines;
  std::string why;
  if (!read_manifest(base.manifest, &lines, &why) || !plan_campaign(base, &lines, &why)) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  size_t first = 0, end = lines.size();
  if (base.manifest_index) {
    int64_t k = 0;
    if (!parse_manifest_index(base.manifest_index, environment, &k, &why)) {
      std::fprintf(c.err, "vidqual: %s\n", why.c_str());
      return kExitUsage;
    }
    if (k >= int64_t(lines.size())) {
      std::fprintf(c.err,
                   "vidqual: [--manifest-index=%s]: index %lld is out of range: the manifest "
                   "has %zu lines (0 to %zu)\n",
                   base.manifest_index, static_cast<long long>(k), lines.size(), lines.size() - 1);
      return kExitUsage;
    }
    first = size_t(k);
    end = first + 1;
  }
  int worst = kExitOk;
  for (size_t i = first; i < end; ++i) {
    const ManifestLine& line = lines[i];
    if (line_is_done(line)) {
      std::fprintf(c.err, "vidqual: skipped line %d: output exists\n", line.index);
      continue;
    }
    Settings s;
    int status = kExitUsage;
    if (line_settings(base, line, &s, &why)) {
      for (int o = 0; o < 4; ++o)
        s.*kOutputPaths[o] = line.outputs[o].empty() ? nullptr : line.outputs[o].c_str();
      status = compare_files(s, {}, version, c, true, out_error);
    }
    if (status != kExitOk) {
      std::fprintf(c.err, "vidqual: line %d failed (manifest line %d, [%s] and [%s]): status %d\n",
                   line.index, line.line_number, s.file1 ? s.file1 : "", s.file2 ? s.file2 : "",
                   status);
      worst = std::max(worst, status);
    }
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

// One reference against several distorted inputs (--vs=FILE, each time given): the reference
// is opened and read once, every comparison runs at once on its share of the threads, and each
// writes its own report block (stdout, then its notes on stderr, in the order of the inputs)
// and its own outputs, whose paths name the input with {name} or {index}; a line "against
// [FILE]" heads each block. The status is the worst of the comparisons'.
int run_versus(const Settings& command_line, const std::vector<std::string>& notes,
               const std::string& version, const Console& c, int* out_error) {
  const size_t n = command_line.versus.size();
  // With --vs the one other positional argument is maxframes.
  Settings given = command_line;
  if (given.file2 && given.positionals == 2 && is_number(given.file2)) {
    given.maxframes = parse_maxframes(given.file2);
    given.file2 = nullptr;
  }
  const Settings& base = given;
  if (base.file2 || !base.file1) {
    std::fputs(
        "vidqual: with --vs, name the reference alone: vidqual REF [maxframes] --vs=FILE ...\n",
        c.err);
    return kExitUsage;
  }
  static const char* const kOptions[4] = {"--csv", "--json", "--xml", "--html"};
  std::vector<std::array<std::string, 4>> outputs(n);
  for (int o = 0; o < 4; ++o) {
    const char* pattern = base.*kOutputPaths[o];
    if (!pattern) continue;
    const std::string_view p(pattern);
    if (n > 1 && p.find("{name}") == p.npos && p.find("{index}") == p.npos) {
      std::fprintf(c.err,
                   "vidqual: [%s=%s]: with several --vs inputs each writes its own file: put "
                   "{name} or {index} in the path\n",
                   kOptions[o], pattern);
      return kExitUsage;
    }
    for (size_t k = 0; k < n; ++k)
      outputs[k][size_t(o)] = expand_output_path(p, int(k), base.versus[k]);
  }
  for (size_t k = 0; k < n; ++k)
    for (size_t j = 0; j < k; ++j)
      for (int o = 0; o < 4; ++o)
        if (!outputs[k][size_t(o)].empty() && outputs[k][size_t(o)] == outputs[j][size_t(o)]) {
          std::fprintf(c.err, "vidqual: [%s] and [%s] would both write [%s]\n", base.versus[j],
                       base.versus[k], outputs[k][size_t(o)].c_str());
          return kExitUsage;
        }

  int threads = available_processors();
  if (base.threads) {
    const int32_t t = parse_maxframes(base.threads);
    if (is_number(base.threads) && t >= 1 && t <= 64) threads = int(t);
  }
  const std::string share = std::to_string(std::max(1, threads / int(n)));

  OpenOptions open[2];
  std::unique_ptr<VideoSource> reference;
  if (raw_yuv_options(base, open).empty()) {
    std::string why;
    if (open_video(base.file1, open[0], &reference, &why) != OpenStatus::kOpened) reference.reset();
  }
  // A reference that does not open is told of as the two-file command tells it.
  if (!reference) {
    Settings s = base;
    s.file2 = base.versus[0];
    return compare_files(s, notes, version, c, false, out_error);
  }
  SharedSource shared(reference.get(), int(n), 8);
  std::vector<Settings> settings(n, base);
  std::vector<std::unique_ptr<MemoryStream>> out(n), err(n);
  std::vector<int> status(n, kExitFailure), errors(n, 0);
  std::vector<std::unique_ptr<VideoSource>> views(n);
  for (size_t k = 0; k < n; ++k) {
    Settings& s = settings[k];
    s.file2 = base.versus[k];
    s.threads = share.c_str();
    for (int o = 0; o < 4; ++o)
      s.*kOutputPaths[o] = outputs[k][size_t(o)].empty() ? nullptr : outputs[k][size_t(o)].c_str();
    out[k] = std::make_unique<MemoryStream>();
    err[k] = std::make_unique<MemoryStream>();
    views[k] = shared.view(int(k));
  }
  const auto one = [&](size_t k) {
    Console ck;
    ck.out = out[k]->file();
    ck.err = err[k]->file();
    ck.in = c.in;
    if (!ck.out || !ck.err) {
      views[k].reset();
      return;
    }
    try {
      status[k] = compare_files(settings[k], k == 0 ? notes : std::vector<std::string>{}, version,
                                ck, true, &errors[k], std::move(views[k]));
    } catch (const std::bad_alloc&) {
      views[k].reset();
      std::fputs("vidqual: out of memory\n", ck.err);
      status[k] = kExitFailure;
    }
  };
  std::vector<std::thread> running;
  for (size_t k = 1; k < n; ++k) {
    try {
      running.emplace_back(one, k);
    } catch (const std::system_error&) {
      one(k);  // no thread: in turn, on this one
    }
  }
  one(0);
  for (std::thread& t : running)
    t.join();
  int worst = kExitOk;
  for (size_t k = 0; k < n; ++k) {
    // Each block is headed by the input it is for, a blank line between blocks.
    std::fprintf(c.out, "%sagainst [%s]\n", k ? "\n" : "", base.versus[k]);
    out[k]->copy_to(c.out);
    err[k]->copy_to(c.err);
    if (errors[k] && !*out_error) *out_error = errors[k];
    worst = std::max(worst, status[k]);
  }
  return worst;
}

// Everything but the last check of stdout.
int front_end(int argc, const char* const* argv, const Console& c, VersionReader read_version,
              int* out_error) {
  Settings s;
  ScanNotes notes;
  const bool scanned = scan_arguments(argc, argv, &s, &notes) == 1;

  ProductVersion v;
  if (!read_version(&v)) v = ProductVersion{};
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", v.part[0], v.part[1], v.part[2], v.part[3]);
  std::fprintf(c.out, "%s v%s, %s\n", kProgramName, version, kNotice);
  if (scanned && s.version) return kExitOk;
  std::fputs("\n", c.out);
  if (!scanned) {
    std::fprintf(c.err, "vidqual: %s\n", notes.error.c_str());
    print_usage(c.out);
    wait_for_enter(c, out_error);
    return kExitUsage;
  }
  if (s.help) {
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
  if (s.manifest) {
    for (const std::string& note : notes.notes)
      std::fprintf(c.err, "%s\n", note.c_str());
    return run_campaign(s, version, c, out_error);
  }
  if (!s.versus.empty()) {
    if (s.manifest) {
      std::fputs("vidqual: --vs and --manifest cannot both be given\n", c.err);
      return kExitUsage;
    }
    return run_versus(s, notes.notes, version, c, out_error);
  }
  return compare_files(s, notes.notes, version, c, false, out_error);
}

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

int parse_skip(const char* text, int32_t out[2], std::string* why) {
  const std::string t = text;
  const size_t colon = t.find(':');
  int64_t n[2] = {0, 0};
  bool good = colon != std::string::npos;
  for (int i = 0; i < 2 && good; ++i) {
    const std::string part = i ? t.substr(colon + 1) : t.substr(0, colon);
    good = !part.empty() && part.size() <= 10 &&
           part.find_first_not_of("0123456789") == std::string::npos;
    if (good) n[i] = std::stoll(part);
    good = good && n[i] <= INT32_MAX;
  }
  if (!good) {
    *why = "[--skip=" + t +
           "]: not two frame counts A:B, whole numbers from 0 (--skip=2:0 drops the first two "
           "frames of file 1)";
    return 0;
  }
  out[0] = int32_t(n[0]);
  out[1] = int32_t(n[1]);
  return 1;
}

int scan_arguments(int argc, const char* const* argv, Settings* out, ScanNotes* notes) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] == '-' && arg[1] == '-') {
      const std::string why = read_long_option(arg, &s);
      if (!why.empty()) {
        notes->error = "[" + std::string(arg) + "]: " + why;
        return 0;
      }
      continue;
    }
    // A lone "-" names standard input, as a file argument.
    if (arg[0] == '-' && arg[1] != '\0') {
      if (arg[1] == 'v') {
        s.verbose = true;
      } else if (arg[1] >= '0' && arg[1] <= '9') {
        notes->notes.push_back(std::string("note: [") + arg +
                               "] begins with '-', so it is read as a switch, not as maxframes, "
                               "and ignored");
      } else {
        notes->notes.push_back(std::string("note: [") + arg +
                               "] is not a switch vidqual knows; ignored");
      }
      continue;
    }
    if (s.positionals == 0) s.file1 = arg;
    if (s.positionals == 1) s.file2 = arg;
    if (s.positionals == 2) {
      s.maxframes = parse_maxframes(arg);
      if (!is_number(arg)) {
        notes->notes.push_back(std::string("note: maxframes [") + arg +
                               "] is not a number; read as " + std::to_string(s.maxframes) +
                               (s.maxframes < 1 ? " (no limit)" : ""));
      }
    }
    if (s.positionals >= 3) {
      notes->notes.push_back(std::string("note: [") + arg +
                             "] ignored: vidqual reads two files and maxframes");
    }
    ++s.positionals;
  }
  *out = s;
  return 1;
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
