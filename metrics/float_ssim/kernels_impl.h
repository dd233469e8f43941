// The baseline row kernels, written lane by lane: every output is one independent chain of float
// products summed in double in tap order. The AVX2 tier (kernels_avx2.cpp) runs eight of these
// chains side by side and must give the same bits. Built with -ffp-contract=off: no fused
// multiply-adds.
#include <cmath>

#include "metrics/float_ssim/fssim.h"
#include "metrics/float_ssim/taps.h"

namespace vq::fssim::baseline {

constexpr int kBlock = 8;

// One window position's terms: luminance and contrast divide a double numerator by a float
// denominator, structure is all float; variances below zero are taken as zero.
inline void terms(float mu1, float mu2, float xx, float yy, float xy, double* l, double* c,
                  double* s) {
  float v1 = xx - mu1 * mu1;
  float v2 = yy - mu2 * mu2;
  v1 = 0.0f > v1 ? 0.0f : v1;
  v2 = 0.0f > v2 ? 0.0f : v2;
  const float cov = xy - mu1 * mu2;
  const float sd = std::sqrt(v1 * v2);
  *l = (2.0 * mu1 * mu2 + kC1) / double(mu1 * mu1 + mu2 * mu2 + kC1);
  *c = (2.0 * sd + kC2) / double(v1 + v2 + kC2);
  // Flat windows of equal pictures can leave a covariance a hair below zero.
  const float cv = (cov < 0.0f && sd <= 0.0f) ? 0.0f : cov;
  *s = double((cv + kC3) / (sd + kC3));
}

template <int N>
inline void window_h_block(const float* a, const float* b, float* const out[5], int x) {
  double s[5][N] = {};
  for (int u = 0; u < kWindow; ++u) {
    const float k = kGauss[u];
    for (int j = 0; j < N; ++j) {
      const float av = a[x + j + u], bv = b[x + j + u];
      s[0][j] += double(av * k);
      s[1][j] += double(bv * k);
      s[2][j] += double((av * av) * k);
      s[3][j] += double((bv * bv) * k);
      s[4][j] += double((av * bv) * k);
    }
  }
  for (int p = 0; p < 5; ++p)
    for (int j = 0; j < N; ++j)
      out[p][x + j] = float(s[p][j]);
}

void window_h(const float* a, const float* b, int n, float* const out[5]) {
  int x = 0;
  for (; x + kBlock <= n; x += kBlock)
    window_h_block<kBlock>(a, b, out, x);
  for (; x < n; ++x)
    window_h_block<1>(a, b, out, x);
}

template <int N>
inline void window_v_block(const float* const rows[5 * kWindow], float* const out[5], int x) {
  for (int p = 0; p < 5; ++p) {
    double s[N] = {};
    for (int v = 0; v < kWindow; ++v) {
      const float k = kGauss[v];
      const float* r = rows[p * kWindow + v] + x;
      for (int j = 0; j < N; ++j)
        s[j] += double(r[j] * k);
    }
    for (int j = 0; j < N; ++j)
      out[p][x + j] = float(s[j]);
  }
}

void window_v(const float* const rows[5 * kWindow], int n, float* const out[5]) {
  int x = 0;
  for (; x + kBlock <= n; x += kBlock)
    window_v_block<kBlock>(rows, out, x);
  for (; x < n; ++x)
    window_v_block<1>(rows, out, x);
}

void pool(const float* const m[5], int n, double acc[16]) {
  int x = 0;
  for (; x + 4 <= n; x += 4) {
    double l[4], c[4], s[4];
    for (int j = 0; j < 4; ++j)
      terms(m[0][x + j], m[1][x + j], m[2][x + j], m[3][x + j], m[4][x + j], &l[j], &c[j], &s[j]);
    for (int j = 0; j < 4; ++j) {
      acc[j] += l[j] * c[j] * s[j];
      acc[4 + j] += l[j];
      acc[8 + j] += c[j];
      acc[12 + j] += s[j];
    }
  }
  for (; x < n; ++x) {
    double l, c, s;
    terms(m[0][x], m[1][x], m[2][x], m[3][x], m[4][x], &l, &c, &s);
    const int j = x & 3;
    acc[j] += l * c * s;
    acc[4 + j] += l;
    acc[8 + j] += c;
    acc[12 + j] += s;
  }
}

template <int N>
inline void low_pass_block(const float* const even[kLowPass], const float* const odd[kLowPass],
                           int x, float* out) {
  double s[N] = {};
  for (int v = 0; v < kLowPass; ++v) {
    for (int u = 0; u < kLowPass; ++u) {
      // Column 2x + u - 4: even sample x + (u - 4) / 2, or odd sample x + (u - 5) / 2.
      const float* r = (u & 1) ? odd[v] + x + (u - 5) / 2 : even[v] + x + (u - 4) / 2;
      const float k = kLowPass2d[v][u];
      for (int j = 0; j < N; ++j)
        s[j] += double(r[j] * k);
    }
  }
  for (int j = 0; j < N; ++j)
    out[x + j] = float(s[j]);
}

void low_pass(const float* const even[kLowPass], const float* const odd[kLowPass], int x0, int x1,
              float* out) {
  int x = x0;
  for (; x + kBlock <= x1; x += kBlock)
    low_pass_block<kBlock>(even, odd, x, out);
  for (; x < x1; ++x)
    low_pass_block<1>(even, odd, x, out);
}

}  // namespace vq::fssim::baseline
