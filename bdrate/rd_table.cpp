// The RD table reader: a CSV in the layout of AOM's RDResults files, checked cell by cell, with
// the derived metrics (overall PSNR and overall APSNR) computed per row.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "bdrate/bdrate.h"

namespace vq {

const char* const kBdMetricNames[kBdMetrics] = {
    "psnr_y",   "psnr_u",   "psnr_v",  "overall_psnr", "ssim_y",  "ms_ssim_y", "vmaf",
    "vmaf_neg", "psnr_hvs", "ciede2k", "apsnr_y",      "apsnr_u", "apsnr_v",   "overall_apsnr",
};

namespace {

// The column each metric is read from; the two overall ones are derived.
const char* const kColumns[kBdMetrics] = {
    "PSNR_Y",     "PSNR_U",   "PSNR_V",    nullptr,   "SSIM_Y(dB)", "MS-SSIM_Y(dB)", "VMAF_Y",
    "VMAF_Y-NEG", "PSNR-HVS", "CIEDE2000", "APSNR_Y", "APSNR_U",    "APSNR_V",       nullptr,
};
constexpr int kOverallPsnr = 3, kOverallApsnr = 13, kApsnrY = 10;

// The weights of Y, U and V in the overall values, as AOM's CTC configuration gives them: its
// regular 4:2:0 conditions, and its extended-chroma conditions, which weigh PSNR and APSNR alike.
struct Weights {
  double psnr[3], apsnr[3];
};
constexpr Weights kWeights420 = {{14, 1, 1}, {4, 1, 1}};
constexpr Weights kWeights422 = {{8, 1, 1}, {8, 1, 1}};
constexpr Weights kWeights444 = {{4, 1, 1}, {4, 1, 1}};

// The largest table read: AOM's whole published set is a few megabytes.
constexpr std::streamoff kMaxBytes = 256 << 20;

// One line's cells: commas separate them, a double-quoted cell keeps its commas and "" stands
// for a quote inside it.
std::vector<std::string> split_cells(std::string_view line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char ch = line[i];
    if (quoted) {
      if (ch != '"') {
        cells.back() += ch;
      } else if (i + 1 < line.size() && line[i + 1] == '"') {
        cells.back() += '"';
        ++i;
      } else {
        quoted = false;
      }
    } else if (ch == '"') {
      quoted = true;
    } else if (ch == ',') {
      cells.emplace_back();
    } else {
      cells.back() += ch;
    }
  }
  return cells;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// A whole cell as a number (decimal, exponent, inf, nan; one leading + allowed).
bool parse_number(std::string_view text, double* out) {
  text = trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size();
}

// Y, U, V values weighed in dB (PSNR) or in the MSE domain (APSNR).
std::optional<double> overall(const std::optional<double> v[3], const double w[3], bool mse) {
  if (!v[0] || !v[1] || !v[2]) return std::nullopt;
  const double total = w[0] + w[1] + w[2];
  if (!mse) return (w[0] * *v[0] + w[1] * *v[1] + w[2] * *v[2]) / total;
  double sum = 0;
  for (int p = 0; p < 3; ++p)
    sum += w[p] / std::pow(10, *v[p] / 10);
  return 10 * std::log10(1 / (sum / total));
}

std::string lowered(std::string_view s) {
  std::string low(s);
  for (char& c : low)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return low;
}

// The lines of a list that are neither blank nor '#' comments, trimmed.
std::vector<std::string_view> entries(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = trimmed(text.substr(pos, eol - pos));
    pos = eol + 1;
    if (!line.empty() && line.front() != '#') lines.push_back(line);
  }
  return lines;
}

// The documents a list names, relative to its folder.
std::vector<std::string> listed_files(std::string_view text, const std::string& list) {
  const std::filesystem::path folder = std::filesystem::path(list).parent_path();
  std::vector<std::string> files;
  for (const std::string_view line : entries(text)) {
    const std::filesystem::path p(line);
    files.push_back(p.is_absolute() ? p.string() : (folder / p).string());
  }
  return files;
}

// Whether the first line that is neither blank nor a comment names a .json file.
bool is_list(std::string_view text) {
  const std::vector<std::string_view> lines = entries(text);
  return !lines.empty() && lowered(lines.front()).ends_with(".json");
}

}  // namespace

BdChroma chroma_of_name(std::string_view name) {
  const std::string low = lowered(name);
  if (low.find("422") != std::string::npos) return BdChroma::k422;
  for (const char* full : {"444", "gbr", "ycgco"})
    if (low.find(full) != std::string::npos) return BdChroma::k444;
  return BdChroma::k420;
}

void set_overall(RdRow* row, BdChroma chroma) {
  const Weights& w = chroma == BdChroma::k422   ? kWeights422
                     : chroma == BdChroma::k444 ? kWeights444
                                                : kWeights420;
  row->quality[kOverallPsnr] = overall(&row->quality[0], w.psnr, false);
  row->quality[kOverallApsnr] = overall(&row->quality[kApsnrY], w.apsnr, true);
}

