// The command line: argv scanned against the long option table, then every value checked and
// converted once into Settings, the first refusal kept as a value for the mode to tell.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <span>

#include "app/app.h"
#include "app/options.h"
#include "convert/convert.h"
#include "decode/decode.h"
#include "y4m/y4m.h"

namespace vq {

const LongOption kLongOptions[] = {
    {"html-worst", "N", &Arguments::html_worst, nullptr,
     "how many of the worst pairs the page shows (0 to 50; 3 when not given)"},
    {"ssim", nullptr, nullptr, &Arguments::ssim,
     "score FFmpeg's SSIM beside PSNR (Y, U, V and All): --metric=ssim", &Arguments::metrics,
     "ssim"},
    {"metric", "NAME", nullptr, nullptr,
     "score metric NAME too, NAME=OPTION=VALUE:OPTION=VALUE with options (again for more; "
     "listed below)",
     &Arguments::metrics},
    {"preset", "NAME", &Arguments::preset, nullptr,
     "score the metric set of codec test conditions NAME (aom-ctc-v1.0 .. aom-ctc-v7.0, "
     "nflx-ctc-v1.0), as libvmaf's --aom_ctc and --nflx_ctc; --metric adds to it"},
    {"skip", "A:B", &Arguments::skip, nullptr,
     "drop the first A frames of file 1 and B of file 2 before pairing (pairs count from there)"},
    {"align", nullptr, nullptr, &Arguments::align,
     "find the frame offset from the first frames (up to 10 either way) and drop as --skip does"},
    {"worst-pairs", "N", &Arguments::worst_pairs, nullptr,
     "list the N lowest pairs of every score in the JSON document (0 when not given: none)"},
    {"threads", "N", &Arguments::threads, nullptr,
     "score pairs on N threads (1 to 64; the processors vidqual may use when not given)"},
    {"cpumask", "N", &Arguments::cpumask, nullptr,
     "turn off the instruction sets of N's set bits (1 MMX, 2 SSE2, 4 AVX2, 8 AVX-512; decimal "
     "or 0x hex), as libvmaf's --cpumask does"},
    {"size", "WxH", &Arguments::size, nullptr,
     "the picture size of headerless .yuv files (WxH:WxH: the first's, then the second's)"},
    {"pix-fmt", "NAME", &Arguments::pix_fmt, nullptr,
     "the layout of headerless .yuv files (yuv420p, yuv420p10le, yuv422p, yuv444p, gray...; "
     "NAME:NAME for each)"},
    {"max-pixels", "N", &Arguments::max_pixels, nullptr,
     "the largest picture read, in samples per plane (67108864 when not given)"},
    {"scale", "FILTER", &Arguments::scale, nullptr,
     "scale the second's pictures to the first's size when they differ (bicubic, bilinear, "
     "lanczos, neighbor; :accurate_rnd..., lanczos:param0=N as FFmpeg's flags and width), as "
     "FFmpeg's scale filter does; without it sizes must match"},
    {"bit-depth", "N", &Arguments::bit_depth, nullptr,
     "score every pair at N bits (8 to 16), each shallower picture widened by a left shift as "
     "FFmpeg's format filter widens it"},
    {"vs", "FILE", nullptr, nullptr,
     "compare the one input with FILE, each time given, all at once, the input read once (output "
     "paths take {name} or {index})",
     &Arguments::versus},
    {"pair", "MODE", &Arguments::pair, nullptr,
     "how frames are paired: order (the default: frame i with frame i) or timestamps (each frame "
     "of the first with the second's frame shown at its time, by the stated frame rates)"},
    {"manifest", "FILE", &Arguments::manifest, nullptr,
     "run the comparisons FILE lists, one a line, with these options for each (README: "
     "Campaigns)"},
    {"manifest-index", "K", &Arguments::manifest_index, nullptr,
     "run only line K of the manifest (from 0); env:NAME takes K from environment variable NAME"},
    {"rate-kbps", "N", &Arguments::rate_kbps, nullptr,
     "the encode's rate in kbit/s for the JSON document, where its file does not state it "
     "(a decoded .y4m, a pipe) or states another"},
    {"bd-rate", nullptr, nullptr, &Arguments::bd_rate,
     "read the two files as RD tables (anchor, then test) and print the BD-rate of every "
     "sequence and metric (README: Campaigns)"},
    {"bd-method", "NAME", &Arguments::bd_method, nullptr,
     "how --bd-rate computes: aom (the default, AOM's CTC script), pchip, akima, cubic (the "
     "bjontegaard package's) or awcy"},
    {"help", nullptr, nullptr, &Arguments::help, "print this text and the long options, then exit"},
    {"version", nullptr, nullptr, &Arguments::version, "print the version line, then exit"},
};

std::span<const LongOption> long_options() {
  return kLongOptions;
}

bool is_number(std::string_view text) {
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r')))
    ++p;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
  if (p == text.size() || text[p] < '0' || text[p] > '9') return false;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9')
    ++p;
  return p == text.size();
}

namespace {

// The leading number of `text` by atol's rules, saturating at the limits of 32 bits.
int32_t leading_int32(std::string_view text) {
  size_t p = 0;
  while (p < text.size() && (text[p] == ' ' || (text[p] >= '\t' && text[p] <= '\r')))
    ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  int64_t n = 0;
  while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
    n = n * 10 + (text[p++] - '0');
    if (n > int64_t(INT32_MAX) + 1) n = int64_t(INT32_MAX) + 1;  // saturated; keep scanning
  }
  if (negative) return n > INT32_MAX ? INT32_MIN : -int32_t(n);
  return n > INT32_MAX ? INT32_MAX : int32_t(n);
}

}  // namespace

