// The fixed-point ADM arithmetic, step for step as libvmaf rounds it.
//
// The filter taps, visibility-threshold parameters, basis amplitudes and fixed-point factors
// below are libvmaf's data: Copyright 2016-2020 Netflix, Inc., BSD-2-Clause-Patent
// (https://opensource.org/licenses/BSDplusPatent).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "convert/convert.h"
#include "metrics/integer_adm/adm.h"

namespace vq::adm {
namespace {

constexpr int32_t kLo[4] = {15826, 27411, 7345, -4240};
constexpr int32_t kHi[4] = {-4240, -7345, 27411, -15826};
constexpr int32_t kLoSum = 46342;

// 2^30 / d for d in 1..32768 (the reciprocal table the decoupling divides with).
const int32_t* reciprocals() {
  static const std::vector<int32_t> t = [] {
    std::vector<int32_t> v(32769, 0);
    for (int i = 1; i <= 32768; ++i)
      v[size_t(i)] = int32_t(1073741824 / i);
    return v;
  }();
  return t.data();
}
int32_t recip(int32_t d) {  // d in -32768..32768, nonzero
  return d > 0 ? reciprocals()[d] : -reciprocals()[-d];
}

void dwt_v8_scalar(const uint8_t* const rows[4], int w, int16_t* lo, int16_t* hi) {
  for (int j = 0; j < w; ++j) {
    const int32_t s0 = rows[0][j], s1 = rows[1][j], s2 = rows[2][j], s3 = rows[3][j];
    int32_t l = kLo[0] * s0 + kLo[1] * s1 + kLo[2] * s2 + kLo[3] * s3 - kLoSum * 128;
    int32_t hh = kHi[0] * s0 + kHi[1] * s1 + kHi[2] * s2 + kHi[3] * s3;
    lo[j] = int16_t((l + 128) >> 8);
    hi[j] = int16_t((hh + 128) >> 8);
  }
}

void dwt_v16_scalar(const uint16_t* const rows[4], int w, int depth, int16_t* lo, int16_t* hi) {
  const int32_t half = 1 << (depth - 1);
  for (int j = 0; j < w; ++j) {
    const int32_t s0 = rows[0][j], s1 = rows[1][j], s2 = rows[2][j], s3 = rows[3][j];
    int32_t l = kLo[0] * s0 + kLo[1] * s1 + kLo[2] * s2 + kLo[3] * s3 - kLoSum * half;
    int32_t hh = kHi[0] * s0 + kHi[1] * s1 + kHi[2] * s2 + kHi[3] * s3;
    lo[j] = int16_t((l + half) >> depth);
    hi[j] = int16_t((hh + half) >> depth);
  }
}

// Source column of tap k of output j: 2j-1+k, mirrored about the first column at the left and
// about the edge past the last one at the right.
inline int mirror(int s, int n) {
  if (s < 0) return -s;
  if (s >= n) return 2 * n - s - 1;
  return s;
}

void h16_one(const int16_t* lo, const int16_t* hi, int j, int c0, int c1, int c2, int c3,
             int16_t* a, int16_t* v, int16_t* h, int16_t* d) {
  const int32_t l0 = lo[c0], l1 = lo[c1], l2 = lo[c2], l3 = lo[c3];
  const int32_t h0 = hi[c0], h1 = hi[c1], h2 = hi[c2], h3 = hi[c3];
  a[j] = int16_t((kLo[0] * l0 + kLo[1] * l1 + kLo[2] * l2 + kLo[3] * l3 + 32768) >> 16);
  v[j] = int16_t((kHi[0] * l0 + kHi[1] * l1 + kHi[2] * l2 + kHi[3] * l3 + 32768) >> 16);
  h[j] = int16_t((kLo[0] * h0 + kLo[1] * h1 + kLo[2] * h2 + kLo[3] * h3 + 32768) >> 16);
  d[j] = int16_t((kHi[0] * h0 + kHi[1] * h1 + kHi[2] * h2 + kHi[3] * h3 + 32768) >> 16);
}
void h16_mirrored(const int16_t* lo, const int16_t* hi, int w, int j, int16_t* a, int16_t* v,
                  int16_t* h, int16_t* d) {
  h16_one(lo, hi, j, mirror(2 * j - 1, w), mirror(2 * j, w), mirror(2 * j + 1, w),
          mirror(2 * j + 2, w), a, v, h, d);
}

void dwt_h16_scalar(const int16_t* lo, const int16_t* hi, int w, int16_t* a, int16_t* v, int16_t* h,
                    int16_t* d) {
  // Outputs 1 .. (w-1)/2 - 1 have all four taps inside the row.
  const int inner_end = std::max(1, (w - 1) / 2);
  int j = 1;
  for (; j < inner_end; ++j)
    h16_one(lo, hi, j, 2 * j - 1, 2 * j, 2 * j + 1, 2 * j + 2, a, v, h, d);
  dwt_h16_edges(lo, hi, w, j, a, v, h, d);
}

// One column of scale 0's contrast masking, with the ring's left and right columns l and r.
inline void mask16_one(const MaskRow16& m, int j, int l, int r, int64_t inner[3]) {
  const uint32_t ring = m.col[l] + m.col[j] + m.col[r] - m.sm[j] + m.own[j];
  for (int t = 0; t < 3; ++t) {
    int32_t v = int32_t(m.src[t][j]) * m.rf[t];
    v = std::abs(v) - int32_t(ring << m.sh_sub[t]);
    v = v < 0 ? 0 : v;
    const int32_t sq = int32_t((int64_t(v) * v + m.add_sq[t]) >> m.sh_sq[t]);
    inner[t] += (int64_t(sq) * v + m.add_cub[t]) >> m.sh_cub[t];
  }
}

int mask_row16_scalar(const MaskRow16& m, int j0, int j1, int64_t inner[3]) {
  for (int j = j0; j < j1; ++j)
    mask16_one(m, j, j - 1, j + 1, inner);
  return j1;
}

void dwt_v32_scalar(const int32_t* const rows[4], int w, int64_t add, int shift, int32_t* lo,
                    int32_t* hi) {
  for (int j = 0; j < w; ++j) {
    const int64_t s0 = rows[0][j], s1 = rows[1][j], s2 = rows[2][j], s3 = rows[3][j];
    const int64_t l = kLo[0] * s0 + kLo[1] * s1 + kLo[2] * s2 + kLo[3] * s3;
    const int64_t hh = kHi[0] * s0 + kHi[1] * s1 + kHi[2] * s2 + kHi[3] * s3;
    lo[j] = int32_t((l + add) >> shift);
    hi[j] = int32_t((hh + add) >> shift);
  }
}

void dwt_v16w_scalar(const int16_t* const rows[4], int w, int32_t* lo, int32_t* hi) {
  for (int j = 0; j < w; ++j) {
    const int32_t s0 = rows[0][j], s1 = rows[1][j], s2 = rows[2][j], s3 = rows[3][j];
    lo[j] = kLo[0] * s0 + kLo[1] * s1 + kLo[2] * s2 + kLo[3] * s3;
    hi[j] = kHi[0] * s0 + kHi[1] * s1 + kHi[2] * s2 + kHi[3] * s3;
  }
}

void h32_one(const int32_t* lo, const int32_t* hi, int j, int c0, int c1, int c2, int c3,
             int64_t add, int shift, int32_t* a, int32_t* v, int32_t* h, int32_t* d) {
  const int64_t l0 = lo[c0], l1 = lo[c1], l2 = lo[c2], l3 = lo[c3];
  const int64_t h0 = hi[c0], h1 = hi[c1], h2 = hi[c2], h3 = hi[c3];
  a[j] = int32_t((kLo[0] * l0 + kLo[1] * l1 + kLo[2] * l2 + kLo[3] * l3 + add) >> shift);
  v[j] = int32_t((kHi[0] * l0 + kHi[1] * l1 + kHi[2] * l2 + kHi[3] * l3 + add) >> shift);
  h[j] = int32_t((kLo[0] * h0 + kLo[1] * h1 + kLo[2] * h2 + kLo[3] * h3 + add) >> shift);
  d[j] = int32_t((kHi[0] * h0 + kHi[1] * h1 + kHi[2] * h2 + kHi[3] * h3 + add) >> shift);
}

void dwt_h32_scalar(const int32_t* lo, const int32_t* hi, int w, int64_t add, int shift, int32_t* a,
                    int32_t* v, int32_t* h, int32_t* d) {
  const int inner_end = std::max(1, (w - 1) / 2);
  int j = 1;
  for (; j < inner_end; ++j)
    h32_one(lo, hi, j, 2 * j - 1, 2 * j, 2 * j + 1, 2 * j + 2, add, shift, a, v, h, d);
  dwt_h32_edges(lo, hi, w, j, add, shift, a, v, h, d);
}

void csf16_scalar(const CsfRow16& row, int j0, int j1) {
  for (int j = j0; j < j1; ++j) {
    uint32_t tot = 0, own = 0;
    for (int t = 0; t < 3; ++t) {
      const int16_t xv = int16_t((int32_t(row.rf[t]) * row.src[t][j] + row.add[t]) >> row.shift[t]);
      const int32_t m = std::abs(int32_t(xv));
      tot += uint32_t(int32_t(int16_t((4369 * m + 2048) >> 12)));
      own += uint32_t(int32_t(int16_t((8738 * m + 2048) >> 12)));
    }
    row.tot[j] = tot;
    row.own[j] = own;
  }
}

void csf32_scalar(const int32_t* src, int n, uint32_t rf, int32_t* x, int32_t* f) {
  // libvmaf's rounding term for the 32-bit shift is 2^31 stored in an int32: it subtracts.
  const int64_t add_f = int64_t(INT32_MIN);
  for (int j = 0; j < n; ++j) {
    const int32_t xv = int32_t((int64_t(rf) * src[j] + (1 << 27)) >> 28);
    x[j] = xv;
    // |INT32_MIN| stays negative, as the two's complement negation leaves it.
    const int32_t m = xv < 0 ? int32_t(0u - uint32_t(xv)) : xv;
    f[j] = int32_t((int64_t(143165577) * m + add_f) >> 32);
  }
}

// One column of the masking of scales 1..3, with the ring's left and right columns l and r.
inline void mask32_one(const MaskRow32& m, int j, int l, int r, int64_t inner[3]) {
  uint32_t ring = m.col[l] + m.col[j] + m.col[r] - m.sm[j];
  auto mag = [](int32_t v) { return v < 0 ? int32_t(0u - uint32_t(v)) : v; };  // INT32_MIN stays
  for (int t = 0; t < 3; ++t)
    ring += uint32_t(int32_t((int64_t(286331153) * mag(m.x[t][j]) + int64_t(INT32_MIN)) >> 32));
  for (int t = 0; t < 3; ++t) {
    const int32_t w = int32_t((int64_t(m.src[t][j]) * m.rf[t] + (1 << 27)) >> 28);
    int32_t v = int32_t(uint32_t(mag(w)) - ring);
    v = v < 0 ? 0 : v;
    const int32_t sq = int32_t((int64_t(v) * v + m.add_sq) >> m.sh_sq);
    inner[t] += (int64_t(sq) * v + m.add_cub) >> m.sh_cub;
  }
}

int mask_row32_scalar(const MaskRow32& m, int j0, int j1, int64_t inner[3]) {
  for (int j = j0; j < j1; ++j)
    mask32_one(m, j, j - 1, j + 1, inner);
  return j1;
}

uint64_t cube_sum16_scalar(const int16_t* row, int n) {
  uint64_t sum = 0;
  for (int j = 0; j < n; ++j) {
    const uint64_t v = uint16_t(std::abs(int32_t(row[j])));
    sum += v * v * v;
  }
  return sum;
}

uint64_t cube_sum32_scalar(const int32_t* row, int n, int sh_sq, uint64_t add_sq, int sh_cub,
                           uint64_t add_cub) {
  uint64_t sum = 0;
  for (int j = 0; j < n; ++j) {
    // |INT32_MIN| is 2^31 once read as unsigned.
    const uint64_t v = row[j] < 0 ? 0u - uint32_t(row[j]) : uint32_t(row[j]);
    sum += ((((v * v) + add_sq) >> sh_sq) * v + add_cub) >> sh_cub;
  }
  return sum;
}

int decouple16_scalar(const DecoupleRow16& row, int j0, int j1);  // with the decoupling below
int decouple32_scalar(const DecoupleRow32& row, int j0, int j1);

}  // namespace

void dwt_h32_edges(const int32_t* lo, const int32_t* hi, int w, int from, int64_t add, int shift,
                   int32_t* a, int32_t* v, int32_t* h, int32_t* d) {
  auto mirrored = [&](int j) {
    h32_one(lo, hi, j, mirror(2 * j - 1, w), mirror(2 * j, w), mirror(2 * j + 1, w),
            mirror(2 * j + 2, w), add, shift, a, v, h, d);
  };
  mirrored(0);
  for (int j = std::max(from, 1); j < (w + 1) / 2; ++j)
    mirrored(j);
}

void dwt_h16_edges(const int16_t* lo, const int16_t* hi, int w, int from, int16_t* a, int16_t* v,
                   int16_t* h, int16_t* d) {
  h16_mirrored(lo, hi, w, 0, a, v, h, d);
  for (int j = std::max(from, 1); j < (w + 1) / 2; ++j)
    h16_mirrored(lo, hi, w, j, a, v, h, d);
}

namespace {

// The border every stage leaves out: a tenth of each side, truncated as libvmaf does.
struct Region {
  int left, top, right, bottom;
};
Region score_region(int w, int h) {
  const int left = int(w * 0.1 - 0.5);
  const int top = int(h * 0.1 - 0.5);
  return {left, top, w - left, h - top};
}
// The score region grown by the filter taps the masking reads around it.
Region tap_region(int w, int h) {
  int left = int(w * 0.1 - 0.5 - 1);
  int top = int(h * 0.1 - 0.5 - 1);
  int right = w - left + 2;
  int bottom = h - top + 2;
  return {std::max(left, 0), std::max(top, 0), std::min(right, w), std::min(bottom, h)};
}

// The visibility threshold of a DWT scale and orientation, as the float libvmaf keeps.
float quant_step(int lambda, int theta, double nvd, int rdh) {
  static constexpr float kAmp[4][4] = {{0.62171f, 0.67234f, 0.72709f, 0.67234f},
                                       {0.34537f, 0.41317f, 0.49428f, 0.41317f},
                                       {0.18004f, 0.22727f, 0.28688f, 0.22727f},
                                       {0.091401f, 0.11792f, 0.15214f, 0.11792f}};
  static constexpr float kG[4] = {1.501f, 1.0f, 0.534f, 1.0f};
  const float a = 0.495f, k = 0.466f, f0 = 0.401f;
  const float r = float(nvd * rdh * 3.14159265358979323846264338327 / 180.0);
  const float t = float(std::log10(std::pow(2.0, lambda + 1) * f0 * kG[theta] / r));
  return float(2.0 * a * std::pow(10.0, k * t * t) / kAmp[lambda][theta]);
}
// The blended CSF's weights per display: horizontal and vertical bands, then diagonal, scales 0
// to 3. Data of Netflix's vmaf (BSD-2-Clause-Patent, Copyright (c) 2020 Netflix, Inc.).
struct BlendCsf {
  int height;
  double dist;
  float hv[4], diag[4];
};
constexpr BlendCsf kBlendCsf[] = {
    {1080,
     3.0,
     {0.01183f, 0.025026f, 0.04295f, 0.058621f},
     {0.004302f, 0.011778f, 0.023918f, 0.035901f}},
    {1080,
     5.0,
     {0.004212f, 0.014809f, 0.029642f, 0.047464f},
     {0.000984f, 0.005852f, 0.0146f, 0.027574f}},
    // 1.5 heights of 2160 lines subtend as many samples per degree as 3 of 1080.
    {2160,
     1.5,
     {0.01183f, 0.025026f, 0.04295f, 0.058621f},
     {0.004302f, 0.011778f, 0.023918f, 0.035901f}},
    {2160,
     3.0,
     {0.00226f, 0.01183f, 0.025026f, 0.04295f},
     {0.000479f, 0.004302f, 0.011778f, 0.023918f}},
    {2160,
     5.0,
     {0.000092f, 0.004212f, 0.014809f, 0.029642f},
     {0.000050f, 0.000984f, 0.005852f, 0.0146f}},
    {720,
     3.0,
     {0.018715f, 0.035637f, 0.052798f, 0.061509f},
     {0.007999f, 0.018396f, 0.031851f, 0.037718f}},
    {720,
     5.0,
     {0.010144f, 0.022561f, 0.040309f, 0.05672f},
     {0.003463f, 0.010282f, 0.021839f, 0.034641f}},
    {480,
     3.0,
     {0.027961f, 0.045875f, 0.060275f, 0.056234f},
     {0.013572f, 0.026277f, 0.036959f, 0.034511f}},
    {480,
     5.0,
     {0.016781f, 0.032822f, 0.05032f, 0.061594f},
     {0.00691f, 0.016545f, 0.029917f, 0.037777f}},
};

const BlendCsf* blend_csf(double nvd, int rdh) {
  for (const BlendCsf& b : kBlendCsf)
    if (b.height == rdh && b.dist == nvd) return &b;
  return nullptr;
}

void csf_factors(int mode, int scale, double nvd, int rdh, float out[3]) {
  float f1, f2;
  if (mode == kCsfBlend) {
    const BlendCsf* b = blend_csf(nvd, rdh);
    f1 = b->hv[scale];
    f2 = b->diag[scale];
  } else {
    f1 = 1.0f / quant_step(scale, 1, nvd, rdh);
    f2 = 1.0f / quant_step(scale, 2, nvd, rdh);
  }
  out[0] = f1;
  out[1] = f1;
  out[2] = f2;
}

}  // namespace

bool blend_csf_known(double norm_view_dist, int ref_display_height) {
  return blend_csf(norm_view_dist, ref_display_height) != nullptr;
}

Kernels scalar_kernels() {
  Kernels k{};
  k.dwt_v8 = dwt_v8_scalar;
  k.dwt_v16 = dwt_v16_scalar;
  k.dwt_h16 = dwt_h16_scalar;
  k.mask_row16 = mask_row16_scalar;
  k.decouple16 = decouple16_scalar;
  k.decouple32 = decouple32_scalar;
  k.dwt_v32 = dwt_v32_scalar;
  k.dwt_v16w = dwt_v16w_scalar;
  k.dwt_h32 = dwt_h32_scalar;
  k.csf16 = csf16_scalar;
  k.csf32 = csf32_scalar;
  k.mask_row32 = mask_row32_scalar;
  k.cube_sum16 = cube_sum16_scalar;
  k.cube_sum32 = cube_sum32_scalar;
  return k;
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
  if (cpu_flags & kCpuAvx512) use_avx512(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

// Source rows of each output row's four taps: 2i-1 .. 2i+2, mirrored at the top about
// the first row and at the bottom about the edge between the last row and the one past it.
void Scorer::index_tables(int h) {
  auto fill = [](std::vector<int>* t, int n) {
    const int half = (n + 1) / 2;
    for (int i = 0; i < half; ++i)
      for (int k = 0; k < 4; ++k) {
        int s = 2 * i - 1 + k;
        if (s < 0) s = -s;
        if (s >= n) s = 2 * n - s - 1;
        t[k][size_t(i)] = s;
      }
  };
  fill(iy_, h);
}

namespace {

// The squared cosine of one degree, as the float libvmaf compares against.
float cos1_sq() {
  const double c = std::cos(1.0 * 3.14159265358979323846264338327 / 180.0);
  return float(c * c);
}

// Splits the distorted coefficients into what follows the reference (r) and the rest (a). Where
// the two orientations (h, v) point within one degree of each other, the restored part may
// exceed the reference by the enhancement gain limit, up to the distorted value itself.
template <typename T, bool kWide>
inline void decouple_one(const T* const ref[3], const T* const dis[3], T* const r[3], T* const a[3],
                         size_t p, float cos_sq, double gain_limit, const int32_t* rt) {
  const int32_t oh = ref[0][p], ov = ref[1][p];
  const int32_t th = dis[0][p], tv = dis[1][p];
  const int64_t dp = int64_t(oh) * th + int64_t(ov) * tv;
  const int64_t om = int64_t(oh) * oh + int64_t(ov) * ov;
  const int64_t tm = int64_t(th) * th + int64_t(tv) * tv;
  const double dpf = double(float(dp)) / 4096.0;
  const bool angle = dpf >= 0.0f && dpf * dpf >= double(cos_sq) * (double(float(om)) / 4096.0) *
                                                     (double(float(tm)) / 4096.0);
  for (int t = 0; t < 3; ++t) {
    const int32_t o = ref[t][p], d = dis[t][p];
    int64_t k;
    if constexpr (!kWide) {
      // Selected rather than branched on: a zero reference coefficient keeps all of d.
      const int64_t rec = o >= 0 ? rt[o] : -int64_t(rt[-o]);
      const int64_t q = (rec * d + 16384) >> 15;
      k = o == 0 ? 32768 : q;
    } else if (o == 0) {
      k = 32768;
    } else {
      // Large divisors are rounded to their best 15 bits, the quotient shifted back.
      const uint32_t m = uint32_t(std::abs(o));
      int sh = 0;
      uint32_t den = m;
      if (m >= 32768) {
        sh = 17 - __builtin_clz(m);
        den = uint16_t((m + (1u << (sh - 1))) >> sh);
      }
      const int64_t q = int64_t(recip(int32_t(den))) * d * (o < 0 ? -1 : 1);
      k = (q + (int64_t(1) << (14 + sh))) >> (15 + sh);
    }
    k = std::clamp<int64_t>(k, 0, 32768);
    T rst = T((k * o + 16384) >> 15);
    if (angle && k > 0) {
      const double g2 = double(rst) * gain_limit;
      if (o > 0) rst = T(g2 < d ? g2 : double(d));
      if (o < 0) rst = T(g2 > d ? g2 : double(d));
    }
    r[t][p] = rst;
    a[t][p] = T(d - rst);
  }
}

int decouple16_scalar(const DecoupleRow16& row, int j0, int j1) {
  for (int j = j0; j < j1; ++j)
    decouple_one<int16_t, false>(row.ref, row.dis, row.r, row.a, size_t(j), row.cos1_sq,
                                 row.gain_limit, row.recip);
  return j1;
}

int decouple32_scalar(const DecoupleRow32& row, int j0, int j1) {
  for (int j = j0; j < j1; ++j)
    decouple_one<int32_t, true>(row.ref, row.dis, row.r, row.a, size_t(j), row.cos1_sq,
                                row.gain_limit, nullptr);
  return j1;
}
uint32_t ceil_log2_u(double v) {
  return uint32_t(int64_t(std::ceil(v)));
}
uint32_t half_pow2(uint32_t shift) {  // (uint32)pow(2, shift - 1), 0 for shift 0
  return shift == 0 ? 0u : (1u << (shift - 1));
}

// The shifts and rounding terms of a scale's denominator, and its row sums.
template <bool kWide>
struct Den {
  Region g;
  int sh = 0;  // scale 0: the row sums' shift
  uint64_t add = 0;
  uint32_t sh_cub = 0, sh_acc = 0, sq = 0;  // scales 1..3
  uint64_t add_cub = 0, add_acc = 0, add_sq = 0;
  uint64_t acc[3] = {0, 0, 0};

  Den(int w, int h, int scale) : g(score_region(w, h)) {
    if constexpr (!kWide) {
      const int area = (g.bottom - g.top) * (g.right - g.left);
      sh = int32_t(std::ceil(std::log2(area) - 20));
      sh = sh > 0 ? sh : 0;
      add = sh > 0 ? (uint64_t(1) << (sh - 1)) : 0;
    } else {
      static constexpr uint32_t kSq[3] = {31, 30, 31};
      sq = kSq[scale - 1];
      sh_cub = ceil_log2_u(std::log2(g.right - g.left));
      add_cub = half_pow2(sh_cub);
      sh_acc = ceil_log2_u(std::log2(g.bottom - g.top));
      add_acc = half_pow2(sh_acc);
      add_sq = uint64_t(1) << sq;  // libvmaf adds the whole unit, not half
    }
  }
  template <typename T>
  void row(const T* const ref[3], const Kernels& k) {
    for (int t = 0; t < 3; ++t) {
      if constexpr (!kWide) {
        acc[t] += (k.cube_sum16(ref[t] + g.left, g.right - g.left) + add) >> sh;
      } else {
        const uint64_t inner =
            k.cube_sum32(ref[t] + g.left, g.right - g.left, int(sq), add_sq, int(sh_cub), add_cub);
        acc[t] += (inner + add_acc) >> sh_acc;
      }
    }
  }
  float total(int scale, const float rf[3], double noise_weight) const {
    double csf[3];
    for (int t = 0; t < 3; ++t) {
      double div;
      if constexpr (!kWide) {
        div = std::pow(2, 18 - sh);
      } else {
        static constexpr uint32_t kConv[3] = {32, 27, 23};
        div = std::pow(2, double(uint32_t(kConv[scale - 1] - sh_acc - sh_cub)));
      }
      csf[t] = double(double(acc[t]) / div) * std::pow(double(rf[t]), 3);
    }
    const int area = (g.bottom - g.top) * (g.right - g.left);
    const float floor_add = std::pow(float(area * noise_weight), 1.0f / 3.0f);
    float s[3];
    for (int t = 0; t < 3; ++t)
      s[t] = std::pow(float(csf[t]), 1.0f / 3.0f) + floor_add;
    return s[0] + s[1] + s[2];
  }
};

// Contrast masking: each coefficient of `src`, CSF-weighted, less the masking threshold of its
// 3x3 neighbourhood (summed over the three orientations of x's centre and f's ring), cubed and
// summed over the score region. The neighbourhood mirrors at the top and left edges and repeats
// the last row and column at the bottom and right, as libvmaf does. The threshold is one sum
// over the orientations, so the ring is summed once over the orientations' totals: a 3x3 box of
// them less the centre. Sums wrap as libvmaf's int32 ones do.
template <bool kWide>
struct Mask {
  Region g;
  int w, h;
  uint32_t sh_cub[3], sh_acc;
  int64_t add_acc, add_cub[3];
  MaskRow16 m{};
  MaskRow32 m32{};
  int64_t acc[3] = {0, 0, 0};

  Mask(int w_, int h_, const uint16_t rf16[3], const uint32_t rf32[3])
      : g(score_region(w_, h_)), w(w_), h(h_) {
    int sh_sq[3], sh_sub[3];
    int64_t add_sq[3];
    if constexpr (!kWide) {
      const uint32_t c = ceil_log2_u(std::log2(w) - 4), cd = ceil_log2_u(std::log2(w) - 3);
      sh_cub[0] = c;
      sh_cub[1] = c;
      sh_cub[2] = cd;
      sh_sq[0] = sh_sq[1] = 29;
      sh_sq[2] = 30;
      add_sq[0] = add_sq[1] = 268435456;
      add_sq[2] = 536870912;
      sh_sub[0] = sh_sub[1] = 10;
      sh_sub[2] = 12;
    } else {
      const uint32_t c = ceil_log2_u(std::log2(w));
      sh_cub[0] = sh_cub[1] = sh_cub[2] = c;
      sh_sq[0] = sh_sq[1] = sh_sq[2] = 30;
      add_sq[0] = add_sq[1] = add_sq[2] = 536870912;
      sh_sub[0] = sh_sub[1] = sh_sub[2] = 0;
    }
    sh_acc = ceil_log2_u(std::log2(h));
    add_acc = half_pow2(sh_acc);
    for (int t = 0; t < 3; ++t)
      add_cub[t] = half_pow2(sh_cub[t]);
    if constexpr (!kWide) {
      for (int t = 0; t < 3; ++t) {
        m.rf[t] = rf16[t];
        m.sh_sub[t] = sh_sub[t];
        m.sh_sq[t] = sh_sq[t];
        m.add_sq[t] = add_sq[t];
        m.sh_cub[t] = sh_cub[t];
        m.add_cub[t] = add_cub[t];
      }
    } else {
      for (int t = 0; t < 3; ++t)
        m32.rf[t] = rf32[t];
      m32.sh_sq = sh_sq[0];
      m32.add_sq = add_sq[0];
      m32.sh_cub = sh_cub[0];
      m32.add_cub = add_cub[0];
    }
  }
  // The columns of the totals the ring reads.
  int c0() const { return std::max(g.left - 1, 0); }
  int c1() const { return std::min(g.right + 1, w); }

  // One score row: the totals of the rows above (tu), of its own (tm) and below (td).
  // Scale 0 reads the row's own ring share (own), the others its weighted coefficients (x).
  template <typename T>
  void row(const T* const src[3], const T* const x[3], const uint32_t* own, const uint32_t* tu,
           const uint32_t* tm, const uint32_t* td, uint32_t* col, const Kernels& k) {
    for (int j = c0(), e = c1(); j < e; ++j)
      col[j] = tu[j] + tm[j] + td[j];
    int64_t inner[3] = {0, 0, 0};
    // The ring's outer columns mirror at the left edge and repeat at the right one.
    int j = g.left;
    const int end = std::min(g.right, w - 1);
    if constexpr (!kWide) {
      m.col = col;
      m.sm = tm;
      m.own = own;
      for (int t = 0; t < 3; ++t)
        m.src[t] = src[t];
      if (j == 0) mask16_one(m, j++, 1, 1, inner);
      if (j < end) mask_row16_scalar(m, k.mask_row16(m, j, end, inner), end, inner);
      if (g.right == w) mask16_one(m, w - 1, w - 2, w - 1, inner);
    } else {
      m32.col = col;
      m32.sm = tm;
      for (int t = 0; t < 3; ++t) {
        m32.x[t] = x[t];
        m32.src[t] = src[t];
      }
      if (j == 0) mask32_one(m32, j++, 1, 1, inner);
      if (j < end) mask_row32_scalar(m32, k.mask_row32(m32, j, end, inner), end, inner);
      if (g.right == w) mask32_one(m32, w - 1, w - 2, w - 1, inner);
    }
    for (int t = 0; t < 3; ++t)
      acc[t] += (inner[t] + add_acc) >> sh_acc;
  }

  float total(int scale, double noise_weight) const {
    float fa[3];
    if constexpr (!kWide) {
      static constexpr uint32_t kPending[3] = {52, 52, 57};
      for (int t = 0; t < 3; ++t)
        fa[t] =
            float(double(acc[t]) / std::pow(2, double(uint32_t(kPending[t] - sh_cub[t] - sh_acc))));
    } else {
      static constexpr uint32_t kPending[3] = {45, 39, 36};
      const float div =
          float(std::pow(2, double(uint32_t(kPending[scale - 1] - sh_cub[0] - sh_acc))));
      for (int t = 0; t < 3; ++t)
        fa[t] = float(acc[t]) / div;
    }
    const int area = (g.bottom - g.top) * (g.right - g.left);
    const float floor_add = std::pow(float(area * noise_weight), 1.0f / 3.0f);
    float s[3];
    for (int t = 0; t < 3; ++t)
      s[t] = std::pow(fa[t], 1.0f / 3.0f) + floor_add;
    return s[0] + s[1] + s[2];
  }
};

// Decouples columns j0 .. j1-1 of one row.
void decouple_row(const int16_t* const ref[3], const int16_t* const dis[3], int16_t* const r[3],
                  int16_t* const a[3], int j0, int j1, double gain_limit, const Kernels& k) {
  DecoupleRow16 row{};
  row.gain_limit = gain_limit;
  row.cos1_sq = cos1_sq();
  row.recip = reciprocals();
  for (int t = 0; t < 3; ++t) {
    row.ref[t] = ref[t];
    row.dis[t] = dis[t];
    row.r[t] = r[t];
    row.a[t] = a[t];
  }
  int j = k.decouple16(row, j0, j1);
  // A column's outputs depend on its own inputs only: the last eight columns are done again
  // as one vector step rather than the last few by the scalar code.
  if (j < j1 && j + 8 > j1 && j1 - 8 >= j0) j = k.decouple16(row, j1 - 8, j1);
  decouple16_scalar(row, j, j1);
}
void decouple_row(const int32_t* const ref[3], const int32_t* const dis[3], int32_t* const r[3],
                  int32_t* const a[3], int j0, int j1, double gain_limit, const Kernels& k) {
  DecoupleRow32 row{};
  row.gain_limit = gain_limit;
  row.cos1_sq = cos1_sq();
  for (int t = 0; t < 3; ++t) {
    row.ref[t] = ref[t];
    row.dis[t] = dis[t];
    row.r[t] = r[t];
    row.a[t] = a[t];
  }
  // The vector form stops before a step it leaves to the scalar code: that step is done here
  // and the vector form resumes after it, rather than the scalar code taking the rest of the row.
  // The last few columns are done again as one vector step over the last eight, as above.
  for (int j = k.decouple32(row, j0, j1); j < j1; j = k.decouple32(row, j, j1)) {
    if (j + 8 > j1 && j1 - 8 >= j0 && k.decouple32(row, j1 - 8, j1) == j1) break;
    const int end = std::min(j + 8, j1);
    decouple32_scalar(row, j, end);
    j = end;
  }
}

// Contrast sensitivity weights of columns j0 .. j1-1: x = band * factor, f = |x| / 30 (the
// masking filter's share).
// Scale 0: the row's masking totals (tot) and own ring share straight from the coefficients.
void csf_row(const int16_t* const src[3], uint32_t* tot, uint32_t* own, int j0, int j1,
             const uint16_t rf16[3], const Kernels& k) {
  CsfRow16 row{};
  static constexpr int kShift[3] = {15, 15, 17};
  static constexpr int32_t kAdd[3] = {16384, 16384, 65535};
  for (int t = 0; t < 3; ++t) {
    row.src[t] = src[t];
    row.rf[t] = rf16[t];
    row.add[t] = kAdd[t];
    row.shift[t] = kShift[t];
  }
  row.tot = tot;
  row.own = own;
  k.csf16(row, j0, j1);
}
void csf_row(const int32_t* const src[3], int32_t* const x[3], int32_t* const f[3], int j0, int j1,
             const uint32_t rf32[3], const Kernels& k) {
  for (int t = 0; t < 3; ++t)
    k.csf32(src[t] + j0, j1 - j0, rf32[t], x[t] + j0, f[t] + j0);
}

struct ScaleScore {
  float num = 0, den = 0, aim = 0;
};

// One scale, a row at a time: dwt_row(i, band) makes row i of the low band the next scale reads
// and the h, v, d rows of both pictures; inside the rows the masking reads, the row is decoupled
// and weighted, and each score row is masked once the row below it is made.
template <typename T, typename DwtRow>
ScaleScore score_rows(int scale, int w, int h, const Params& p, const Kernels& k, ScaleRows<T>& b,
                      const float rf[3], const uint16_t rf16[3], const uint32_t rf32[3],
                      bool scored, DwtRow&& dwt_row) {
  constexpr bool kWide = sizeof(T) == 4;
  const Region tap = tap_region(w, h), g = score_region(w, h);
  Den<kWide> den(w, h, scale);
  Mask<kWide> num(w, h, rf16, rf32), aim(w, h, rf16, rf32);
  const bool with_aim = !p.skip_aim;
  auto ring = [&](std::vector<T>& v, int i) { return v.data() + size_t(i & 3) * b.stride; };
  auto ring_tot = [&](int which, int i) { return b.tot[which].data() + size_t(i & 3) * b.stride; };
  auto ring_own = [&](int which, int i) { return b.own[which].data() + size_t(i & 3) * b.stride; };
  T* band[2][3];
  T* f[3];
  for (int t = 0; t < 3; ++t) {
    band[0][t] = b.band[0][t].data();
    band[1][t] = b.band[1][t].data();
    f[t] = b.f[t].data();
  }
  const int c0 = num.c0(), c1 = num.c1();
  auto total = [&](uint32_t* out) {
    for (int j = c0; j < c1; ++j)
      out[j] = uint32_t(int32_t(f[0][j])) + uint32_t(int32_t(f[1][j])) + uint32_t(int32_t(f[2][j]));
  };
  auto mask = [&](int r) {
    const int up = r == 0 ? 1 : r - 1, down = r == h - 1 ? h - 1 : r + 1;
    const T* src[3];
    const T* x[3];
    for (int t = 0; t < 3; ++t) {
      src[t] = ring(b.dec[0][t], r);
      x[t] = ring(b.x[0][t], r);
    }
    num.row(src, x, ring_own(0, r), ring_tot(0, up), ring_tot(0, r), ring_tot(0, down),
            b.col.data(), k);
    if (!with_aim) return;
    for (int t = 0; t < 3; ++t) {
      src[t] = ring(b.dec[1][t], r);
      x[t] = ring(b.x[1][t], r);
    }
    aim.row(src, x, ring_own(1, r), ring_tot(1, up), ring_tot(1, r), ring_tot(1, down),
            b.col.data(), k);
  };
  for (int i = 0; i < h; ++i) {
    dwt_row(i, band);
    if (!scored || i < tap.top || i >= tap.bottom) continue;
    T *r[3], *a[3], *xn[3], *xa[3];
    for (int t = 0; t < 3; ++t) {
      r[t] = ring(b.dec[0][t], i);
      a[t] = ring(b.dec[1][t], i);
      xn[t] = ring(b.x[0][t], i);
      xa[t] = ring(b.x[1][t], i);
    }
    decouple_row(band[0], band[1], r, a, tap.left, tap.right, p.enhn_gain_limit, k);
    if (i >= g.top && i < g.bottom) den.row(band[0], k);
    if constexpr (!kWide) {
      // The totals over the tap columns, which hold the columns the ring reads.
      csf_row(a, ring_tot(0, i), ring_own(0, i), tap.left, tap.right, rf16, k);
      if (with_aim) csf_row(r, ring_tot(1, i), ring_own(1, i), tap.left, tap.right, rf16, k);
    } else {
      csf_row(a, xn, f, tap.left, tap.right, rf32, k);
      total(ring_tot(0, i));
      if (with_aim) {
        csf_row(r, xa, f, tap.left, tap.right, rf32, k);
        total(ring_tot(1, i));
      }
    }
    // Row i is the lower neighbour of row i-1, and the last row its own.
    if (i - 1 >= g.top && i - 1 < g.bottom) mask(i - 1);
    if (i == h - 1 && i >= g.top && i < g.bottom) mask(i);
  }
  ScaleScore s;
  if (!scored) return s;
  s.den = den.total(scale, rf, p.noise_weight);
  s.num = num.total(scale, p.noise_weight);
  if (with_aim) s.aim = aim.total(scale, 0.0);
  return s;
}

}  // namespace

template <typename T>
void ScaleRows<T>::alloc(size_t w) {
  stride = w;
  for (int p = 0; p < 2; ++p)
    for (int t = 0; t < 3; ++t) {
      band[p][t].assign(w, 0);
      dec[p][t].assign(4 * w, 0);
      x[p][t].assign(4 * w, 0);
    }
  for (auto& v : f)
    v.assign(w, 0);
  a.assign(w, 0);
  for (auto& v : tot)
    v.assign(4 * w, 0);
  if constexpr (sizeof(T) == 2)
    for (auto& v : own)
      v.assign(4 * w, 0);
  col.assign(w, 0);
}

Scorer::Scorer(int width, int height, const Params& params, const Kernels& kernels)
    : width_(width), height_(height), p_(params), k_(kernels) {
  const size_t hw = size_t(width + 1) / 2, hh = size_t(height + 1) / 2;
  stride_ = hw;
  for (auto& v : iy_)
    v.resize(hh);
  lo16_.resize(size_t(width));
  hi16_.resize(size_t(width));
  lo32_.resize(hw);
  hi32_.resize(hw);
  const size_t n1 = hw * ((hh + 1) / 2);  // scale 1: half the rows, same stride
  for (auto& l : low16_)
    l.alloc(hw * hh);
  for (auto& l : low_) {
    l[0].alloc(n1);
    l[1].alloc(n1);
  }
  rows16_.alloc(hw);
  rows32_.alloc((hw + 1) / 2);
}

void Scorer::score(const Plane& ref, const Plane& dist, Result* out) {
  int w = width_, h = height_;
  const double limit = 1e-10 * (w * h) / (1920.0 * 1080.0);
  double num = 0, den = 0, aim_num = 0;
  const bool fixed_factors =
      p_.csf_mode == kCsfWatson &&
      std::fabs(p_.norm_view_dist * p_.ref_display_height - 3.0 * 1080) < 1e-8;
  const Plane* pics[2] = {&ref, &dist};
  for (int scale = 0; scale < 4; ++scale) {
    index_tables(h);
    float rf[3];
    csf_factors(p_.csf_mode, scale, p_.norm_view_dist, p_.ref_display_height, rf);
    const int sw = w;  // the source's width
    w = (w + 1) / 2;
    h = (h + 1) / 2;
    ScaleScore s;
    if (scale == 0) {
      uint16_t rf16[3];
      if (fixed_factors) {
        rf16[0] = rf16[1] = 36453;
        rf16[2] = 49417;
      } else {
        rf16[0] = uint16_t(rf[0] * std::pow(2, 21));
        rf16[1] = uint16_t(rf[1] * std::pow(2, 21));
        rf16[2] = uint16_t(rf[2] * std::pow(2, 23));
      }
      auto dwt_row = [&](int i, int16_t* const band[2][3]) {
        for (int p = 0; p < 2; ++p) {
          const Plane& src = *pics[p];
          if (src.depth == 8) {
            const uint8_t* rows[4];
            for (int k = 0; k < 4; ++k)
              rows[k] = src.data + src.pitch * iy_[k][size_t(i)];
            k_.dwt_v8(rows, sw, lo16_.data(), hi16_.data());
          } else {
            const uint16_t* rows[4];
            for (int k = 0; k < 4; ++k)
              rows[k] = reinterpret_cast<const uint16_t*>(src.data + src.pitch * iy_[k][size_t(i)]);
            k_.dwt_v16(rows, sw, src.depth, lo16_.data(), hi16_.data());
          }
          k_.dwt_h16(lo16_.data(), hi16_.data(), sw, low16_[p].data() + size_t(i) * stride_,
                     band[p][1], band[p][0], band[p][2]);
        }
      };
      s = score_rows<int16_t>(0, w, h, p_, k_, rows16_, rf, rf16, nullptr, !p_.skip_scale0,
                              dwt_row);
      if (p_.skip_scale0) s.den = 1e-10f;
    } else {
      // The vertical pass keeps full precision at scale 1 and rounds 16 bits off after; the
      // horizontal pass rounds 15, 16 and 15 bits off.
      static constexpr int64_t kAddV[3] = {0, 32768, 32768}, kAddH[3] = {16384, 32768, 16384};
      static constexpr int kShiftV[3] = {0, 16, 16}, kShiftH[3] = {15, 16, 15};
      const int si = scale - 1;
      uint32_t rf32[3];
      for (int t = 0; t < 3; ++t)
        rf32[t] = uint32_t(rf[t] * std::pow(2, 32));
      auto dwt_row = [&](int i, int32_t* const band[2][3]) {
        for (int p = 0; p < 2; ++p) {
          if (scale == 1) {
            const int16_t* r[4];
            for (int k = 0; k < 4; ++k)
              r[k] = low16_[p].data() + size_t(iy_[k][size_t(i)]) * stride_;
            k_.dwt_v16w(r, sw, lo32_.data(), hi32_.data());
          } else {
            const int32_t* src = low_[p][(scale - 1) & 1].data();
            const int32_t* r[4];
            for (int k = 0; k < 4; ++k)
              r[k] = src + size_t(iy_[k][size_t(i)]) * stride_;
            k_.dwt_v32(r, sw, kAddV[si], kShiftV[si], lo32_.data(), hi32_.data());
          }
          int32_t* a =
              scale == 3 ? rows32_.a.data() : low_[p][scale & 1].data() + size_t(i) * stride_;
          k_.dwt_h32(lo32_.data(), hi32_.data(), sw, kAddH[si], kShiftH[si], a, band[p][1],
                     band[p][0], band[p][2]);
        }
      };
      s = score_rows<int32_t>(scale, w, h, p_, k_, rows32_, rf, nullptr, rf32, true, dwt_row);
    }
    num += s.num;
    den += s.den;
    aim_num += s.aim;
    out->num_scale[scale] = s.num;
    out->den_scale[scale] = s.den;
  }
  num = num < limit ? 0 : num;
  den = den < limit ? 0 : den;
  if (den == 0.0) {
    // Nothing the eye could see in either picture: no loss, and no additive impairment.
    out->adm2 = 1.0;
    out->aim = 0.0;
  } else {
    out->adm2 = num / den;
    out->aim = aim_num / den;
  }
  out->num = num;
  out->den = den;
  out->adm3 =
      std::max(out->adm2 * p_.dlm_weight + (1 - out->aim) * (1 - p_.dlm_weight), p_.min_val);
}

}  // namespace vq::adm
