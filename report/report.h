// Report: the run's outputs (the written stdout report, the per-frame CSV, the JSON document, the
// XML report, the HTML page) and the one way every file is written: into a temporary file beside
// its path, renamed into place only when the run has ended and every byte reached the disk. A run
// that stops before comparing anything leaves whatever was at the path untouched. Outputs read the
// score table and the run's result, never a metric; the page's building blocks are in page/.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "compare/run_result.h"
#include "score/score.h"
#include "video/video.h"

namespace vq {

// From now on SIGINT, SIGTERM and SIGHUP remove every temporary file of the outputs, say so on
// stderr and end the process as the signal would have (a signal already ignored stays ignored);
// SIGPIPE (a reader of standard output that has gone) removes them and ends with status 2, as
// does SIGBUS (an input file read through a mapping cut short by another program meanwhile).
void remove_temporary_files_on_signals();

// 1 when `a` and `b` name the same file: the same device and inode when both exist, otherwise the
// same path once symbolic links and "." and ".." are resolved. An output path is checked against
// every file the run reads and every other output with it before anything is opened for writing.
[[nodiscard]] int same_file(const char* a, const char* b);

// Paths kept with a number each, in two groups (a run's files read and its outputs, say), and
// found again through any spelling or link by the rule of same_file(): a path is looked up by
// where a write to it lands and, when it exists, by its device and inode. For checking the many
// paths of a campaign without comparing each with each: a path's key costs about one call of
// lstat, each directory is resolved once.
class FileSet {
 public:
  // What a path is found by.
  struct Key {
    std::string landing;  // where a write to it lands
    uint32_t mode = 0;    // the file there (its st_mode), 0 when there is none
    uint64_t device = 0, inode = 0;
  };
  [[nodiscard]] Key key(const std::string& path);
  // The number kept in `group` (0 or 1) with the first path added that is the same file as the
  // one of `key`, or -1.
  [[nodiscard]] int find(const Key& key, int group) const;
  // Keeps the path of `key` with `number` in `group` (a file already there keeps its number).
  void add(const Key& key, int number, int group);

 private:
  struct Hash {
    size_t operator()(const std::pair<uint64_t, uint64_t>& k) const {
      return std::hash<uint64_t>()(k.first * 0x9E3779B97F4A7C15ull ^ k.second);
    }
  };
  std::filesystem::path cwd_;  // read once, when a relative path first comes
  std::unordered_map<std::string, std::string> dirs_;  // a directory as spelled -> resolved
  std::unordered_map<std::string, int> by_landing_[2];
  std::unordered_map<std::pair<uint64_t, uint64_t>, int, Hash> by_inode_[2];
};

// One temporary file's record for the handler of a fatal signal (output_file.cpp).
struct TempRecord;

// A file written in full or not at all. open() creates a temporary file in the target's directory
// (so that the rename stays on one file system) with the mode a new file would get, or the mode of
// the file it replaces; commit() flushes, syncs and closes it, checking each step, and renames it
// over the target; abandon() and the destructor remove it. A target that exists and is not a
// regular file (a terminal, a pipe, /dev/null) is written in place. A target that is a symbolic
// link is followed, also when nothing is there yet: the file it points to is replaced, the link
// stays. A replaced file's permission bits are kept, and its owner and group where the process
// may set them; a target with more than one hard link is written in full to the temporary file
// and then copied over the target in place, so that every name of it sees the new contents.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { abandon(); }

  // 1 when open; 0 with error() telling why.
  [[nodiscard]] int open(const std::string& path);
  [[nodiscard]] std::FILE* stream() const { return file_; }
  // 1 when every byte was written and the file is in place; 0 with error() telling why, the
  // temporary file removed and the target untouched. `apart`: put in place not at the target
  // but at failed_output_path() of it, the target untouched.
  [[nodiscard]] int commit(bool apart = false);
  void abandon();
  // The errno value of the last failure.
  [[nodiscard]] int error() const { return error_; }

 private:
  // Writes the finished temporary file's bytes over the target in place: 0, or -1 with errno.
  [[nodiscard]] int copy_into_target();
  std::string target_;            // where commit() puts the file
  std::string temp_;              // empty when written in place
  TempRecord* record_ = nullptr;  // where the signal handler finds temp_
  bool copy_in_place_ = false;    // the target has other hard links: copied into, not replaced
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

// Where a campaign keeps an output of a line that failed: where `path` lands, ".failed" added,
// so that no reader of the output takes a partial run for a whole one, and the line counts as
// not yet run.
[[nodiscard]] std::string failed_output_path(const std::string& path);

// Advisory locks on the outputs of a campaign's line, held while it runs, so that two tasks
// never write one line: a lock (flock) on the empty file ".NAME.lock" beside where each output
// lands. The kernel releases a lock when its process ends in any way, SIGKILL included. Lock
// files are made when missing and stay: removing one would let a second task lock a new file of
// the same name while a first still holds the old one.
class OutputLocks {
 public:
  enum class Status { kTaken, kBusy };
  OutputLocks() = default;
  OutputLocks(const OutputLocks&) = delete;
  OutputLocks& operator=(const OutputLocks&) = delete;
  ~OutputLocks() { release(); }

