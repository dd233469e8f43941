// The BD-rate summary of two RD tables: each sequence's rows paired by name, every shared metric
// computed, the averages per class and over all, and the summary written as a table and as CSV.
#include <algorithm>
#include <map>
#include <set>

#include "bdrate/bdrate.h"

namespace vq {

namespace {

constexpr int kVmaf = 6;

// A table's rows grouped by sequence, in order of first appearance.
struct Sequences {
  std::vector<std::string> order;
  std::map<std::string, std::vector<const RdRow*>> rows;
};

Sequences group(const RdTable& t) {
  Sequences s;
  for (const RdRow& row : t.rows) {
    auto& rows = s.rows[row.video];
    if (rows.empty()) s.order.push_back(row.video);
    rows.push_back(&row);
  }
  return s;
}

// The first sequence of `a` that `b` lacks, told with its line.
std::string missing(const RdTable& a, const Sequences& sa, const RdTable& b, const Sequences& sb) {
  for (const std::string& video : sa.order) {
    if (sb.rows.count(video)) continue;
    const RdRow& first = *sa.rows.at(video).front();
    const std::string where = first.file.empty()
                                  ? "[" + a.path + "] line " + std::to_string(first.line)
                                  : "[" + first.file + "]";
    return where + ": sequence " + video + " is not in [" + b.path + "]";
  }
  return {};
}

bool ladder(const std::vector<const RdRow*>& rows) {
  std::set<std::string> sizes;
  for (const RdRow* r : rows)
    sizes.insert(r->coded_res);
  return sizes.size() > 1;
}

// The encodes that have a value of `metric`, in order of rate, and for a ladder their hull.
void curve_of(const std::vector<const RdRow*>& rows, int metric, bool ladder,
              std::vector<RdPoint>* points, std::vector<RdPoint>* hull) {
  std::vector<std::pair<std::string, RdPoint>> p;
  for (const RdRow* r : rows)
    if (r->quality[metric]) p.push_back({r->coded_res, {r->rate, *r->quality[metric]}});
  if (ladder) *hull = ladder_hull(p);
  for (const auto& [size, point] : p)
    points->push_back(point);
  std::stable_sort(points->begin(), points->end(),
                   [](const RdPoint& a, const RdPoint& b) { return a.rate < b.rate; });
}

BdRow average(const std::vector<const BdRow*>& rows, const std::string& cfg, const std::string& cls,
              const BdSummary& s) {
  BdRow a;
  a.cfg = cfg;
  a.cls = cls;
  a.sequences = int(rows.size());
  for (int m = 0; m < kBdMetrics; ++m) {
    if (!s.shared[m]) continue;
    double sum = 0;
    int n = 0;
    for (const BdRow* r : rows) {
      if (!r->value[m].percent) continue;
      sum += *r->value[m].percent;
      ++n;
    }
    if (n > 0) {
      a.value[m].percent = sum / n;
    } else {
      a.value[m].why = "no sequence has a value";
    }
  }
  return a;
}

std::string label(const BdRow& r) {
  return r.video.empty() ? "average of " + std::to_string(r.sequences) : r.video;
}

}  // namespace

int bd_summary(const RdTable& anchor, const RdTable& test, BdMethod method, BdSummary* out,
               std::string* why) {
  BdSummary s;
  s.method = method;
  if (!anchor.rows.empty() && !test.rows.empty() && anchor.rows[0].cfg != test.rows[0].cfg) {
    *why = "[" + anchor.path + "] is configuration " + anchor.rows[0].cfg + " and [" + test.path +
           "] " + test.rows[0].cfg + ": compare tables of one configuration";
    return 0;
  }
  const Sequences a = group(anchor), t = group(test);
  for (const std::string& gap : {missing(anchor, a, test, t), missing(test, t, anchor, a)}) {
    if (gap.empty()) continue;
    *why = gap;
    return 0;
  }
  for (int m = 0; m < kBdMetrics; ++m)
    s.shared[m] = anchor.has[m] && test.has[m];
  for (const std::string& video : a.order) {
    const std::vector<const RdRow*>& ra = a.rows.at(video);
    const std::vector<const RdRow*>& rt = t.rows.at(video);
    BdRow row;
    row.cfg = ra.front()->cfg;
    row.cls = ra.front()->cls;
    row.video = video;
    row.ladder = ladder(ra) || ladder(rt);
    for (int m = 0; m < kBdMetrics; ++m) {
      if (!s.shared[m]) {
        row.value[m].why = "not given by both tables";
        continue;
      }
      for (int t = 0; t < 2; ++t)
        curve_of(t ? rt : ra, m, row.ladder, &row.points[t][m], &row.hull[t][m]);
      // The method is given the encodes in table order (AOM's script reads them so) or the hulls.
      std::vector<RdPoint> given[2];
      for (int t = 0; t < 2; ++t) {
        if (row.ladder) {
          given[t] = row.hull[t][m];
        } else {
          for (const RdRow* r : t ? rt : ra)
            if (r->quality[m]) given[t].push_back({r->rate, *r->quality[m]});
        }
      }
      // AOM's summary drops the saturated VMAF points for vmaf only, not for vmaf_neg.
      row.value[m] = bd_rate(method, std::move(given[0]), std::move(given[1]), m == kVmaf);
    }
    s.sequences.push_back(std::move(row));
  }
  std::vector<std::string> classes;
  std::vector<const BdRow*> all;
  for (const BdRow& r : s.sequences) {
    if (std::find(classes.begin(), classes.end(), r.cls) == classes.end()) classes.push_back(r.cls);
    all.push_back(&r);
  }
  const std::string cfg = s.sequences.empty() ? std::string() : s.sequences[0].cfg;
  if (!anchor.classed || !test.classed) classes.clear();
  for (const std::string& cls : classes) {
    std::vector<const BdRow*> in;
    for (const BdRow* r : all)
      if (r->cls == cls) in.push_back(r);
    s.averages.push_back(average(in, cfg, cls, s));
  }
  s.averages.push_back(average(all, cfg, "all", s));
  *out = std::move(s);
  return 1;
}

void write_bd_text(std::FILE* out, const BdSummary& s) {
  size_t width[3] = {3, 5, 5};
  for (const auto* rows : {&s.sequences, &s.averages}) {
    for (const BdRow& r : *rows) {
      width[0] = std::max(width[0], r.cfg.size());
      width[1] = std::max(width[1], r.cls.size());
      width[2] = std::max(width[2], label(r).size());
    }
  }
  const auto w = [](size_t n) { return int(n); };
  std::fprintf(out, "%-*s  %-*s  %-*s", w(width[0]), "cfg", w(width[1]), "class", w(width[2]),
               "video");
  for (int m = 0; m < kBdMetrics; ++m)
    if (s.shared[m]) std::fprintf(out, "  %13s", kBdMetricNames[m]);
  std::fputc('\n', out);
  for (const auto* rows : {&s.sequences, &s.averages}) {
    for (const BdRow& r : *rows) {
      std::fprintf(out, "%-*s  %-*s  %-*s", w(width[0]), r.cfg.c_str(), w(width[1]), r.cls.c_str(),
                   w(width[2]), label(r).c_str());
      for (int m = 0; m < kBdMetrics; ++m) {
        if (!s.shared[m]) continue;
        if (r.value[m].percent) {
          std::fprintf(out, "  %13.4f", *r.value[m].percent);
        } else {
          std::fprintf(out, "  %13s", "-");
        }
      }
      std::fputc('\n', out);
    }
  }
}

std::vector<std::string> bd_reasons(const BdSummary& s) {
  std::vector<std::string> lines;
  for (int m = 0; m < kBdMetrics; ++m)
    if (!s.shared[m])
      lines.push_back(std::string(kBdMetricNames[m]) + ": not given by both tables");
  for (const BdRow& r : s.sequences) {
    for (int m = 0; m < kBdMetrics; ++m) {
      if (!s.shared[m] || r.value[m].percent) continue;
      lines.push_back(r.cfg + " " + r.video + " " + kBdMetricNames[m] + ": " + r.value[m].why);
    }
  }
  return lines;
}

std::string bd_csv(const BdSummary& s) {
  std::string text = "cfg,class,video";
  for (const char* name : kBdMetricNames)
    text += std::string(",") + name;
  text += '\n';
  for (const BdRow& r : s.sequences) {
    text += r.cfg + "," + r.cls + "," + r.video;
    for (int m = 0; m < kBdMetrics; ++m) {
      text += ',';
      if (!r.value[m].percent) continue;
      char number[32];
      std::snprintf(number, sizeof number, "%.17g", *r.value[m].percent);
      text += number;
    }
    text += '\n';
  }
  return text;
}

}  // namespace vq
