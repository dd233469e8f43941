// The steps of delta_e over a vector of double lanes, shared by the AVX2 (eight lanes, in two
// registers) and AVX-512 (eight lanes) tiers. Every step of the scalar difference is done here
// in the same order, with each float rounding taken where the scalar code takes it: a step the
// scalar code does in double is done in double lanes and rounded once to float where the
// scalar code stores a float, and a float sum, difference, product or quotient of floats is done
// in float lanes (F), whose result is the double operation's rounded to float. The
// transcendental calls are replaced by polynomials whose error is far below a double's 2^-40;
// at each point where such a result is rounded to float, a lane whose value lies within that
// margin of a float rounding boundary is marked for the scalar code. So every lane's result is
// the scalar result, bit for bit.
//
// The including file compiles this with its own instruction-set flags and first defines, in
// vq::ciede's unnamed namespace: the lane vector V, its float lanes F and lane mask M, kLanes,
// and the operations below (set, add, sub, mul, div, root, nearest, vmin, vmax, abs, to_float,
// load, store, less, less_equal, equal, unsure, either, both, except, select, with_sign_of,
// quarter_turns, flip_sign, pow2, mask_bits; on float lanes fset, fadd, fsub, fmul, fdiv and
// fload; narrow and widen between the two). Nothing here is inline outside that namespace, so
// no code built for one tier can stand in for another's at link time.

