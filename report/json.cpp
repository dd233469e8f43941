// The JSON document: what the run was and found, every score pooled, then every pair, written
// from the finished score table.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>
#include <nlohmann/json.hpp>
#include <utility>

#include "page/page.h"
#include "report/report.h"
#include "video/video.h"

namespace vq {
namespace {

// Keys in the order they are set, so that the document reads top-down as the README shows it.
using Json = nlohmann::ordered_json;

std::string dump(const Json& j, int indent) {
  // File names are bytes; ones that are not UTF-8 are written with U+FFFD in their place.
  return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

Json text_or_null(const std::string& s) {
  return s.empty() ? Json(nullptr) : Json(s);
}

Json size_or_null(int32_t n) {
  return n > 0 ? Json(n) : Json(nullptr);
}

// One input as the run opened it; what its source did not tell is null. `rate_kbps`, when
// positive, is the input's rate as the command line gives it.
Json input_json(const std::string& path, const SourceInfo& info, double rate_kbps = 0) {
  Json j;
  j["path"] = path;
  j["container"] = text_or_null(info.container);
  j["codec"] = text_or_null(info.codec);
  j["pixel_format"] = text_or_null(info.pixel_format);
  j["width"] = size_or_null(info.width);
  j["height"] = size_or_null(info.height);
  j["frame_rate"] = info.rate_num > 0 && info.rate_den > 0
                        ? Json{{"num", info.rate_num}, {"den", info.rate_den}}
                        : Json(nullptr);
  j["length"] = info.length;
  j["length_known"] = info.length_known;
  j["rotation"] = info.rotation;
  j["color_primaries"] = text_or_null(info.color_primaries);
  j["color_transfer"] = text_or_null(info.color_transfer);
  j["color_range"] = text_or_null(info.color_range);
  const double rate = rate_kbps > 0 ? rate_kbps : info.bitrate_kbps;
  j["bitrate_kbps"] = rate > 0 ? Json(rate) : Json(nullptr);
  return j;
}

// How the run ended, as the document names it.
const char* outcome_name(const RunResult& r) {
  switch (r.outcome) {
    case RunOutcome::kOk:
      break;
    case RunOutcome::kOpenFailed:
      return "open_failed";
    case RunOutcome::kReadFailed:
      return "read_failed";
    case RunOutcome::kSizeMismatch:
      return "size_mismatch";
    case RunOutcome::kUnsupported:
      return "unsupported_format";
    case RunOutcome::kOutOfMemory:
      return "out_of_memory";
  }
  return "ok";
}

// A number as libvmaf writes one: NaN and infinities are null.
Json number(double v) {
  return std::isfinite(v) ? Json(v) : Json(nullptr);
}

// Both averages, the extremes and the worst pair of plane `p`, from the report's columns; null
// when no pair was compared.
Json plane_json(const RunResult& r, int p) {
  const ScoreTable& t = *r.table;
  const Pooled psnr = t.pool(t.find(kReportPsnr[p]));
  const Pooled mse = t.pool(t.find(kReportMse[p]));
  const bool any = r.compared > 0 && psnr.count > 0;
  Json of_mean = nullptr;
  for (const auto& [name, value] : t.aggregates())
    if (name == kReportPsnrOfMeanMse[p]) of_mean = value;
  Json j;
  j["mean_psnr"] = any ? Json(psnr.mean) : Json(nullptr);
  j["psnr_of_mean_mse"] = any ? of_mean : Json(nullptr);
  j["mean_mse"] = any ? Json(mse.mean) : Json(nullptr);
  j["min_psnr"] = any ? Json(psnr.min) : Json(nullptr);
  j["max_psnr"] = any ? Json(psnr.max) : Json(nullptr);
  j["worst_pair"] = any ? Json(psnr.worst_pair + 1) : Json(nullptr);
  return j;
}

// What the offset search found: the offset used, whether one stood out, every shift tried.
Json align_json(const OffsetSearch& a) {
  Json shifts = Json::array();
  for (const ShiftScore& s : a.shifts)
    shifts.push_back(
        Json{{"offset", s.shift}, {"pairs", s.pairs}, {"mean_psnr_y", number(s.mean_psnr)}});
  return Json{{"offset", a.offset},
              {"clear", a.clear},
              {"best", a.best},
              {"runner_up", a.runner_up},
              {"shifts", std::move(shifts)}};
}

// The document: what the run was and found, then every pair. Each pair is dumped on its own and
// written as it is made, so that the whole document is never held in memory at once.
class JsonReport final : public Report {
 public:
  explicit JsonReport(RunDescription run) : run_(std::move(run)) {}

 private:
  int finish(std::FILE* f) override {
    if (!f) return 0;
    try {
      std::string head = dump(document(), 2);
      head.erase(head.size() - 2);  // the closing "\n}": the pairs go before it
      std::fputs(head.c_str(), f);
      std::fputs(",\n  \"pairs\": [", f);
      const RunResult& r = result();
      const ScoreTable& t = *r.table;
      int legacy[6];
      for (int p = 0; p < 3; ++p) {
        legacy[p] = t.find(kReportPsnr[p]);
        legacy[3 + p] = t.find(kReportMse[p]);
      }
      int ssim[4];
      for (int p = 0; p < 4; ++p)
        ssim[p] = t.find(kReportSsim[p]);
      for (int32_t row = 0; row < r.compared; ++row) {
        std::fputs(row ? ",\n    " : "\n    ", f);
        std::fputs(dump(pair_json(t, row, legacy, ssim), -1).c_str(), f);
      }
      std::fputs(r.compared ? "\n  ]\n}\n" : "]\n}\n", f);
      return !std::ferror(f);
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
    } catch (const nlohmann::json::exception&) {
      fail(EINVAL);
    }
    return 0;
  }

  // One pair: the fields the document has always had, then every score by its name.
  Json pair_json(const ScoreTable& t, int32_t row, const int (&legacy)[6],
                 const int (&ssim_column)[4]) const {
    Json j;
    j["pair"] = row + 1;
    for (const int c : legacy) {
      double value = 0;
      if (c >= 0 && t.get(c, row, &value)) j[t.name(c)] = value;
    }
    const PairForm form = pair_form(row);
    j["depth"] = form.depth;
    j["chroma"] = chroma_layout_name(form.layout);
    double ssim[4];
    bool has_ssim = ssim_column[0] >= 0;
    for (int p = 0; p < 4 && has_ssim; ++p)
      has_ssim = t.get(ssim_column[p], row, &ssim[p]);
    for (int p = 0; p < 4 && has_ssim; ++p)
      j[kReportSsim[p]] = ssim[p];
    Json metrics = Json::object();
    for (int c = 0; c < int(t.columns()); ++c) {
      double value;
      if (!t.hidden(c) && t.get(c, row, &value)) metrics[t.name(c)] = number(value);
    }
    j["metrics"] = std::move(metrics);
    return j;
  }

  Json document() const {
    const RunResult& r = result();
    // The lengths as the run knows them at its end: a stream that ended is known to its last
    // frame.
    SourceInfo info[2] = {r.info[0], r.info[1]};
    info[0].length = r.length1;
    info[1].length = r.length2;
    for (int i = 0; i < 2; ++i) {
      if (r.ended == i + 1) info[i].length_known = true;
    }
    Json d;
    d["tool"] = "vidqual";
    d["version"] = run_.version;
    if (run_.manifest_index >= 0) d["manifest_index"] = run_.manifest_index;
    d["inputs"] = Json::array(
        {input_json(run_.path[0], info[0]), input_json(run_.path[1], info[1], run_.rate_kbps)});
    // The size the pairs were scored at: the first's, the second's pictures scaled to it when
    // asked.
    d["scored"] =
        Json{{"width", size_or_null(r.compared > 0 ? r.width : info[0].width)},
             {"height", size_or_null(r.compared > 0 ? r.height : info[0].height)},
             {"scale", run_.scale == ScaleFilter::kNone ? Json(nullptr)
                                                        : Json(scale_filter_name(run_.scale))}};
    d["max_frames"] = run_.maxframes > 0 ? Json(run_.maxframes) : Json(nullptr);
    d["skip"] = Json::array({r.skip[0], r.skip[1]});
    if (r.align.searched) d["align"] = align_json(r.align);
    d["pairs_asked"] = r.pair_count;
    d["pairs_compared"] = r.compared;
    d["outcome"] = outcome_name(r);
    if (r.outcome != RunOutcome::kOk) {
      d["failure"] =
          Json{{"input", r.failed_input ? Json(r.failed_input) : Json(nullptr)},
               {"pair", r.failed_frame ? Json(r.failed_frame) : Json(nullptr)},
               {"frame", r.failed_input_frame ? Json(r.failed_input_frame) : Json(nullptr)},
               {"reason", text_or_null(r.reason)}};
    }
    if (r.conversion.any) d["conversion"] = conversion_text(run_, r);
    d["planes"] = Json{{"y", plane_json(r, 0)}, {"u", plane_json(r, 1)}, {"v", plane_json(r, 2)}};
    const ScoreTable& t = *r.table;
    if (t.find(kReportSsim[0]) >= 0) {
      Json ssim;
      const char* part[4] = {"y", "u", "v", "all"};
      for (int p = 0; p < 4; ++p) {
        const Pooled pooled = t.pool(t.find(kReportSsim[p]));
        ssim[part[p]] = pooled.count ? Json(pooled.mean) : Json(nullptr);
      }
      d["mean_ssim"] = ssim;
    }
    // As libvmaf's document has them: each score pooled over the pairs, and the scores of the
    // whole run.
    Json pooled = Json::object();
    for (int c = 0; c < int(t.columns()); ++c) {
      if (t.hidden(c)) continue;
      const Pooled p = t.pool(c);
      if (p.count == 0) continue;
      pooled[t.name(c)] = Json{{"min", number(p.min)},
                               {"max", number(p.max)},
                               {"mean", number(p.mean)},
                               {"harmonic_mean", number(p.harmonic_mean)},
                               {"p1", number(t.percentile(c, 1))},
                               {"p5", number(t.percentile(c, 5))},
                               {"p50", number(t.percentile(c, 50))}};
    }
    d["pooled_metrics"] = std::move(pooled);
    // Beside the pooled scores: the options metrics took from the encode's own size and depth.
    if (!r.form_options.empty()) {
      Json taken = Json::object();
      for (const MetricFormOptions& m : r.form_options) {
        Json values = Json::object();
        for (const FormOption& o : m.options)
          values[o.name] = o.value;
        taken[m.score] = std::move(values);
      }
      d["options_from_encode"] = std::move(taken);
    }
    if (run_.worst_pairs > 0) d["worst_pairs"] = worst_json(t, r.compared);
    Json aggregate = Json::object();
    for (const auto& [name, value] : t.aggregates())
      aggregate[name] = number(value);
    d["aggregate_metrics"] = std::move(aggregate);
    return d;
  }

  // The lowest pairs of every score shown, lowest first (ties: the earlier pair first), by
  // their index in "pairs" from 0.
  Json worst_json(const ScoreTable& t, int32_t compared) const {
    Json worst = Json::object();
    const int capacity = int(std::min<int64_t>(run_.worst_pairs, compared));
    for (int c = 0; c < int(t.columns()); ++c) {
      if (t.hidden(c) || t.pool(c).count == 0) continue;
      WorstPairs lowest(capacity);
      for (int32_t row = 0; row < compared; ++row) {
        double value;
        if (t.get(c, row, &value) && lowest.offer(row, value) < 0) throw std::bad_alloc();
      }
      Json list = Json::array();
      for (const WorstPair& w : lowest.pairs())
        list.push_back(Json{{"frame", w.pair}, {"value", number(w.value)}});
      worst[t.name(c)] = std::move(list);
    }
    return worst;
  }

  RunDescription run_;
};

}  // namespace

bool json_available() {
  return true;
}

std::unique_ptr<Report> make_json_report(const RunDescription& run) {
  return std::make_unique<JsonReport>(run);
}

}  // namespace vq
