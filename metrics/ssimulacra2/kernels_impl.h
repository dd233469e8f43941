// The scalar kernels, written so that a vector tier can give the very same bits lane by lane:
// float and double additions, multiplications and divisions in a fixed order, and fused
// multiply-adds exactly where libjxl's vector code fuses (std::fma, rounded once as the
// processor's instruction rounds it). Nothing else may fuse: the library builds with
// -ffp-contract=off.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "metrics/ssimulacra2/constants.h"
#include "metrics/ssimulacra2/ssimulacra2.h"

namespace vq::ssim2::scalar {

// The cube root of the opsin bias, subtracted after the cube root so that black is 0; as the C
// library's cbrtf rounds it.
inline const float kNegBiasCbrt = -std::cbrt(kBias);
// The outputs along a row made one at a time before the four-a-step part.
constexpr int kHead = 8;

// The cube root of a non-negative x, plus `add`: an exponent-third first guess, three Newton
// steps on the reciprocal cube root, a last refinement, then x * r^2.
inline float cube_root_add(float x, float add) {
  constexpr float k13 = 1.0f / 3, k43 = 4.0f / 3;
  const float x3 = k13 * x;
  int32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int32_t guess = bits == 0 ? 0 : 0x54800000 - (bits >> 23) * 0x002AAAAA;
  float r;
  std::memcpy(&r, &guess, sizeof r);
  for (int i = 0; i < 3; ++i) {
    const float r2 = r * r;
    r = std::fma(-x3, r2 * r2, k43 * r);
  }
  float r2 = r * r;
  r = std::fma(k13, std::fma(-x, r2 * r2, r), r);
  r2 = r * r;
  return std::fma(r2, x, add);
}

inline void xyb_one(float r, float g, float b, float* ox, float* oy, float* ob) {
  float m[3];
  for (int i = 0; i < 3; ++i) {
    float v =
        std::fma(kOpsin[i][0], r, std::fma(kOpsin[i][1], g, std::fma(kOpsin[i][2], b, kBias)));
    v = v < 0.0f ? 0.0f : v;
    m[i] = cube_root_add(v, kNegBiasCbrt);
  }
  const float x = 0.5f * (m[0] - m[1]), y = 0.5f * (m[0] + m[1]);
  *ob = (m[2] - y) + kBOffset;
  *ox = x * kXScale + kXOffset;
  *oy = y + kYOffset;
}

inline void xyb(const float* r, const float* g, const float* b, int n, float* x, float* y,
                float* bmy) {
  for (int i = 0; i < n; ++i)
    xyb_one(r[i], g[i], b[i], x + i, y + i, bmy + i);
}

// One output of the three terms from its input sum and the terms' two previous outputs.
inline float blur_one(const BlurCoefficients& c, float sum, float p1[3], float p2[3]) {
  float y[3];
  for (int k = 0; k < 3; ++k) {
    y[k] = std::fma(c.prev[k][0], p1[k], std::fma(c.prev2[k][0], p2[k], sum * c.n2[k]));
    p2[k] = p1[k];
    p1[k] = y[k];
  }
  return y[0] + (y[1] + y[2]);
}

// The three recursions along one row, with zeros off both ends: output n sums inputs n - R - 1
// and n + R - 1 into each term. The first outputs (to 8) and the last ones (past w - R - 3)
// one at a time, those between four a step.
inline void blur_row(const BlurCoefficients& c, const float* in, int w, float* out) {
  const int r = c.radius;
  float p1[3] = {}, p2[3] = {};
  auto edge = [&](int n) {
    const int left = n - r - 1, right = n + r - 1;
    const float sum = (left >= 0 ? in[left] : 0.0f) + (right < w ? in[right] : 0.0f);
    const float v = blur_one(c, sum, p1, p2);
    if (n >= 0) out[n] = v;
  };
  int n = -r + 1;
  for (; n < std::min(kHead, w); ++n)
    edge(n);
  for (; n < w - r + 1 - 3; n += 4) {
    float s[4], y[3][4];
    for (int j = 0; j < 4; ++j)
      s[j] = in[n - r - 1 + j] + in[n + r - 1 + j];
    for (int k = 0; k < 3; ++k) {
      for (int j = 0; j < 4; ++j) {
        float v = s[0] * c.in[k][j];
        for (int i = 1; i <= j; ++i)
          v = std::fma(c.in[k][j - i], s[i], v);
        v = std::fma(c.prev2[k][j], p2[k], v);
        y[k][j] = std::fma(c.prev[k][j], p1[k], v);
      }
      p2[k] = y[k][2];
      p1[k] = y[k][3];
    }
    for (int j = 0; j < 4; ++j)
      out[n + j] = y[0][j] + (y[1][j] + y[2][j]);
  }
  for (; n < w; ++n)
    edge(n);
}

inline void blur_rows(const float* const a[kLanes], const float* const b[kLanes], int w,
                      float* const out[kLanes], float* scratch) {
  const BlurCoefficients& c = blur_coefficients();
  for (int l = 0; l < kLanes; ++l) {
    const float* in = a[l];
    if (b[l] != nullptr) {
      for (int x = 0; x < w; ++x)
        scratch[x] = a[l][x] * b[l][x];
      in = scratch;
    }
    blur_row(c, in, w, out[l]);
  }
}

inline void blur_columns(const float* const top[], const float* const bottom[], int steps, int n,
                         float* const state[6], float* const out[]) {
  const BlurCoefficients& c = blur_coefficients();
  for (int i = 0; i < steps; ++i)
    for (int x = 0; x < n; ++x) {
      const float sum = top[i] ? top[i][x] + bottom[i][x] : bottom[i][x];
      float y[3];
      for (int k = 0; k < 3; ++k) {
        float& p1 = state[2 * k][x];
        float& p2 = state[2 * k + 1][x];
        y[k] = std::fma(c.n2[k], sum, std::fma(-c.d1[k], p1, -p2));
        p2 = p1;
        p1 = y[k];
      }
      if (out[i] != nullptr) out[i][x] = y[0] + (y[1] + y[2]);
    }
}

inline double ssim_one(float mu1, float mu2, float s11, float s22, float s12) {
  const float mu11 = mu1 * mu1, mu22 = mu2 * mu2, mu12 = mu1 * mu2;
  const float diff = mu1 - mu2;
  const float num_m = float(1.0 - double(diff * diff));
  const float num_s = 2.0f * (s12 - mu12) + kC2;
  const float denom_s = (s11 - mu11) + (s22 - mu22) + kC2;
  const double d = 1.0 - double(num_m * num_s / denom_s);
  return d < 0.0 ? 0.0 : d;
}

inline double quartic(double d) {
  const double q = d * d;
  return q * q;
}

inline void ssim_sums(const float* mu1, const float* mu2, const float* s11, const float* s22,
                      const float* s12, int n, double acc[8]) {
  for (int x = 0; x < n; ++x) {
    const double d = ssim_one(mu1[x], mu2[x], s11[x], s22[x], s12[x]);
    acc[x % 4] += d;
    acc[4 + x % 4] += quartic(d);
  }
}

inline void edge_sums(const float* ref, const float* mu1, const float* dist, const float* mu2,
                      int n, double acc[16]) {
  for (int x = 0; x < n; ++x) {
    const double d =
        (1.0 + double(std::fabs(dist[x] - mu2[x]))) / (1.0 + double(std::fabs(ref[x] - mu1[x]))) -
        1.0;
    // Above 0: the distorted picture has an edge where the reference is smooth (ringing,
    // banding, blocks); below: the reference's edge is smoothed away (blur).
    const double artifact = d < 0.0 ? 0.0 : d;
    const double lost = -d < 0.0 ? 0.0 : -d;
    acc[x % 4] += artifact;
    acc[4 + x % 4] += quartic(artifact);
    acc[8 + x % 4] += lost;
    acc[12 + x % 4] += quartic(lost);
  }
}

}  // namespace vq::ssim2::scalar
