// The scale filters' names, the same in every build.
#include <cstring>

#include "decode/decode.h"

namespace vq {

namespace {

struct NamedFilter {
  const char* name;
  ScaleFilter filter;
};
constexpr NamedFilter kFilters[] = {
    {"bicubic", ScaleFilter::kBicubic},
    {"bilinear", ScaleFilter::kBilinear},
    {"lanczos", ScaleFilter::kLanczos},
    {"neighbor", ScaleFilter::kNeighbor},
};

}  // namespace

const char* scale_filter_name(ScaleFilter filter) {
  for (const NamedFilter& f : kFilters)
    if (f.filter == filter) return f.name;
  return "none";
}

bool parse_scale_filter(const char* name, ScaleFilter* out) {
  for (const NamedFilter& f : kFilters) {
    if (std::strcmp(f.name, name) == 0) {
      *out = f.filter;
      return true;
    }
  }
  return false;
}

}  // namespace vq
