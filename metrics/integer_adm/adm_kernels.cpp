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
  uint32_t ring = m.col[l] + m.col[j] + m.col[r] - m.sm[j];
  for (int t = 0; t < 3; ++t)
    ring += uint32_t(int32_t(int16_t((8738 * std::abs(int32_t(m.x[t][j])) + 2048) >> 12)));
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

void csf16_scalar(const int16_t* src, int n, uint16_t rf, int32_t add, int shift, int16_t* x,
                  int16_t* f) {
  for (int j = 0; j < n; ++j) {
    const int16_t xv = int16_t((int32_t(rf) * src[j] + add) >> shift);
    x[j] = xv;
    f[j] = int16_t((4369 * std::abs(int32_t(xv)) + 2048) >> 12);
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

int decouple16_scalar(const DecoupleRow16& row, int j0, int j1);  // with the decoupling below

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
void csf_factors(int scale, double nvd, int rdh, float out[3]) {
  const float f1 = 1.0f / quant_step(scale, 1, nvd, rdh);
  const float f2 = 1.0f / quant_step(scale, 2, nvd, rdh);
  out[0] = f1;
  out[1] = f1;
  out[2] = f2;
}

}  // namespace

Kernels scalar_kernels() {
  Kernels k{};
  k.dwt_v8 = dwt_v8_scalar;
  k.dwt_v16 = dwt_v16_scalar;
  k.dwt_h16 = dwt_h16_scalar;
  k.mask_row16 = mask_row16_scalar;
  k.decouple16 = decouple16_scalar;
  k.dwt_v32 = dwt_v32_scalar;
  k.dwt_h32 = dwt_h32_scalar;
  k.csf16 = csf16_scalar;
  k.csf32 = csf32_scalar;
  k.mask_row32 = mask_row32_scalar;
  k.cube_sum16 = cube_sum16_scalar;
  return k;
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

Scorer::Scorer(int width, int height, const Params& params, const Kernels& kernels)
    : width_(width), height_(height), p_(params), k_(kernels) {
  const size_t hw = size_t(width + 1) / 2, hh = size_t(height + 1) / 2;
  stride_ = hw;
  const size_t n = hw * hh;
  for (auto& v : iy_)
    v.resize(hh);
  lo16_.resize(size_t(width));
  hi16_.resize(size_t(width));
  lo32_.resize(hw);
  hi32_.resize(hw);
  for (Bands16* b : {&ref0_, &dis0_}) {
    b->a.alloc(n);
    b->h.alloc(n);
    b->v.alloc(n);
    b->d.alloc(n);
  }
  const size_t n1 = hw * ((hh + 1) / 2);  // scale 1 onwards: half the rows, same stride
  for (Bands32* b : {&ref_, &dis_}) {
    b->a.alloc(n);  // swapped with the low band of the scale before, so as large
    b->h.alloc(n1);
    b->v.alloc(n1);
    b->d.alloc(n1);
  }
  ref_a_.alloc(n);
  dis_a_.alloc(n);
  for (int t = 0; t < 3; ++t) {
    for (auto* v : {&r16_[t], &a16_[t], &x16_[t], &f16_[t]})
      v->alloc(n);
    for (auto* v : {&r32_[t], &a32_[t], &x32_[t], &f32_[t]})
      v->alloc(n1);
  }
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

void Scorer::dwt0(const Plane& src, Bands16* out) {
  const int w = width_, h = height_;
  const int hh = (h + 1) / 2;
  for (int i = 0; i < hh; ++i) {
    if (src.depth == 8) {
      const uint8_t* rows[4];
      for (int k = 0; k < 4; ++k)
        rows[k] = src.data + src.pitch * iy_[k][size_t(i)];
      k_.dwt_v8(rows, w, lo16_.data(), hi16_.data());
    } else {
      const uint16_t* rows[4];
      for (int k = 0; k < 4; ++k)
        rows[k] = reinterpret_cast<const uint16_t*>(src.data + src.pitch * iy_[k][size_t(i)]);
      k_.dwt_v16(rows, w, src.depth, lo16_.data(), hi16_.data());
    }
    const size_t o = size_t(i) * stride_;
    k_.dwt_h16(lo16_.data(), hi16_.data(), w, out->a.data() + o, out->v.data() + o,
               out->h.data() + o, out->d.data() + o);
  }
}

// Scales 1..3 from the previous scale's low band (int32, w x h at stride_): the vertical pass
// keeps full precision at scale 1 and rounds 16 bits off after; the horizontal pass rounds 15, 16
// and 15 bits off.
void Scorer::dwt_s(const Buf<int32_t>& src, int w, int h, int scale, Bands32* out) {
  static constexpr int64_t kAddV[3] = {0, 32768, 32768}, kAddH[3] = {16384, 32768, 16384};
  static constexpr int kShiftV[3] = {0, 16, 16}, kShiftH[3] = {15, 16, 15};
  const int s = scale - 1;
  const int hh = (h + 1) / 2;
  for (int i = 0; i < hh; ++i) {
    const int32_t* r[4];
    for (int k = 0; k < 4; ++k)
      r[k] = src.data() + size_t(iy_[k][size_t(i)]) * stride_;
    k_.dwt_v32(r, w, kAddV[s], kShiftV[s], lo32_.data(), hi32_.data());
    const size_t o = size_t(i) * stride_;
    k_.dwt_h32(lo32_.data(), hi32_.data(), w, kAddH[s], kShiftH[s], out->a.data() + o,
               out->v.data() + o, out->h.data() + o, out->d.data() + o);
  }
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

void decouple32(const int32_t* const ref[3], const int32_t* const dis[3], int32_t* const r[3],
                int32_t* const a[3], int w, int h, size_t stride, double gain_limit) {
  const float c = cos1_sq();
  const int32_t* rt = reciprocals();
  const Region g = tap_region(w, h);
  for (int i = g.top; i < g.bottom; ++i)
    for (int j = g.left; j < g.right; ++j)
      decouple_one<int32_t, true>(ref, dis, r, a, size_t(i) * stride + size_t(j), c, gain_limit,
                                  rt);
}

void decouple16(const int16_t* const ref[3], const int16_t* const dis[3], int16_t* const r[3],
                int16_t* const a[3], int w, int h, size_t stride, double gain_limit,
                const Kernels& k) {
  const Region g = tap_region(w, h);
  DecoupleRow16 row{};
  row.gain_limit = gain_limit;
  row.cos1_sq = cos1_sq();
  row.recip = reciprocals();
  for (int i = g.top; i < g.bottom; ++i) {
    const size_t o = size_t(i) * stride;
    for (int t = 0; t < 3; ++t) {
      row.ref[t] = ref[t] + o;
      row.dis[t] = dis[t] + o;
      row.r[t] = r[t] + o;
      row.a[t] = a[t] + o;
    }
    decouple16_scalar(row, k.decouple16(row, g.left, g.right), g.right);
  }
}

// Contrast sensitivity weights: x = band * factor, f = |x| / 30 (the masking filter's share).
void csf0(const int16_t* const src[3], int16_t* const x[3], int16_t* const f[3], int w, int h,
          size_t stride, const uint16_t rf[3], const Kernels& k) {
  static constexpr int kShift[3] = {15, 15, 17};
  static constexpr int32_t kAdd[3] = {16384, 16384, 65535};
  const Region g = tap_region(w, h);
  for (int t = 0; t < 3; ++t)
    for (int i = g.top; i < g.bottom; ++i) {
      const size_t p = size_t(i) * stride + size_t(g.left);
      k.csf16(src[t] + p, g.right - g.left, rf[t], kAdd[t], kShift[t], x[t] + p, f[t] + p);
    }
}
void csf_s(const int32_t* const src[3], int32_t* const x[3], int32_t* const f[3], int w, int h,
           size_t stride, const uint32_t rf[3], const Kernels& k) {
  const Region g = tap_region(w, h);
  for (int t = 0; t < 3; ++t)
    for (int i = g.top; i < g.bottom; ++i) {
      const size_t p = size_t(i) * stride + size_t(g.left);
      k.csf32(src[t] + p, g.right - g.left, rf[t], x[t] + p, f[t] + p);
    }
}

uint32_t ceil_log2_u(double v) {
  return uint32_t(int64_t(std::ceil(v)));
}
uint32_t half_pow2(uint32_t shift) {  // (uint32)pow(2, shift - 1), 0 for shift 0
  return shift == 0 ? 0u : (1u << (shift - 1));
}

// The denominator of a scale: the reference's CSF-weighted bands, cubed and summed over the
// score region, plus the noise floor.
float den0(const int16_t* const ref[3], int w, int h, size_t stride, const float rf[3],
           double noise_weight, const Kernels& k) {
  const Region g = score_region(w, h);
  const int area = (g.bottom - g.top) * (g.right - g.left);
  int32_t sh = int32_t(std::ceil(std::log2(area) - 20));
  sh = sh > 0 ? sh : 0;
  const uint64_t add = sh > 0 ? (uint64_t(1) << (sh - 1)) : 0;
  double csf[3];
  for (int t = 0; t < 3; ++t) {
    uint64_t acc = 0;
    for (int i = g.top; i < g.bottom; ++i) {
      const uint64_t inner =
          k.cube_sum16(ref[t] + size_t(i) * stride + size_t(g.left), g.right - g.left);
      acc += (inner + add) >> sh;
    }
    csf[t] = double(double(acc) / std::pow(2, 18 - sh)) * std::pow(double(rf[t]), 3);
  }
  const float floor_add = std::pow(float(area * noise_weight), 1.0f / 3.0f);
  float s[3];
  for (int t = 0; t < 3; ++t)
    s[t] = std::pow(float(csf[t]), 1.0f / 3.0f) + floor_add;
  return s[0] + s[1] + s[2];
}
float den_s(const int32_t* const ref[3], int w, int h, size_t stride, int scale, const float rf[3],
            double noise_weight) {
  static constexpr uint32_t kSq[3] = {31, 30, 31}, kConv[3] = {32, 27, 23};
  const int s = scale - 1;
  const Region g = score_region(w, h);
  const uint32_t sh_cub = ceil_log2_u(std::log2(g.right - g.left));
  const uint64_t add_cub = half_pow2(sh_cub);
  const uint32_t sh_acc = ceil_log2_u(std::log2(g.bottom - g.top));
  const uint64_t add_acc = half_pow2(sh_acc);
  const uint64_t add_sq = uint64_t(1) << kSq[s];  // libvmaf adds the whole unit, not half
  double csf[3];
  for (int t = 0; t < 3; ++t) {
    uint64_t acc = 0;
    for (int i = g.top; i < g.bottom; ++i) {
      uint64_t inner = 0;
      const int32_t* row = ref[t] + size_t(i) * stride;
      for (int j = g.left; j < g.right; ++j) {
        const uint64_t v = uint32_t(std::abs(row[j]));
        inner += ((((v * v) + add_sq) >> kSq[s]) * v + add_cub) >> sh_cub;
      }
      acc += (inner + add_acc) >> sh_acc;
    }
    const double div = std::pow(2, double(uint32_t(kConv[s] - sh_acc - sh_cub)));
    csf[t] = double(double(acc) / div) * std::pow(double(rf[t]), 3);
  }
  const int area = (g.bottom - g.top) * (g.right - g.left);
  const float floor_add = std::pow(float(area * noise_weight), 1.0f / 3.0f);
  float r[3];
  for (int t = 0; t < 3; ++t)
    r[t] = std::pow(float(csf[t]), 1.0f / 3.0f) + floor_add;
  return r[0] + r[1] + r[2];
}

// Contrast masking: each coefficient of `src`, CSF-weighted, less the masking threshold of its
// 3x3 neighbourhood (summed over the three orientations of x's centre and f's ring), cubed and
// summed over the score region. The neighbourhood mirrors at the top and left edges and repeats
// the last row and column at the bottom and right, as libvmaf does.
template <typename T, bool kWide>
float cm(const T* const src[3], const T* const x[3], const T* const f[3], int w, int h,
         size_t stride, int scale, const uint16_t rf16[3], const uint32_t rf32[3],
         double noise_weight, const Kernels& k) {
  const auto mask_row16 = k.mask_row16;
  const Region g = score_region(w, h);
  uint32_t sh_cub[3], sh_acc;
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
  const int64_t add_acc = half_pow2(sh_acc);
  int64_t add_cub[3];
  for (int t = 0; t < 3; ++t)
    add_cub[t] = half_pow2(sh_cub[t]);

  // The threshold is one sum over the orientations, so the ring is summed once over the
  // orientations' total: a 3x3 box of it less its centre. Sums wrap as libvmaf's int32 ones do.
  const int c0 = std::max(g.left - 1, 0), c1 = std::min(g.right + 1, w);
  std::vector<uint32_t> rows(size_t(w) * 4);
  uint32_t* su = rows.data();
  uint32_t* sm = su + w;
  uint32_t* sd = sm + w;
  uint32_t* col = sd + w;
  auto total = [&](size_t row, uint32_t* out) {
    for (int j = c0; j < c1; ++j)
      out[j] = uint32_t(int32_t(f[0][row + size_t(j)])) + uint32_t(int32_t(f[1][row + size_t(j)])) +
               uint32_t(int32_t(f[2][row + size_t(j)]));
  };
  // Each row's totals serve as the row below, the row and the row above: three buffers keep the
  // rows last made, and a row is made again only when none holds it.
  uint32_t* held_buf[3] = {su, sm, sd};
  int held_row[3] = {-1, -1, -1};
  auto row_total = [&](int r, int i) -> const uint32_t* {
    for (int b = 0; b < 3; ++b)
      if (held_row[b] == r) return held_buf[b];
    // A buffer none of rows i-1 .. i+1 needs (three rows, and this one is not held).
    int b = 0;
    while (held_row[b] >= i - 1 && held_row[b] <= i + 1 && held_row[b] != -1)
      ++b;
    total(size_t(r) * stride, held_buf[b]);
    held_row[b] = r;
    return held_buf[b];
  };
  MaskRow16 m{};
  if constexpr (!kWide) {
    m.col = col;
    for (int t = 0; t < 3; ++t) {
      m.rf[t] = rf16[t];
      m.sh_sub[t] = sh_sub[t];
      m.sh_sq[t] = sh_sq[t];
      m.add_sq[t] = add_sq[t];
      m.sh_cub[t] = sh_cub[t];
      m.add_cub[t] = add_cub[t];
    }
  }
  MaskRow32 m32{};
  if constexpr (kWide) {
    m32.col = col;
    for (int t = 0; t < 3; ++t)
      m32.rf[t] = rf32[t];
    m32.sh_sq = sh_sq[0];
    m32.add_sq = add_sq[0];
    m32.sh_cub = sh_cub[0];
    m32.add_cub = add_cub[0];
  }
  int64_t acc[3] = {0, 0, 0};
  for (int i = g.top; i < g.bottom; ++i) {
    const size_t mid = size_t(i) * stride;
    const uint32_t* tu = row_total(i == 0 ? 1 : i - 1, i);
    const uint32_t* tm = row_total(i, i);
    const uint32_t* td = row_total(i == h - 1 ? h - 1 : i + 1, i);
    for (int j = c0; j < c1; ++j)
      col[j] = tu[j] + tm[j] + td[j];
    m.sm = tm;
    m32.sm = tm;
    int64_t inner[3] = {0, 0, 0};
    if constexpr (!kWide) {
      for (int t = 0; t < 3; ++t) {
        m.x[t] = x[t] + mid;
        m.src[t] = src[t] + mid;
      }
      // The ring's outer columns mirror at the left edge and repeat at the right one.
      int j = g.left;
      if (j == 0) mask16_one(m, j++, 1, 1, inner);
      const int end = std::min(g.right, w - 1);
      if (j < end) mask_row16_scalar(m, mask_row16(m, j, end, inner), end, inner);
      if (g.right == w) mask16_one(m, w - 1, w - 2, w - 1, inner);
    } else {
      for (int t = 0; t < 3; ++t) {
        m32.x[t] = x[t] + mid;
        m32.src[t] = src[t] + mid;
      }
      int j = g.left;
      if (j == 0) mask32_one(m32, j++, 1, 1, inner);
      const int end = std::min(g.right, w - 1);
      if (j < end) mask_row32_scalar(m32, k.mask_row32(m32, j, end, inner), end, inner);
      if (g.right == w) mask32_one(m32, w - 1, w - 2, w - 1, inner);
    }
    for (int t = 0; t < 3; ++t)
      acc[t] += (inner[t] + add_acc) >> sh_acc;
  }
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

}  // namespace

void Scorer::score(const Plane& ref, const Plane& dist, Result* out) {
  int w = width_, h = height_;
  const double limit = 1e-10 * (w * h) / (1920.0 * 1080.0);
  double num = 0, den = 0, aim_num = 0;
  const bool fixed_factors =
      std::fabs(p_.norm_view_dist * p_.ref_display_height - 3.0 * 1080) < 1e-8;
  for (int scale = 0; scale < 4; ++scale) {
    float num_s = 0, den_s_ = 0, aim_s = 0;
    index_tables(h);
    float rf[3];
    csf_factors(scale, p_.norm_view_dist, p_.ref_display_height, rf);
    if (scale == 0) {
      dwt0(ref, &ref0_);
      dwt0(dist, &dis0_);
      w = (w + 1) / 2;
      h = (h + 1) / 2;
      for (int i = 0; i < h; ++i)
        for (int j = 0; j < w; ++j) {
          const size_t p = size_t(i) * stride_ + size_t(j);
          ref_a_[p] = ref0_.a[p];
          dis_a_[p] = dis0_.a[p];
        }
      if (p_.skip_scale0) {
        den_s_ = 1e-10f;
      } else {
        uint16_t rf16[3];
        if (fixed_factors) {
          rf16[0] = rf16[1] = 36453;
          rf16[2] = 49417;
        } else {
          rf16[0] = uint16_t(rf[0] * std::pow(2, 21));
          rf16[1] = uint16_t(rf[1] * std::pow(2, 21));
          rf16[2] = uint16_t(rf[2] * std::pow(2, 23));
        }
        const int16_t* rb[3] = {ref0_.h.data(), ref0_.v.data(), ref0_.d.data()};
        const int16_t* db[3] = {dis0_.h.data(), dis0_.v.data(), dis0_.d.data()};
        int16_t* r[3] = {r16_[0].data(), r16_[1].data(), r16_[2].data()};
        int16_t* a[3] = {a16_[0].data(), a16_[1].data(), a16_[2].data()};
        int16_t* x[3] = {x16_[0].data(), x16_[1].data(), x16_[2].data()};
        int16_t* f[3] = {f16_[0].data(), f16_[1].data(), f16_[2].data()};
        decouple16(rb, db, r, a, w, h, stride_, p_.enhn_gain_limit, k_);
        den_s_ = den0(rb, w, h, stride_, rf, p_.noise_weight, k_);
        csf0(a, x, f, w, h, stride_, rf16, k_);
        num_s = cm<int16_t, false>(r, x, f, w, h, stride_, 0, rf16, nullptr, p_.noise_weight, k_);
        if (!p_.skip_aim) {
          csf0(r, x, f, w, h, stride_, rf16, k_);
          aim_s = cm<int16_t, false>(a, x, f, w, h, stride_, 0, rf16, nullptr, 0.0, k_);
        }
      }
    } else {
      dwt_s(ref_a_, w, h, scale, &ref_);
      dwt_s(dis_a_, w, h, scale, &dis_);
      w = (w + 1) / 2;
      h = (h + 1) / 2;
      std::swap(ref_a_, ref_.a);
      std::swap(dis_a_, dis_.a);
      uint32_t rf32[3];
      for (int t = 0; t < 3; ++t)
        rf32[t] = uint32_t(rf[t] * std::pow(2, 32));
      const int32_t* rb[3] = {ref_.h.data(), ref_.v.data(), ref_.d.data()};
      const int32_t* db[3] = {dis_.h.data(), dis_.v.data(), dis_.d.data()};
      int32_t* r[3] = {r32_[0].data(), r32_[1].data(), r32_[2].data()};
      int32_t* a[3] = {a32_[0].data(), a32_[1].data(), a32_[2].data()};
      int32_t* x[3] = {x32_[0].data(), x32_[1].data(), x32_[2].data()};
      int32_t* f[3] = {f32_[0].data(), f32_[1].data(), f32_[2].data()};
      decouple32(rb, db, r, a, w, h, stride_, p_.enhn_gain_limit);
      den_s_ = den_s(rb, w, h, stride_, scale, rf, p_.noise_weight);
      csf_s(a, x, f, w, h, stride_, rf32, k_);
      num_s = cm<int32_t, true>(r, x, f, w, h, stride_, scale, nullptr, rf32, p_.noise_weight, k_);
      if (!p_.skip_aim) {
        csf_s(r, x, f, w, h, stride_, rf32, k_);
        aim_s = cm<int32_t, true>(a, x, f, w, h, stride_, scale, nullptr, rf32, 0.0, k_);
      }
    }
    num += num_s;
    den += den_s_;
    aim_num += aim_s;
    out->num_scale[scale] = num_s;
    out->den_scale[scale] = den_s_;
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
