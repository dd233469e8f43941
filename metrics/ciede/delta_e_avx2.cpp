// delta_e eight pairs at a time in AVX2's double lanes, as two registers of four (no FMA: the
// steps' roundings are the scalar code's). The steps themselves are in delta_e_lanes.h; this
// file gives them their lane operations.
//
// One pass of the steps is a chain of some hundreds of dependent operations, longer than the
// processor looks ahead, so four lanes alone leave its units idle while each step waits for
// the last. Each operation here is issued for both registers before the next, which gives the
// processor two independent chains side by side: about a fifth off a 1080p ciede run on Zen 3,
// for the cost of some values kept on the stack.
#include <immintrin.h>

#include <cmath>
#include <numbers>

#include "metrics/ciede/ciede.h"

namespace vq::ciede {
namespace {

// The operations on one register of four lanes.
namespace quad {

using V = __m256d;
using M = __m256d;  // all ones in a lane for true

V set(double v) {
  return _mm256_set1_pd(v);
}
V add(V a, V b) {
  return _mm256_add_pd(a, b);
}
V sub(V a, V b) {
  return _mm256_sub_pd(a, b);
}
V mul(V a, V b) {
  return _mm256_mul_pd(a, b);
}
V div(V a, V b) {
  return _mm256_div_pd(a, b);
}
V root(V a) {
  return _mm256_sqrt_pd(a);
}
V nearest(V a) {
  return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT);
}
V vmin(V a, V b) {
  return _mm256_min_pd(a, b);
}
V vmax(V a, V b) {
  return _mm256_max_pd(a, b);
}
V abs(V v) {
  return _mm256_andnot_pd(set(-0.0), v);
}

// The same lanes as floats, for the steps the scalar code does in float: a float sum,
// difference, product or quotient of floats is the one the double step rounded to float gives.
using F = __m128;
F fset(float v) {
  return _mm_set1_ps(v);
}
F fadd(F a, F b) {
  return _mm_add_ps(a, b);
}
F fsub(F a, F b) {
  return _mm_sub_ps(a, b);
}
F fmul(F a, F b) {
  return _mm_mul_ps(a, b);
}
F fdiv(F a, F b) {
  return _mm_div_ps(a, b);
}
F fload(const float* p) {
  return _mm_loadu_ps(p);
}
// Double lanes rounded to float, and float lanes widened (exactly) to double.
F narrow(V v) {
  return _mm256_cvtpd_ps(v);
}
V widen(F v) {
  return _mm256_cvtps_pd(v);
}

// Rounded to float and back: the float value the scalar code stores.
V to_float(V v) {
  return _mm256_cvtps_pd(_mm256_cvtpd_ps(v));
}
V load(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
void store(float* p, V v) {
  _mm_storeu_ps(p, _mm256_cvtpd_ps(v));
}

M less(V a, V b) {
  return _mm256_cmp_pd(a, b, _CMP_LT_OQ);
}
M less_equal(V a, V b) {
  return _mm256_cmp_pd(a, b, _CMP_LE_OQ);
}
M equal(V a, V b) {
  return _mm256_cmp_pd(a, b, _CMP_EQ_OQ);
}
M either(M a, M b) {
  return _mm256_or_pd(a, b);
}
M both(M a, M b) {
  return _mm256_and_pd(a, b);
}
M except(M a, M b) {
  return _mm256_andnot_pd(b, a);
}
V select(M mask, V yes, V no) {
  return _mm256_blendv_pd(no, yes, mask);
}
int mask_bits(M m) {
  return _mm256_movemask_pd(m);
}

// Lanes whose float rounding may differ from the rounding of any value within `margin` of `v`.
M unsure(V v, V margin) {
  const __m128 lo = _mm256_cvtpd_ps(sub(v, margin)), hi = _mm256_cvtpd_ps(add(v, margin));
  return _mm256_castsi256_pd(
      _mm256_cvtepi32_epi64(_mm_castps_si128(_mm_cmpneq_ps(lo, hi))));  // NaN also counts as unsure
}

// |a| with the sign of y (zero's sign included).
V with_sign_of(V a, V y) {
  return _mm256_or_pd(a, _mm256_and_pd(y, set(-0.0)));
}
V flip_sign(V v, V sign) {
  return _mm256_xor_pd(v, sign);
}

// For k whole quarter turns: whether k is odd (sine and cosine change places), and the sign
// bits that turns 2 and 3 give the sine and turns 1 and 2 the cosine.
void quarter_turns(V k, M* odd, V* sin_sign, V* cos_sign) {
  const __m256i q = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
  const __m256i one = _mm256_set1_epi64x(1);
  *odd = _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(q, one), one));
  *sin_sign = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_srli_epi64(q, 1), 63));
  *cos_sign =
      _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_srli_epi64(_mm256_add_epi64(q, one), 1), 63));
}

// 2^k for whole k in the normal exponents' range.
V pow2(V k) {
  const __m256i e = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k));
  return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(e, _mm256_set1_epi64x(1023)), 52));
}

}  // namespace quad

