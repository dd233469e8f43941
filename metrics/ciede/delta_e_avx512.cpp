// delta_e eight pairs at a time in AVX-512's double lanes (AVX-512F only; no FMA, as the
// steps' roundings are the scalar code's). The steps are in delta_e_lanes.h; this file gives
// them their lane operations, with masks as mask registers.
// GCC 12's AVX-512 headers pass an unset vector as the unused source of the unmasked forms
// (min, max and the conversions), which its own uninitialised-value warnings then report.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cmath>
#include <numbers>

#include "metrics/ciede/ciede.h"

namespace vq::ciede {
namespace {

using V = __m512d;
using M = __mmask8;  // one bit a lane
constexpr int32_t kLanes = 8;

__m512i bits(V v) {
  return _mm512_castpd_si512(v);
}
V from_bits(__m512i v) {
  return _mm512_castsi512_pd(v);
}

V set(double v) {
  return _mm512_set1_pd(v);
}
V add(V a, V b) {
  return _mm512_add_pd(a, b);
}
V sub(V a, V b) {
  return _mm512_sub_pd(a, b);
}
V mul(V a, V b) {
  return _mm512_mul_pd(a, b);
}
V div(V a, V b) {
  return _mm512_div_pd(a, b);
}
V root(V a) {
  return _mm512_sqrt_pd(a);
}
V nearest(V a) {
  return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
}
V vmin(V a, V b) {
  return _mm512_min_pd(a, b);
}
V vmax(V a, V b) {
  return _mm512_max_pd(a, b);
}
V abs(V v) {
  return _mm512_abs_pd(v);
}

// The same lanes as floats, for the steps the scalar code does in float: a float sum,
// difference, product or quotient of floats is the one the double step rounded to float gives.
using F = __m256;
F fset(float v) {
  return _mm256_set1_ps(v);
}
F fadd(F a, F b) {
  return _mm256_add_ps(a, b);
}
F fsub(F a, F b) {
  return _mm256_sub_ps(a, b);
}
F fmul(F a, F b) {
  return _mm256_mul_ps(a, b);
}
F fdiv(F a, F b) {
  return _mm256_div_ps(a, b);
}
F fload(const float* p) {
  return _mm256_loadu_ps(p);
}
// Double lanes rounded to float, and float lanes widened (exactly) to double.
F narrow(V v) {
  return _mm512_cvtpd_ps(v);
}
V widen(F v) {
  return _mm512_cvtps_pd(v);
}

// Rounded to float and back: the float value the scalar code stores.
V to_float(V v) {
  return _mm512_cvtps_pd(_mm512_cvtpd_ps(v));
}
V load(const float* p) {
  return _mm512_cvtps_pd(_mm256_loadu_ps(p));
}
void store(float* p, V v) {
  _mm256_storeu_ps(p, _mm512_cvtpd_ps(v));
}

M less(V a, V b) {
  return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ);
}
M less_equal(V a, V b) {
  return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ);
}
M equal(V a, V b) {
  return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ);
}
M either(M a, M b) {
  return M(a | b);
}
M both(M a, M b) {
  return M(a & b);
}
M except(M a, M b) {
  return M(a & ~b);
}
V select(M mask, V yes, V no) {
  return _mm512_mask_blend_pd(mask, no, yes);
}
int mask_bits(M m) {
  return int(m);
}

// Lanes whose float rounding may differ from the rounding of any value within `margin` of `v`
// (compared as doubles, where the floats convert exactly; NaN also counts as unsure).
M unsure(V v, V margin) {
  const V lo = to_float(sub(v, margin)), hi = to_float(add(v, margin));
  return _mm512_cmp_pd_mask(lo, hi, _CMP_NEQ_UQ);
}

// |a| with the sign of y (zero's sign included).
V with_sign_of(V a, V y) {
  return from_bits(
      _mm512_or_si512(bits(a), _mm512_and_si512(bits(y), _mm512_set1_epi64(INT64_MIN))));
}
V flip_sign(V v, V sign) {
  return from_bits(_mm512_xor_si512(bits(v), bits(sign)));
}

// For k whole quarter turns: whether k is odd (sine and cosine change places), and the sign
// bits that turns 2 and 3 give the sine and turns 1 and 2 the cosine.
void quarter_turns(V k, M* odd, V* sin_sign, V* cos_sign) {
  const __m512i q = _mm512_cvtepi32_epi64(_mm512_cvtpd_epi32(k));
  const __m512i one = _mm512_set1_epi64(1);
  *odd = _mm512_test_epi64_mask(q, one);
  *sin_sign = from_bits(_mm512_slli_epi64(_mm512_srli_epi64(q, 1), 63));
  *cos_sign = from_bits(_mm512_slli_epi64(_mm512_srli_epi64(_mm512_add_epi64(q, one), 1), 63));
}

// 2^k for whole k in the normal exponents' range.
V pow2(V k) {
  const __m512i e = _mm512_cvtepi32_epi64(_mm512_cvtpd_epi32(k));
  return from_bits(_mm512_slli_epi64(_mm512_add_epi64(e, _mm512_set1_epi64(1023)), 52));
}

}  // namespace
}  // namespace vq::ciede

#include "metrics/ciede/delta_e_lanes.h"

namespace vq::ciede {

void delta_e_row_avx512(const LabRow& ref, const LabRow& dist, int32_t n, float* out) {
  row_of_lanes(ref, dist, n, out);
}

}  // namespace vq::ciede
