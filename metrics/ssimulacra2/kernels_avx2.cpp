// The AVX2 tier: the scalar kernels' chains, eight lanes at a time, with FMA exactly where the
// scalar kernels call std::fma (the instruction rounds once, as std::fma does) and nowhere else.
// Along rows the lanes are eight rows, turned into columns of a scratch block and back.
#include <immintrin.h>

#include <algorithm>

#include "metrics/ssimulacra2/kernels_impl.h"

namespace vq::ssim2 {
namespace {

inline __m256 fma(__m256 a, __m256 b, __m256 c) {
  return _mm256_fmadd_ps(a, b, c);
}
inline __m256 splat(float v) {
  return _mm256_set1_ps(v);
}

__m256 cube_root_add(__m256 x, __m256 add) {
  const __m256 k13 = splat(1.0f / 3), k43 = splat(4.0f / 3);
  const __m256 x3 = _mm256_mul_ps(k13, x);
  const __m256i bits = _mm256_castps_si256(x);
  const __m256i guess = _mm256_sub_epi32(
      _mm256_set1_epi32(0x54800000),
      _mm256_mullo_epi32(_mm256_srai_epi32(bits, 23), _mm256_set1_epi32(0x002AAAAA)));
  const __m256i is_zero = _mm256_cmpeq_epi32(bits, _mm256_setzero_si256());
  __m256 r = _mm256_castsi256_ps(_mm256_andnot_si256(is_zero, guess));
  const __m256 neg_x3 = _mm256_sub_ps(_mm256_setzero_ps(), x3);
  for (int i = 0; i < 3; ++i) {
    const __m256 r2 = _mm256_mul_ps(r, r);
    r = fma(neg_x3, _mm256_mul_ps(r2, r2), _mm256_mul_ps(k43, r));
  }
  __m256 r2 = _mm256_mul_ps(r, r);
  const __m256 neg_x = _mm256_sub_ps(_mm256_setzero_ps(), x);
  r = fma(k13, fma(neg_x, _mm256_mul_ps(r2, r2), r), r);
  r2 = _mm256_mul_ps(r, r);
  return fma(r2, x, add);
}

void xyb(const float* r, const float* g, const float* b, int n, float* x, float* y, float* bmy) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 vr = _mm256_loadu_ps(r + i), vg = _mm256_loadu_ps(g + i),
                 vb = _mm256_loadu_ps(b + i);
    __m256 m[3];
    for (int k = 0; k < 3; ++k) {
      const __m256 v =
          fma(splat(kOpsin[k][0]), vr,
              fma(splat(kOpsin[k][1]), vg, fma(splat(kOpsin[k][2]), vb, splat(kBias))));
      // max(0, v) keeps v unless 0 > v, as the scalar comparison does.
      m[k] = cube_root_add(_mm256_max_ps(_mm256_setzero_ps(), v), splat(scalar::kNegBiasCbrt));
    }
    const __m256 half = splat(0.5f);
    const __m256 vx = _mm256_mul_ps(half, _mm256_sub_ps(m[0], m[1]));
    const __m256 vy = _mm256_mul_ps(half, _mm256_add_ps(m[0], m[1]));
    _mm256_storeu_ps(bmy + i, _mm256_add_ps(_mm256_sub_ps(m[2], vy), splat(kBOffset)));
    _mm256_storeu_ps(x + i, _mm256_add_ps(_mm256_mul_ps(vx, splat(kXScale)), splat(kXOffset)));
    _mm256_storeu_ps(y + i, _mm256_add_ps(vy, splat(kYOffset)));
  }
  if (i < n) scalar::xyb(r + i, g + i, b + i, n - i, x + i, y + i, bmy + i);
}

