// delta_e four pairs at a time. Every step of the scalar difference is done here in double
// lanes in the same order, with each float rounding taken where the scalar code takes it (a
// float sum, product, quotient or root done in double and rounded once to float is the float
// operation's result). The transcendental calls are replaced by polynomials whose error is far
// below a double's 2^-40; at each point where such a result is rounded to float, a lane whose
// value lies within that margin of a float rounding boundary is redone by the scalar code. So
// every lane's result is the scalar result, bit for bit.
#include <immintrin.h>

#include <cmath>
#include <numbers>

#include "metrics/ciede/ciede.h"

namespace vq::ciede {
namespace {

constexpr double kPi = std::numbers::pi;

__m256d set(double v) {
  return _mm256_set1_pd(v);
}

__m256d add(__m256d a, __m256d b) {
  return _mm256_add_pd(a, b);
}
__m256d sub(__m256d a, __m256d b) {
  return _mm256_sub_pd(a, b);
}
__m256d mul(__m256d a, __m256d b) {
  return _mm256_mul_pd(a, b);
}
__m256d div(__m256d a, __m256d b) {
  return _mm256_div_pd(a, b);
}

// Rounded to float and back: the float value the scalar code stores.
__m256d to_float(__m256d v) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
}

__m256d load(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

__m256d abs(__m256d v) {
  return _mm256_andnot_pd(set(-0.0), v);
}

__m256d select(__m256d mask, __m256d yes, __m256d no) {
  return _mm256_blendv_pd(no, yes, mask);
}

__m256d less(__m256d a, __m256d b) {
  return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
}
__m256d less_equal(__m256d a, __m256d b) {
  return _mm256_cmp_pd(a, b, _CMP_LE_OQ);
}
__m256d equal(__m256d a, __m256d b) {
  return _mm256_cmp_pd(a, b, _CMP_EQ_OQ);
}

// Lanes whose float rounding may differ from the rounding of any value within `margin` of `v`.
__m256d unsure(__m256d v, __m256d margin) {
  const __m128 lo = _mm256_cvtpd_ps(sub(v, margin)), hi = _mm256_cvtpd_ps(add(v, margin));
  return _mm256_castsi256_pd(
      _mm256_cvtepi32_epi64(_mm_castps_si128(_mm_cmpneq_ps(lo, hi))));  // NaN also counts as unsure
}

// Relative margin for a value from one polynomial: its error and libm's are below 2^-48.
constexpr double kMargin = 0x1p-40;

__m256d unsure_relative(__m256d v) {
  return unsure(v, mul(abs(v), set(kMargin)));
}

// c[0] + c[1] z + ... as its even and odd halves, each by Horner's rule in z^2: two chains
// of half the length, which the processor runs side by side.
template <int N>
__m256d horner(__m256d z, const double (&c)[N]) {
  const __m256d z2 = mul(z, z);
  constexpr int kLastEven = (N - 1) & ~1, kLastOdd = (N - 2) | 1;
  __m256d even = set(c[kLastEven]), odd = set(c[kLastOdd]);
  for (int i = kLastEven - 2; i >= 0; i -= 2)
    even = add(mul(even, z2), set(c[i]));
  for (int i = kLastOdd - 2; i >= 1; i -= 2)
    odd = add(mul(odd, z2), set(c[i]));
  return add(even, mul(z, odd));
}

// Taylor coefficients of sin(x)/x and cos(x) in x^2.
constexpr double kSin[] = {1.0,
                           -1.0 / 6,
                           1.0 / 120,
                           -1.0 / 5040,
                           1.0 / 362880,
                           -1.0 / 39916800,
                           1.0 / 6227020800,
                           -1.0 / 1307674368000,
                           1.0 / 355687428096000,
                           -1.0 / 121645100408832000};
constexpr double kCos[] = {1.0,
                           -1.0 / 2,
                           1.0 / 24,
                           -1.0 / 720,
                           1.0 / 40320,
                           -1.0 / 3628800,
                           1.0 / 479001600,
                           -1.0 / 87178291200,
                           1.0 / 20922789888000};

// sin(x) for |x| <= pi/2: the series to x^19, whose next term is below 2^-51 of sin(x).
__m256d sin_half_turn(__m256d x) {
  return mul(x, horner(mul(x, x), kSin));
}

// sin and cos of h in [0, 3 pi), each within 2^-50 absolute: h less the nearest multiple of
// pi/2 (taken in two parts, the first exact in any product by a small integer), the series of
// the remainder (|r| <= pi/4, next terms below 2^-54), and the quarter turns' exchange of sin
// and cos and their signs.
void sin_cos(__m256d h, __m256d* s, __m256d* c) {
  const double hi = double(float(kPi / 2)), lo = kPi / 2 - hi;
  const __m256d k = _mm256_round_pd(mul(h, set(2 / kPi)), _MM_FROUND_TO_NEAREST_INT);
  const __m256d r = sub(sub(h, mul(k, set(hi))), mul(k, set(lo)));
  const __m256d r2 = mul(r, r);
  constexpr double kSinShort[] = {kSin[0], kSin[1], kSin[2], kSin[3],
                                  kSin[4], kSin[5], kSin[6], kSin[7]};
  const __m256d sr = mul(r, horner(r2, kSinShort)), cr = horner(r2, kCos);
  const __m128i q = _mm256_cvtpd_epi32(k);
  const __m256i q64 = _mm256_cvtepi32_epi64(q);
  const __m256d odd = _mm256_castsi256_pd(
      _mm256_cmpeq_epi64(_mm256_and_si256(q64, _mm256_set1_epi64x(1)), _mm256_set1_epi64x(1)));
  // Quarter turns 2 and 3 negate the sine, 1 and 2 the cosine.
  const __m256i sign_s = _mm256_slli_epi64(_mm256_srli_epi64(q64, 1), 63);
  const __m256i q1 = _mm256_add_epi64(q64, _mm256_set1_epi64x(1));
  const __m256i sign_c = _mm256_slli_epi64(_mm256_srli_epi64(q1, 1), 63);
  const __m256d s0 = select(odd, cr, sr), c0 = select(odd, sr, cr);
  *s = _mm256_xor_pd(s0, _mm256_castsi256_pd(sign_s));
  *c = _mm256_xor_pd(c0, _mm256_castsi256_pd(sign_c));
}

// exp(x) for -700 < x <= 0, within 2^-50 relative: 2^k exp(r) with k the nearest integer to
// x / ln 2 and |r| <= ln 2 / 2, its series to r^13.
__m256d exp_negative(__m256d x) {
  constexpr double kLn2 = std::numbers::ln2;
  const double hi = double(float(kLn2)), lo = kLn2 - hi;
  const __m256d k = _mm256_round_pd(mul(x, set(1 / kLn2)), _MM_FROUND_TO_NEAREST_INT);
  const __m256d r = sub(sub(x, mul(k, set(hi))), mul(k, set(lo)));
  constexpr double kExp[] = {1.0,
                             1.0,
                             1.0 / 2,
                             1.0 / 6,
                             1.0 / 24,
                             1.0 / 120,
                             1.0 / 720,
                             1.0 / 5040,
                             1.0 / 40320,
                             1.0 / 362880,
                             1.0 / 3628800,
                             1.0 / 39916800,
                             1.0 / 479001600,
                             1.0 / 6227020800};
  const __m256d e = horner(r, kExp);
  const __m256i bits = _mm256_slli_epi64(
      _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k)), _mm256_set1_epi64x(1023)), 52);
  return mul(e, _mm256_castsi256_pd(bits));
}

