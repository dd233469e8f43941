// The AVX-512 tier of the row kernels. Products stay eight floats wide (one YMM register); the
// widening to double fills a whole ZMM register, so eight running sums take one add where the
// AVX2 tier takes two. Each output keeps the baseline's chain: a float product, widened, added
// in tap order. Several independent outputs are kept in flight per step so that the long chains
// of the low pass are not bound by the latency of the double add. No multiply is fused with an
// add: the library builds with -ffp-contract=off.
#include <immintrin.h>

#include "metrics/float_ssim/fssim.h"
#include "metrics/float_ssim/taps.h"

namespace vq::fssim {

namespace {

// Float to double and back, all eight lanes. (The zero-masking forms with every lane set are
// the plain conversions; GCC 12 warns of an undefined source register in the unmasked ones.)
inline __m512d widen(__m256 v) {
  return _mm512_maskz_cvtps_pd(0xff, v);
}
inline __m256 narrow(__m512d v) {
  return _mm512_maskz_cvtpd_ps(0xff, v);
}

// Eight running sums in double.
struct Sum8 {
  __m512d v = _mm512_setzero_pd();
  void add(__m256 products) { v = _mm512_add_pd(v, widen(products)); }
  [[nodiscard]] __m256 rounded() const { return narrow(v); }
};

inline __m256 gauss(int u) {
  return _mm256_set1_ps(kGauss[u]);
}

void window_h(const float* a, const float* b, int n, float* const out[5]) {
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    Sum8 s[2][5];
    for (int u = 0; u < kWindow; ++u) {
      const __m256 k = gauss(u);
      for (int g = 0; g < 2; ++g) {
        const __m256 av = _mm256_loadu_ps(a + x + 8 * g + u);
        const __m256 bv = _mm256_loadu_ps(b + x + 8 * g + u);
        s[g][0].add(_mm256_mul_ps(av, k));
        s[g][1].add(_mm256_mul_ps(bv, k));
        s[g][2].add(_mm256_mul_ps(_mm256_mul_ps(av, av), k));
        s[g][3].add(_mm256_mul_ps(_mm256_mul_ps(bv, bv), k));
        s[g][4].add(_mm256_mul_ps(_mm256_mul_ps(av, bv), k));
      }
    }
    for (int g = 0; g < 2; ++g)
      for (int p = 0; p < 5; ++p)
        _mm256_storeu_ps(out[p] + x + 8 * g, s[g][p].rounded());
  }
  for (; x + 8 <= n; x += 8) {
    Sum8 s[5];
    for (int u = 0; u < kWindow; ++u) {
      const __m256 k = gauss(u);
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
  for (; x + 32 <= n; x += 32) {
    for (int p = 0; p < 5; ++p) {
      Sum8 s[4];
      for (int v = 0; v < kWindow; ++v) {
        const __m256 k = gauss(v);
        const float* r = rows[p * kWindow + v] + x;
        for (int g = 0; g < 4; ++g)
          s[g].add(_mm256_mul_ps(_mm256_loadu_ps(r + 8 * g), k));
      }
      for (int g = 0; g < 4; ++g)
        _mm256_storeu_ps(out[p] + x + 8 * g, s[g].rounded());
    }
  }
  for (; x + 8 <= n; x += 8) {
    for (int p = 0; p < 5; ++p) {
      Sum8 s;
      for (int v = 0; v < kWindow; ++v)
        s.add(_mm256_mul_ps(_mm256_loadu_ps(rows[p * kWindow + v] + x), gauss(v)));
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

// The terms of eight window positions, lane by lane as the baseline forms them: luminance and
// contrast a double numerator over a float denominator, structure a float quotient.
struct Terms8 {
  __m512d l, c, s;
};

inline Terms8 terms8(__m256 mu1, __m256 mu2, __m256 xx, __m256 yy, __m256 xy) {
  const __m256 zero = _mm256_setzero_ps();
  // max(0, v) gives v itself unless 0 > v, as the baseline's comparison does.
  const __m256 v1 = _mm256_max_ps(zero, _mm256_sub_ps(xx, _mm256_mul_ps(mu1, mu1)));
  const __m256 v2 = _mm256_max_ps(zero, _mm256_sub_ps(yy, _mm256_mul_ps(mu2, mu2)));
  const __m256 cov = _mm256_sub_ps(xy, _mm256_mul_ps(mu1, mu2));
  const __m256 sd = _mm256_sqrt_ps(_mm256_mul_ps(v1, v2));
  const __m512d two = _mm512_set1_pd(2.0);
  const __m512d l_num = _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(two, widen(mu1)), widen(mu2)),
                                      _mm512_set1_pd(double(kC1)));
  const __m256 l_den = _mm256_add_ps(
      _mm256_add_ps(_mm256_mul_ps(mu1, mu1), _mm256_mul_ps(mu2, mu2)), _mm256_set1_ps(kC1));
  const __m512d c_num = _mm512_add_pd(_mm512_mul_pd(two, widen(sd)), _mm512_set1_pd(double(kC2)));
  const __m256 c_den = _mm256_add_ps(_mm256_add_ps(v1, v2), _mm256_set1_ps(kC2));
  const __m256 flat =
      _mm256_and_ps(_mm256_cmp_ps(cov, zero, _CMP_LT_OQ), _mm256_cmp_ps(sd, zero, _CMP_LE_OQ));
  const __m256 cv = _mm256_andnot_ps(flat, cov);
  const __m256 s =
      _mm256_div_ps(_mm256_add_ps(cv, _mm256_set1_ps(kC3)), _mm256_add_ps(sd, _mm256_set1_ps(kC3)));
  return {_mm512_div_pd(l_num, widen(l_den)), _mm512_div_pd(c_num, widen(c_den)), widen(s)};
}

inline __m256d low4(__m512d v) {
  return _mm512_maskz_extractf64x4_pd(0xf, v, 0);
}
inline __m256d high4(__m512d v) {
  return _mm512_maskz_extractf64x4_pd(0xf, v, 1);
}

void pool(const float* const m[5], int n, double acc[16]) {
  __m256d product = _mm256_loadu_pd(acc), l = _mm256_loadu_pd(acc + 4);
  __m256d c = _mm256_loadu_pd(acc + 8), s = _mm256_loadu_pd(acc + 12);
  int x = 0;
  // Positions x .. x + 3 and then x + 4 .. x + 7 go to the accumulators' lanes 0 .. 3, in that
  // order, as acc[x % 4] takes them.
  for (; x + 8 <= n; x += 8) {
    const Terms8 t =
        terms8(_mm256_loadu_ps(m[0] + x), _mm256_loadu_ps(m[1] + x), _mm256_loadu_ps(m[2] + x),
               _mm256_loadu_ps(m[3] + x), _mm256_loadu_ps(m[4] + x));
    const __m512d lcs = _mm512_mul_pd(_mm512_mul_pd(t.l, t.c), t.s);
    product = _mm256_add_pd(_mm256_add_pd(product, low4(lcs)), high4(lcs));
    l = _mm256_add_pd(_mm256_add_pd(l, low4(t.l)), high4(t.l));
    c = _mm256_add_pd(_mm256_add_pd(c, low4(t.c)), high4(t.c));
    s = _mm256_add_pd(_mm256_add_pd(s, low4(t.s)), high4(t.s));
  }
  _mm256_storeu_pd(acc, product);
  _mm256_storeu_pd(acc + 4, l);
  _mm256_storeu_pd(acc + 8, c);
  _mm256_storeu_pd(acc + 12, s);
  if (x < n) {
    // The rest start at lane 0 again, which the scalar form picks by x % 4 == 0 here.
    const float* rest[5] = {m[0] + x, m[1] + x, m[2] + x, m[3] + x, m[4] + x};
    scalar_kernels().pool(rest, n - x, acc);
  }
}

// G groups of eight outputs from x on, each its own chain of 81 taps.
template <int G>
inline void low_pass_step(const float* const even[kLowPass], const float* const odd[kLowPass],
                          int x, float* out) {
  Sum8 s[G];
  for (int v = 0; v < kLowPass; ++v) {
    for (int u = 0; u < kLowPass; ++u) {
      // Column 2x + u - 4: even sample x + (u - 4) / 2, or odd sample x + (u - 5) / 2.
      const float* r = (u & 1) ? odd[v] + x + (u - 5) / 2 : even[v] + x + (u - 4) / 2;
      const __m256 k = _mm256_set1_ps(kLowPass2d[v][u]);
      for (int g = 0; g < G; ++g)
        s[g].add(_mm256_mul_ps(_mm256_loadu_ps(r + 8 * g), k));
    }
  }
  for (int g = 0; g < G; ++g)
    _mm256_storeu_ps(out + x + 8 * g, s[g].rounded());
}

void low_pass(const float* const even[kLowPass], const float* const odd[kLowPass], int x0, int x1,
              float* out) {
  int x = x0;
  for (; x + 32 <= x1; x += 32)
    low_pass_step<4>(even, odd, x, out);
  for (; x + 8 <= x1; x += 8)
    low_pass_step<1>(even, odd, x, out);
  if (x < x1) scalar_kernels().low_pass(even, odd, x, x1, out);
}

}  // namespace

void use_avx512(Kernels* k) {
  k->window_h = window_h;
  k->window_v = window_v;
  k->pool = pool;
  k->low_pass = low_pass;
}

}  // namespace vq::fssim