  // Locks every output of `paths` without waiting (empty paths and those that are not regular
  // files, such as /dev/null, have none). kTaken: each held, and the temporary files a killed
  // run left of those outputs removed; kBusy, none held: another process holds one. An output
  // whose lock file cannot be made (its folder missing or read-only) or locked (a file system
  // without locks) goes unlocked: writing it then says what is wrong.
  [[nodiscard]] Status take(const std::vector<std::string>& paths);
  void release();

 private:
  // Removes the ".NAME.XXXXXX" files beside `target`: with its lock held, no run writes them.
  static void remove_stale_temporaries(const std::string& target);
  std::vector<int> fds_;
  std::vector<std::string> held_;  // the lock files, each taken once
};

// The form a pair was scored in, as the per-pair files list it.
struct PairForm {
  uint8_t depth = 8;
  ChromaLayout layout = ChromaLayout::k420;
};

// One output of the run: a listener whose file is written from the finished score table once the
// run has ended. While the run goes it notes only each pair's form (two bytes a pair), which the
// table does not hold. Listeners cannot fail the run: a failure (out of memory included) is kept
// and commit() reports it.
class Report : public RunListener {
 public:
  // Opens the file for `path`. 1 when open.
  [[nodiscard]] int open(const char* path);
  // Writes the file from the finished table and puts it in place (at failed_output_path() of
  // it when `apart`). 1 when all is written.
  [[nodiscard]] int commit(bool apart = false);
  // Drops the file: whatever was at the path stays as it was.
  void abandon() { file_.abandon(); }
  [[nodiscard]] const std::string& path() const { return path_; }
  // The errno value of the failure of open() or commit(): ENOMEM when memory ran out.
  [[nodiscard]] int error() const { return error_ ? error_ : file_.error(); }

  void on_pair(const PairView& pair) final;
  // Keeps what the run found, for finish().
  void on_end(const RunResult& r) override;

 protected:
  // What the run found, once it has ended.
  [[nodiscard]] const RunResult& result() const { return result_; }
  // The form of pair `row` (0-based); the run's last form for a pair not told.
  [[nodiscard]] PairForm pair_form(int32_t row) const;
  // Writes the whole file, by commit(). 1 when fine.
  [[nodiscard]] virtual int finish(std::FILE* f) = 0;
  // Keeps the first failure; what follows is not written.
  void fail(int error) {
    if (!error_) error_ = error;
  }
  [[nodiscard]] bool failed() const { return error_ != 0; }

 private:
  // The file while it is open, nullptr after a failure.
  [[nodiscard]] std::FILE* stream() const { return error_ ? nullptr : file_.stream(); }

