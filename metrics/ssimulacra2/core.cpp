// The SSIMULACRA 2 pipeline: sRGB samples to linear light, linear light to XYB, the blurred
// moments of each channel streamed row by row through a ring of the horizontal pass's rows, the
// SSIM and edge maps' norms per scale, halving in linear light between scales, and the score.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "metrics/ssimulacra2/constants.h"
#include "metrics/ssimulacra2/ssimulacra2.h"

namespace vq::ssim2 {
namespace {

constexpr int kScales = 6;
constexpr int kMoments = 5;  // s11, s22, s12, mu1, mu2
constexpr int kRing = 32;    // rows of the horizontal pass kept per moment (a power of two)

// sRGB's decoding curve as libjxl's colour management evaluates it for an untagged picture: a
// line near black, above it a rational polynomial fitted to the curve, each step fused as its
// vector code fuses them (so the table holds its very values).
float linear_from_srgb(float x) {
  if (!(x > kSrgbKnee)) return x * (1.0f / 12.92f);
  float yp = kSrgbP[4], yq = kSrgbQ[4];
  for (int i = 3; i >= 0; --i) {
    yp = std::fma(yp, x, kSrgbP[i]);
    yq = std::fma(yq, x, kSrgbQ[i]);
  }
  return yp / yq;
}

BlurCoefficients make_blur_coefficients(double sigma) {
  // Charalampidis' recursive Gaussian of three truncated cosine terms (k = 1, 3, 5).
  constexpr double kPi = 3.141592653589793238;
  const double radius = std::round(3.2795 * sigma + 0.2546);
  const double w0 = kPi / (2.0 * radius);
  const double omega[3] = {w0, 3.0 * w0, 5.0 * w0};
  const double p[3] = {1.0 / std::tan(0.5 * omega[0]), -1.0 / std::tan(0.5 * omega[1]),
                       1.0 / std::tan(0.5 * omega[2])};
  const double r[3] = {p[0] * p[0] / std::sin(omega[0]), -p[1] * p[1] / std::sin(omega[1]),
                       p[2] * p[2] / std::sin(omega[2])};
  double rho[3];
  for (int i = 0; i < 3; ++i)
    rho[i] = std::exp(-0.5 * sigma * sigma * omega[i] * omega[i]) * (1.0 / radius);
  const double d13 = p[0] * r[1] - r[0] * p[1];
  const double d35 = p[1] * r[2] - r[1] * p[2];
  const double d51 = p[2] * r[0] - r[2] * p[0];
  const double z15 = d35 / d13, z35 = d51 / d13;
  // Solve m * beta = g: the weights sum to one, match the variance and the far tail.
  const double m[3][3] = {{p[0], p[1], p[2]}, {r[0], r[1], r[2]}, {z15, z35, 1.0}};
  const double g[3] = {1.0, radius * radius - sigma * sigma, z15 * rho[0] + z35 * rho[1] + rho[2]};
  double adj[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
      adj[i][j] = m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0];
    }
  const double det = m[0][0] * adj[0][0] + m[0][1] * adj[1][0] + m[0][2] * adj[2][0];
  BlurCoefficients c;
  c.radius = int(radius);
  for (int i = 0; i < 3; ++i) {
    double beta = 0;
    for (int j = 0; j < 3; ++j)
      beta += adj[i][j] * (1.0 / det) * g[j];
    const double n2 = -beta * std::cos(omega[i] * (radius + 1.0));
    const double d1 = -2.0 * std::cos(omega[i]);
    const double dd = d1 * d1;
    c.n2[i] = float(n2);
    c.d1[i] = float(d1);
    // The recursion unrolled over four outputs.
    const double in[4] = {n2, -d1 * n2, dd * n2 - n2, -dd * d1 * n2 + 2.0 * d1 * n2};
    const double prev[4] = {-d1, dd - 1.0, -dd * d1 + 2.0 * d1, dd * dd - 3.0 * dd + 1.0};
    const double prev2[4] = {-1.0, d1, -dd + 1.0, dd * d1 - 2.0 * d1};
    for (int j = 0; j < 4; ++j) {
      c.in[i][j] = float(in[j]);
      c.prev[i][j] = float(prev[j]);
      c.prev2[i][j] = float(prev2[j]);
    }
  }
  return c;
}

}  // namespace

const BlurCoefficients& blur_coefficients() {
  static const BlurCoefficients c = make_blur_coefficients(1.5);
  return c;
}

