// BD-rate: how many percent of bitrate a test encoder saves against an anchor at equal quality,
// by the methods codec tests use, from RD tables in the layout of AOM's published results.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vq {

// How a BD-rate is computed.
//   kAom:   AOM's CTC framework: PCHIP of ln(rate) against quality, a 100-sample trapezoid over
//           the overlap, equal qualities reduced to the lowest rate, curves whose rate falls as
//           quality rises refused, and for VMAF the points past 99.5 where the curve turns down
//           dropped.
//   kPchip, kAkima, kCubic: the exact integral of log10(rate) against quality over the overlap,
//           through PCHIP, Akima's spline or the least-squares cubic (the `bjontegaard` Python
//           package's methods).
//   kAwcy:  AWCY's report: PCHIP of ln(rate) against quality, points in the order of rate, the
//           mean of 5000 samples from the larger of the lowest qualities.
enum class BdMethod { kAom, kPchip, kAkima, kCubic, kAwcy };

// "aom", "pchip", "akima", "cubic", "awcy".
[[nodiscard]] bool parse_bd_method(std::string_view name, BdMethod* out);
[[nodiscard]] const char* bd_method_name(BdMethod method);

// One encode of a sequence: its rate (any unit, the same for anchor and test) and its quality.
struct RdPoint {
  double rate = 0;
  double quality = 0;
};

// A BD-rate in percent (negative: the test needs less rate), or none and why not.
struct BdValue {
  std::optional<double> percent;
  std::string why;
};

// The BD-rate of `test` against `anchor`. `saturates` marks a metric with a ceiling (VMAF), for
// AOM's rule on points past 99.5.
[[nodiscard]] BdValue bd_rate(BdMethod method, std::vector<RdPoint> anchor,
                              std::vector<RdPoint> test, bool saturates);

// A ladder's curve: the encodes of one sequence at several coded resolutions (each with its
// size's name), each size's points joined by eight pieces evenly spaced in log10(rate) and in
// quality, rounded to six decimals, then the upper convex hull of them all, from the highest rate
// down (AOM's adaptive-streaming comparison).
[[nodiscard]] std::vector<RdPoint> ladder_hull(
    const std::vector<std::pair<std::string, RdPoint>>& encodes);

// ---- RD tables ----------------------------------------------------------------------------------

// The metrics of a BD-rate table by AOM's summary names, in its column order; overall_psnr weighs
// the dB values of Y, U and V and overall_apsnr weighs them in the MSE domain (BdChroma).
inline constexpr int kBdMetrics = 14;
extern const char* const kBdMetricNames[kBdMetrics];

// One line of an RD table: one encode.
struct RdRow {
  int line = 0;      // in the file, from 1; 0 for a --json document
  std::string file;  // the --json document it was read from; empty for a CSV row
  std::string cfg, cls, video, coded_res, qp;
  double rate = 0;                                 // kbps
  std::optional<double> quality[kBdMetrics] = {};  // none where the table has no value
};

// The chroma of a sequence, which weighs Y, U and V in the overall metrics as AOM's configuration
// gives them: 4:2:0 (overall_psnr 14:1:1 in dB, overall_apsnr 4:1:1 in the MSE domain), 4:2:2
// (8:1:1 for both), 4:4:4 and the RGB and YCgCo sequences coded as such (4:1:1 for both).
enum class BdChroma { k420, k422, k444 };

// A sequence's chroma from its name as AOM's extended-chroma sets name them: "422" in it, 4:2:2;
// "444", "gbr" or "ycgco", 4:4:4; else 4:2:0.
[[nodiscard]] BdChroma chroma_of_name(std::string_view name);
// Sets the row's overall_psnr and overall_apsnr from its Y, U and V values, weighed for `chroma`.
void set_overall(RdRow* row, BdChroma chroma);

// An RD table: a CSV in the layout of AOM's RDResults files (one configuration, one row per
// encode), or our own campaign's --json documents, one encode each.
struct RdTable {
  std::string path;
  std::vector<RdRow> rows;
  bool has[kBdMetrics] = {};  // which metrics its columns give
  bool classed = true;        // its rows name classes (our documents have none: cfg and class "-")
};

