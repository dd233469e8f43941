// Report: the files a run writes for scripts (the per-frame CSV, the JSON document) and the one
// way every such file is written: into a temporary file beside its path, renamed into place only
// when the run has ended and every byte reached the disk. A run that stops before comparing
// anything leaves whatever was at the path untouched.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compare/run_result.h"
#include "score/score.h"
#include "video/video.h"

namespace vq {

// From now on SIGINT, SIGTERM and SIGHUP remove every temporary file of the outputs, say so on
// stderr and end the process as the signal would have (a signal already ignored stays ignored);
// SIGPIPE (a reader of standard output that has gone) removes them and ends with status 2.
void remove_temporary_files_on_signals();

// 1 when `a` and `b` name the same file: the same device and inode when both exist, otherwise the
// same path once symbolic links and "." and ".." are resolved. An output path is checked against
// every input and every other output with it before anything is opened for writing.
[[nodiscard]] int same_file(const char* a, const char* b);

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
  // temporary file removed and the target untouched.
  [[nodiscard]] int commit();
  void abandon();
  // The errno value of the last failure.
  [[nodiscard]] int error() const { return error_; }

 private:
  // Writes the finished temporary file's bytes over the target in place: 0, or -1 with errno.
  [[nodiscard]] int copy_into_target();
  std::string target_;          // where commit() puts the file
  std::string temp_;            // empty when written in place
  int slot_ = -1;               // where the signal handler finds temp_
  bool copy_in_place_ = false;  // the target has other hard links: copied into, not replaced
  std::FILE* file_ = nullptr;
  int error_ = 0;
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
  // Writes the file from the finished table and puts it in place. 1 when all is written.
  [[nodiscard]] int commit();
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
  ScaleFilter scale = ScaleFilter::kNone;  // how a second picture of another size is scaled
  // The score columns the per-pair files list (the per-frame file's columns, the page's charts
  // and summary), in order: the report's own and those of every metric the command line asked
  // for. The JSON document holds every column of the table whatever this says.
  std::vector<std::string> columns;
  // The column the page ranks its worst pairs by (the lowest first).
  std::string ranked = "y_psnr";
  // The lowest pairs the JSON document lists per score (--worst-pairs=N); 0: none.
  int32_t worst_pairs = 0;
  // The worst pairs the page shows side by side (--html-worst=N).
  int html_worst = 3;
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
// always printed them. `paths` name the inputs in the error line. nullptr when out of memory.
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

// The XML report in libvmaf's layout: the VMAF root element with the version, params with the
// scored size, fyi with the speed in pairs per second, one frame element per compared pair
// (frameNum from 0, one attribute per score), pooled_metrics (min, max, mean, harmonic_mean per
// score, when every pair has it) and aggregate_metrics.
[[nodiscard]] std::unique_ptr<Report> make_xml_report(const RunDescription& run);
// A number as that report writes it: six decimals, or sixteen when the fraction begins with
// more than six zeros (so that 1e-7 is not written as 0.000000).
[[nodiscard]] std::string xml_number(double v);

}  // namespace vq

// ------------------------------------------------------------------------------------------------
// The HTML report: one self-contained page (inline style, inline SVG charts, pictures embedded as
// PNG data: URIs; no script, no network) that shows the two inputs, the summary, a per-pair chart
// and the worst pairs side by side with an error map. Also its building blocks: PNG encoding
// (libpng, when the build found it), base64, the error map and its colour scale, and the keeper
// of the worst pairs.