Scorer::Scorer(int32_t width, int32_t height, int depth, uint32_t cpu_flags)
    : w_(width), h_(height), depth_(depth), k_(kernels_for(cpu_flags)) {
  if (w_ < kMinSize || h_ < kMinSize || (depth != 8 && depth != 16)) return;
  const size_t w = size_t(w_), h = size_t(h_);
  const size_t hw = (w + 1) / 2, hh = (h + 1) / 2;
  const uint32_t peak = (1u << depth) - 1;
  lut_.resize(size_t(peak) + 1);
  const float scale = 1.0f / float(peak);
  for (uint32_t v = 0; v <= peak; ++v)
    lut_[v] = linear_from_srgb(float(v) * scale);
  for (int i = 0; i < 2; ++i)
    for (int c = 0; c < 3; ++c) {
      xyb_[i][c].resize(w * h);
      half_[i][c].resize(hw * hh);
    }
  rows_.resize(6 * w);
  ring_.resize(size_t(kMoments) * kRing * w);
  state_.resize(size_t(kMoments) * 6 * w);
  blurred_.resize(size_t(kMoments * kBand + 1) * w);  // and a row for lanes past the end
  scratch_.resize(2 * size_t(kLanes) * (w + 16));
  zero_.assign(w, 0.0f);
  ok_ = true;
}

void Scorer::linear_row(const Picture& p, int c, int32_t y, float* out) const {
  const uint8_t* row = p.plane[c] + ptrdiff_t(y) * p.pitch[c];
  if (depth_ == 8) {
    for (int32_t x = 0; x < w_; ++x)
      out[x] = lut_[row[x]];
  } else {
    for (int32_t x = 0; x < w_; ++x) {
      uint16_t v;
      std::memcpy(&v, row + 2 * ptrdiff_t(x), sizeof v);
      out[x] = lut_[v];
    }
  }
}

// Each output the mean of a 2x2 block (the last row and column repeated past an odd edge),
// added row by row in float.
static void halve_rows(const float* a, const float* b, int32_t w, float* out) {
  for (int32_t ox = 0; ox < (w + 1) / 2; ++ox) {
    const int32_t x0 = 2 * ox, x1 = std::min(2 * ox + 1, w - 1);
    float sum = 0.0f;
    sum += a[x0];
    sum += a[x1];
    sum += b[x0];
    sum += b[x1];
    out[ox] = sum * 0.25f;
  }
}

void Scorer::to_xyb_full(const Picture& p, int i) {
  // Each row's linear light made once, for its XYB and for the second scale's halving.
  const size_t w = size_t(w_), ow = (w + 1) / 2;
  for (int32_t y = 0; y < h_; ++y) {
    float* rgb = rows_.data() + size_t(y & 1) * 3 * w;
    for (int c = 0; c < 3; ++c)
      linear_row(p, c, y, rgb + size_t(c) * w);
    const size_t at = size_t(y) * w;
    k_.xyb(rgb, rgb + w, rgb + 2 * w, w_, xyb_[i][0].data() + at, xyb_[i][1].data() + at,
           xyb_[i][2].data() + at);
    if (y % 2 == 0 && y + 1 < h_) continue;
    // An odd last row is its own pair.
    const float* above = y % 2 ? rows_.data() : rgb;
    for (int c = 0; c < 3; ++c)
      halve_rows(above + size_t(c) * w, rgb + size_t(c) * w, w_,
                 half_[i][c].data() + size_t(y / 2) * ow);
  }
}

void Scorer::shrink_half(int i, int32_t w, int32_t h) {
  // In place: output (ox, oy) lands before every sample a later output reads.
  const int32_t ow = (w + 1) / 2, oh = (h + 1) / 2;
  for (int c = 0; c < 3; ++c) {
    float* plane = half_[i][c].data();
    for (int32_t oy = 0; oy < oh; ++oy) {
      const int32_t y0 = 2 * oy, y1 = std::min(2 * oy + 1, h - 1);
      halve_rows(plane + size_t(y0) * size_t(w), plane + size_t(y1) * size_t(w), w,
                 plane + size_t(oy) * size_t(ow));
    }
  }
}

void Scorer::to_xyb_half(int i, int32_t w, int32_t h) {
  const size_t n = size_t(w) * size_t(h);
  const float* rgb[3] = {half_[i][0].data(), half_[i][1].data(), half_[i][2].data()};
  // Row by row, so each row's three planes stay in cache.
  for (size_t at = 0; at < n; at += size_t(w))
    k_.xyb(rgb[0] + at, rgb[1] + at, rgb[2] + at, w, xyb_[i][0].data() + at, xyb_[i][1].data() + at,
           xyb_[i][2].data() + at);
}