int parse_rd_table(std::string_view text, const std::string& path, RdTable* out, std::string* why) {
  RdTable t;
  t.path = path;
  const auto fail = [&](int line, const std::string& what) {
    *why = "[" + path + "] line " + std::to_string(line) + ": " + what;
    return 0;
  };
  std::map<std::string, size_t> header;
  size_t columns = 0;
  enum { kCfg, kClass, kName, kRes, kQp, kRate, kRequired };
  const char* const required[kRequired] = {"TestCfg",  "Class", "Name",
                                           "CodedRes", "QP",    "Bitrate(kbps)"};
  size_t at[kRequired] = {};
  std::optional<size_t> metric_at[kBdMetrics];
  std::map<std::tuple<std::string, std::string, std::string>, int> seen;
  int number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    ++number;
    if (trimmed(line).empty()) continue;
    std::vector<std::string> cells = split_cells(line);
    if (header.empty()) {
      if (number == 1 && line.starts_with("\xEF\xBB\xBF")) cells[0].erase(0, 3);
      for (size_t i = 0; i < cells.size(); ++i)
        header.emplace(std::string(trimmed(cells[i])), i);
      columns = cells.size();
      for (int r = 0; r < kRequired; ++r) {
        const auto c = header.find(required[r]);
        if (c == header.end())
          return fail(number, std::string("no column ") + required[r] + " in the header");
        at[r] = c->second;
      }
      for (int m = 0; m < kBdMetrics; ++m) {
        if (!kColumns[m]) continue;
        if (const auto c = header.find(kColumns[m]); c != header.end()) metric_at[m] = c->second;
      }
      for (int m = 0; m < kBdMetrics; ++m)
        t.has[m] = metric_at[m].has_value();
      t.has[kOverallPsnr] = t.has[0] && t.has[1] && t.has[2];
      t.has[kOverallApsnr] = t.has[kApsnrY] && t.has[kApsnrY + 1] && t.has[kApsnrY + 2];
      continue;
    }
    if (cells.size() != columns) {
      return fail(number, std::to_string(cells.size()) + " cells where the header has " +
                              std::to_string(columns));
    }
    RdRow row;
    row.line = number;
    row.cfg = trimmed(cells[at[kCfg]]);
    row.cls = trimmed(cells[at[kClass]]);
    row.video = trimmed(cells[at[kName]]);
    row.coded_res = trimmed(cells[at[kRes]]);
    row.qp = trimmed(cells[at[kQp]]);
    if (row.video.empty()) return fail(number, "no sequence name (Name is empty)");
    if (!parse_number(cells[at[kRate]], &row.rate))
      return fail(number, "Bitrate(kbps) [" + cells[at[kRate]] + "] is not a number");
    for (int m = 0; m < kBdMetrics; ++m) {
      if (!metric_at[m]) continue;
      const std::string& cell = cells[*metric_at[m]];
      if (trimmed(cell).empty()) continue;
      double v;
      if (!parse_number(cell, &v))
        return fail(number, std::string(kColumns[m]) + " [" + cell + "] is not a number");
      row.quality[m] = v;
    }
    set_overall(&row, chroma_of_name(row.video));
    if (!t.rows.empty() && row.cfg != t.rows.front().cfg) {
      return fail(number, "configuration " + row.cfg + " where line " +
                              std::to_string(t.rows.front().line) + " has " + t.rows.front().cfg +
                              ": one configuration per table");
    }
    const auto [first, fresh] = seen.emplace(std::tuple(row.video, row.coded_res, row.qp), number);
    if (!fresh) {
      return fail(number, "a second row of " + row.video + " at " + row.coded_res + " QP " +
                              row.qp + " (the first is on line " + std::to_string(first->second) +
                              ")");
    }
    t.rows.push_back(std::move(row));
  }
  if (header.empty()) return fail(1, "no header (an RD table begins with TestCfg,...)");
  *out = std::move(t);
  return 1;
}

int read_table_text(const std::string& path, std::string* text, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "can't read [" + path + "]: " + std::strerror(errno);
    return 0;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0);
  if (size > kMaxBytes) {
    *why = "[" + path + "] is larger than an RD table can be (" + std::to_string(kMaxBytes) +
           " bytes)";
    return 0;
  }
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) {
    *why = "can't read [" + path + "]";
    return 0;
  }
  *text = std::move(all).str();
  return 1;
}

int read_rd_table(const std::string& path, RdTable* out, std::string* why) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<std::string> files;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
      if (lowered(it->path().extension().string()) == ".json" && it->is_regular_file(ec))
        files.push_back(it->path().string());
    }
    if (ec) {
      *why = "can't read the folder [" + path + "]: " + ec.message();
      return 0;
    }
    if (files.empty()) {
      *why = "[" + path + "] is a folder without --json documents (*.json), not an RD table";
      return 0;
    }
    std::sort(files.begin(), files.end());
    return read_rd_documents(path, files, out, why);
  }
  std::string text;
  if (!read_table_text(path, &text, why)) return 0;
  if (is_list(text)) return read_rd_documents(path, listed_files(text, path), out, why);
  return parse_rd_table(text, path, out, why);
}

}  // namespace vq