namespace vq {

// ---- PNG and data: URIs --------------------------------------------------------------------

// Whether this build can write PNG images (libpng was found); without them there is no report.
[[nodiscard]] bool png_available();

// Encodes an RGB24 image (R, G, B bytes, top row first, rows `pitch` bytes apart) as a PNG file
// in memory. 1 and `out` replaced on success; 0, `out` untouched, without libpng, for an empty
// image, or when memory runs out.
[[nodiscard]] int encode_png_rgb24(const uint8_t* rgb, int32_t width, int32_t height,
                                   ptrdiff_t pitch, std::string* out);

// The same for an image of 8-bit indices into `palette` (256 RGB entries): a palette PNG, a
// third of the data to compress.
[[nodiscard]] int encode_png_indexed(const uint8_t* index, int32_t width, int32_t height,
                                     ptrdiff_t pitch, const uint8_t* palette, std::string* out);

// Appends the base64 form of `bytes` (RFC 4648 alphabet, '=' padding) to `out`; 0 when memory
// runs out (`out` may then hold part of it).
[[nodiscard]] int append_base64(std::string_view bytes, std::string* out);

// ---- Pictures for people --------------------------------------------------------------------

// A picture of any depth and chroma layout as 8-bit RGB24 (top row first, rows 3 x width):
// samples above 8 bits are scaled down, full-range samples mapped to studio range, a gray
// picture gets neutral chroma, then planar420_to_rgb24 converts. 0 when memory runs out or the
// picture is empty.
[[nodiscard]] int picture_to_rgb24(const Picture& picture, std::vector<uint8_t>* rgb);

// The error map's gain: each absolute luma difference (in 8-bit units) is multiplied by it and
// clamped to 255, so differences of 0 to 63 spread over the whole colour scale.
inline constexpr int kErrorMapGain = 4;

// The error map's colour scale: 256 RGB entries (768 bytes), dark blue through green to yellow,
// lightness rising with the index (a polynomial fit of the viridis scale).
[[nodiscard]] const uint8_t* error_colour_scale();

// The gallery shows each picture at about a third of a 1000-pixel column, so it keeps pictures
// at most this wide: reduced by the integer factor ceil(width / kGalleryWidth).
inline constexpr int32_t kGalleryWidth = 640;
[[nodiscard]] constexpr int gallery_factor(int32_t width, int32_t max_width = kGalleryWidth) {
  return width > max_width && max_width > 0 ? int((width + max_width - 1) / max_width) : 1;
}

// ---- The worst pairs --------------------------------------------------------------------------

// A reduced 8-bit copy of a picture: each plane averaged over factor x factor blocks (the last
// ones cut at the edges), samples above 8 bits scaled down, into this object's own buffers, which
// a later copy reuses. Layout and range stay as they were; chroma planes are reduced by the same
// factor, so they keep their relation to the luma plane.
class PictureCopy {
 public:
  PictureCopy() = default;
  PictureCopy(const PictureCopy&) = delete;  // the picture points into this object's buffers
  PictureCopy& operator=(const PictureCopy&) = delete;
  PictureCopy(PictureCopy&&) noexcept = default;
  PictureCopy& operator=(PictureCopy&&) noexcept = default;
  // 1 when copied; 0 when memory runs out (the copy then holds no picture).
  [[nodiscard]] int assign(const Picture& picture, int factor = 1);
  // The copy as a picture (pointers into this object; valid until the next assign()).
  [[nodiscard]] const Picture& picture() const { return picture_; }

 private:
  Picture picture_;
  std::vector<uint8_t> plane_[3];
  std::vector<uint32_t> sums_;  // one row of column sums
};

// The error map of two pictures of one size, reduced by `factor`: per factor x factor block (the
// last ones cut at the edges), the largest absolute difference of the luma samples (in 8-bit
// units; the largest, so that a small error is not averaged away), amplified by kErrorMapGain and
// clamped to 255: an index into the colour scale. Its buffers are reused by the next assign().
class ErrorMap {
 public:
  // 1 when made; 0, the map empty, when the sizes or depths differ or the pictures are empty;
  // -1, the map empty, when memory runs out.
  [[nodiscard]] int assign(const Picture& a, const Picture& b, int factor = 1);
  [[nodiscard]] bool empty() const { return width_ == 0; }
  [[nodiscard]] int32_t width() const { return width_; }  // ceil(width / factor)
  [[nodiscard]] int32_t height() const { return height_; }
  // width() x height() levels, row by row.
  [[nodiscard]] const uint8_t* levels() const { return levels_.data(); }

