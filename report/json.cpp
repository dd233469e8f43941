#include <cerrno>
#include <new>
#include <nlohmann/json.hpp>
#include <utility>

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

// One input as the run opened it; what its source did not tell is null.
Json input_json(const std::string& path, const SourceInfo& info) {
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

// Both averages, the extremes and the worst pair of plane `p`; null when no pair was compared.
Json plane_json(const RunResult& r, int p) {
  Json j;
  const PlaneSummary s = summarize_plane(r.totals, r.stats, p);
  const bool any = r.totals.frames > 0;
  j["mean_psnr"] = any ? Json(s.mean_psnr) : Json(nullptr);
  j["psnr_of_mean_mse"] = any ? Json(s.psnr_of_mean_mse) : Json(nullptr);
  j["mean_mse"] = any ? Json(s.mean_mse) : Json(nullptr);
  j["min_psnr"] = any ? Json(s.min) : Json(nullptr);
  j["max_psnr"] = any ? Json(s.max) : Json(nullptr);
  j["worst_pair"] = any ? Json(s.worst_pair) : Json(nullptr);
  return j;
}

// The document: what the run was and found, then every pair. The pairs are kept in a spool file
// while the run goes, not in memory, and copied in last, so that memory stays flat however long
// the streams are.
class JsonReport final : public Report {
 public:
  explicit JsonReport(RunDescription run) : run_(std::move(run)) {}
  ~JsonReport() override {
    if (spool_) std::fclose(spool_);
  }

  void on_pair(int32_t pair, const FrameScore& s) override {
    if (!stream() || !spool_) return;
    try {
      Json j;
      j["pair"] = pair;
      const char* plane[3] = {"y", "u", "v"};
      for (int p = 0; p < 3; ++p)
        j[std::string(plane[p]) + "_psnr"] = s.psnr[p];
      for (int p = 0; p < 3; ++p)
        j[std::string(plane[p]) + "_mse"] = s.mse[p];
      j["depth"] = s.depth;
      j["chroma"] = chroma_layout_name(s.layout);
      if (s.has_ssim) {
        const char* part[4] = {"y", "u", "v", "all"};
        for (int p = 0; p < 4; ++p) {
          j[std::string(part[p]) + "_ssim"] = s.ssim[p];
          ssim_sum_[p] += s.ssim[p];
        }
        ++ssim_pairs_;
      }
      std::fputs(pairs_ ? ",\n    " : "\n    ", spool_);
      std::fputs(dump(j, -1).c_str(), spool_);
      ++pairs_;
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
    }
  }

 private:
  int begin(std::FILE*) override {
    spool_ = std::tmpfile();
    return spool_ != nullptr;
  }

  int finish(std::FILE* f) override {
    if (!f || !spool_) return 0;
    try {
      std::string head = dump(document(), 2);
      head.erase(head.size() - 2);  // the closing "\n}": the pairs go before it
      std::fputs(head.c_str(), f);
      std::fputs(",\n  \"pairs\": [", f);
      if (std::fflush(spool_) != 0 || std::fseek(spool_, 0, SEEK_SET) != 0) return 0;
      char buffer[1 << 14];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, spool_)) > 0)
        std::fwrite(buffer, 1, n, f);
      if (std::ferror(spool_)) return 0;
      std::fputs(pairs_ ? "\n  ]\n}\n" : "]\n}\n", f);
      return 1;
    } catch (const std::bad_alloc&) {
      fail(ENOMEM);
    } catch (const nlohmann::json::exception&) {
      fail(EINVAL);
    }
    return 0;
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
    d["inputs"] =
        Json::array({input_json(run_.path[0], info[0]), input_json(run_.path[1], info[1])});
    d["max_frames"] = run_.maxframes > 0 ? Json(run_.maxframes) : Json(nullptr);
    d["pairs_asked"] = r.pair_count;
    d["pairs_compared"] = r.compared;
    d["outcome"] = outcome_name(r);
    if (r.outcome != RunOutcome::kOk) {
      d["failure"] = Json{{"input", r.failed_input ? Json(r.failed_input) : Json(nullptr)},
                          {"pair", r.failed_frame ? Json(r.failed_frame) : Json(nullptr)},
                          {"reason", text_or_null(r.reason)}};
    }
    if (!r.conversion.empty()) d["conversion"] = r.conversion;
    d["planes"] = Json{{"y", plane_json(r, 0)}, {"u", plane_json(r, 1)}, {"v", plane_json(r, 2)}};
    if (run_.ssim) {
      Json ssim;
      const char* part[4] = {"y", "u", "v", "all"};
      for (int p = 0; p < 4; ++p)
        ssim[part[p]] = ssim_pairs_ ? Json(ssim_sum_[p] / ssim_pairs_) : Json(nullptr);
      d["mean_ssim"] = ssim;
    }
    return d;
  }

  RunDescription run_;
  std::FILE* spool_ = nullptr;
  int32_t pairs_ = 0;
  int32_t ssim_pairs_ = 0;
  double ssim_sum_[4] = {0, 0, 0, 0};
};

}  // namespace

bool json_available() {
  return true;
}

std::unique_ptr<Report> make_json_report(const RunDescription& run) {
  try {
    return std::make_unique<JsonReport>(run);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace vq
