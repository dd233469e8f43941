// The options syntax of --metric and the expansion of a metric's needs.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "metrics/metric.h"

namespace vq {

const MetricRow* find_metric(std::string_view name) {
  for (const MetricRow& m : metric_registry())
    if (name == m.name) return &m;
  return nullptr;
}

namespace {

// Parses `text` as a value of `type` into *v. 1 when it is one.
int parse_value(const std::string& text, OptionType type, MetricOptions::Value* v) {
  v->text = text;
  switch (type) {
    case OptionType::kBool:
      if (text == "true" || text == "1") {
        v->b = true;
      } else if (text == "false" || text == "0") {
        v->b = false;
      } else {
        return 0;
      }
      return 1;
    case OptionType::kInt: {
      if (text.empty()) return 0;
      char* end = nullptr;
      errno = 0;
      const long long i = std::strtoll(text.c_str(), &end, 10);
      if (errno != 0 || *end != '\0') return 0;
      v->i = i;
      v->d = double(i);
      return 1;
    }
    case OptionType::kDouble: {
      if (text.empty()) return 0;
      char* end = nullptr;
      errno = 0;
      const double d = std::strtod(text.c_str(), &end);
      // Every number option has finite bounds in libvmaf, so infinities are refused as out of
      // range there; a NaN would pass its range checks but is no number.
      if (errno != 0 || *end != '\0' || !std::isfinite(d)) return 0;
      v->d = d;
      return 1;
    }
    case OptionType::kString:
      return 1;
  }
  return 0;
}

const char* type_name(OptionType type) {
  switch (type) {
    case OptionType::kBool:
      return "true or false";
    case OptionType::kInt:
      return "a whole number";
    case OptionType::kDouble:
      return "a number";
    case OptionType::kString:
      break;
  }
  return "text";
}

// Two requests are one computation when they are the same metric, or rows sharing one scorer
// (vmaf_neg is vmaf with another default model), with the same option values.
bool same_request(const MetricRequest& a, const MetricRequest& b) {
  if ((a.row != b.row && a.row->make != b.row->make) ||
      a.options.values.size() != b.options.values.size())
    return false;
  for (size_t i = 0; i < a.options.values.size(); ++i) {
    const MetricOptions::Value& x = a.options.values[i];
    const MetricOptions::Value& y = b.options.values[i];
    if (x.b != y.b || x.i != y.i || x.d != y.d ||
        (x.type == OptionType::kString && x.text != y.text))
      return false;
  }
  return true;
}

int expand_one(const MetricRequest& r, int depth, std::vector<MetricRequest>* out,
               std::string* why) {
  if (depth > 8) {
    *why = std::string("metric ") + r.row->name + " needs itself";
    return 0;
  }
  if (r.row->needs != nullptr) {
    for (const std::string& text : r.row->needs(r.options)) {
      MetricRequest need;
      if (!parse_metric_request(text, &need, why)) return 0;
      if (!expand_one(need, depth + 1, out, why)) return 0;
    }
  }
  for (const MetricRequest& have : *out)
    if (same_request(have, r)) return 1;
  out->push_back(r);
  return 1;
}

}  // namespace

const char* score_name_fault(std::string_view name) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (name.empty() || !(letter(name[0]) || name[0] == '_'))
    return "must begin with a letter or '_'";
  for (const char c : name)
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-' && c != '.')
      return "may hold only letters, digits, '_', '-' and '.' (every output writes it as it is)";
  // XML reserves names that begin with "xml" in any case ("xmlns" declares a namespace).
  if (name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
      (name[2] | 0x20) == 'l')
    return "must not begin with 'xml' (XML reserves such names)";
  // The fields beside the scores: the XML report's frame number, the per-frame CSV's columns.
  for (const char* fixed : {"frameNum", "pair", "depth", "chroma"})
    if (name == fixed) return "is taken by the outputs' own frameNum, pair, depth and chroma";
  return nullptr;
}

