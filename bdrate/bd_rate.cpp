// The BD-rate of two RD curves by each method: the interpolants (PCHIP, Akima, least-squares
// cubic), their exact integrals, and the sampled sums of AOM's and AWCY's scripts.
#include <algorithm>
#include <array>
#include <cmath>
#include <span>

#include "bdrate/bdrate.h"

namespace vq {

namespace {

struct NamedMethod {
  const char* name;
  BdMethod method;
};
constexpr NamedMethod kMethods[] = {
    {"aom", BdMethod::kAom},     {"pchip", BdMethod::kPchip}, {"akima", BdMethod::kAkima},
    {"cubic", BdMethod::kCubic}, {"awcy", BdMethod::kAwcy},
};

BdValue none(std::string why) {
  return {std::nullopt, std::move(why)};
}

// A piecewise cubic through (x[i], y[i]) with slopes d[i] at the knots; on [x[i], x[i+1]] it is
// c3 + c2 t + c1 t^2 + c0 t^3 in t = s - x[i], the coefficients of a cubic Hermite piece.
class Hermite {
 public:
  Hermite(std::vector<double> x, std::span<const double> y, std::span<const double> d)
      : x_(std::move(x)) {
    for (size_t i = 0; i + 1 < x_.size(); ++i) {
      const double h = x_[i + 1] - x_[i];
      const double slope = (y[i + 1] - y[i]) / h;
      const double t = (d[i] + d[i + 1] - 2 * slope) / h;
      c_.push_back({t / h, (slope - d[i]) / h - t, d[i], y[i]});
    }
  }

  // The value at s, in the piece whose left knot is the last at or before s (the last piece at
  // the last knot), the powers of t summed from the lowest.
  [[nodiscard]] double operator()(double s) const {
    const size_t i = piece(s);
    const double t = s - x_[i];
    double sum = 0, z = 1;
    for (int k = 3; k >= 0; --k) {
      sum += c_[i][size_t(k)] * z;
      z *= t;
    }
    return sum;
  }

  // The exact integral over [a, b], within the knots.
  [[nodiscard]] double integral(double a, double b) const {
    double sum = 0;
    for (size_t i = piece(a); i < c_.size() && x_[i] < b; ++i) {
      const double lo = std::max(a, x_[i]) - x_[i];
      const double hi = std::min(b, x_[i + 1]) - x_[i];
      const auto f = [&](double t) {
        const auto& c = c_[i];
        return t * (c[3] + t * (c[2] / 2 + t * (c[1] / 3 + t * c[0] / 4)));
      };
      sum += f(hi) - f(lo);
    }
    return sum;
  }

 private:
  [[nodiscard]] size_t piece(double s) const {
    const auto at = std::upper_bound(x_.begin(), x_.end(), s);
    const size_t i = at == x_.begin() ? 0 : size_t(at - x_.begin()) - 1;
    return std::min(i, c_.size() - 1);
  }