// atan2(y, x) with its signs (y's sign, zero included, is the result's); callers handle
// x = y = 0. With m and n the smaller and larger of |x| and |y|, atan(m / n) in [0, pi/4] is
// atan(c) + atan((m - c n) / (n + c m)) for the c of 0, tan(pi/8) and 1 nearest, which leaves
// an argument under tan(pi/16) (one division, no root), where the series to u^19 is within
// 2^-51; then the octant's reflections.
__m256d atan2(__m256d y, __m256d x) {
  static const double kTan8 = std::tan(kPi / 8), kAtanTan8 = std::atan(kTan8);
  constexpr double kAtan[] = {1.0,       -1.0 / 3, 1.0 / 5,   -1.0 / 7, 1.0 / 9,
                              -1.0 / 11, 1.0 / 13, -1.0 / 15, 1.0 / 17, -1.0 / 19};
  const __m256d ax = abs(x), ay = abs(y);
  const __m256d swap = less(ax, ay);
  const __m256d m = _mm256_min_pd(ax, ay), n = _mm256_max_pd(ax, ay);
  const __m256d second = less(mul(set(std::tan(kPi / 16)), n), m);
  const __m256d third = less(mul(set(std::tan(3 * kPi / 16)), n), m);
  const __m256d c = select(third, set(1.0), _mm256_and_pd(second, set(kTan8)));
  const __m256d base = select(third, set(kPi / 4), _mm256_and_pd(second, set(kAtanTan8)));
  const __m256d u = div(sub(m, mul(c, n)), add(n, mul(c, m)));
  __m256d a = add(base, mul(u, horner(mul(u, u), kAtan)));
  a = select(swap, sub(set(kPi / 2), a), a);
  a = select(less(x, set(0.0)), sub(set(kPi), a), a);
  return _mm256_or_pd(a, _mm256_and_pd(y, set(-0.0)));
}

