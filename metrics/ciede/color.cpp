// The colour arithmetic. Each helper takes and returns float where the value is stored as float
// between steps (those roundings are part of the score) and computes in double inside; squares
// are taken in double, where a float's square is exact.
#include <cmath>
#include <numbers>

#include "metrics/ciede/ciede.h"

namespace vq::ciede {
namespace {

constexpr double kPi = std::numbers::pi;

double sq(double x) {
  return x * x;
}

// Gamma-encoded R, G or B (0..1 nominal) to linear light, sRGB's curve.
double linear(double c) {
  if (c > 10. / 255.) return std::pow((c + 0.055) * (1.0 / 1.055), 2.4);
  return c * (1.0 / 12.92);
}

// CIELAB's companding of X/Xn, Y/Yn or Z/Zn.
float lab_f(double t) {
  constexpr double kKappa = 24389.0 / 27.0;
  constexpr double kEpsilon = 216.0 / 24389.0;
  if (t > kEpsilon) return float(std::pow(t, 1.0 / 3.0));
  return float((kKappa * t + 16.0) * (1.0 / 116.0));
}

// Hue angle in [0, 2 pi) of (a, b); 0 for the neutral axis.
float hue(float b, float a) {
  if (b == 0.0f && a == 0.0f) return 0.0f;
  float h = float(std::atan2(double(b), double(a)));
  if (h < 0.0f) h = float(double(h) + 2. * kPi);
  return h;
}

float hue_difference(float c1, float c2, float h1, float h2) {
  if (c1 == 0.0f || c2 == 0.0f) return 0.0f;
  if (double(std::fabs(h1 - h2)) <= kPi) return h2 - h1;
  if (h2 <= h1) return float(double(h2 - h1) + 2. * kPi);
  return float(double(h2 - h1) - 2. * kPi);
}

float mean_hue(float h1, float h2) {
  if (std::fabs(double(h1 - h2)) > kPi) return float((double(h1 + h2) + 2.0 * kPi) / 2.0);
  return float(double(h1 + h2) / 2.0);
}

float hue_weight(float h) {
  const double x = h;
  return float(1.0 - 0.17 * std::cos(x - kPi / 6.0) + 0.24 * std::cos(2.0 * x) +
               0.32 * std::cos(3.0 * x + kPi / 30.0) - 0.20 * std::cos(4.0 * x - 7.0 * kPi / 20.0));
}

float to_degrees(float radians) {
  return float(double(radians) * (180.0 / kPi));
}

float to_radians(float degrees) {
  return float(double(degrees) * (kPi / 180.0));
}

// The rotation term that couples chroma and hue differences in the blue region.
float rotation(float c_mean, float h_mean) {
  const float d = float((double(to_degrees(h_mean)) - 275.0) * (1.0 / 25.0));
  const float c7 = std::pow(c_mean, 7.0f);
  const float ratio = c7 / (c7 + std::pow(25.0f, 7.0f));
  const float angle = to_radians(float(60.0 * std::exp(double(-std::pow(d, 2.0f)))));
  return float(-2.0 * std::sqrt(double(ratio)) * std::sin(double(angle)));
}

}  // namespace

Lab to_lab(uint32_t y_code, uint32_t u_code, uint32_t v_code, int depth) {
  const double scale = double(1 << (depth - 8));
  const double y = (double(float(y_code)) - 16. * scale) * (1. / (219. * scale));
  const double u = (double(float(u_code)) - 128. * scale) * (1. / (224. * scale));
  const double v = (double(float(v_code)) - 128. * scale) * (1. / (224. * scale));

  // BT.709 Y'CbCr to R'G'B', then linear.
  const double r = linear(y + 1.28033 * v);
  const double g = linear(y - 0.21482 * u - 0.38059 * v);
  const double b = linear(y + 2.12798 * u);

  // Linear sRGB to XYZ, scaled by the D65 white.
  const double x = r * 0.4124564390896921 + g * 0.357576077643909 + b * 0.18043748326639894;
  const double yy = r * 0.21267285140562248 + g * 0.715152155287818 + b * 0.07217499330655958;
  const double z = r * 0.019333895582329317 + g * 0.119192025881303 + b * 0.9503040785363677;
  const double fx = lab_f(x * (1.0 / 0.95047));
  const double fy = lab_f(yy);
  const double fz = lab_f(z * (1.0 / 1.08883));
  return {float(116.0 * fy - 16.0), float(500.0 * (fx - fy)), float(200.0 * (fy - fz))};
}

float delta_e(const Lab& p, const Lab& q) {
  constexpr float kL = 0.65f, kC = 1.0f, kH = 4.0f;
  const double k25 = std::pow(25.0, 7.0);

  const float dl = q.l - p.l;
  const float l_mean = (p.l + q.l) / 2;
  const float c1 = float(std::sqrt(sq(p.a) + sq(p.b)));
  const float c2 = float(std::sqrt(sq(q.a) + sq(q.b)));
  const float c_mean = (c1 + c2) / 2;
  const double c7 = std::pow(double(c_mean), 7.0);
  const double g = 1 - std::sqrt(c7 / (c7 + k25));
  const float a1 = float(double(p.a) + double(p.a / 2) * g);
  const float a2 = float(double(q.a) + double(q.a / 2) * g);
  const float cp1 = float(std::sqrt(sq(a1) + sq(p.b)));
  const float cp2 = float(std::sqrt(sq(a2) + sq(q.b)));
  const float cp_mean = (cp1 + cp2) / 2;
  const float dc = cp2 - cp1;
  const double l50 = sq(double(l_mean - 50));
  const float sl = float(1. + (0.015 * l50) / std::sqrt(20 + l50));
  const float sc = float(1. + 0.045 * double(cp_mean));
  const float h1 = hue(p.b, a1);
  const float h2 = hue(q.b, a2);
  const float dh = hue_difference(c1, c2, h1, h2);
  const float dhh = float(2.0 * std::sqrt(double(cp1 * cp2)) * std::sin(double(dh) / 2.0));
  const float h_mean = mean_hue(h1, h2);
  const float t = hue_weight(h_mean);
  const float sh = float(1.0 + 0.015 * double(cp_mean) * double(t));
  const float rt = rotation(cp_mean, h_mean);
  const float lightness = dl / (kL * sl);
  const float chroma = dc / (kC * sc);
  const float hue_term = dhh / (kH * sh);
  return float(
      std::sqrt(sq(lightness) + sq(chroma) + sq(hue_term) + double(rt * chroma * hue_term)));
}

double frame_score(double sum, int64_t samples) {
  return 45. - 20. * std::log10(sum / double(samples));
}

}  // namespace vq::ciede
