// A ladder's RD curve: each coded resolution's points joined piece by piece, then the upper convex
// hull of them all, as AOM's CTC framework compares its adaptive-streaming configuration.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "bdrate/bdrate.h"

namespace vq {

namespace {

// Eight points per piece between neighbouring encodes, evenly in log10(rate) and in quality.
constexpr int kPieces = 8;

// Rounded to six decimals as Python's round(v, 6) rounds: the decimal nearest the exact value.
// The nearest whole number of millionths comes from v * 1e6 unless that lies within its rounding
// error of a tie, where the decimal text decides; the quotient by 1e6 is then the double nearest
// that decimal, as reading it would give.
double round6(double v) {
  const double scaled = v * 1e6;
  const double whole = std::nearbyint(scaled);
  if (std::abs(std::abs(scaled - whole) - 0.5) > 1e-3 && std::abs(scaled) < 0x1p52)
    return whole / 1e6;
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", v);
  return std::strtod(text, nullptr);
}

// z of (a - o) x (b - o): positive when o, a, b turn counter-clockwise.
double cross(const RdPoint& o, const RdPoint& a, const RdPoint& b) {
  return (a.rate - o.rate) * (b.quality - o.quality) - (a.quality - o.quality) * (b.rate - o.rate);
}

bool before(const RdPoint& a, const RdPoint& b) {
  return a.rate < b.rate || (a.rate == b.rate && a.quality < b.quality);
}

}  // namespace

std::vector<RdPoint> ladder_hull(const std::vector<std::pair<std::string, RdPoint>>& encodes) {
  std::map<std::string, std::vector<RdPoint>> by_size;
  std::vector<std::string> sizes;
  for (const auto& [size, point] : encodes) {
    if (!by_size.count(size)) sizes.push_back(size);
    by_size[size].push_back(point);
  }
  std::vector<RdPoint> all;
  for (const std::string& size : sizes) {
    std::vector<RdPoint>& p = by_size[size];
    std::sort(p.begin(), p.end(), [](const RdPoint& a, const RdPoint& b) { return before(b, a); });
    for (size_t i = 1; i < p.size(); ++i) {
      const double r0 = std::log10(p[i - 1].rate), r1 = std::log10(p[i].rate);
      const double q0 = p[i - 1].quality, q1 = p[i].quality;
      const double rate_step = (r1 - r0) / kPieces, quality_step = (q1 - q0) / kPieces;
      for (int j = 0; j < kPieces; ++j)
        all.push_back({round6(std::pow(10, r0 + j * rate_step)), round6(q0 + j * quality_step)});
    }
    all.push_back({round6(p.back().rate), round6(p.back().quality)});
  }
  std::sort(all.begin(), all.end(), before);
  all.erase(std::unique(all.begin(), all.end(),
                        [](const RdPoint& a, const RdPoint& b) {
                          return a.rate == b.rate && a.quality == b.quality;
                        }),
            all.end());
  if (all.size() <= 1) return all;
  std::vector<RdPoint> upper;
  for (auto p = all.rbegin(); p != all.rend(); ++p) {
    while (upper.size() >= 2 && cross(upper[upper.size() - 2], upper.back(), *p) <= 0)
      upper.pop_back();
    upper.push_back(*p);
  }
  return upper;
}

}  // namespace vq