// hue(): the angle of (a, b) in [0, 2 pi), rounded to float.
__m256d hue(__m256d b, __m256d a, __m256d* bad) {
  const __m256d zero = set(0.0);
  const __m256d raw = atan2(b, a);
  const __m256d neutral = _mm256_and_pd(equal(b, zero), equal(a, zero));
  *bad = _mm256_or_pd(*bad, _mm256_andnot_pd(neutral, unsure_relative(raw)));
  __m256d h = to_float(raw);
  h = select(less(h, zero), to_float(add(h, set(2. * kPi))), h);
  return _mm256_andnot_pd(neutral, h);
}

__m256d hue_weight(__m256d h, __m256d* bad) {
  __m256d s, c;
  sin_cos(h, &s, &c);
  const __m256d one = set(1.0), two = set(2.0);
  const __m256d c2 = sub(mul(mul(two, c), c), one), s2 = mul(mul(two, s), c);
  const __m256d c3 = mul(c, sub(mul(mul(set(4.0), c), c), set(3.0)));
  const __m256d s3 = mul(s, sub(set(3.0), mul(mul(set(4.0), s), s)));
  const __m256d c4 = sub(mul(mul(two, c2), c2), one), s4 = mul(mul(two, s2), c2);
  const double k1c = std::cos(kPi / 6.0), k1s = std::sin(kPi / 6.0);
  const double k3c = std::cos(kPi / 30.0), k3s = std::sin(kPi / 30.0);
  const double k4c = std::cos(7.0 * kPi / 20.0), k4s = std::sin(7.0 * kPi / 20.0);
  __m256d t = sub(one, mul(set(0.17), add(mul(c, set(k1c)), mul(s, set(k1s)))));
  t = add(t, mul(set(0.24), c2));
  t = add(t, mul(set(0.32), sub(mul(c3, set(k3c)), mul(s3, set(k3s)))));
  t = sub(t, mul(set(0.20), add(mul(c4, set(k4c)), mul(s4, set(k4s)))));
  // The sine and cosine errors, carried through the multiple angles, stay under 2^-44.
  *bad = _mm256_or_pd(*bad, unsure(t, set(0x1p-38)));
  return to_float(t);
}

__m256d rotation(__m256d c_mean, __m256d h_mean, __m256d* bad) {
  const __m256d deg = to_float(mul(h_mean, set(180.0 / kPi)));
  const __m256d d = to_float(mul(sub(deg, set(275.0)), set(1.0 / 25.0)));
  const __m256d cm2 = mul(c_mean, c_mean);
  const __m256d c7 = to_float(mul(mul(mul(cm2, cm2), cm2), c_mean));
  const __m256d ratio = to_float(div(c7, to_float(add(c7, set(double(6103515625.0f))))));
  const __m256d x = sub(set(0.0), to_float(mul(d, d)));
  *bad = _mm256_or_pd(*bad, less_equal(x, set(-700.0)));
  const __m256d e60 = mul(set(60.0), exp_negative(_mm256_max_pd(x, set(-700.0))));
  *bad = _mm256_or_pd(*bad, unsure_relative(e60));
  const __m256d angle = to_float(mul(to_float(e60), set(kPi / 180.0)));
  const __m256d rt = mul(mul(set(-2.0), _mm256_sqrt_pd(ratio)), sin_half_turn(angle));
  *bad = _mm256_or_pd(*bad, unsure_relative(rt));
  return to_float(rt);
}