int32_t parse_maxframes(std::string_view text) {
  return leading_int32(text);
}

int parse_skip(const std::string& t, int32_t out[2], std::string* why) {
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

namespace {

Refusal refuse(RefusalStage stage, std::string why) {
  return {stage, std::move(why)};
}

// Reads one argument that begins with "--" into `a`: empty when fine, else why it is refused.
std::string read_long_option(const std::string& arg, Arguments* a) {
  const std::string_view text = std::string_view(arg).substr(2);
  const size_t eq = text.find('=');
  const std::string_view name = text.substr(0, eq);
  const bool valued = eq != std::string_view::npos && eq + 1 < text.size();
  const std::string value = valued ? std::string(text.substr(eq + 1)) : std::string();
  const auto needs_value = [&](const char* value_name) {
    const std::string spelled = "--" + std::string(name);
    return spelled + " needs a value: " + spelled + "=" + value_name;
  };
  // The outputs come first, as --help lists them.
  const std::span<const OutputRow> outputs = output_table();
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (name != outputs[i].option) continue;
    if (!valued) return needs_value(outputs[i].value);
    if (a->outputs[i]) return "--" + std::string(name) + " is given twice";
    a->outputs[i] = value;
    return {};
  }
  for (const LongOption& o : kLongOptions) {
    if (name != o.name) continue;
    const std::string spelled = std::string("--") + o.name;
    if (!o.value) {
      if (eq != std::string_view::npos) return spelled + " takes no value";
      a->*o.flag = true;
      if (o.metric) (a->*o.list).push_back(o.metric);
      return {};
    }
    if (!valued) return needs_value(o.value);
    if (o.list) {
      (a->*o.list).push_back(value);
      return {};
    }
    if (a->*o.text) return spelled + " is given twice";
    a->*o.text = value;
    return {};
  }
  return "not an option vidqual knows (--help lists them)";
}

// "A:B" as the values for the first and second input, or one value for both.
void split_pair(const std::string& t, std::string out[2]) {
  const size_t colon = t.find(':');
  out[0] = t.substr(0, colon);
  out[1] = colon == std::string::npos ? out[0] : t.substr(colon + 1);
}

// The metrics of a run: libvmaf's psnr first (it carries the report's own PSNR; asked for with
// options, those options), then every metric asked for, in the order asked, with what they need.
// The columns the per-pair files show: the report's and those of the metrics asked for; ranked:
// vmaf when it is among them, else the first asked for, or the report's Y PSNR; asked: the scores
// of each metric asked for. The preset's metrics come before those of --metric. Empty when fine,
// else why.
std::string metric_requests(const Arguments& a, Settings* s) {
  const MetricRow* psnr = find_metric("psnr");
  std::vector<MetricRequest> asked;
  std::string why;
  if (a.preset) {
    const MetricPreset* preset = find_preset(*a.preset);
    if (preset == nullptr)
      return "[--preset=" + *a.preset + "]: no preset is named so (--help lists them)";
    if (!preset_requests(*preset, &asked, &why)) return "[--preset=" + *a.preset + "]: " + why;
  }
  for (const std::string& text : a.metrics) {
    MetricRequest r;
    if (!parse_metric_request(text, &r, &why)) return "[--metric=" + text + "]: " + why;
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
  if (!expand_metric_requests(all, &s->metrics, &why)) return why;

  s->asked.clear();
  for (const MetricRequest& r : asked)
    s->asked.push_back(r.row->scores(r.options));

  std::vector<std::string>& listed = s->columns;
  listed.clear();
  for (const char* const* names : {kReportPsnr, kReportMse})
    for (int p = 0; p < 3; ++p)
      listed.push_back(names[p]);
  s->ranked = kReportPsnr[0];
  if (!asked.empty()) {
    const std::vector<std::string> first = asked.front().row->scores(asked.front().options);
    if (!first.empty()) s->ranked = first.front();
  }
  // The columns of every metric of the run but the always-on psnr when it was not asked for.
  for (size_t i = asked_psnr == asked.end() ? 1 : 0; i < s->metrics.size(); ++i) {
    const MetricRequest& r = s->metrics[i];
    for (const std::string& name : r.row->scores(r.options))
      if (std::find(listed.begin(), listed.end(), name) == listed.end()) listed.push_back(name);
  }
  // VMAF, when the run computes it, is what the worst pairs are judged by.
  if (std::find(listed.begin(), listed.end(), "vmaf") != listed.end()) s->ranked = "vmaf";
  // libvmaf's order for the same metrics, as libvmaf's program orders them with --threads.
  s->log_columns = libvmaf_columns(s->metrics, true);
  return {};
}

}  // namespace

std::vector<std::string> libvmaf_columns(const std::vector<MetricRequest>& metrics, bool threaded) {
  // Each score with when libvmaf first receives it: 0 PSNR when threaded, 1 per pair, 2 at the
  // end of the run (integer_motion's last two scores), 3 a model's prediction.
  std::vector<std::pair<int, std::string>> timed;
  for (const MetricRequest& r : metrics) {
    const std::vector<std::string> names = r.row->scores(r.options);
    const std::string_view row = r.row->name;
    for (size_t i = 0; i < names.size(); ++i) {
      int when = 1;
      if (r.row->flags & kMetricUniqueNames) {
        when = 3;
      } else if (row == "integer_motion" && i + 2 >= names.size()) {
        when = 2;
      } else if (threaded && row == "psnr") {
        when = 0;
      }
      timed.emplace_back(when, names[i]);
    }
  }
  std::stable_sort(timed.begin(), timed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> order;
  for (auto& [when, name] : timed)
    if (std::find(order.begin(), order.end(), name) == order.end())
      order.push_back(std::move(name));
  return order;
}

namespace {

// The inputs' layouts from --size, --pix-fmt and --max-pixels, and the inputs' names checked
// against them: empty when fine, else why not.
std::string input_options(const Arguments& a, Settings* s) {
  std::vector<std::string> inputs;
  for (const auto& f : {a.file1, s->file2})
    if (f) inputs.push_back(*f);
  inputs.insert(inputs.end(), a.versus.begin(), a.versus.end());
  if (std::count(inputs.begin(), inputs.end(), "-") > 1)
    return "standard input (-) can be only one of the two files";
  std::string formats[2], sizes[2];
  if (a.pix_fmt) split_pair(*a.pix_fmt, formats);
  if (a.size) split_pair(*a.size, sizes);
  for (int i = 0; i < 2; ++i) {
    OpenOptions& open = s->open[i];
    RawYuvFormat format;
    if (a.pix_fmt) {
      if (!parse_pix_fmt(formats[i].c_str(), &format))
        return "[--pix-fmt=" + *a.pix_fmt + "]: " + formats[i] + " is not a layout vidqual reads";
      open.raw_pix_fmt = formats[i];
    }
    if (a.size && !parse_frame_size(sizes[i].c_str(), &open.raw_width, &open.raw_height)) {
      return "[--size=" + *a.size +
             "]: not a picture size (WxH, such as 1920x1080, or WxH:WxH for each input)";
    }
    if (a.max_pixels) {
      char* end = nullptr;
      errno = 0;
      const long long n = std::strtoll(a.max_pixels->c_str(), &end, 10);
      if (!is_number(*a.max_pixels) || *end || errno || n < 1)
        return "[--max-pixels=" + *a.max_pixels + "]: not a positive number of samples";
      open.max_pixels = n;
    }
  }
  for (const std::string& f : inputs)
    if (is_raw_yuv_name(f.c_str()) && !a.size)
      return "[" + f + "] is headerless YUV: give its size with --size=WxH";
  return {};
}

// A whole decimal number within [low, high]: white space, one sign, digits and nothing after;
// a number past the range of 32 bits counts as the nearest limit. None when it is not.
std::optional<int32_t> number_within(std::string_view text, int32_t low, int32_t high) {
  if (!is_number(text)) return std::nullopt;
  const int32_t n = leading_int32(text);
  if (n < low || n > high) return std::nullopt;
  return n;
}

// --cpumask=N: decimal, or hexadecimal after 0x; at most 32 bits.
std::optional<uint32_t> parse_cpumask(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  const unsigned long long n = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno || n > UINT32_MAX) return std::nullopt;
  return uint32_t(n);
}

// The values of options that take a number or a name, in the order the tool checks them.
std::string option_values(const Arguments& a, Settings* s) {
  if (a.html_worst) {
    const auto n = number_within(*a.html_worst, 0, 50);
    if (!n) return "[--html-worst=" + *a.html_worst + "]: not a number from 0 to 50";
    s->html_worst = *n;
  }
  std::string why;
  if (a.skip) {
    if (a.align) return "--align and --skip cannot both be given: --align chooses the skip";
    if (!parse_skip(*a.skip, s->skip, &why)) return why;
  }
  if (a.worst_pairs) {
    const auto n = number_within(*a.worst_pairs, 0, INT32_MAX);
    if (!n) return "[--worst-pairs=" + *a.worst_pairs + "]: not a number of pairs from 0";
    s->worst_pairs = *n;
  }
  if (a.threads) {
    s->threads = number_within(*a.threads, 1, 64);
    if (!s->threads) return "[--threads=" + *a.threads + "]: not a number from 1 to 64";
  }
  if (a.scale) {
    if (!parse_scale_filter(a.scale->c_str(), &s->scale)) {
      return "[--scale=" + *a.scale +
             "]: not a scale filter (bicubic, bilinear, lanczos, neighbor; then any of "
             ":accurate_rnd, :full_chroma_int, :full_chroma_inp, :bitexact, and lanczos's "
             "width :param0=N from 1 to 10)";
    }
    if (!have_ffmpeg())
      return "--scale is unavailable: scaling needs FFmpeg's libraries (" + ffmpeg_absence() + ")";
  }
  if (a.bit_depth) {
    const auto n = number_within(*a.bit_depth, 8, 16);
    if (!n) return "[--bit-depth=" + *a.bit_depth + "]: not a depth from 8 to 16 bits";
    s->bit_depth = *n;
  }
  if (a.pair) {
    if (*a.pair != "timestamps" && *a.pair != "order")
      return "[--pair=" + *a.pair + "]: not a pairing (order or timestamps)";
    s->pair_by_time = *a.pair == "timestamps";
  }
  if (a.rate_kbps) {
    double rate = 0;
    const std::string& t = *a.rate_kbps;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), rate);
    if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(rate) || rate <= 0)
      return "[--rate-kbps=" + t + "]: not a rate in kbit/s (a number above 0, such as 2500.5)";
    if (!a.versus.empty())
      return "--rate-kbps gives one encode's rate: give it on each manifest line, not with --vs";
    s->rate_kbps = rate;
  }
  if (a.bd_method) {
    if (!a.bd_rate) return "--bd-method applies to --bd-rate ANCHOR TEST, which is not given";
    if (!parse_bd_method(*a.bd_method, &s->bd_method))
      return "[--bd-method=" + *a.bd_method + "]: not a method (aom, pchip, akima, cubic, awcy)";
  }
  if (a.cpumask) {
    const auto mask = parse_cpumask(*a.cpumask);
    if (!mask) {
      return "[--cpumask=" + *a.cpumask +
             "]: not a number (its set bits turn off instruction sets: 1 MMX, 2 SSE2, 4 AVX2, 8 "
             "AVX-512)";
    }
    s->cpu_flags = detect_cpu_flags() & ~*mask;
  }
  // The readers convert raw frames with the kernels the run may use.
  for (OpenOptions& open : s->open)
    open.cpu_flags = s->cpu_flags;
  // The later rows first, as the tool has always checked them.
  const std::span<const OutputRow> outputs = output_table();
  for (size_t i = outputs.size(); i-- > 0;) {
    if (a.outputs[i] && !outputs[i].available())
      return std::string("--") + outputs[i].option + " is unavailable: " + outputs[i].unavailable;
  }
  return {};
}

}  // namespace

