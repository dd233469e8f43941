// The written text for people: the stdout report (per-pair lines, the error line, the [PSNR]
// and [SSIM] blocks, a block per metric asked for) as a listener of the run, and the notices on
// stderr.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "report/report.h"

namespace vq {
namespace {

// A frame rate for a notice: "25", "29.97", "23.976".
std::string rate_text(const SourceInfo& i) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", double(i.rate_num) / double(i.rate_den));
  std::string t = text;
  while (t.back() == '0')
    t.pop_back();
  if (t.back() == '.') t.pop_back();
  return t;
}

// Whether `name` is one of the scores the [PSNR] and [SSIM] blocks already show, or their MSE.
bool in_written_blocks(const std::string& name) {
  for (const char* n : kReportPsnr)
    if (name == n) return true;
  for (const char* n : kReportMse)
    if (name == n) return true;
  for (const char* n : kReportSsim)
    if (name == n) return true;
  return false;
}

std::string upper(std::string s) {
  for (char& c : s)
    c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The block of a metric asked for: its scores that the table has and no earlier block shows,
// headed by the family of its first score.
struct Block {
  std::string heading;
  std::vector<int> columns;
};

// The blocks of the metrics asked for, empty ones left out, and in *width the name column's
// width shared by all: the longest name, at least that of "PsnrY   ".
std::vector<Block> asked_blocks(const RunDescription& run, const ScoreTable& table, int* width) {
  std::vector<Block> blocks;
  std::vector<int> shown;
  *width = 8;
  for (const std::vector<std::string>& names : run.asked) {
    Block b;
    int first = -1;
    for (const std::string& name : names) {
      const int c = table.find(name);
      if (c < 0 || table.hidden(c) || in_written_blocks(name)) continue;
      if (first < 0) first = c;
      if (std::find(shown.begin(), shown.end(), c) != shown.end()) continue;
      shown.push_back(c);
      b.columns.push_back(c);
      *width = std::max(*width, int(name.size()));
    }
    if (b.columns.empty()) continue;
    b.heading = upper(table.info(first).family);
    b.heading.insert(b.heading.begin(), '[');
    b.heading.push_back(']');
    blocks.push_back(std::move(b));
  }
  return blocks;
}

// The stdout report: what the tool printed before it had a score table, read from the table, and
// after it the blocks of the metrics asked for.
class TextReport final : public RunListener {
 public:
  TextReport(std::FILE* out, bool verbose, const RunDescription& run)
      : out_(out), verbose_(verbose), run_(run) {}

  void on_start(int32_t, const ScoreTable& table) override {
    for (int p = 0; p < 3; ++p)
      psnr_[p] = table.find(kReportPsnr[p]);
    for (int p = 0; p < 4; ++p)
      ssim_[p] = table.find(kReportSsim[p]);
    try {
      blocks_ = asked_blocks(run_, table, &width_);
    } catch (const std::bad_alloc&) {
      blocks_.clear();  // the written blocks still come
    }
  }

  void on_pair(const PairView& v) override {
    if (!verbose_) return;
    double psnr[3] = {0, 0, 0}, ssim[4];
    for (int p = 0; p < 3; ++p)
      (void)v.table->get(psnr_[p], v.row, &psnr[p]);
    std::fprintf(out_, "%3d: \t%3.2f \t%3.2f \t%3.2f", v.number, psnr[0], psnr[1], psnr[2]);
    bool has_ssim = ssim_[0] >= 0;
    for (int p = 0; p < 4 && has_ssim; ++p)
      has_ssim = v.table->get(ssim_[p], v.row, &ssim[p]);
    if (has_ssim) {
      std::fprintf(out_, " \t%.6f \t%.6f \t%.6f \t%.6f", ssim[0], ssim[1], ssim[2], ssim[3]);
    }
    for (const Block& b : blocks_) {
      for (const int c : b.columns) {
        double value;
        if (v.table->get(c, v.row, &value)) {
          std::fprintf(out_, " \t%s %.6f", v.table->name(c).c_str(), value);
        } else {
          std::fprintf(out_, " \t%s -", v.table->name(c).c_str());
        }
      }
    }
    std::fputc('\n', out_);
  }

  void on_end(const RunResult& r) override {
    if (r.failed_input != 0 &&
        (r.outcome == RunOutcome::kReadFailed || r.outcome == RunOutcome::kOutOfMemory)) {
      std::fprintf(out_, "ERROR: can't read frame %d of AVI file [%s]\n", r.failed_input_frame,
                   run_.path[r.failed_input - 1].c_str());
    } else if (r.outcome != RunOutcome::kOk) {
      std::fputs("ERROR: unsupported AVI format\n", out_);
    }
    const ScoreTable& t = *r.table;
    const int32_t n = r.compared;
    static const char* const kPsnr[3] = {"PsnrY   ", "PsnrU   ", "PsnrV   "};
    std::fputs("[PSNR]\n", out_);
    for (int p = 0; p < 3; ++p)
      std::fprintf(out_, "%s\t%3.2f\n", kPsnr[p], n ? t.pool(psnr_[p]).mean : 0.0);
    if (ssim_[0] >= 0) {
      static const char* const kSsim[4] = {"SsimY   ", "SsimU   ", "SsimV   ", "SsimAll "};
      std::fputs("[SSIM]\n", out_);
      for (int p = 0; p < 4; ++p) {
        const double mean = n ? t.pool(ssim_[p]).mean : 0.0;
        std::fprintf(out_, "%s\t%.6f \t%3.2f dB\n", kSsim[p], mean, n ? ssim_db(mean) : 0.0);
      }
    }
    for (const Block& b : blocks_) {
      std::fprintf(out_, "%s\n", b.heading.c_str());
      for (const int c : b.columns) {
        const Pooled p = t.pool(c);
        if (n == 0 || p.count == 0) {
          std::fprintf(out_, "%-*s  no value\n", width_, t.name(c).c_str());
          continue;
        }
        std::fprintf(out_, "%-*s  mean %11.6f  min %11.6f  max %11.6f  harmonic_mean %11.6f\n",
                     width_, t.name(c).c_str(), p.mean, p.min, p.max, p.harmonic_mean);
      }
    }
  }

 private:
  std::FILE* out_;
  bool verbose_;
  const RunDescription& run_;
  int psnr_[3] = {-1, -1, -1};
  int ssim_[4] = {-1, -1, -1, -1};
  std::vector<Block> blocks_;
  int width_ = 8;
};

}  // namespace

std::unique_ptr<RunListener> make_text_report(std::FILE* out, bool verbose,
                                              const RunDescription& run) {
  return std::unique_ptr<RunListener>(new (std::nothrow) TextReport(out, verbose, run));
}

void print_open_failure(std::FILE* out, const std::string& path) {
  std::fprintf(out, "ERROR: can't open AVI file [%s]\n", path.c_str());
}

double ssim_db(double ssim) {
  const double e = 1.0 - ssim;
  return e > 1e-9 ? 10.0 * std::log10(1.0 / e) : 90.0;
}

std::string conversion_text(const RunDescription& run, const RunResult& r) {
  const PairConversion& c = r.conversion;
  if (!c.any) return {};
  std::string text = std::string("pairs are scored as ") + chroma_layout_name(c.layout) + " " +
                     std::to_string(c.depth) + "-bit";
  for (int i = 0; i < 2; ++i) {
    const uint8_t bit = uint8_t(1 << i);
    const bool scaled = i == 1 && c.scaled;
    if (!((c.widened | c.resampled) & bit) && !scaled) continue;
    text += "; [" + run.path[i] + "] (" + r.info[i].pixel_format;
    if (scaled) {
      text += ", " + std::to_string(r.info[1].width) + "x" + std::to_string(r.info[1].height);
    }
    text += ") is ";
    std::vector<std::string> done;
    if (scaled) {
      done.push_back("scaled to " + std::to_string(r.width) + "x" + std::to_string(r.height) +
                     " (" + scale_filter_name(c.scale) + ")");
    }
    if (c.resampled & bit) done.push_back("converted by libswscale");
    if (c.widened & bit) done.push_back("widened by a left shift");
    for (size_t k = 0; k < done.size(); ++k)
      text += (k == 0 ? "" : k + 1 == done.size() ? " and " : ", ") + done[k];
  }
  return text;
}

std::string form_options_text(const MetricFormOptions& m) {
  std::string text = m.score + " scores the encode as it was made: ";
  for (size_t k = 0; k < m.options.size(); ++k)
    text += (k ? ", " : "") + m.options[k].name + "=" + std::to_string(m.options[k].value);
  return text + " (the encode's own size and depth where the request does not give them)";
}

std::string offset_text(const RunDescription& run, const RunResult& r) {
  const OffsetSearch& a = r.align;
  if (!a.searched) return {};
  const auto mean = [&a](int32_t shift) {
    for (const ShiftScore& s : a.shifts)
      if (s.shift == shift) return s.mean_psnr;
    return 0.0;
  };
  char numbers[160];
  if (a.best == a.runner_up) {
    std::snprintf(numbers, sizeof numbers, "no other offset could be tried");
  } else {
    std::snprintf(numbers, sizeof numbers,
                  "mean luma PSNR %.2f dB at offset %d, %.2f dB at offset %d, the next best",
                  mean(a.best), a.best, mean(a.runner_up), a.runner_up);
  }
  if (!a.clear) return std::string("no clear offset; keeping 0 (") + numbers + ")";
  std::string text = "offset chosen: " + std::to_string(a.offset) + ": ";
  if (a.offset == 0) {
    text += "no frame is dropped";
  } else {
    const int i = a.offset > 0 ? 1 : 0;
    const int32_t n = std::abs(a.offset);
    text += "the first " + std::to_string(n) + " frame" + (n == 1 ? "" : "s") + " of [" +
            run.path[i] + "] " + (n == 1 ? "is" : "are") + " dropped";
  }
  return text + " (" + numbers + ")";
}

void print_notes(const RunDescription& s, const RunResult& r, std::FILE* err) {
  const char* paths[2] = {s.path[0].c_str(), s.path[1].c_str()};
  switch (r.outcome) {
    case RunOutcome::kOk:
      break;
    case RunOutcome::kOpenFailed:
      std::fprintf(err, "vidqual: [%s]: %s\n", paths[r.failed_input - 1], r.reason.c_str());
      return;
    case RunOutcome::kReadFailed:
      std::fprintf(err, "vidqual: can't read frame %d of [%s]%s%s\n", r.failed_input_frame,
                   paths[r.failed_input - 1], r.reason.empty() ? "" : ": ", r.reason.c_str());
      break;
    case RunOutcome::kSizeMismatch:
    case RunOutcome::kUnsupported:
      std::fprintf(err, "vidqual: pair %d can't be compared: %s\n", r.failed_frame,
                   r.reason.c_str());
      break;
    case RunOutcome::kOutOfMemory:
      std::fprintf(err, "vidqual: out of memory%s%s\n", r.failed_input ? " reading " : "",
                   r.failed_input ? paths[r.failed_input - 1] : "");
      if (r.failed_frame == 0 && r.failed_input_frame == 0) return;
      break;
  }
  if (r.align.searched) std::fprintf(err, "note: %s\n", offset_text(s, r).c_str());
  if (r.align.searched && r.align.narrowed) {
    std::fprintf(err,
                 "note: --align tried offsets from -%d to %d only: %d frames of each input fit in "
                 "the %lld GiB it keeps of pictures this large\n",
                 r.align.max_shift, r.align.max_shift, r.align.frames,
                 static_cast<long long>(kAlignMemory >> 30));
  }
  if (r.conversion.any) std::fprintf(err, "note: %s\n", conversion_text(s, r).c_str());
  for (const MetricFormOptions& m : r.form_options)
    std::fprintf(err, "note: %s\n", form_options_text(m).c_str());
  const SourceInfo& a = r.info[0];
  const SourceInfo& b = r.info[1];
  if (a.rate_den > 0 && b.rate_den > 0 &&
      int64_t(a.rate_num) * b.rate_den != int64_t(b.rate_num) * a.rate_den) {
    std::fprintf(err, "note: the frame rates differ: %s fps in [%s], %s in [%s]; %s\n",
                 rate_text(a).c_str(), paths[0], rate_text(b).c_str(), paths[1],
                 r.paired_by_time ? "frames are paired by time"
                                  : "frames are paired in order (--pair=timestamps pairs them by "
                                    "time)");
  }
  for (int i = 0; i < 2; ++i) {
    if (r.info[i].rotation != 0) {
      std::fprintf(err,
                   "note: [%s] has a display rotation of %d degrees; its pictures are scored as "
                   "stored (as FFmpeg's -noautorotate reads them)\n",
                   paths[i], r.info[i].rotation);
    }
  }
  // The frames each stream has for pairs after the skip, as the run planned them.
  const PairPlan plan = plan_pairs(r.info, r.skip, s.maxframes, r.paired_by_time);
  const bool known = plan.known;
  const int32_t after1 = plan.after[0], after2 = plan.after[1];
  for (int i = 0; i < 2; ++i) {
    const int32_t length = i ? r.length2 : r.length1;
    if (r.skip[i] > 0 && (known || r.ended == i + 1) && length <= r.skip[i]) {
      std::fprintf(err, "note: [%s] has %d frame%s, none after the %d skipped\n", paths[i], length,
                   length == 1 ? "" : "s", r.skip[i]);
    }
  }
  if (r.ended != 0) {
    const int e = r.ended - 1;
    const int32_t frames = e == 0 ? r.length1 : r.length2;
    std::fprintf(err, "note: [%s] ended after %d frame%s, before [%s]; %d pair%s compared\n",
                 paths[e], frames, frames == 1 ? "" : "s", paths[1 - e], r.compared,
                 r.compared == 1 ? "" : "s");
  } else if (known && after1 != after2) {
    if (r.skip[0] || r.skip[1]) {
      std::fprintf(err,
                   "note: the streams differ in length after the skip: %d frames in [%s], %d in "
                   "[%s]; %d pairs compared\n",
                   after1, paths[0], after2, paths[1], r.compared);
    } else {
      std::fprintf(err,
                   "note: the streams differ in length: %d frames in [%s], %d in [%s]; %d pairs "
                   "compared\n",
                   r.length1, paths[0], r.length2, paths[1], r.compared);
    }
  }
  if (s.maxframes >= 1 && r.outcome == RunOutcome::kOk && r.ended == 0 &&
      (known ? s.maxframes < std::min(after1, after2) : r.compared == s.maxframes)) {
    if (known) {
      std::fprintf(err,
                   "note: maxframes %d stops the comparison before the streams end (%d and %d "
                   "frames); %d pairs compared\n",
                   s.maxframes, after1, after2, r.compared);
    } else {
      std::fprintf(err, "note: maxframes %d stops the comparison; %d pairs compared\n", s.maxframes,
                   r.compared);
    }
  }
}

}  // namespace vq
