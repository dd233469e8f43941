// The fixed-point VIF arithmetic, step for step as libvmaf rounds it.
//
// The filter taps and the fixed-point constants below are libvmaf's data: Copyright 2016-2020
// Netflix, Inc., BSD-2-Clause-Patent (https://opensource.org/licenses/BSDplusPatent).
#include <algorithm>
#include <bit>
#include <cmath>

#include "convert/convert.h"
#include "metrics/integer_vif/vif.h"

namespace vq::vif {

// Each scale's Gaussian, its taps summing to 65536.
const uint16_t kFilter[4][17] = {
    {489, 935, 1640, 2640, 3896, 5274, 6547, 7455, 7784, 7455, 6547, 5274, 3896, 2640, 1640, 935,
     489},
    {1244, 3663, 7925, 12590, 14692, 12590, 7925, 3663, 1244},
    {3571, 16004, 26386, 16004, 3571},
    {10904, 43728, 10904},
};

const uint16_t* log2_table() {
  static const std::vector<uint16_t> t = [] {
    // One entry past the last, so that a 32-bit read at any index stays inside.
    std::vector<uint16_t> v(65537, 0);
    for (int i = 32767; i < 65536; ++i)
      v[size_t(i)] = uint16_t(std::round(std::log2(float(i)) * 2048.0f));
    return v;
  }();
  return t.data();
}

namespace {

// The noise variance of the model: 2 at the 8-bit scale, times 65536.
constexpr int32_t kNoise = 65536 << 1;

// log2(v) * 2048 from the table's 16 leading bits of v; v is at least 2^17.
inline int32_t log2_fixed(const uint16_t* table, uint64_t v) {
  const int k = 48 - std::countl_zero(v);
  return table[v >> k] + 2048 * k;
}

void stat_v8_scalar(const uint8_t* const* ref, const uint8_t* const* dis, int w,
                    const StatRow& out) {
  const uint16_t* f = kFilter[0];
  for (int j = 0; j < w; ++j) {
    uint32_t m1 = 0, m2 = 0, xx = 0, yy = 0, xy = 0;
    for (int k = 0; k < kTaps[0]; ++k) {
      const uint32_t a = ref[k][j], b = dis[k][j];
      const uint32_t fa = f[k] * a, fb = f[k] * b;
      m1 += fa;
      m2 += fb;
      xx += fa * a;
      yy += fb * b;
      xy += fa * b;
    }
    out.mu1[j] = uint16_t((m1 + 128) >> 8);
    out.mu2[j] = uint16_t((m2 + 128) >> 8);
    out.xx[j] = xx;
    out.yy[j] = yy;
    out.xy[j] = xy;
  }
}

void stat_v16_scalar(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                     int shift_mu, int shift_sq, const StatRow& out) {
  const uint16_t* f = kFilter[scale];
  const int taps = kTaps[scale];
  const uint32_t round_mu = 1u << (shift_mu - 1);
  const uint64_t round_sq = shift_sq ? uint64_t(1) << (shift_sq - 1) : 0;
  for (int j = 0; j < w; ++j) {
    uint32_t m1 = 0, m2 = 0;
    uint64_t xx = 0, yy = 0, xy = 0;
    for (int k = 0; k < taps; ++k) {
      const uint32_t a = ref[k][j], b = dis[k][j];
      const uint32_t fa = f[k] * a, fb = f[k] * b;
      m1 += fa;
      m2 += fb;
      xx += uint64_t(fa) * a;
      yy += uint64_t(fb) * b;
      xy += uint64_t(fa) * b;
    }
    out.mu1[j] = uint16_t((m1 + round_mu) >> shift_mu);
    out.mu2[j] = uint16_t((m2 + round_mu) >> shift_mu);
    out.xx[j] = uint32_t((xx + round_sq) >> shift_sq);
    out.yy[j] = uint32_t((yy + round_sq) >> shift_sq);
    out.xy[j] = uint32_t((xy + round_sq) >> shift_sq);
  }
}

inline uint32_t square_hi(uint32_t a, uint32_t b) {
  return uint32_t((uint64_t(a) * b + 2147483648u) >> 32);
}

void stat_h_scalar(const StatRow& in, int w, int scale, const GainLimits& limits, Sums* sums) {
  const uint16_t* f = kFilter[scale];
  const int taps = kTaps[scale], half = taps / 2;
  for (int j = 0; j < w; ++j) {
    uint32_t m1 = 0, m2 = 0;
    uint64_t xx = 0, yy = 0, xy = 0;
    for (int k = 0; k < taps; ++k) {
      const int c = j - half + k;
      m1 += f[k] * uint32_t(in.mu1[c]);
      m2 += f[k] * uint32_t(in.mu2[c]);
      xx += f[k] * uint64_t(in.xx[c]);
      yy += f[k] * uint64_t(in.yy[c]);
      xy += f[k] * uint64_t(in.xy[c]);
    }
    const int32_t s1 = int32_t(uint32_t((xx + 32768) >> 16) - square_hi(m1, m1));
    const int32_t s2 = int32_t(uint32_t((yy + 32768) >> 16) - square_hi(m2, m2));
    const int32_t s12 = int32_t(uint32_t((xy + 32768) >> 16) - square_hi(m1, m2));
    add_terms(s1, s2, s12, limits, sums);
  }
}

void sub_v8_scalar(const uint8_t* const* ref, const uint8_t* const* dis, int w, uint16_t* ref_out,
                   uint16_t* dis_out) {
  const uint16_t* f = kFilter[1];
  for (int j = 0; j < w; ++j) {
    uint32_t a = 0, b = 0;
    for (int k = 0; k < kTaps[1]; ++k) {
      a += f[k] * uint32_t(ref[k][j]);
      b += f[k] * uint32_t(dis[k][j]);
    }
    ref_out[j] = uint16_t((a + 128) >> 8);
    dis_out[j] = uint16_t((b + 128) >> 8);
  }
}

void sub_v16_scalar(const uint16_t* const* ref, const uint16_t* const* dis, int w, int scale,
                    int shift, uint16_t* ref_out, uint16_t* dis_out) {
  const uint16_t* f = kFilter[scale];
  const int taps = kTaps[scale];
  const uint32_t round = 1u << (shift - 1);
  for (int j = 0; j < w; ++j) {
    uint32_t a = 0, b = 0;
    for (int k = 0; k < taps; ++k) {
      a += f[k] * uint32_t(ref[k][j]);
      b += f[k] * uint32_t(dis[k][j]);
    }
    ref_out[j] = uint16_t((a + round) >> shift);
    dis_out[j] = uint16_t((b + round) >> shift);
  }
}

void sub_h_scalar(const uint16_t* ref, const uint16_t* dis, int n, int scale, uint16_t* ref_out,
                  uint16_t* dis_out) {
  const uint16_t* f = kFilter[scale];
  const int taps = kTaps[scale], half = taps / 2;
  for (int j = 0; j < n; ++j) {
    uint32_t a = 0, b = 0;
    for (int k = 0; k < taps; ++k) {
      a += f[k] * uint32_t(ref[2 * j - half + k]);
      b += f[k] * uint32_t(dis[2 * j - half + k]);
    }
    ref_out[j] = uint16_t((a + 32768) >> 16);
    dis_out[j] = uint16_t((b + 32768) >> 16);
  }
}

// Row r of an h-row picture mirrored about its first and last rows.
inline int mirror(int r, int h) {
  if (r < 0) return -r;
  if (r >= h) return 2 * (h - 1) - r;
  return r;
}

// Mirrors `half` samples about column 0 and column w - 1.
template <class T>
void pad(T* row, int w, int half) {
  for (int f = 1; f <= half; ++f) {
    row[-f] = row[f];
    row[w - 1 + f] = row[w - 1 - f];
  }
}

}  // namespace

void add_terms(int32_t s1, int32_t s2, int32_t s12, const GainLimits& limits, Sums* sums) {
  const int n = limits.count;
  s2 = std::max(s2, 0);
  if (s1 < kNoise) {
    for (int i = 0; i < n; ++i) {
      sums[i].num_lin += s2;
      sums[i].den_lin += 1;
    }
    return;
  }
  const uint16_t* table = log2_table();
  const int32_t den = log2_fixed(table, uint64_t(uint32_t(kNoise + s1))) - 2048 * 17;
  for (int i = 0; i < n; ++i)
    sums[i].den_log += den;
  if (s12 <= 0 || s2 <= 0) return;
  // The gain of the distorted signal over the reference and the variance it leaves, in double
  // as libvmaf takes them; only the gain's limit differs from one sum to the next.
  constexpr double kEps = 65536 * 1.0e-10;
  const double g = s12 / (s1 + kEps);
  const int32_t sv = std::max(int32_t(s2 - g * s12), 0);
  const uint32_t n1 = uint32_t(sv + kNoise);
  const int32_t log_n1 = log2_fixed(table, n1);
  for (int i = 0; i < n; ++i) {
    const double gl = std::min(g, limits.limit[i]);
    const int64_t n2 = int64_t(gl * gl * s1) + n1;
    sums[i].num_log += log2_fixed(table, uint64_t(n2)) - log_n1;
  }
}

Kernels scalar_kernels() {
  return {stat_v8_scalar, stat_v16_scalar, stat_h_scalar,
          sub_v8_scalar,  sub_v16_scalar,  sub_h_scalar};
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

Scorer::Scorer(int width, int height, int depth, const Params& params, const Kernels& kernels)
    : width_(width), height_(height), depth_(depth), p_(params), k_(kernels) {
  const size_t row = size_t(width) + 2 * kPad;
  mu1_.assign(row, 0);
  mu2_.assign(row, 0);
  xx_.assign(row, 0);
  yy_.assign(row, 0);
  xy_.assign(row, 0);
  conv_ref_.assign(row, 0);
  conv_dis_.assign(row, 0);
  for (int s = 1; s < 4; ++s) {
    const size_t n = size_t(width >> s) * size_t(height >> s);
    ref_[s].assign(n, 0);
    dis_[s].assign(n, 0);
  }
}

template <class T>
void Scorer::scale_pass(const Plane& ref, const Plane& dis, int scale, Result* out) {
  const int w = width_ >> scale, h = height_ >> scale;
  auto row = [h](const Plane& p, int r) {
    return reinterpret_cast<const T*>(p.data + p.pitch * mirror(r, h));
  };
  const T* rr[17];
  const T* dr[17];
  if (scale > 0 || !p_.skip_scale0) {
    const int taps = kTaps[scale], half = taps / 2;
    const int shift_mu = scale == 0 ? depth_ : 16;
    const int shift_sq = scale == 0 ? 2 * (depth_ - 8) : 16;
    const StatRow st = {mu1_.data() + kPad, mu2_.data() + kPad, xx_.data() + kPad,
                        yy_.data() + kPad, xy_.data() + kPad};
    Sums sums[kMaxGainLimits];
    for (int i = 0; i < h; ++i) {
      for (int k = 0; k < taps; ++k) {
        rr[k] = row(ref, i - half + k);
        dr[k] = row(dis, i - half + k);
      }
      if constexpr (sizeof(T) == 1)
        k_.stat_v8(rr, dr, w, st);
      else
        k_.stat_v16(rr, dr, w, scale, shift_mu, shift_sq, st);
      pad(st.mu1, w, half);
      pad(st.mu2, w, half);
      pad(st.xx, w, half);
      pad(st.yy, w, half);
      pad(st.xy, w, half);
      k_.stat_h(st, w, scale, p_.gain, sums);
    }
    for (int l = 0; l < p_.gain.count; ++l) {
      const Sums& u = sums[l];
      out[l].num[scale] = float(double(u.num_log) / 2048.0 +
                                (double(u.den_lin) - (double(u.num_lin) / 16384.0) / 65025.0));
      out[l].den[scale] = float(double(u.den_log) / 2048.0 + double(u.den_lin));
    }
  }
  if (scale == 3) return;
  const int next = scale + 1, taps = kTaps[next], half = taps / 2;
  const int shift = scale == 0 ? depth_ : 16;
  const int nw = w / 2, nh = h / 2;
  uint16_t* cr = conv_ref_.data() + kPad;
  uint16_t* cd = conv_dis_.data() + kPad;
  for (int r = 0; r < nh; ++r) {
    for (int k = 0; k < taps; ++k) {
      rr[k] = row(ref, 2 * r - half + k);
      dr[k] = row(dis, 2 * r - half + k);
    }
    if constexpr (sizeof(T) == 1)
      k_.sub_v8(rr, dr, w, cr, cd);
    else
      k_.sub_v16(rr, dr, w, next, shift, cr, cd);
    pad(cr, w, half);
    pad(cd, w, half);
    k_.sub_h(cr, cd, nw, next, ref_[next].data() + size_t(r) * size_t(nw),
             dis_[next].data() + size_t(r) * size_t(nw));
  }
}

void Scorer::score(const Plane& ref, const Plane& dist, Result* out) {
  if (depth_ == 8)
    scale_pass<uint8_t>(ref, dist, 0, out);
  else
    scale_pass<uint16_t>(ref, dist, 0, out);
  for (int s = 1; s < 4; ++s) {
    const ptrdiff_t pitch = ptrdiff_t(width_ >> s) * 2;
    const Plane r = {reinterpret_cast<const uint8_t*>(ref_[s].data()), pitch, 16};
    const Plane d = {reinterpret_cast<const uint8_t*>(dis_[s].data()), pitch, 16};
    scale_pass<uint16_t>(r, d, s, out);
  }
}

}  // namespace vq::vif