 private:
  int32_t width_ = 0, height_ = 0;
  std::vector<uint8_t> levels_;
  std::vector<uint16_t> row_;  // one row of column maxima
};

// A pair kept for the gallery: its 1-based number, the value it is ranked by, both pictures
// reduced by `factor` and the error map of the full pictures (empty when their sizes or depths
// differ).
struct WorstPair {
  int32_t pair = 0;
  double value = 0;
  int factor = 1;
  PictureCopy a, b;
  ErrorMap error;
};

// Keeps the `capacity` pairs with the lowest values, worst first (ties: the earlier pair first
// and kept). A pair that does not enter costs one comparison; a pair that enters costs reduced
// copies of its two pictures and its error map, into the buffers of the pair it pushes out.
// Pictures are reduced to at most `max_width` samples wide (gallery_factor).
class WorstPairs {
 public:
  explicit WorstPairs(int capacity, int32_t max_width = kGalleryWidth)
      : capacity_(capacity > 0 ? capacity : 0),
        max_width_(max_width),
        bar_(capacity > 0 ? INFINITY : -INFINITY) {}
  // Whether a pair of this value would enter the list (so the caller can skip building pictures).
  [[nodiscard]] bool wants(double value) const { return value <= bar_; }
  // Offers a compared pair. 1 when kept, 0 when it does not enter, -1 when memory runs out (the
  // list then holds the pairs it held, less the one being replaced).
  [[nodiscard]] int offer(int32_t pair, double value, const Picture& a, const Picture& b);
  // The same for a pair kept by its number and value alone, without pictures.
  [[nodiscard]] int offer(int32_t pair, double value);
  [[nodiscard]] const std::vector<WorstPair>& pairs() const { return pairs_; }
  [[nodiscard]] int capacity() const { return capacity_; }

 private:
  void update_bar();
  int keep(int32_t pair, double value, const Picture* a, const Picture* b);
  int capacity_;
  int32_t max_width_;
  // The highest value that enters: any value while there is room, just below the best kept
  // pair's once full (so that a tie stays out), none without room at all.
  double bar_;
  std::vector<WorstPair> pairs_;  // sorted worst first
};

// ---- The page ---------------------------------------------------------------------------------

// One input as the page describes it.
struct HtmlInput {
  std::string path;
  SourceInfo info;
  // The size its pictures were scaled to before they were scored, and the filter; 0 x 0 when
  // they were scored as they are.
  int32_t scaled_width = 0;
  int32_t scaled_height = 0;
  ScaleFilter scale = ScaleFilter::kNone;
};

// Everything the page shows.
struct HtmlReport {
  std::string title = "Video comparison";
  std::string generator;  // e.g. "vidqual 1.3.1.4", shown at the foot of the page
  HtmlInput input[2];
  std::string compared;  // what was compared, in words (frames, planes, metrics)
  int32_t pairs_asked = 0;
  int32_t pairs_compared = 0;
  const ScoreTable* table = nullptr;  // required: every pair's values
  // The columns shown: one chart per family (the name without its plane, "psnr" for y_psnr and
  // psnr_y), one summary row each. Columns the table does not have are left out.
  std::vector<std::string> columns;
  std::string ranked;                 // what the worst pairs are ranked by
  const WorstPairs* worst = nullptr;  // optional: no gallery without it
};

// Writes the page into `out`. 1 on success; 0, `out` untouched, without libpng, without a
// table, or when memory runs out.
[[nodiscard]] int write_html_report(const HtmlReport& report, std::string* out);

// The HTML report as an output of the run, with a gallery of the run.html_worst pairs lowest in
// run.ranked (none for 0). Needs png_available().
[[nodiscard]] std::unique_ptr<Report> make_html_report(const RunDescription& run);

// Width in pixels of a chart's plotting area: a run with more pairs than this is drawn as the
// minimum and maximum of each pixel column.
inline constexpr int kChartColumns = 900;

}  // namespace vq