ScaleNorms Scorer::measure(int32_t w, int32_t h) {
  ScaleNorms norms{};
  const size_t sw = size_t(w);
  const int r = blur_coefficients().radius;
  const double one_per_pixel = 1.0 / double(size_t(h) * sw);
  float* junk = blurred_.data() + size_t(kMoments * kBand) * sw;
  for (int c = 0; c < 3; ++c) {
    const float* a = xyb_[0][c].data();
    const float* b = xyb_[1][c].data();
    // The moments' factors: s11 = a a, s22 = b b, s12 = a b, mu1 = a, mu2 = b.
    const float* first[kMoments] = {a, b, a, a, b};
    const float* second[kMoments] = {a, b, b, nullptr, nullptr};
    auto ring = [&](int m, int32_t y) {
      return ring_.data() + (size_t(m) * kRing + size_t(y & (kRing - 1))) * sw;
    };
    std::fill(state_.begin(), state_.begin() + ptrdiff_t(size_t(kMoments) * 6 * sw), 0.0f);
    double ssim[8] = {}, edge[16] = {};
    int32_t done = 0;  // rows of the horizontal pass made
    auto blurred = [&](int m, int i) { return blurred_.data() + size_t(m * kBand + i) * sw; };
    // A band of up to kBand output rows at a time, from the warm-up's first (-r + 1) on.
    for (int32_t n0 = -r + 1; n0 < h; n0 += kBand) {
      const int steps = int(std::min<int32_t>(kBand, h - n0));
      // The horizontal pass's rows the band reads, made eight at a time.
      while (done <= n0 + steps - 1 + r - 1 && done < h) {
        for (int m = 0; m < kMoments; ++m) {
          const float* in1[kLanes];
          const float* in2[kLanes];
          float* out[kLanes];
          for (int l = 0; l < kLanes; ++l) {
            const int32_t y = std::min(done + l, h - 1);
            in1[l] = first[m] + size_t(y) * sw;
            in2[l] = second[m] ? second[m] + size_t(y) * sw : nullptr;
            out[l] = done + l < h ? ring(m, done + l) : junk;
          }
          k_.blur_rows(in1, in2, w, out, scratch_.data());
        }
        done = std::min(done + kLanes, h);
      }
      for (int m = 0; m < kMoments; ++m) {
        const float* top[kBand];
        const float* bottom[kBand];
        float* out[kBand];
        for (int i = 0; i < steps; ++i) {
          const int32_t n = n0 + i;
          top[i] = n - r - 1 >= 0 ? ring(m, n - r - 1) : nullptr;
          bottom[i] = n + r - 1 < h ? ring(m, n + r - 1) : zero_.data();
          out[i] = n >= 0 ? blurred(m, i) : nullptr;
        }
        float* state[6];
        for (int s = 0; s < 6; ++s)
          state[s] = state_.data() + size_t(m * 6 + s) * sw;
        k_.blur_columns(top, bottom, steps, w, state, out);
      }
      for (int i = std::max(0, -n0); i < steps; ++i) {
        const size_t row = size_t(n0 + i) * sw;
        const float *s11 = blurred(0, i), *s22 = blurred(1, i), *s12 = blurred(2, i);
        const float *mu1 = blurred(3, i), *mu2 = blurred(4, i);
        k_.ssim_sums(mu1, mu2, s11, s22, s12, w, ssim);
        k_.edge_sums(a + row, mu1, b + row, mu2, w, edge);
      }
    }
    // Each sum's four lanes added as pairs.
    auto total = [](const double* lanes) { return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]); };
    norms.ssim[c * 2] = one_per_pixel * total(ssim);
    norms.ssim[c * 2 + 1] = std::sqrt(std::sqrt(one_per_pixel * total(ssim + 4)));
    for (int j = 0; j < 4; ++j) {
      const double sum = one_per_pixel * total(edge + 4 * j);
      norms.edge[c * 4 + j] = j % 2 ? std::sqrt(std::sqrt(sum)) : sum;
    }
  }
  return norms;
}

double Scorer::score(const Picture& ref, const Picture& dist) {
  ScaleNorms norms[kScales];
  int count = 0;
  int32_t w = w_, h = h_;
  for (int s = 0; s < kScales; ++s) {
    // A scale is made from the one before while that one is at least 8 samples each way.
    if (w < kMinSize || h < kMinSize) break;
    if (s == 0) {
      to_xyb_full(ref, 0);
      to_xyb_full(dist, 1);
    } else {
      // The second scale's linear light was halved with the first's XYB.
      if (s > 1)
        for (int i = 0; i < 2; ++i)
          shrink_half(i, w, h);
      w = (w + 1) / 2;
      h = (h + 1) / 2;
      to_xyb_half(0, w, h);
      to_xyb_half(1, w, h);
    }
    norms[count++] = measure(w, h);
  }
  return final_score(norms, count);
}

double final_score(const ScaleNorms* scales, int count) {
  double sum = 0.0;
  int i = 0;
  for (int c = 0; c < 3; ++c)
    for (int s = 0; s < count; ++s)
      for (int n = 0; n < 2; ++n) {
        sum += kWeights[i++] * std::fabs(scales[s].ssim[c * 2 + n]);
        sum += kWeights[i++] * std::fabs(scales[s].edge[c * 4 + n]);
        sum += kWeights[i++] * std::fabs(scales[s].edge[c * 4 + n + 2]);
      }
  sum = sum * kSumScale;
  sum = kCubic[0] * sum - kCubic[1] * sum * sum + kCubic[2] * sum * sum * sum;
  return sum > 0 ? 100.0 - 10.0 * std::pow(sum, kPower) : 100.0;
}

}  // namespace vq::ssim2
