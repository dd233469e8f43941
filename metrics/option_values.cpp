// The values of a metric's options, as its scorer reads them.
#include "metrics/metric.h"

namespace vq {

const MetricOptions::Value* MetricOptions::value(std::string_view name) const {
  for (const Value& v : values)
    if (v.name == name) return &v;
  return nullptr;
}

bool MetricOptions::get_bool(std::string_view name) const {
  const Value* v = value(name);
  return v ? v->b : false;
}
int64_t MetricOptions::get_int(std::string_view name) const {
  const Value* v = value(name);
  return v ? v->i : 0;
}
double MetricOptions::get_double(std::string_view name) const {
  const Value* v = value(name);
  return v ? v->d : 0.0;
}
std::string MetricOptions::get_string(std::string_view name) const {
  const Value* v = value(name);
  return v ? v->text : std::string();
}
bool MetricOptions::given(std::string_view name) const {
  const Value* v = value(name);
  return v && v->given;
}

}  // namespace vq
