// Our own campaign's results as an RD table: each --json document one encode of its reference,
// its rate and pooled scores read by the names AOM's summary gives them.
#include <filesystem>
#include <map>

#include "bdrate/bdrate.h"

#if VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

namespace vq {

#if VQ_HAVE_JSON

namespace {

using Json = nlohmann::json;

// Where each of AOM's metrics is read from: a pooled mean, or an aggregate of the run. The two
// overall ones are derived.
struct Source {
  const char* name;
  bool aggregate;
};
const Source kSources[kBdMetrics] = {
    {"psnr_y", false},     {"psnr_cb", false},       {"psnr_cr", false}, {nullptr, false},
    {"float_ssim", false}, {"float_ms_ssim", false}, {"vmaf", false},    {"vmaf_neg", false},
    {"psnr_hvs", false},   {"ciede2000", false},     {"apsnr_y", true},  {"apsnr_cb", true},
    {"apsnr_cr", true},    {nullptr, false},
};

// j[key], or null when j is not an object or has no such key.
const Json* member(const Json* j, const char* key) {
  if (j == nullptr || !j->is_object()) return nullptr;
  const auto it = j->find(key);
  return it == j->end() ? nullptr : &*it;
}

std::optional<double> number_at(const Json* j) {
  if (j == nullptr || !j->is_number()) return std::nullopt;
  return j->get<double>();
}

std::string text_at(const Json* j) {
  return j != nullptr && j->is_string() ? j->get<std::string>() : std::string();
}

BdChroma chroma_of_pair(const Json& document) {
  const Json* pairs = member(&document, "pairs");
  const std::string chroma =
      pairs && pairs->is_array() && !pairs->empty() ? text_at(member(&(*pairs)[0], "chroma")) : "";
  if (chroma == "4:2:2") return BdChroma::k422;
  if (chroma == "4:4:4") return BdChroma::k444;
  return BdChroma::k420;
}

}  // namespace

int parse_rd_document(std::string_view text, const std::string& path, RdRow* out,
                      std::string* source, std::string* why) {
  const auto fail = [&](const std::string& what) {
    *why = "[" + path + "] " + what;
    return 0;
  };
  const Json d = Json::parse(text.begin(), text.end(), nullptr, false);
  if (d.is_discarded()) return fail("is not a JSON document");
  const Json* inputs = member(&d, "inputs");
  if (text_at(member(&d, "tool")) != "vidqual" || !inputs || !inputs->is_array() ||
      inputs->size() != 2)
    return fail("is not a --json document of vidqual (no tool and two inputs)");
  const std::string outcome = text_at(member(&d, "outcome"));
  if (outcome != "ok")
    return fail("is the document of a run that did not end well (" + outcome + ")");
  const Json& reference = (*inputs)[0];
  const Json& encode = (*inputs)[1];
  const std::string reference_path = text_at(member(&reference, "path"));
  if (reference_path.empty()) return fail("names no reference (inputs[0].path)");
  const std::optional<double> rate = number_at(member(&encode, "bitrate_kbps"));
  if (!rate) {
    return fail(
        "has no rate for its encode (inputs[1].bitrate_kbps is null: its file does not "
        "state one; give it with --rate-kbps=N when scoring)");
  }
  const std::optional<double> width = number_at(member(&encode, "width"));
  const std::optional<double> height = number_at(member(&encode, "height"));
  if (!width || !height) return fail("has no size for its encode (inputs[1].width, height)");
  RdRow row;
  row.file = path;
  row.cfg = "-";
  row.cls = "-";
  row.video = std::filesystem::path(reference_path).stem().string();
  row.coded_res = std::to_string(int64_t(*width)) + "x" + std::to_string(int64_t(*height));
  row.qp = text_at(member(&encode, "path"));
  row.rate = *rate;
  const Json* pooled = member(&d, "pooled_metrics");
  const Json* aggregate = member(&d, "aggregate_metrics");
  for (int m = 0; m < kBdMetrics; ++m) {
    const Source& s = kSources[m];
    if (s.name == nullptr) continue;
    row.quality[m] =
        number_at(s.aggregate ? member(aggregate, s.name) : member(member(pooled, s.name), "mean"));
  }
  set_overall(&row, chroma_of_pair(d));
  *source = reference_path;
  *out = std::move(row);
  return 1;
}

int read_rd_documents(const std::string& table, const std::vector<std::string>& files, RdTable* out,
                      std::string* why) {
  RdTable t;
  t.path = table;
  t.classed = false;
  std::map<std::string, std::pair<std::string, std::string>> sources;  // name: path, document
  std::map<std::string, std::string> encodes;                          // encode: document
  for (const std::string& file : files) {
    std::string text, source;
    RdRow row;
    if (!read_table_text(file, &text, why) || !parse_rd_document(text, file, &row, &source, why))
      return 0;
    const auto [named, fresh] = sources.emplace(row.video, std::pair(source, file));
    if (!fresh && named->second.first != source) {
      *why = "[" + file + "] scores [" + source + "] and [" + named->second.second + "] scores [" +
             named->second.first + "]: two sources named " + row.video +
             " in one table (documents are matched by their reference's name)";
      return 0;
    }
    const auto [seen, first] = encodes.emplace(row.video + "\n" + row.qp, file);
    if (!first) {
      *why = "[" + file + "] and [" + seen->second + "] both score the encode [" + row.qp + "]";
      return 0;
    }
    for (int m = 0; m < kBdMetrics; ++m)
      t.has[m] = t.has[m] || row.quality[m].has_value();
    t.rows.push_back(std::move(row));
  }
  *out = std::move(t);
  return 1;
}

#else

int parse_rd_document(std::string_view, const std::string& path, RdRow*, std::string*,
                      std::string* why) {
  *why = "can't read [" + path + "]: this build reads no JSON (it was built without nlohmann-json)";
  return 0;
}

int read_rd_documents(const std::string& table, const std::vector<std::string>&, RdTable*,
                      std::string* why) {
  *why = "can't read the documents of [" + table +
         "]: this build reads no JSON (it was built without nlohmann-json)";
  return 0;
}

#endif

}  // namespace vq