// Two registers: lanes 0 to 3 in h[0], 4 to 7 in h[1].
struct V {
  __m256d h[2];
};
using M = V;  // all ones in a lane for true
struct F {
  __m128 h[2];
};
constexpr int32_t kLanes = 8;

// op(i) for each register i, gathered into a T.
template <class T, class Op>
T each(Op op) {
  T r;
  for (int i = 0; i < 2; ++i)
    r.h[i] = op(i);
  return r;
}

V set(double v) {
  return each<V>([&](int) { return quad::set(v); });
}
F fset(float v) {
  return each<F>([&](int) { return quad::fset(v); });
}
F fadd(F a, F b) {
  return each<F>([&](int i) { return quad::fadd(a.h[i], b.h[i]); });
}
F fsub(F a, F b) {
  return each<F>([&](int i) { return quad::fsub(a.h[i], b.h[i]); });
}
F fmul(F a, F b) {
  return each<F>([&](int i) { return quad::fmul(a.h[i], b.h[i]); });
}
F fdiv(F a, F b) {
  return each<F>([&](int i) { return quad::fdiv(a.h[i], b.h[i]); });
}
F fload(const float* p) {
  return each<F>([&](int i) { return quad::fload(p + 4 * i); });
}
F narrow(V v) {
  return each<F>([&](int i) { return quad::narrow(v.h[i]); });
}
V widen(F v) {
  return each<V>([&](int i) { return quad::widen(v.h[i]); });
}
V add(V a, V b) {
  return each<V>([&](int i) { return quad::add(a.h[i], b.h[i]); });
}
V sub(V a, V b) {
  return each<V>([&](int i) { return quad::sub(a.h[i], b.h[i]); });
}
V mul(V a, V b) {
  return each<V>([&](int i) { return quad::mul(a.h[i], b.h[i]); });
}
V div(V a, V b) {
  return each<V>([&](int i) { return quad::div(a.h[i], b.h[i]); });
}
V root(V a) {
  return each<V>([&](int i) { return quad::root(a.h[i]); });
}
V nearest(V a) {
  return each<V>([&](int i) { return quad::nearest(a.h[i]); });
}
V vmin(V a, V b) {
  return each<V>([&](int i) { return quad::vmin(a.h[i], b.h[i]); });
}
V vmax(V a, V b) {
  return each<V>([&](int i) { return quad::vmax(a.h[i], b.h[i]); });
}
V abs(V v) {
  return each<V>([&](int i) { return quad::abs(v.h[i]); });
}
V to_float(V v) {
  return each<V>([&](int i) { return quad::to_float(v.h[i]); });
}
V load(const float* p) {
  return each<V>([&](int i) { return quad::load(p + 4 * i); });
}
void store(float* p, V v) {
  for (int i = 0; i < 2; ++i)
    quad::store(p + 4 * i, v.h[i]);
}
M less(V a, V b) {
  return each<M>([&](int i) { return quad::less(a.h[i], b.h[i]); });
}
M less_equal(V a, V b) {
  return each<M>([&](int i) { return quad::less_equal(a.h[i], b.h[i]); });
}
M equal(V a, V b) {
  return each<M>([&](int i) { return quad::equal(a.h[i], b.h[i]); });
}
M either(M a, M b) {
  return each<M>([&](int i) { return quad::either(a.h[i], b.h[i]); });
}
M both(M a, M b) {
  return each<M>([&](int i) { return quad::both(a.h[i], b.h[i]); });
}
M except(M a, M b) {
  return each<M>([&](int i) { return quad::except(a.h[i], b.h[i]); });
}
V select(M mask, V yes, V no) {
  return each<V>([&](int i) { return quad::select(mask.h[i], yes.h[i], no.h[i]); });
}
int mask_bits(M m) {
  return quad::mask_bits(m.h[0]) | quad::mask_bits(m.h[1]) << 4;
}
M unsure(V v, V margin) {
  return each<M>([&](int i) { return quad::unsure(v.h[i], margin.h[i]); });
}
V with_sign_of(V a, V y) {
  return each<V>([&](int i) { return quad::with_sign_of(a.h[i], y.h[i]); });
}
V flip_sign(V v, V sign) {
  return each<V>([&](int i) { return quad::flip_sign(v.h[i], sign.h[i]); });
}
void quarter_turns(V k, M* odd, V* sin_sign, V* cos_sign) {
  for (int i = 0; i < 2; ++i)
    quad::quarter_turns(k.h[i], &odd->h[i], &sin_sign->h[i], &cos_sign->h[i]);
}
V pow2(V k) {
  return each<V>([&](int i) { return quad::pow2(k.h[i]); });
}

}  // namespace
}  // namespace vq::ciede

#include "metrics/ciede/delta_e_lanes.h"

namespace vq::ciede {

// Flattened: every step inlined, so that each pair of register operations lies side by side in
// one body of code (left to itself the compiler keeps some steps as calls, with the pairs
// passed through memory).
[[gnu::flatten]] void delta_e_row_avx2(const LabRow& ref, const LabRow& dist, int32_t n,
                                       float* out) {
  row_of_lanes(ref, dist, n, out);
}

}  // namespace vq::ciede