  std::vector<double> x_;
  std::vector<std::array<double, 4>> c_;
};

int sign(double v) {
  return (v > 0) - (v < 0);
}

// PCHIP's slopes (Fritsch and Carlson's weighted harmonic mean inside, the one-sided three-point
// estimate kept to the curve's shape at the ends); two points give the line.
std::vector<double> pchip_slopes(std::span<const double> x, std::span<const double> y) {
  const size_t n = x.size();
  std::vector<double> h(n - 1), m(n - 1), d(n, 0.0);
  for (size_t i = 0; i + 1 < n; ++i) {
    h[i] = x[i + 1] - x[i];
    m[i] = (y[i + 1] - y[i]) / h[i];
  }
  if (n == 2) return {m[0], m[0]};
  for (size_t k = 1; k + 1 < n; ++k) {
    if (sign(m[k]) != sign(m[k - 1]) || m[k] == 0 || m[k - 1] == 0) continue;
    const double w1 = 2 * h[k] + h[k - 1], w2 = h[k] + 2 * h[k - 1];
    d[k] = 1.0 / ((w1 / m[k - 1] + w2 / m[k]) / (w1 + w2));
  }
  const auto end = [](double h0, double h1, double m0, double m1) {
    const double e = ((2 * h0 + h1) * m0 - h0 * m1) / (h0 + h1);
    if (sign(e) != sign(m0)) return 0.0;
    if (sign(m0) != sign(m1) && std::abs(e) > 3 * std::abs(m0)) return 3 * m0;
    return e;
  };
  d[0] = end(h[0], h[1], m[0], m[1]);
  d[n - 1] = end(h[n - 2], h[n - 3], m[n - 2], m[n - 3]);
  return d;
}

// Akima's slopes: each knot's from the differences of the slopes on either side, two slopes
// added past each end by linear extrapolation; where both differences vanish, the mean of the
// nearest slopes. Two points give the line.
std::vector<double> akima_slopes(std::span<const double> x, std::span<const double> y) {
  const size_t n = x.size();
  if (n == 2) {
    const double m = (y[1] - y[0]) / (x[1] - x[0]);
    return {m, m};
  }
  std::vector<double> m(n + 3);
  for (size_t i = 0; i + 1 < n; ++i)
    m[i + 2] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
  m[1] = 2 * m[2] - m[3];
  m[0] = 2 * m[1] - m[2];
  m[n + 1] = 2 * m[n] - m[n - 1];
  m[n + 2] = 2 * m[n + 1] - m[n];
  std::vector<double> f1(n), f2(n), d(n);
  double largest = -INFINITY;
  for (size_t i = 0; i < n; ++i) {
    f1[i] = std::abs(m[i + 3] - m[i + 2]);
    f2[i] = std::abs(m[i + 1] - m[i]);
    largest = std::max(largest, f1[i] + f2[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    const double f12 = f1[i] + f2[i];
    d[i] = f12 > 1e-9 * largest ? (f1[i] * m[i + 1] + f2[i] * m[i + 2]) / f12
                                : 0.5 * (m[i + 3] + m[i]);
  }
  return d;
}

// NumPy's sum of an array: pairwise, eight running sums in blocks of up to 128, so that the
// sampled methods add their samples as the scripts do.
double pairwise_sum(std::span<const double> a) {
  const size_t n = a.size();
  if (n < 8) {
    double s = 0;
    for (const double v : a)
      s += v;
    return s;
  }
  if (n <= 128) {
    double r[8];
    std::copy(a.begin(), a.begin() + 8, r);
    size_t i = 8;
    for (; i < n - n % 8; i += 8)
      for (size_t j = 0; j < 8; ++j)
        r[j] += a[i + j];
    double s = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i)
      s += a[i];
    return s;
  }
  size_t half = n / 2;
  half -= half % 8;
  return pairwise_sum(a.first(half)) + pairwise_sum(a.subspan(half));
}

// The least-squares cubic through the points, integrated over [a, b]: fitted in x centred and
// scaled to [-1, 1] (Householder QR), which leaves the fitted curve as it is and keeps the fit
// well conditioned.
std::optional<double> cubic_integral(std::span<const double> x, std::span<const double> y, double a,
                                     double b) {
  const size_t n = x.size();
  if (n < 4) return std::nullopt;
  const double mid = (x.front() + x.back()) / 2, half = (x.back() - x.front()) / 2;
  std::vector<std::array<long double, 5>> rows(n);  // u^0..u^3, then y
  for (size_t i = 0; i < n; ++i) {
    const long double u = (x[i] - mid) / half;
    rows[i] = {1, u, u * u, u * u * u, y[i]};
  }
  for (size_t k = 0; k < 4; ++k) {
    long double norm = 0;
    for (size_t i = k; i < n; ++i)
      norm += rows[i][k] * rows[i][k];
    norm = std::sqrt(norm);
    if (norm == 0) return std::nullopt;
    const long double alpha = rows[k][k] > 0 ? -norm : norm;
    std::vector<long double> v(n, 0);
    for (size_t i = k; i < n; ++i)
      v[i] = rows[i][k];
    v[k] -= alpha;
    long double vv = 0;
    for (size_t i = k; i < n; ++i)
      vv += v[i] * v[i];
    for (size_t j = k; j < 5; ++j) {
      long double dot = 0;
      for (size_t i = k; i < n; ++i)
        dot += v[i] * rows[i][j];
      for (size_t i = k; i < n; ++i)
        rows[i][j] -= 2 * dot / vv * v[i];
    }
  }
  long double c[4];
  for (size_t k = 4; k-- > 0;) {
    long double s = rows[k][4];
    for (size_t j = k + 1; j < 4; ++j)
      s -= rows[k][j] * c[j];
    if (rows[k][k] == 0) return std::nullopt;
    c[k] = s / rows[k][k];
  }
  const auto antiderivative = [&](double at) {
    const long double u = (at - mid) / half;
    return u * (c[0] + u * (c[1] / 2 + u * (c[2] / 3 + u * c[3] / 4)));
  };
  return double((antiderivative(b) - antiderivative(a)) * half);
}

// The points sorted by quality; none when two share a quality (the curve is no function of it).
std::optional<std::string> by_quality(std::vector<RdPoint>* points) {
  std::sort(points->begin(), points->end(), [](const RdPoint& p, const RdPoint& q) {
    return p.quality < q.quality || (p.quality == q.quality && p.rate < q.rate);
  });
  for (size_t i = 1; i < points->size(); ++i)
    if ((*points)[i].quality == (*points)[i - 1].quality) return "two points of one quality";
  return std::nullopt;
}

// Why a curve cannot be used: too few points, a rate not above 0 or not finite, a quality not
// finite (AOM's method takes +inf, a lossless PSNR, as 100 dB).
std::optional<std::string> check_points(const std::vector<RdPoint>& points, size_t fewest,
                                        bool lossless = false) {
  if (points.size() < fewest) {
    return points.empty() ? std::string("no points")
                          : "fewer than " + std::to_string(fewest) + " points";
  }
  for (const RdPoint& p : points) {
    if (!(p.rate > 0) || !std::isfinite(p.rate)) return std::string("a rate not above 0");
    if (!std::isfinite(p.quality) && !(lossless && p.quality == INFINITY))
      return std::string("a quality not finite");
  }
  return std::nullopt;
}

// AOM's rule for a metric with a ceiling: in the order of rate, the first point at or past 99.5
// after which quality falls ends the curve.
void drop_saturated(std::vector<RdPoint>* points) {
  std::sort(points->begin(), points->end(), [](const RdPoint& p, const RdPoint& q) {
    return p.rate < q.rate || (p.rate == q.rate && p.quality < q.quality);
  });
  for (size_t i = 1; i < points->size(); ++i) {
    const RdPoint& last = (*points)[i - 1];
    if ((*points)[i].rate >= last.rate && (*points)[i].quality < last.quality &&
        last.quality >= 99.5) {
      points->resize(i);
      return;
    }
  }
}

BdValue aom_rate(std::vector<RdPoint> curve[2], bool saturates) {
  std::vector<double> x[2], y[2];
  for (int c = 0; c < 2; ++c) {
    std::vector<RdPoint>& p = curve[c];
    if (const auto why = check_points(p, 1, true)) return none(*why);
    if (saturates) drop_saturated(&p);
    // A lossless point (infinite PSNR) counts as 100 dB.
    for (RdPoint& point : p)
      if (point.quality == INFINITY) point.quality = 100.0;
    std::sort(p.begin(), p.end(), [](const RdPoint& a, const RdPoint& b) {
      return a.quality < b.quality || (a.quality == b.quality && a.rate < b.rate);
    });
    for (size_t i = 1; i < p.size(); ++i)
      if (p[i].rate < p[i - 1].rate) return none("non-monotonic: rate falls as quality rises");
    // Of the points of one quality the one of the lowest rate is kept.
    for (size_t i = 0; i < p.size(); ++i) {
      if (i > 0 && p[i].quality == p[i - 1].quality) continue;
      x[c].push_back(p[i].quality);
      y[c].push_back(std::log(p[i].rate));
    }
  }
  const double lo = std::max(x[0].front(), x[1].front());
  const double hi = std::min(x[0].back(), x[1].back());
  if (lo >= hi) return none("no overlap of the two curves' qualities");
  constexpr int kSamples = 100;
  const double step = (hi - lo) / (kSamples - 1);
  double integral[2];
  for (int c = 0; c < 2; ++c) {
    const Hermite f(x[c], y[c], pchip_slopes(x[c], y[c]));
    double v[kSamples], trapezoids[kSamples - 1];
    for (int i = 0; i < kSamples; ++i)
      v[i] = f(i < kSamples - 1 ? i * step + lo : hi);
    for (int i = 0; i + 1 < kSamples; ++i)
      trapezoids[i] = step * (v[i + 1] + v[i]) / 2.0;
    integral[c] = pairwise_sum(trapezoids);
  }
  return {(std::exp((integral[1] - integral[0]) / (hi - lo)) - 1) * 100, {}};
}

// The `bjontegaard` package's BD-rate: log10 of rate against quality, integrated exactly.
BdValue exact_rate(BdMethod method, std::vector<RdPoint> curve[2]) {
  std::vector<double> x[2], y[2];
  for (int c = 0; c < 2; ++c) {
    if (const auto why = check_points(curve[c], method == BdMethod::kCubic ? 4 : 2))
      return none(*why);
    if (const auto why = by_quality(&curve[c])) return none(*why);
    for (const RdPoint& p : curve[c]) {
      x[c].push_back(p.quality);
      y[c].push_back(std::log10(p.rate));
    }
  }
  const double lo = std::max(x[0].front(), x[1].front());
  const double hi = std::min(x[0].back(), x[1].back());
  if (!(hi > lo)) return none("no overlap of the two curves' qualities");
  double integral[2];
  for (int c = 0; c < 2; ++c) {
    if (method == BdMethod::kCubic) {
      const auto v = cubic_integral(x[c], y[c], lo, hi);
      if (!v) return none("the cubic fit has no unique solution");
      integral[c] = *v;
    } else {
      const std::vector<double> d =
          method == BdMethod::kPchip ? pchip_slopes(x[c], y[c]) : akima_slopes(x[c], y[c]);
      integral[c] = Hermite(x[c], y[c], d).integral(lo, hi);
    }
  }
  return {(std::pow(10.0, (integral[1] - integral[0]) / (hi - lo)) - 1) * 100, {}};
}

// AWCY's report: the points in the order of rate, quality rising strictly with it; the mean of
// the difference of ln(rate) at 5000 samples stepping from the larger lowest quality.
BdValue awcy_rate(std::vector<RdPoint> curve[2]) {
  std::vector<double> x[2], y[2];
  for (int c = 0; c < 2; ++c) {
    std::vector<RdPoint>& p = curve[c];
    if (const auto why = check_points(p, 3)) return none(*why);
    std::sort(p.begin(), p.end(),
              [](const RdPoint& a, const RdPoint& b) { return a.rate < b.rate; });
    for (size_t i = 0; i < p.size(); ++i) {
      if (i > 0 && !(p[i].quality > p[i - 1].quality))
        return none("quality does not rise with rate");
      x[c].push_back(p[i].quality);
      y[c].push_back(std::log(p[i].rate));
    }
  }
  const double lo = std::max(x[0].front(), x[1].front());
  const double hi = std::min(x[0].back(), x[1].back());
  if (!(hi > lo)) return none("no overlap of the two curves' qualities");
  const double step = std::abs(hi - lo) / 5000.0;
  const auto count = size_t(std::ceil((hi - lo) / step));
  // NumPy's arange: the value at i is lo + i times the first step as it came out.
  const double delta = (lo + step) - lo;
  const Hermite fa(x[0], y[0], pchip_slopes(x[0], y[0]));
  const Hermite fb(x[1], y[1], pchip_slopes(x[1], y[1]));
  std::vector<double> diff(count);
  for (size_t i = 0; i < count; ++i) {
    const double s = lo + double(i) * delta;
    diff[i] = fb(s) - fa(s);
  }
  const double percent = 100 * (std::exp(pairwise_sum(diff) / double(count)) - 1);
  if (!(std::abs(percent) <= 1000)) return none("beyond 1000 percent");
  return {percent, {}};
}

}  // namespace

bool parse_bd_method(std::string_view name, BdMethod* out) {
  for (const NamedMethod& m : kMethods) {
    if (name != m.name) continue;
    *out = m.method;
    return true;
  }
  return false;
}

const char* bd_method_name(BdMethod method) {
  for (const NamedMethod& m : kMethods)
    if (m.method == method) return m.name;
  return "";
}

BdValue bd_rate(BdMethod method, std::vector<RdPoint> anchor, std::vector<RdPoint> test,
                bool saturates) {
  std::vector<RdPoint> curves[2] = {std::move(anchor), std::move(test)};
  BdValue v = method == BdMethod::kAom    ? aom_rate(curves, saturates)
              : method == BdMethod::kAwcy ? awcy_rate(curves)
                                          : exact_rate(method, curves);
  if (v.percent && !std::isfinite(*v.percent)) return none("no finite value");
  return v;
}

}  // namespace vq