Refusal scan_arguments(const std::vector<std::string>& args, Arguments* out) {
  Arguments a;
  a.outputs.resize(output_table().size());
  for (const std::string& arg : args) {
    if (arg.starts_with("--")) {
      const std::string why = read_long_option(arg, &a);
      if (!why.empty()) return refuse(RefusalStage::kScan, "[" + arg + "]: " + why);
      continue;
    }
    // A lone "-" names standard input, as a file argument.
    if (arg.size() > 1 && arg[0] == '-') {
      if (arg[1] == 'v') {
        a.verbose = true;
      } else if (arg[1] >= '0' && arg[1] <= '9') {
        a.notes.push_back("note: [" + arg +
                          "] begins with '-', so it is read as a switch, not as maxframes, "
                          "and ignored");
      } else {
        a.notes.push_back("note: [" + arg + "] is not a switch vidqual knows; ignored");
      }
      continue;
    }
    if (a.positionals == 0) a.file1 = arg;
    if (a.positionals == 1) a.file2 = arg;
    if (a.positionals == 2) {
      a.maxframes = parse_maxframes(arg);
      if (!is_number(arg)) {
        a.notes.push_back("note: maxframes [" + arg + "] is not a number; read as " +
                          std::to_string(a.maxframes) + (a.maxframes < 1 ? " (no limit)" : ""));
      }
    }
    if (a.positionals >= 3)
      a.notes.push_back("note: [" + arg + "] ignored: vidqual reads two files and maxframes");
    ++a.positionals;
  }
  *out = std::move(a);
  return {};
}