  std::string path_;
  OutputFile file_;
  int error_ = 0;
  RunResult result_;
  std::vector<PairForm> forms_;  // per pair told
};

// What the outputs learn of a run from the command line rather than from the run.
struct RunDescription {
  std::string version;                     // the product version, "1.3.1.4"
  std::string path[2];                     // the two inputs as named
  int32_t maxframes = 0;                   // 0 or less: no limit
  int manifest_index = -1;                 // the manifest line's index; -1: not a campaign's
  ScaleFilter scale = ScaleFilter::kNone;  // how a second picture of another size is scaled
  double rate_kbps = 0;  // the second's rate as --rate-kbps gives it; 0: as its file states it
  // The score columns the per-pair files list (the per-frame file's columns, the page's charts
  // and summary), in order: the report's own and those of every metric the command line asked
  // for. The JSON document holds every column of the table whatever this says.
  std::vector<std::string> columns;
  // The scores of each metric the command line asked for, one list per metric in the order
  // asked: the written report adds a block of each list's pooled values (those not already in
  // its [PSNR] and [SSIM] blocks).
  std::vector<std::vector<std::string>> asked;
  // The column the page ranks its worst pairs by (the lowest first).
  std::string ranked = "y_psnr";
  // The lowest pairs the JSON document lists per score (--worst-pairs=N); 0: none.
  int32_t worst_pairs = 0;
  // The worst pairs the page shows side by side (--html-worst=N).
  int html_worst = 3;
  // The scores the files in libvmaf's layouts list, in libvmaf's order (the order its own file
  // for the same metrics has); none when it names none, as libvmaf's file with no feature.
  std::vector<std::string> log_columns;
  // Those files list and pool pairs 0, N, 2N, ... only, as libvmaf's --subsample N does.
  int32_t log_every = 1;
};

// The scores the written report and the JSON document's historical fields read, by name: the
// report's PSNR and MSE per plane (the always-on psnr metric writes them), then FFmpeg's SSIM
// (the ssim metric, when asked for).
inline constexpr const char* kReportPsnr[3] = {"y_psnr", "u_psnr", "v_psnr"};
inline constexpr const char* kReportMse[3] = {"y_mse", "u_mse", "v_mse"};
inline constexpr const char* kReportSsim[4] = {"y_ssim", "u_ssim", "v_ssim", "all_ssim"};
// The run's aggregates of the report's PSNR: the PSNR of each plane's mean squared error.
inline constexpr const char* kReportPsnrOfMeanMse[3] = {"y_psnr_of_mean_mse", "u_psnr_of_mean_mse",
                                                        "v_psnr_of_mean_mse"};

// The written stdout: per-pair lines (when `verbose`), the error line of a run that stopped, the
// [PSNR] block and, when the table has SSIM, the [SSIM] block, byte for byte as the tool has
// always printed them; then a block per metric of run.asked, headed by its first score's family
// ("[VMAF]"), one line per score with its pooled mean, min, max and harmonic mean, and the same
// scores appended to each per-pair line. run.path names the inputs in the error line. nullptr
// when out of memory.
[[nodiscard]] std::unique_ptr<RunListener> make_text_report(std::FILE* out, bool verbose,
                                                            const RunDescription& run);
// The fixed line for an input that cannot be opened, on stdout.
void print_open_failure(std::FILE* out, const std::string& path);

// The notices for people after a run (stderr): why it failed, and where the comparison covered
// less than both streams or their frame rates differ.
void print_notes(const RunDescription& run, const RunResult& result, std::FILE* err);

// How the pictures were brought to one form, in words ("pairs are scored as 4:2:0 10-bit;
// [a.y4m] (yuv420p) is widened by a left shift"); empty when nothing was converted.
[[nodiscard]] std::string conversion_text(const RunDescription& run, const RunResult& result);

// What a metric took from the encode's own size and depth, in words ("cambi scores the encode as
// it was made: enc_width=640, enc_height=360, enc_bitdepth=8 (...)").
[[nodiscard]] std::string form_options_text(const MetricFormOptions& options);

// What the offset search chose, in words ("offset chosen: 2: the first 2 frames of [b.y4m] are
// dropped (mean luma PSNR ...)", or "no clear offset; keeping 0 (...)"); empty without a search.
[[nodiscard]] std::string offset_text(const RunDescription& run, const RunResult& result);

// An SSIM value in decibels, 10 log10(1 / (1 - ssim)), as the [SSIM] block prints it. When
// 1 - ssim is not above 1e-09 (identical planes score exactly 1) the result is the ceiling 90 dB,
// where FFmpeg prints inf; every value FFmpeg prints as a number lies below it.
[[nodiscard]] double ssim_db(double ssim);

// Every output file is made by a function of this shape from the description of its run; each
// throws std::bad_alloc when memory runs out.
using ReportMaker = std::unique_ptr<Report> (*)(const RunDescription& run);

// The per-frame file: the header row `pair,` run.columns, `,depth,chroma`, then one row per
// compared pair in full precision (a score a pair has no value for is an empty cell).
[[nodiscard]] std::unique_ptr<Report> make_csv_report(const RunDescription& run);

// The JSON document (its fields are described in the README). nullptr when this build has no JSON
// library, which json_available() says beforehand.
[[nodiscard]] bool json_available();
[[nodiscard]] std::unique_ptr<Report> make_json_report(const RunDescription& run);

// The files in libvmaf's layouts, each as libvmaf's `vmaf` program writes it for the same
// scores: the XML report, the JSON file, the CSV file and the subtitle file.
enum class LogFormat : uint8_t { kXml, kJson, kCsv, kSub };
[[nodiscard]] std::unique_ptr<Report> make_libvmaf_log(const RunDescription& run, LogFormat format);

// The XML report in libvmaf's layout: the VMAF root element with the version, params with the
// scored size, fyi with the speed in pairs per second, one frame element per compared pair
// (frameNum from 0, one attribute per score), pooled_metrics (min, max, mean, harmonic_mean per
// score, when every pair has it) and aggregate_metrics; make_libvmaf_log(run, LogFormat::kXml).
[[nodiscard]] std::unique_ptr<Report> make_xml_report(const RunDescription& run);
// A number as that report writes it: six decimals, or sixteen when the fraction begins with
// more than six zeros (so that 1e-7 is not written as 0.000000).
[[nodiscard]] std::string xml_number(double v);

// The HTML page (page/page.h) as an output of the run, with a gallery of the run.html_worst
// pairs lowest in run.ranked (none for 0). Needs png_available().
[[nodiscard]] std::unique_ptr<Report> make_html_report(const RunDescription& run);
// Whether this build can write PNG images (libpng was found); without them there is no page.
[[nodiscard]] bool png_available();

}  // namespace vq
