// The scale filters' names, flags and parameters as the command line spells them, the same in
// every build.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "decode/decode.h"

namespace vq {

namespace {

struct NamedKind {
  const char* name;
  ScaleKind kind;
};
constexpr NamedKind kKinds[] = {
    {"bicubic", ScaleKind::kBicubic},
    {"bilinear", ScaleKind::kBilinear},
    {"lanczos", ScaleKind::kLanczos},
    {"neighbor", ScaleKind::kNeighbor},
};

struct NamedFlag {
  const char* name;
  ScaleFlag flag;
};
constexpr NamedFlag kFlags[] = {
    {"accurate_rnd", kScaleAccurateRnd},
    {"full_chroma_int", kScaleFullChromaInt},
    {"full_chroma_inp", kScaleFullChromaInp},
    {"bitexact", kScaleBitexact},
};

}  // namespace

std::string scale_filter_name(const ScaleFilter& filter) {
  std::string name = "none";
  for (const NamedKind& k : kKinds)
    if (k.kind == filter.kind) name = k.name;
  for (int i = 0; i < 2; ++i) {
    if (std::isnan(filter.param[i])) continue;
    char text[48];
    std::snprintf(text, sizeof text, ":param%d=%g", i, filter.param[i]);
    name += text;
  }
  for (const NamedFlag& f : kFlags)
    if (filter.flags & f.flag) name += std::string(":") + f.name;
  return name;
}

bool parse_scale_filter(const char* text, ScaleFilter* out) {
  std::string_view rest(text);
  ScaleFilter filter;
  bool first = true;
  while (first || !rest.empty()) {
    const size_t colon = rest.find(':');
    const std::string_view part = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (colon != std::string_view::npos && rest.empty()) return false;  // a trailing ':'
    if (first) {
      for (const NamedKind& k : kKinds)
        if (part == k.name) filter.kind = k.kind;
      if (filter.kind == ScaleKind::kNone) return false;
      first = false;
      continue;
    }
    bool known = false;
    for (const NamedFlag& f : kFlags) {
      if (part != f.name) continue;
      if (filter.flags & f.flag) return false;
      filter.flags = uint8_t(filter.flags | f.flag);
      known = true;
    }
    constexpr std::string_view kWidth = "param0=";
    if (!known && filter.kind == ScaleKind::kLanczos && part.starts_with(kWidth) &&
        std::isnan(filter.param[0])) {
      const std::string_view value = part.substr(kWidth.size());
      int width = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), width);
      if (value.empty() || ec != std::errc() || end != value.data() + value.size() || width < 1 ||
          width > 10)
        return false;
      filter.param[0] = width;
      known = true;
    }
    if (!known) return false;
  }
  *out = filter;
  return true;
}

}  // namespace vq