namespace vq::ciede {
namespace {

constexpr double kPi = std::numbers::pi;

// Relative margin for a value from one polynomial: its error and libm's are below 2^-48.
constexpr double kMargin = 0x1p-40;

M unsure_relative(V v) {
  return unsure(v, mul(abs(v), set(kMargin)));
}

// c[0] + c[1] z + ... as its even and odd halves, each by Horner's rule in z^2: two chains
// of half the length, which the processor runs side by side.
template <int N>
V horner(V z, const double (&c)[N]) {
  const V z2 = mul(z, z);
  constexpr int kLastEven = (N - 1) & ~1, kLastOdd = (N - 2) | 1;
  V even = set(c[kLastEven]), odd = set(c[kLastOdd]);
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
V sin_half_turn(V x) {
  return mul(x, horner(mul(x, x), kSin));
}

// sin and cos of h in [0, 3 pi), each within 2^-50 absolute: h less the nearest multiple of
// pi/2 (taken in two parts, the first exact in any product by a small integer), the series of
// the remainder (|r| <= pi/4, next terms below 2^-54), and the quarter turns' exchange of sin
// and cos and their signs.
void sin_cos(V h, V* s, V* c) {
  const double hi = double(float(kPi / 2)), lo = kPi / 2 - hi;
  const V k = nearest(mul(h, set(2 / kPi)));
  const V r = sub(sub(h, mul(k, set(hi))), mul(k, set(lo)));
  const V r2 = mul(r, r);
  constexpr double kSinShort[] = {kSin[0], kSin[1], kSin[2], kSin[3],
                                  kSin[4], kSin[5], kSin[6], kSin[7]};
  const V sr = mul(r, horner(r2, kSinShort)), cr = horner(r2, kCos);
  M odd;
  V sin_sign, cos_sign;
  quarter_turns(k, &odd, &sin_sign, &cos_sign);
  *s = flip_sign(select(odd, cr, sr), sin_sign);
  *c = flip_sign(select(odd, sr, cr), cos_sign);
}

// exp(x) for -700 < x <= 0, within 2^-50 relative: 2^k exp(r) with k the nearest integer to
// x / ln 2 and |r| <= ln 2 / 2, its series to r^13.
V exp_negative(V x) {
  constexpr double kLn2 = std::numbers::ln2;
  const double hi = double(float(kLn2)), lo = kLn2 - hi;
  const V k = nearest(mul(x, set(1 / kLn2)));
  const V r = sub(sub(x, mul(k, set(hi))), mul(k, set(lo)));
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
  return mul(horner(r, kExp), pow2(k));
}

// atan2(y, x) with its signs (y's sign, zero included, is the result's); callers handle
// x = y = 0. With m and n the smaller and larger of |x| and |y|, atan(m / n) in [0, pi/4] is
// atan(c) + atan((m - c n) / (n + c m)) for the c of 0, tan(pi/8) and 1 nearest, which leaves
// an argument under tan(pi/16) (one division, no root), where the series to u^19 is within
// 2^-51; then the octant's reflections.
V atan2(V y, V x) {
  static const double kTan8 = std::tan(kPi / 8), kAtanTan8 = std::atan(kTan8);
  const double kTan16 = std::tan(kPi / 16), kTan3of16 = std::tan(3 * kPi / 16);
  constexpr double kAtan[] = {1.0,       -1.0 / 3, 1.0 / 5,   -1.0 / 7, 1.0 / 9,
                              -1.0 / 11, 1.0 / 13, -1.0 / 15, 1.0 / 17, -1.0 / 19};
  const V zero = set(0.0);
  const V ax = abs(x), ay = abs(y);
  const M swap = less(ax, ay);
  const V m = vmin(ax, ay), n = vmax(ax, ay);
  const M second = less(mul(set(kTan16), n), m);
  const M third = less(mul(set(kTan3of16), n), m);
  const V c = select(third, set(1.0), select(second, set(kTan8), zero));
  const V base = select(third, set(kPi / 4), select(second, set(kAtanTan8), zero));
  const V u = div(sub(m, mul(c, n)), add(n, mul(c, m)));
  V a = add(base, mul(u, horner(mul(u, u), kAtan)));
  a = select(swap, sub(set(kPi / 2), a), a);
  a = select(less(x, zero), sub(set(kPi), a), a);
  return with_sign_of(a, y);
}

// hue(): the angle of (a, b) in [0, 2 pi), rounded to float.
V hue(V b, V a, M* bad) {
  const V zero = set(0.0);
  const V raw = atan2(b, a);
  const M neutral = both(equal(b, zero), equal(a, zero));
  *bad = either(*bad, except(unsure_relative(raw), neutral));
  V h = to_float(raw);
  h = select(less(h, zero), to_float(add(h, set(2. * kPi))), h);
  return select(neutral, zero, h);
}

V hue_weight(V h, M* bad) {
  V s, c;
  sin_cos(h, &s, &c);
  const V one = set(1.0), two = set(2.0);
  const V c2 = sub(mul(mul(two, c), c), one), s2 = mul(mul(two, s), c);
  const V c3 = mul(c, sub(mul(mul(set(4.0), c), c), set(3.0)));
  const V s3 = mul(s, sub(set(3.0), mul(mul(set(4.0), s), s)));
  const V c4 = sub(mul(mul(two, c2), c2), one), s4 = mul(mul(two, s2), c2);
  const double k1c = std::cos(kPi / 6.0), k1s = std::sin(kPi / 6.0);
  const double k3c = std::cos(kPi / 30.0), k3s = std::sin(kPi / 30.0);
  const double k4c = std::cos(7.0 * kPi / 20.0), k4s = std::sin(7.0 * kPi / 20.0);
  V t = sub(one, mul(set(0.17), add(mul(c, set(k1c)), mul(s, set(k1s)))));
  t = add(t, mul(set(0.24), c2));
  t = add(t, mul(set(0.32), sub(mul(c3, set(k3c)), mul(s3, set(k3s)))));
  t = sub(t, mul(set(0.20), add(mul(c4, set(k4c)), mul(s4, set(k4s)))));
  // The sine and cosine errors, carried through the multiple angles, stay under 2^-44.
  *bad = either(*bad, unsure(t, set(0x1p-38)));
  return to_float(t);
}

// The rotation term, as float lanes.
F rotation(V c_mean, V h_mean, M* bad) {
  const V deg = to_float(mul(h_mean, set(180.0 / kPi)));
  const F d = narrow(mul(sub(deg, set(275.0)), set(1.0 / 25.0)));
  const V cm2 = mul(c_mean, c_mean);
  const F c7 = narrow(mul(mul(mul(cm2, cm2), cm2), c_mean));
  const V ratio = widen(fdiv(c7, fadd(c7, fset(6103515625.0f))));
  const V x = sub(set(0.0), widen(fmul(d, d)));
  *bad = either(*bad, less_equal(x, set(-700.0)));
  const V e60 = mul(set(60.0), exp_negative(vmax(x, set(-700.0))));
  *bad = either(*bad, unsure_relative(e60));
  const V angle = to_float(mul(to_float(e60), set(kPi / 180.0)));
  const V rt = mul(mul(set(-2.0), root(ratio)), sin_half_turn(angle));
  *bad = either(*bad, unsure_relative(rt));
  return narrow(rt);
}

// kLanes pairs; lanes set in the returned bits need the scalar code. Values the scalar code
// keeps in float are float lanes (F) between steps, widened where a step is done in double.
int lanes(const float* pl, const float* pa, const float* pb, const float* ql, const float* qa,
          const float* qb, float* out) {
  const F p_lf = fload(pl), q_lf = fload(ql);
  const V p_a = load(pa), p_b = load(pb);
  const V q_a = load(qa), q_b = load(qb);
  const V half = set(0.5), zero = set(0.0), pi = set(kPi);
  const F half_f = fset(0.5f);
  M bad = less(zero, zero);

  const F dl = fsub(q_lf, p_lf);
  const F l_mean = fmul(fadd(p_lf, q_lf), half_f);
  const F c1 = narrow(root(add(mul(p_a, p_a), mul(p_b, p_b))));
  const F c2 = narrow(root(add(mul(q_a, q_a), mul(q_b, q_b))));
  const V cm = widen(fmul(fadd(c1, c2), half_f));
  const V cm2 = mul(cm, cm);
  const V c7 = mul(mul(mul(cm2, cm2), cm2), cm);
  const V g = sub(set(1.0), root(div(c7, add(c7, set(6103515625.0)))));
  const V a1 = to_float(add(p_a, mul(to_float(mul(p_a, half)), g)));
  const V a2 = to_float(add(q_a, mul(to_float(mul(q_a, half)), g)));
  const F cp1 = narrow(root(add(mul(a1, a1), mul(p_b, p_b))));
  const F cp2 = narrow(root(add(mul(a2, a2), mul(q_b, q_b))));
  const F cp_mean_f = fmul(fadd(cp1, cp2), half_f);
  const V cp_mean = widen(cp_mean_f);
  const F dc = fsub(cp2, cp1);
  const V lm50 = widen(fsub(l_mean, fset(50.0f)));
  const V l50 = mul(lm50, lm50);
  const F sl = narrow(add(set(1.0), div(mul(set(0.015), l50), root(add(set(20.0), l50)))));
  const F sc = narrow(add(set(1.0), mul(set(0.045), cp_mean)));
  const V h1 = hue(p_b, a1, &bad);
  const V h2 = hue(q_b, a2, &bad);

  const V d21 = to_float(sub(h2, h1));
  const M far = less(pi, abs(d21));  // fabs(h1 - h2) > pi: the float h1 - h2 is -(h2 - h1)
  V dh = select(less_equal(h2, h1), to_float(add(d21, set(2. * kPi))),
                to_float(sub(d21, set(2. * kPi))));
  dh = select(far, dh, d21);
  dh = select(either(equal(widen(c1), zero), equal(widen(c2), zero)), zero, dh);

  const V dhh_d = mul(mul(set(2.0), root(widen(fmul(cp1, cp2)))), sin_half_turn(mul(dh, half)));
  bad = either(bad, unsure_relative(dhh_d));
  const F dhh = narrow(dhh_d);

  const V sum_h = to_float(add(h1, h2));
  const V h_mean = to_float(mul(select(far, add(sum_h, set(2.0 * kPi)), sum_h), half));
  const V t = hue_weight(h_mean, &bad);
  const F sh = narrow(add(set(1.0), mul(mul(set(0.015), cp_mean), t)));
  const F rt = rotation(cp_mean, h_mean, &bad);

  const F lightness = fdiv(dl, fmul(fset(0.65f), sl));
  const F chroma = fdiv(dc, sc);
  const F hue_term = fdiv(dhh, fmul(fset(4.0f), sh));
  const V cross = widen(fmul(fmul(rt, chroma), hue_term));
  const V l = widen(lightness), c = widen(chroma), h = widen(hue_term);
  const V sum = add(add(add(mul(l, l), mul(c, c)), mul(h, h)), cross);
  store(out, root(sum));
  return mask_bits(bad);
}

// The row: kLanes pairs at a time, each marked lane and the tail by the scalar code.
void row_of_lanes(const LabRow& ref, const LabRow& dist, int32_t n, float* out) {
  int32_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    unsigned redo = unsigned(
        lanes(ref.l + i, ref.a + i, ref.b + i, dist.l + i, dist.a + i, dist.b + i, out + i));
    while (redo) {
      const int k = __builtin_ctz(redo);
      redo &= redo - 1;
      out[i + k] = delta_e(ref.at(i + k), dist.at(i + k));
    }
  }
  for (; i < n; ++i)
    out[i] = delta_e(ref.at(i), dist.at(i));
}

}  // namespace
}  // namespace vq::ciede