// Four pairs; lanes marked in the returned mask need the scalar code.
int four(const float* pl, const float* pa, const float* pb, const float* ql, const float* qa,
         const float* qb, float* out) {
  const __m256d p_l = load(pl), p_a = load(pa), p_b = load(pb);
  const __m256d q_l = load(ql), q_a = load(qa), q_b = load(qb);
  const __m256d half = set(0.5), zero = set(0.0), pi = set(kPi);
  __m256d bad = zero;

  const __m256d dl = to_float(sub(q_l, p_l));
  const __m256d l_mean = to_float(mul(to_float(add(p_l, q_l)), half));
  const __m256d c1 = to_float(_mm256_sqrt_pd(add(mul(p_a, p_a), mul(p_b, p_b))));
  const __m256d c2 = to_float(_mm256_sqrt_pd(add(mul(q_a, q_a), mul(q_b, q_b))));
  const __m256d cm = to_float(mul(to_float(add(c1, c2)), half));
  const __m256d cm2 = mul(cm, cm);
  const __m256d c7 = mul(mul(mul(cm2, cm2), cm2), cm);
  const __m256d g = sub(set(1.0), _mm256_sqrt_pd(div(c7, add(c7, set(6103515625.0)))));
  const __m256d a1 = to_float(add(p_a, mul(to_float(mul(p_a, half)), g)));
  const __m256d a2 = to_float(add(q_a, mul(to_float(mul(q_a, half)), g)));
  const __m256d cp1 = to_float(_mm256_sqrt_pd(add(mul(a1, a1), mul(p_b, p_b))));
  const __m256d cp2 = to_float(_mm256_sqrt_pd(add(mul(a2, a2), mul(q_b, q_b))));
  const __m256d cp_mean = to_float(mul(to_float(add(cp1, cp2)), half));
  const __m256d dc = to_float(sub(cp2, cp1));
  const __m256d lm50 = to_float(sub(l_mean, set(50.0)));
  const __m256d l50 = mul(lm50, lm50);
  const __m256d sl =
      to_float(add(set(1.0), div(mul(set(0.015), l50), _mm256_sqrt_pd(add(set(20.0), l50)))));
  const __m256d sc = to_float(add(set(1.0), mul(set(0.045), cp_mean)));
  const __m256d h1 = hue(p_b, a1, &bad);
  const __m256d h2 = hue(q_b, a2, &bad);

  const __m256d d21 = to_float(sub(h2, h1));
  const __m256d far = less(pi, abs(to_float(sub(h1, h2))));  // fabs(h1 - h2) > pi
  __m256d dh = select(less_equal(h2, h1), to_float(add(d21, set(2. * kPi))),
                      to_float(sub(d21, set(2. * kPi))));
  dh = select(far, dh, d21);
  dh = _mm256_andnot_pd(_mm256_or_pd(equal(c1, zero), equal(c2, zero)), dh);

  const __m256d dhh_d =
      mul(mul(set(2.0), _mm256_sqrt_pd(to_float(mul(cp1, cp2)))), sin_half_turn(mul(dh, half)));
  bad = _mm256_or_pd(bad, unsure_relative(dhh_d));
  const __m256d dhh = to_float(dhh_d);

  const __m256d sum_h = to_float(add(h1, h2));
  const __m256d h_mean = to_float(mul(select(far, add(sum_h, set(2.0 * kPi)), sum_h), half));
  const __m256d t = hue_weight(h_mean, &bad);
  const __m256d sh = to_float(add(set(1.0), mul(mul(set(0.015), cp_mean), t)));
  const __m256d rt = rotation(cp_mean, h_mean, &bad);

  const __m256d lightness = to_float(div(dl, to_float(mul(set(double(0.65f)), sl))));
  const __m256d chroma = to_float(div(dc, sc));
  const __m256d hue_term = to_float(div(dhh, to_float(mul(set(4.0), sh))));
  const __m256d cross = to_float(mul(to_float(mul(rt, chroma)), hue_term));
  const __m256d sum =
      add(add(add(mul(lightness, lightness), mul(chroma, chroma)), mul(hue_term, hue_term)), cross);
  _mm_storeu_ps(out, _mm256_cvtpd_ps(_mm256_sqrt_pd(sum)));
  return _mm256_movemask_pd(bad);
}

}  // namespace

void delta_e_row_avx2(const LabRow& ref, const LabRow& dist, int32_t n, float* out) {
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    int redo = four(ref.l + i, ref.a + i, ref.b + i, dist.l + i, dist.a + i, dist.b + i, out + i);
    while (redo) {
      const int k = __builtin_ctz(unsigned(redo));
      redo &= redo - 1;
      out[i + k] = delta_e(ref.at(i + k), dist.at(i + k));
    }
  }
  for (; i < n; ++i)
    out[i] = delta_e(ref.at(i), dist.at(i));
}

}  // namespace vq::ciede
