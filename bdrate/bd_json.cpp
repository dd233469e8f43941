// The BD-rate summary as a JSON document: each sequence's values and curves, and the averages.
#include <cmath>
#include <new>

#include "bdrate/bdrate.h"

#if VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

namespace vq {

#if VQ_HAVE_JSON

namespace {

using Json = nlohmann::ordered_json;

Json number(double v) {
  return std::isfinite(v) ? Json(v) : Json(nullptr);
}

Json curve_json(const std::vector<RdPoint>& points) {
  Json list = Json::array();
  for (const RdPoint& p : points)
    list.push_back(Json::array({number(p.rate), number(p.quality)}));
  return list;
}

// A row's values by metric (null where none), and why each missing one is missing.
void add_values(Json* j, const BdRow& r, const BdSummary& s) {
  Json values = Json::object(), why = Json::object();
  for (int m = 0; m < kBdMetrics; ++m) {
    if (!s.shared[m]) continue;
    values[kBdMetricNames[m]] = r.value[m].percent ? number(*r.value[m].percent) : Json(nullptr);
    if (!r.value[m].percent) why[kBdMetricNames[m]] = r.value[m].why;
  }
  (*j)["bd_rate"] = std::move(values);
  if (!why.empty()) (*j)["why"] = std::move(why);
}

}  // namespace

int bd_json(const BdSummary& s, const std::string& anchor, const std::string& test,
            std::string* out) {
  try {
    Json d;
    d["tool"] = "vidqual";
    d["anchor"] = anchor;
    d["test"] = test;
    d["method"] = bd_method_name(s.method);
    Json metrics = Json::array();
    for (int m = 0; m < kBdMetrics; ++m)
      if (s.shared[m]) metrics.push_back(kBdMetricNames[m]);
    d["metrics"] = std::move(metrics);
    Json sequences = Json::array();
    for (const BdRow& r : s.sequences) {
      Json j = {{"cfg", r.cfg}, {"class", r.cls}, {"video", r.video}, {"ladder", r.ladder}};
      add_values(&j, r, s);
      Json curves = Json::object();
      for (int m = 0; m < kBdMetrics; ++m) {
        if (!s.shared[m]) continue;
        Json c = {{"anchor", curve_json(r.points[0][m])}, {"test", curve_json(r.points[1][m])}};
        if (r.ladder) {
          c["anchor_hull"] = curve_json(r.hull[0][m]);
          c["test_hull"] = curve_json(r.hull[1][m]);
        }
        curves[kBdMetricNames[m]] = std::move(c);
      }
      j["curves"] = std::move(curves);
      sequences.push_back(std::move(j));
    }
    d["sequences"] = std::move(sequences);
    Json averages = Json::array();
    for (const BdRow& r : s.averages) {
      Json j = {{"cfg", r.cfg}, {"class", r.cls}, {"sequences", r.sequences}};
      add_values(&j, r, s);
      averages.push_back(std::move(j));
    }
    d["averages"] = std::move(averages);
    *out = d.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

#else

int bd_json(const BdSummary&, const std::string&, const std::string&, std::string*) {
  return 0;
}

#endif

}  // namespace vq