// Parses `text` read from `path`: 1, or 0 with `why` naming the file and line (a required column
// missing, a cell not a number, two rows of one encode, two configurations).
[[nodiscard]] int parse_rd_table(std::string_view text, const std::string& path, RdTable* out,
                                 std::string* why);
// The RD table `path` names: a folder of --json documents (every *.json file directly in it, in
// the order of their names), a list of them (a file whose first line that is neither blank nor a
// '#' comment names a .json file: one document a line, relative to the list's folder), or else a
// CSV. 1, or 0 with `why`.
[[nodiscard]] int read_rd_table(const std::string& path, RdTable* out, std::string* why);
// The whole file `path`, refused above 256 MiB: 1, or 0 with `why`.
[[nodiscard]] int read_table_text(const std::string& path, std::string* text, std::string* why);

// One --json document of ours as an RD point: the sequence is its reference's file name without
// its folder and extension (the source the documents are grouped and matched by, whose full path
// is set in *source), the encode's size its coded resolution, inputs[1].bitrate_kbps its rate,
// and its pooled means and aggregates by AOM's names (psnr_y, psnr_cb, psnr_cr; float_ssim,
// float_ms_ssim; vmaf, vmaf_neg; psnr_hvs; ciede2000; the aggregates apsnr_y, apsnr_cb, apsnr_cr).
// 1, or 0 with `why` naming `path`: not a document of ours, a run that failed, no rate.
[[nodiscard]] int parse_rd_document(std::string_view text, const std::string& path, RdRow* out,
                                    std::string* source, std::string* why);
// The documents named: each parsed, grouped by source; two documents of one encode, or two
// sources of one name, are refused. 1, or 0 with `why`.
[[nodiscard]] int read_rd_documents(const std::string& table, const std::vector<std::string>& files,
                                    RdTable* out, std::string* why);

// ---- The summary --------------------------------------------------------------------------------

// One row of the summary: a sequence, or an average over a class or over all (video empty).
struct BdRow {
  std::string cfg, cls, video;
  int sequences = 0;  // for an average: how many sequences it spans
  BdValue value[kBdMetrics];
  // A sequence's curves, the anchor's [0] and the test's [1], per metric: its encodes in order of
  // rate, and for a ladder (encodes at several coded resolutions) the hull the method was given.
  bool ladder = false;
  std::vector<RdPoint> points[2][kBdMetrics], hull[2][kBdMetrics];
};

struct BdSummary {
  BdMethod method = BdMethod::kAom;
  bool shared[kBdMetrics] = {};  // the metrics both tables give
  std::vector<BdRow> sequences;  // in the anchor's order
  std::vector<BdRow> averages;   // each class in order of appearance (when classed), then all
};

// The BD-rate of every sequence and shared metric, and the averages: 1, or 0 with `why` when the
// tables do not match (a sequence in one table only, two configurations).
[[nodiscard]] int bd_summary(const RdTable& anchor, const RdTable& test, BdMethod method,
                             BdSummary* out, std::string* why);

// The table for people: a fixed-width column per shared metric, four decimals, "-" for none.
void write_bd_text(std::FILE* out, const BdSummary& summary);
// Every value that could not be computed, one line each: "CFG VIDEO METRIC: why".
[[nodiscard]] std::vector<std::string> bd_reasons(const BdSummary& summary);
// The per-sequence rows in the layout of AOM's Bdrate-Summary: cfg, class, video, then every
// metric in percent at full precision, empty where there is no value.
[[nodiscard]] std::string bd_csv(const BdSummary& summary);
// The summary as a JSON document: the two tables, the method, the metrics both give, each
// sequence's values (null with the reason where there is none) and curves, and the averages.
// 1, or 0 when this build has no JSON writer (nlohmann-json) or memory runs out.
[[nodiscard]] int bd_json(const BdSummary& summary, const std::string& anchor,
                          const std::string& test, std::string* out);

}  // namespace vq
