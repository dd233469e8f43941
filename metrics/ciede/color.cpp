// The colour arithmetic. Each helper takes and returns float where the value is stored as float
// between steps (those roundings are part of the score) and computes in double inside; squares
// are taken in double, where a float's square is exact.
#include <cmath>
#include <numbers>

#include "convert/convert.h"
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

// 1 - 0.17 cos(h - 30deg) + 0.24 cos(2h) + 0.32 cos(3h + 6deg) - 0.20 cos(4h - 63deg), each
// multiple angle from one sine and cosine of h (a few units of the double's last place from
// the four cosines, far below the float the weight is kept in).
float hue_weight(float h) {
  const double c = std::cos(double(h)), s = std::sin(double(h));
  const double c2 = 2 * c * c - 1, s2 = 2 * s * c;
  const double c3 = c * (4 * c * c - 3), s3 = s * (3 - 4 * s * s);
  const double c4 = 2 * c2 * c2 - 1, s4 = 2 * s2 * c2;
  static const double k1c = std::cos(kPi / 6.0), k1s = std::sin(kPi / 6.0);
  static const double k3c = std::cos(kPi / 30.0), k3s = std::sin(kPi / 30.0);
  static const double k4c = std::cos(7.0 * kPi / 20.0), k4s = std::sin(7.0 * kPi / 20.0);
  return float(1.0 - 0.17 * (c * k1c + s * k1s) + 0.24 * c2 + 0.32 * (c3 * k3c - s3 * k3s) -
               0.20 * (c4 * k4c + s4 * k4s));
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
  // c^7 in double, rounded once: the float power, without its call.
  const double cm = c_mean, cm2 = cm * cm;
  const float c7 = float(cm2 * cm2 * cm2 * cm);
  const float ratio =
      c7 / (c7 + 6103515625.0f);  // 25^7, rounded to float as the float power rounds it
  const float angle = to_radians(float(60.0 * std::exp(double(-(d * d)))));
  return float(-2.0 * std::sqrt(double(ratio)) * std::sin(double(angle)));
}

}  // namespace

namespace {

// A Y code read as 0..1 over studio range, and a chroma code as -0.5..0.5.
double luma_of(uint32_t code, int depth) {
  const double scale = double(1 << (depth - 8));
  return (double(float(code)) - 16. * scale) * (1. / (219. * scale));
}

double chroma_of(uint32_t code, int depth) {
  const double scale = double(1 << (depth - 8));
  return (double(float(code)) - 128. * scale) * (1. / (224. * scale));
}

// BT.709's R' and B' from Y' and one chroma component, made linear.
double linear_red(double y, double v) {
  return linear(y + 1.28033 * v);
}

double linear_blue(double y, double u) {
  return linear(y + 2.12798 * u);
}

double linear_green(double y, double u, double v) {
  return linear(y - 0.21482 * u - 0.38059 * v);
}

// Linear sRGB to XYZ, scaled by the D65 white, to Lab.
Lab lab_of_linear(double r, double g, double b) {
  const double x = r * 0.4124564390896921 + g * 0.357576077643909 + b * 0.18043748326639894;
  const double yy = r * 0.21267285140562248 + g * 0.715152155287818 + b * 0.07217499330655958;
  const double z = r * 0.019333895582329317 + g * 0.119192025881303 + b * 0.9503040785363677;
  const double fx = lab_f(x * (1.0 / 0.95047));
  const double fy = lab_f(yy);
  const double fz = lab_f(z * (1.0 / 1.08883));
  return {float(116.0 * fy - 16.0), float(500.0 * (fx - fy)), float(200.0 * (fy - fz))};
}

}  // namespace

Lab to_lab(uint32_t y_code, uint32_t u_code, uint32_t v_code, int depth) {
  const double y = luma_of(y_code, depth), u = chroma_of(u_code, depth),
               v = chroma_of(v_code, depth);
  return lab_of_linear(linear_red(y, v), linear_green(y, u, v), linear_blue(y, u));
}

namespace {

// The 8-bit tables, made once for every converter of the process: they depend on nothing else.
const LabConverter::Tables& tables8() {
  static const LabConverter::Tables t = [] {
    LabConverter::Tables m;
    m.red.resize(size_t(1) << 16);
    m.blue.resize(size_t(1) << 16);
    for (uint32_t y = 0; y < 256; ++y)
      for (uint32_t c = 0; c < 256; ++c) {
        m.red[y << 8 | c] = linear_red(luma_of(y, 8), chroma_of(c, 8));
        m.blue[y << 8 | c] = linear_blue(luma_of(y, 8), chroma_of(c, 8));
      }
    return m;
  }();
  return t;
}

}  // namespace

LabConverter::LabConverter(int depth) : depth_(depth), tables_(depth == 8 ? &tables8() : nullptr) {}

Lab LabConverter::operator()(uint32_t y_code, uint32_t u_code, uint32_t v_code) const {
  if (tables_ == nullptr) return to_lab(y_code, u_code, v_code, depth_);
  const double g = linear_green(luma_of(y_code, 8), chroma_of(u_code, 8), chroma_of(v_code, 8));
  return lab_of_linear(tables_->red[y_code << 8 | v_code], g, tables_->blue[y_code << 8 | u_code]);
}

float delta_e(const Lab& p, const Lab& q) {
  constexpr float kL = 0.65f, kC = 1.0f, kH = 4.0f;
  constexpr double k25 = 6103515625.0;  // 25^7

  const float dl = q.l - p.l;
  const float l_mean = (p.l + q.l) / 2;
  const float c1 = float(std::sqrt(sq(p.a) + sq(p.b)));
  const float c2 = float(std::sqrt(sq(q.a) + sq(q.b)));
  const float c_mean = (c1 + c2) / 2;
  const double cm = c_mean, cm2 = cm * cm;
  const double c7 = cm2 * cm2 * cm2 * cm;
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

void delta_e_row(const LabRow& ref, const LabRow& dist, int32_t n, float* out) {
  for (int32_t i = 0; i < n; ++i)
    out[i] = delta_e(ref.at(i), dist.at(i));
}

DeltaERow delta_e_row_for(uint32_t cpu_flags) {
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx512) return delta_e_row_avx512;
  if (cpu_flags & kCpuAvx2) return delta_e_row_avx2;
#else
  (void)cpu_flags;
#endif
  return delta_e_row;
}

double frame_score(double sum, int64_t samples) {
  return 45. - 20. * std::log10(sum / double(samples));
}

}  // namespace vq::ciede