int parse_metric_request(std::string_view text, MetricRequest* out, std::string* why) {
  const size_t eq = text.find('=');
  const std::string name(text.substr(0, eq));
  const MetricRow* row = find_metric(name);
  if (row == nullptr) {
    *why = "no metric is named '" + name + "' (--help lists them)";
    return 0;
  }
  MetricRequest r;
  r.row = row;
  for (const MetricOption& o : row->options) {
    MetricOptions::Value v;
    v.name = o.name;
    v.type = o.type;
    if (!parse_value(o.default_value, o.type, &v)) v.text = o.default_value;
    r.options.values.push_back(v);
  }
  std::string_view rest = eq == std::string_view::npos ? std::string_view() : text.substr(eq + 1);
  if (eq != std::string_view::npos && rest.empty()) {
    *why = "metric " + name + ": options are missing after '='";
    return 0;
  }
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    // A value "path:FILE" (vmaf's model=path:FILE) keeps its own colon.
    const size_t eq_at = rest.find('=');
    if (colon != std::string_view::npos && eq_at < colon &&
        rest.substr(eq_at + 1, colon - eq_at - 1) == "path")
      colon = rest.find(':', colon + 1);
    const std::string_view item = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    const size_t e = item.find('=');
    const std::string opt(item.substr(0, e));
    MetricOptions::Value* v = nullptr;
    for (MetricOptions::Value& have : r.options.values)
      if (have.name == opt) v = &have;
    const size_t dot = opt.find('.');
    if (v == nullptr && (row->flags & kMetricFeatureOptions) && dot != std::string::npos &&
        dot > 0 && dot + 1 < opt.size()) {
      MetricOptions::Value feature_option;
      feature_option.name = opt;
      feature_option.type = OptionType::kString;
      r.options.values.push_back(feature_option);
      v = &r.options.values.back();
    }
    if (v == nullptr) {
      *why = "metric " + name + " has no option '" + opt + "'";
      return 0;
    }
    if (e == std::string_view::npos) {
      *why = "metric " + name + ": option " + opt + " needs a value (" + opt + "=VALUE)";
      return 0;
    }
    if (v->given) {
      *why = "metric " + name + ": option " + opt + " is given twice";
      return 0;
    }
    const std::string value(item.substr(e + 1));
    if (!parse_value(value, v->type, v)) {
      *why = "metric " + name + ": option " + opt + " takes " + type_name(v->type) + ", not '" +
             value + "'";
      return 0;
    }
    v->given = true;
  }
  if (row->check != nullptr && !row->check(r.options, why)) return 0;
  for (const std::string& score : row->scores(r.options))
    if (const char* fault = score_name_fault(score)) {
      *why = "metric " + name + ": score name '" + score + "' " + fault;
      return 0;
    }
  *out = std::move(r);
  return 1;
}

int expand_metric_requests(const std::vector<MetricRequest>& asked, std::vector<MetricRequest>* out,
                           std::string* why) {
  std::vector<MetricRequest> all;
  for (const MetricRequest& r : asked)
    if (!expand_one(r, 0, &all, why)) return 0;
  // A metric whose names are its own (a model's prediction) must not share one with another
  // request: the two would overwrite each other's different values in one column.
  for (size_t i = 0; i < all.size(); ++i) {
    if (!(all[i].row->flags & kMetricUniqueNames)) continue;
    const std::vector<std::string> mine = all[i].row->scores(all[i].options);
    for (size_t j = 0; j < all.size(); ++j) {
      if (j == i) continue;
      for (const std::string& theirs : all[j].row->scores(all[j].options))
        for (const std::string& n : mine)
          if (n == theirs) {
            *why = std::string("metrics ") + all[i].row->name + " and " + all[j].row->name +
                   " would both write '" + n + "' (give one a name= option)";
            return 0;
          }
    }
  }
  *out = std::move(all);
  return 1;
}

std::vector<MetricGroup> group_metric_requests(std::span<const MetricRequest* const> requests) {
  // A request that leads others cannot join a later lead; one that leads none still can.
  std::vector<int> lead_of(requests.size(), -1);
  std::vector<bool> leads(requests.size(), false);
  for (size_t i = 0; i < requests.size(); ++i) {
    const MetricRequest& r = *requests[i];
    if (r.row->joins == nullptr || r.row->make_joined == nullptr || lead_of[i] >= 0) continue;
    for (size_t j = 0; j < requests.size(); ++j)
      if (j != i && lead_of[j] < 0 && !leads[j] && r.row->joins(r.options, *requests[j])) {
        lead_of[j] = int(i);
        leads[i] = true;
      }
  }
  std::vector<MetricGroup> groups;
  std::vector<int> group_of(requests.size(), -1);
  for (size_t i = 0; i < requests.size(); ++i) {
    if (lead_of[i] >= 0) continue;
    group_of[i] = int(groups.size());
    groups.push_back({requests[i], {}});
  }
  for (size_t j = 0; j < requests.size(); ++j)
    if (lead_of[j] >= 0) groups[size_t(group_of[size_t(lead_of[j])])].joined.push_back(requests[j]);
  return groups;
}

MetricStatus make_group_scorer(const MetricGroup& group, const PictureForm& form,
                               uint32_t cpu_flags, std::unique_ptr<Metric>* out, std::string* why) {
  const MetricRequest& lead = *group.lead;
  if (group.joined.empty()) return lead.row->make(form, lead.options, cpu_flags, out, why);
  return lead.row->make_joined(form, lead.options, group.joined, cpu_flags, out, why);
}

void print_metric_help(std::FILE* out) {
  std::fprintf(out, "Metrics (--metric=NAME or --metric=NAME=OPTION=VALUE:OPTION=VALUE):\n");
  for (const MetricRow& m : metric_registry()) {
    std::fprintf(out, "  %-16s %s\n", m.name, m.help);
    for (const MetricOption& o : m.options) {
      const std::string opt =
          std::string(o.name) + "=" + (*o.default_value ? o.default_value : "''");
      std::fprintf(out, "      %-26s %s\n", opt.c_str(), o.help);
    }
  }
}

}  // namespace vq