// Rows r[0..7] at columns x..x+7, turned so that column x + j becomes vector j (stored at
// out + 8 j).
inline void transpose8(const __m256 v[8], float* out) {
  const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpackhi_ps(v[0], v[1]);
  const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]), t3 = _mm256_unpackhi_ps(v[2], v[3]);
  const __m256 t4 = _mm256_unpacklo_ps(v[4], v[5]), t5 = _mm256_unpackhi_ps(v[4], v[5]);
  const __m256 t6 = _mm256_unpacklo_ps(v[6], v[7]), t7 = _mm256_unpackhi_ps(v[6], v[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  _mm256_storeu_ps(out + 0, _mm256_permute2f128_ps(u0, u4, 0x20));
  _mm256_storeu_ps(out + 8, _mm256_permute2f128_ps(u1, u5, 0x20));
  _mm256_storeu_ps(out + 16, _mm256_permute2f128_ps(u2, u6, 0x20));
  _mm256_storeu_ps(out + 24, _mm256_permute2f128_ps(u3, u7, 0x20));
  _mm256_storeu_ps(out + 32, _mm256_permute2f128_ps(u0, u4, 0x31));
  _mm256_storeu_ps(out + 40, _mm256_permute2f128_ps(u1, u5, 0x31));
  _mm256_storeu_ps(out + 48, _mm256_permute2f128_ps(u2, u6, 0x31));
  _mm256_storeu_ps(out + 56, _mm256_permute2f128_ps(u3, u7, 0x31));
}

struct Terms {
  __m256 p1[3], p2[3];
};

void blur_rows(const float* const a[kLanes], const float* const b[kLanes], int w,
               float* const out[kLanes], float* scratch) {
  const BlurCoefficients& c = blur_coefficients();
  // Locals, so that the stores below cannot be taken to change them.
  const float* pa[kLanes];
  const float* pb[kLanes];
  float* po[kLanes];
  for (int l = 0; l < kLanes; ++l) {
    pa[l] = a[l];
    pb[l] = b[l];
    po[l] = out[l];
  }
  float* in = scratch;                   // column x at in + 8 x
  float* res = scratch + size_t(w) * 8;  // output column x at res + 8 x
  int x = 0;
  for (; x + 8 <= w; x += 8) {
    __m256 v[8];
    for (int l = 0; l < 8; ++l) {
      v[l] = _mm256_loadu_ps(pa[l] + x);
      if (pb[l] != nullptr) v[l] = _mm256_mul_ps(v[l], _mm256_loadu_ps(pb[l] + x));
    }
    transpose8(v, in + size_t(x) * 8);
  }
  for (; x < w; ++x)
    for (int l = 0; l < 8; ++l)
      in[size_t(x) * 8 + size_t(l)] = pb[l] ? pa[l][x] * pb[l][x] : pa[l][x];

  const int r = c.radius;
  // The coefficients as vectors, once: the stores below could otherwise be taken to change them.
  __m256 k_in[3][4], k_prev[3][4], k_prev2[3][4], k_n2[3];
  for (int k = 0; k < 3; ++k) {
    k_n2[k] = splat(c.n2[k]);
    for (int j = 0; j < 4; ++j) {
      k_in[k][j] = splat(c.in[k][j]);
      k_prev[k][j] = splat(c.prev[k][j]);
      k_prev2[k][j] = splat(c.prev2[k][j]);
    }
  }
  Terms t;
  for (int k = 0; k < 3; ++k)
    t.p1[k] = t.p2[k] = _mm256_setzero_ps();
  auto column = [&](int i) { return _mm256_loadu_ps(in + size_t(i) * 8); };
  auto edge = [&](int n) {
    const int left = n - r - 1, right = n + r - 1;
    const __m256 sum = _mm256_add_ps(left >= 0 ? column(left) : _mm256_setzero_ps(),
                                     right < w ? column(right) : _mm256_setzero_ps());
    __m256 y[3];
    for (int k = 0; k < 3; ++k) {
      y[k] = fma(k_prev[k][0], t.p1[k], fma(k_prev2[k][0], t.p2[k], _mm256_mul_ps(sum, k_n2[k])));
      t.p2[k] = t.p1[k];
      t.p1[k] = y[k];
    }
    const __m256 v = _mm256_add_ps(y[0], _mm256_add_ps(y[1], y[2]));
    if (n >= 0) _mm256_storeu_ps(res + size_t(n) * 8, v);
  };
  int n = -r + 1;
  for (; n < std::min(scalar::kHead, w); ++n)
    edge(n);
  for (; n < w - r + 1 - 3; n += 4) {
    __m256 s[4], y[3][4];
    for (int j = 0; j < 4; ++j)
      s[j] = _mm256_add_ps(column(n - r - 1 + j), column(n + r - 1 + j));
    for (int k = 0; k < 3; ++k) {
      for (int j = 0; j < 4; ++j) {
        __m256 v = _mm256_mul_ps(s[0], k_in[k][j]);
        for (int i = 1; i <= j; ++i)
          v = fma(k_in[k][j - i], s[i], v);
        v = fma(k_prev2[k][j], t.p2[k], v);
        y[k][j] = fma(k_prev[k][j], t.p1[k], v);
      }
      t.p2[k] = y[k][2];
      t.p1[k] = y[k][3];
    }
    for (int j = 0; j < 4; ++j)
      _mm256_storeu_ps(res + size_t(n + j) * 8,
                       _mm256_add_ps(y[0][j], _mm256_add_ps(y[1][j], y[2][j])));
  }
  for (; n < w; ++n)
    edge(n);

  x = 0;
  for (; x + 8 <= w; x += 8) {
    __m256 v[8];
    for (int j = 0; j < 8; ++j)
      v[j] = _mm256_loadu_ps(res + size_t(x + j) * 8);
    alignas(32) float block[64];
    transpose8(v, block);
    for (int l = 0; l < 8; ++l)
      _mm256_storeu_ps(po[l] + x, _mm256_load_ps(block + 8 * l));
  }
  for (; x < w; ++x)
    for (int l = 0; l < 8; ++l)
      po[l][x] = res[size_t(x) * 8 + size_t(l)];
}

void blur_columns(const float* const top[], const float* const bottom[], int steps, int n,
                  float* const state[6], float* const out[]) {
  const BlurCoefficients& c = blur_coefficients();
  // Locals, so that the stores below cannot be taken to change them.
  __m256 n2[3], neg_d1[3];
  for (int k = 0; k < 3; ++k) {
    n2[k] = splat(c.n2[k]);
    neg_d1[k] = splat(-c.d1[k]);
  }
  const float* t[kBand];
  const float* b[kBand];
  float* o[kBand];
  float* st[6];
  for (int s = 0; s < 6; ++s)
    st[s] = state[s];
  for (int i = 0; i < steps; ++i) {
    t[i] = top[i];
    b[i] = bottom[i];
    o[i] = out[i];
  }
  // Columns through every step, the state in registers: S strips of eight side by side, so that
  // each step's chains of one strip wait on their last step while the other strips' run.
  auto strips = [&]<int S>(int x) {
    __m256 p1[S][3], p2[S][3];
    for (int j = 0; j < S; ++j)
      for (int k = 0; k < 3; ++k) {
        p1[j][k] = _mm256_loadu_ps(st[2 * k] + x + 8 * j);
        p2[j][k] = _mm256_loadu_ps(st[2 * k + 1] + x + 8 * j);
      }
    for (int i = 0; i < steps; ++i)
      for (int j = 0; j < S; ++j) {
        const __m256 below = _mm256_loadu_ps(b[i] + x + 8 * j);
        const __m256 sum = t[i] ? _mm256_add_ps(_mm256_loadu_ps(t[i] + x + 8 * j), below) : below;
        __m256 y[3];
        for (int k = 0; k < 3; ++k) {
          y[k] = fma(n2[k], sum,
                     fma(neg_d1[k], p1[j][k], _mm256_sub_ps(_mm256_setzero_ps(), p2[j][k])));
          p2[j][k] = p1[j][k];
          p1[j][k] = y[k];
        }
        if (o[i] != nullptr)
          _mm256_storeu_ps(o[i] + x + 8 * j, _mm256_add_ps(y[0], _mm256_add_ps(y[1], y[2])));
      }
    for (int j = 0; j < S; ++j)
      for (int k = 0; k < 3; ++k) {
        _mm256_storeu_ps(st[2 * k] + x + 8 * j, p1[j][k]);
        _mm256_storeu_ps(st[2 * k + 1] + x + 8 * j, p2[j][k]);
      }
  };
  int x = 0;
  for (; x + 16 <= n; x += 16)
    strips.template operator()<2>(x);
  for (; x + 8 <= n; x += 8)
    strips.template operator()<1>(x);
  if (x < n) {
    // The last columns, as the scalar kernel takes them from offset rows.
    for (int i = 0; i < steps; ++i) {
      t[i] = top[i] ? top[i] + x : nullptr;
      b[i] = bottom[i] + x;
      o[i] = out[i] ? out[i] + x : nullptr;
    }
    float* rest[6];
    for (int s = 0; s < 6; ++s)
      rest[s] = st[s] + x;
    scalar::blur_columns(t, b, steps, n - x, rest, o);
  }
}

// Four lanes' 1 - SSIM, from float steps as the scalar form takes them.
inline __m256d ssim4(__m128 mu1, __m128 mu2, __m128 s11, __m128 s22, __m128 s12) {
  const __m128 mu11 = _mm_mul_ps(mu1, mu1), mu22 = _mm_mul_ps(mu2, mu2),
               mu12 = _mm_mul_ps(mu1, mu2);
  const __m128 diff = _mm_sub_ps(mu1, mu2);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m128 num_m = _mm256_cvtpd_ps(_mm256_sub_pd(one, _mm256_cvtps_pd(_mm_mul_ps(diff, diff))));
  const __m128 c2 = _mm_set1_ps(kC2);
  const __m128 num_s = _mm_add_ps(_mm_mul_ps(_mm_set1_ps(2.0f), _mm_sub_ps(s12, mu12)), c2);
  const __m128 denom_s = _mm_add_ps(_mm_add_ps(_mm_sub_ps(s11, mu11), _mm_sub_ps(s22, mu22)), c2);
  const __m256d d =
      _mm256_sub_pd(one, _mm256_cvtps_pd(_mm_div_ps(_mm_mul_ps(num_m, num_s), denom_s)));
  // max(0, d) keeps d unless 0 > d, as the scalar comparison does.
  return _mm256_max_pd(_mm256_setzero_pd(), d);
}

inline __m256d quartic(__m256d d) {
  const __m256d q = _mm256_mul_pd(d, d);
  return _mm256_mul_pd(q, q);
}

void ssim_sums(const float* mu1, const float* mu2, const float* s11, const float* s22,
               const float* s12, int n, double acc[8]) {
  __m256d sum = _mm256_loadu_pd(acc), sum4 = _mm256_loadu_pd(acc + 4);
  int x = 0;
  for (; x + 4 <= n; x += 4) {
    const __m256d d = ssim4(_mm_loadu_ps(mu1 + x), _mm_loadu_ps(mu2 + x), _mm_loadu_ps(s11 + x),
                            _mm_loadu_ps(s22 + x), _mm_loadu_ps(s12 + x));
    sum = _mm256_add_pd(sum, d);
    sum4 = _mm256_add_pd(sum4, quartic(d));
  }
  _mm256_storeu_pd(acc, sum);
  _mm256_storeu_pd(acc + 4, sum4);
  // The rest go to lanes 0 .. n - x - 1, as x % 4 places them.
  if (x < n) scalar::ssim_sums(mu1 + x, mu2 + x, s11 + x, s22 + x, s12 + x, n - x, acc);
}

void edge_sums(const float* ref, const float* mu1, const float* dist, const float* mu2, int n,
               double acc[16]) {
  const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m256d one = _mm256_set1_pd(1.0), zero = _mm256_setzero_pd();
  __m256d s[4];
  for (int i = 0; i < 4; ++i)
    s[i] = _mm256_loadu_pd(acc + 4 * i);
  int x = 0;
  for (; x + 4 <= n; x += 4) {
    const __m128 e2 =
        _mm_and_ps(abs_mask, _mm_sub_ps(_mm_loadu_ps(dist + x), _mm_loadu_ps(mu2 + x)));
    const __m128 e1 =
        _mm_and_ps(abs_mask, _mm_sub_ps(_mm_loadu_ps(ref + x), _mm_loadu_ps(mu1 + x)));
    const __m256d d = _mm256_sub_pd(_mm256_div_pd(_mm256_add_pd(one, _mm256_cvtps_pd(e2)),
                                                  _mm256_add_pd(one, _mm256_cvtps_pd(e1))),
                                    one);
    // max(0, v) keeps v unless 0 > v, as the scalar comparisons do.
    const __m256d artifact = _mm256_max_pd(zero, d);
    const __m256d lost = _mm256_max_pd(zero, _mm256_sub_pd(zero, d));
    s[0] = _mm256_add_pd(s[0], artifact);
    s[1] = _mm256_add_pd(s[1], quartic(artifact));
    s[2] = _mm256_add_pd(s[2], lost);
    s[3] = _mm256_add_pd(s[3], quartic(lost));
  }
  for (int i = 0; i < 4; ++i)
    _mm256_storeu_pd(acc + 4 * i, s[i]);
  if (x < n) scalar::edge_sums(ref + x, mu1 + x, dist + x, mu2 + x, n - x, acc);
}

}  // namespace

void use_avx2(Kernels* k) {
  k->xyb = xyb;
  k->blur_rows = blur_rows;
  k->blur_columns = blur_columns;
  k->ssim_sums = ssim_sums;
  k->edge_sums = edge_sums;
}

}  // namespace vq::ssim2