Refusal check_arguments(const Arguments& a, Settings* out) {
  Settings s;
  s.file1 = a.file1;
  s.file2 = a.file2;
  s.maxframes = a.maxframes;
  // With --vs the one other positional argument is maxframes.
  if (!a.versus.empty() && a.file2 && a.positionals == 2 && is_number(*a.file2)) {
    s.maxframes = parse_maxframes(*a.file2);
    s.file2.reset();
  }
  s.verbose = a.verbose;
  for (const auto& path : a.outputs)
    s.outputs.push_back(path.value_or(""));
  s.align = a.align;
  s.versus = a.versus;
  s.manifest = a.manifest;
  s.manifest_index = a.manifest_index;
  s.bd_rate = a.bd_rate;
  Refusal refusal;
  if (std::string why = metric_requests(a, &s); !why.empty()) {
    refusal = refuse(RefusalStage::kMetrics, std::move(why));
  } else if (why = input_options(a, &s); !why.empty()) {
    refusal = refuse(RefusalStage::kValues, std::move(why));
  } else if (why = option_values(a, &s); !why.empty()) {
    refusal = refuse(RefusalStage::kValues, std::move(why));
  }
  *out = std::move(s);
  return refusal;
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
  CommandLine c;
  c.refusal = scan_arguments(args, &c.args);
  if (!c.refusal) c.refusal = check_arguments(c.args, &c.settings);
  return c;
}

}  // namespace vq
