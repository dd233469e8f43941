// The AVX2 tier of the row kernels, eight outputs a step. Each output keeps the baseline's own
// chain: a float product, widened to double, added in tap order; the eight lanes are eight such
// chains side by side (four doubles per register, so each step holds a low and a high half).
// Nothing here may fuse a multiply with an add: the library builds with -ffp-contract=off and
// this file without FMA.
#include <immintrin.h>

#include "metrics/float_ssim/fssim.h"
#include "metrics/float_ssim/taps.h"

namespace vq::fssim {

namespace {

// Eight running sums in double: lanes 0..3 and 4..7.
struct Sum8 {
  __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
  void add(__m256 products) {
    lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(products)));
    hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(products, 1)));
  }
  [[nodiscard]] __m256 rounded() const {
    return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
  }
};

void window_h(const float* a, const float* b, int n, float* const out[5]) {
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    Sum8 s[5];
    for (int u = 0; u < kWindow; ++u) {
      const __m256 k = _mm256_set1_ps(kGauss[u]);
      const __m256 av = _mm256_loadu_ps(a + x + u), bv = _mm256_loadu_ps(b + x + u);
      s[0].add(_mm256_mul_ps(av, k));
      s[1].add(_mm256_mul_ps(bv, k));
      s[2].add(_mm256_mul_ps(_mm256_mul_ps(av, av), k));
      s[3].add(_mm256_mul_ps(_mm256_mul_ps(bv, bv), k));
      s[4].add(_mm256_mul_ps(_mm256_mul_ps(av, bv), k));
    }
    for (int p = 0; p < 5; ++p)
      _mm256_storeu_ps(out[p] + x, s[p].rounded());
  }
  if (x < n) {
    float* rest[5];
    for (int p = 0; p < 5; ++p)
      rest[p] = out[p] + x;
    scalar_kernels().window_h(a + x, b + x, n - x, rest);
  }
}

void window_v(const float* const rows[5 * kWindow], int n, float* const out[5]) {
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    for (int p = 0; p < 5; ++p) {
      Sum8 s0, s1;
      for (int v = 0; v < kWindow; ++v) {
        const __m256 k = _mm256_set1_ps(kGauss[v]);
        const float* r = rows[p * kWindow + v] + x;
        s0.add(_mm256_mul_ps(_mm256_loadu_ps(r), k));
        s1.add(_mm256_mul_ps(_mm256_loadu_ps(r + 8), k));
      }
      _mm256_storeu_ps(out[p] + x, s0.rounded());
      _mm256_storeu_ps(out[p] + x + 8, s1.rounded());
    }
  }
  for (; x + 8 <= n; x += 8) {
    for (int p = 0; p < 5; ++p) {
      Sum8 s;
      for (int v = 0; v < kWindow; ++v)
        s.add(_mm256_mul_ps(_mm256_loadu_ps(rows[p * kWindow + v] + x), _mm256_set1_ps(kGauss[v])));
      _mm256_storeu_ps(out[p] + x, s.rounded());
    }
  }
  if (x < n) {
    const float* rest_in[5 * kWindow];
    for (int r = 0; r < 5 * kWindow; ++r)
      rest_in[r] = rows[r] + x;
    float* rest[5];
    for (int p = 0; p < 5; ++p)
      rest[p] = out[p] + x;
    scalar_kernels().window_v(rest_in, n - x, rest);
  }
}

// The terms of four window positions, as the baseline forms them lane by lane: luminance and
// contrast are a double numerator over a float denominator, structure a float quotient.
struct Terms4 {
  __m256d l, c, s;
};

inline Terms4 terms4(__m128 mu1, __m128 mu2, __m128 xx, __m128 yy, __m128 xy) {
  const __m128 zero = _mm_setzero_ps();
  // max(0, v) gives v itself unless 0 > v, as the baseline's comparison does.
  const __m128 v1 = _mm_max_ps(zero, _mm_sub_ps(xx, _mm_mul_ps(mu1, mu1)));
  const __m128 v2 = _mm_max_ps(zero, _mm_sub_ps(yy, _mm_mul_ps(mu2, mu2)));
  const __m128 cov = _mm_sub_ps(xy, _mm_mul_ps(mu1, mu2));
  const __m128 sd = _mm_sqrt_ps(_mm_mul_ps(v1, v2));
  const __m256d two = _mm256_set1_pd(2.0);
  const __m256d l_num =
      _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(two, _mm256_cvtps_pd(mu1)), _mm256_cvtps_pd(mu2)),
                    _mm256_set1_pd(double(kC1)));
  const __m128 l_den =
      _mm_add_ps(_mm_add_ps(_mm_mul_ps(mu1, mu1), _mm_mul_ps(mu2, mu2)), _mm_set1_ps(kC1));
  const __m256d c_num =
      _mm256_add_pd(_mm256_mul_pd(two, _mm256_cvtps_pd(sd)), _mm256_set1_pd(double(kC2)));
  const __m128 c_den = _mm_add_ps(_mm_add_ps(v1, v2), _mm_set1_ps(kC2));
  const __m128 flat = _mm_and_ps(_mm_cmplt_ps(cov, zero), _mm_cmple_ps(sd, zero));
  const __m128 cv = _mm_andnot_ps(flat, cov);
  const __m128 s = _mm_div_ps(_mm_add_ps(cv, _mm_set1_ps(kC3)), _mm_add_ps(sd, _mm_set1_ps(kC3)));
  return {_mm256_div_pd(l_num, _mm256_cvtps_pd(l_den)),
          _mm256_div_pd(c_num, _mm256_cvtps_pd(c_den)), _mm256_cvtps_pd(s)};
}

void pool(const float* const m[5], int n, double acc[16]) {
  __m256d product = _mm256_loadu_pd(acc), l = _mm256_loadu_pd(acc + 4);
  __m256d c = _mm256_loadu_pd(acc + 8), s = _mm256_loadu_pd(acc + 12);
  int x = 0;
  // Positions x .. x + 3 go to the accumulators' lanes 0 .. 3, as acc[x % 4] takes them.
  for (; x + 4 <= n; x += 4) {
    const Terms4 t = terms4(_mm_loadu_ps(m[0] + x), _mm_loadu_ps(m[1] + x), _mm_loadu_ps(m[2] + x),
                            _mm_loadu_ps(m[3] + x), _mm_loadu_ps(m[4] + x));
    product = _mm256_add_pd(product, _mm256_mul_pd(_mm256_mul_pd(t.l, t.c), t.s));
    l = _mm256_add_pd(l, t.l);
    c = _mm256_add_pd(c, t.c);
    s = _mm256_add_pd(s, t.s);
  }
  _mm256_storeu_pd(acc, product);
  _mm256_storeu_pd(acc + 4, l);
  _mm256_storeu_pd(acc + 8, c);
  _mm256_storeu_pd(acc + 12, s);
  if (x < n) {
    // The rest land in lanes 0 .. n - x - 1, which the scalar form picks by x % 4 == 0 here.
    const float* rest[5] = {m[0] + x, m[1] + x, m[2] + x, m[3] + x, m[4] + x};
    scalar_kernels().pool(rest, n - x, acc);
  }
}

void low_pass(const float* const even[kLowPass], const float* const odd[kLowPass], int x0, int x1,
              float* out) {
  int x = x0;
  for (; x + 8 <= x1; x += 8) {
    Sum8 s;
    for (int v = 0; v < kLowPass; ++v) {
      for (int u = 0; u < kLowPass; ++u) {
        // Column 2x + u - 4: even sample x + (u - 4) / 2, or odd sample x + (u - 5) / 2.
        const float* r = (u & 1) ? odd[v] + x + (u - 5) / 2 : even[v] + x + (u - 4) / 2;
        s.add(_mm256_mul_ps(_mm256_loadu_ps(r), _mm256_set1_ps(kLowPass2d[v][u])));
      }
    }
    _mm256_storeu_ps(out + x, s.rounded());
  }
  if (x < x1) scalar_kernels().low_pass(even, odd, x, x1, out);
}

}  // namespace

void use_avx2(Kernels* k) {
  k->window_h = window_h;
  k->window_v = window_v;
  k->pool = pool;
  k->low_pass = low_pass;
}

}  // namespace vq::fssim
