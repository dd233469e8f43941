// cambi's AVX2 kernels. The c-values take sixteen columns at once where they are all flat with
// one value (the usual case in the flat areas banding lives in): then every count they read
// lies in one row of the counts, side by side, and each lane does the scalar arithmetic
// (integer products, one float conversion, the float reciprocal, one float product).
#include <immintrin.h>

#include "metrics/cambi/cambi.h"

namespace vq {

void cambi_add_range_avx2(uint16_t* counts, int32_t n, uint16_t delta) {
  const __m256i d = _mm256_set1_epi16(int16_t(delta));
  int32_t j = 0;
  for (; j + 16 <= n; j += 16) {
    auto* p = reinterpret_cast<__m256i*>(counts + j);
    _mm256_storeu_si256(p, _mm256_add_epi16(_mm256_loadu_si256(p), d));
  }
  for (; j < n; ++j)
    counts[j] = uint16_t(counts[j] + delta);
}

namespace {

inline __m256i mode3(__m256i a, __m256i b, __m256i c) {
  const __m256i low = _mm256_min_epu16(a, _mm256_min_epu16(b, c));
  const __m256i r = _mm256_blendv_epi8(low, b, _mm256_cmpeq_epi16(b, c));
  const __m256i a_twice = _mm256_or_si256(_mm256_cmpeq_epi16(a, b), _mm256_cmpeq_epi16(a, c));
  return _mm256_blendv_epi8(r, a, a_twice);
}

inline uint16_t mode3(uint16_t a, uint16_t b, uint16_t c) {
  if (a == b || a == c) return a;
  if (b == c) return b;
  return a < b ? (a < c ? a : c) : (b < c ? b : c);
}

inline __m256i load(const uint16_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

}  // namespace

void cambi_mode3_rows_avx2(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out,
                           int32_t n) {
  int32_t j = 0;
  for (; j + 16 <= n; j += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                        mode3(load(a + j), load(b + j), load(c + j)));
  for (; j < n; ++j)
    out[j] = mode3(a[j], b[j], c[j]);
}

void cambi_mode3_across_avx2(const uint16_t* in, uint16_t* out, int32_t n) {
  out[0] = in[0];
  int32_t j = 1;
  for (; j + 17 <= n; j += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                        mode3(load(in + j - 1), load(in + j), load(in + j + 1)));
  for (; j + 1 < n; ++j)
    out[j] = mode3(in[j - 1], in[j], in[j + 1]);
  out[n - 1] = in[n - 1];
}

namespace {

inline __m256i gather(const uint16_t* counts, __m256i at) {
  // Four bytes from each sample's place (the counts end with a margin); the upper two dropped.
  return _mm256_and_si256(_mm256_i32gather_epi32(reinterpret_cast<const int*>(counts), at, 2),
                          _mm256_set1_epi32(0xFFFF));
}

// Eight columns of any values, their counts gathered. Lanes that have no c-value read count 0
// (always there) and are zeroed.
void c_values8(const CambiRowArgs& a, int32_t j) {
  const int32_t w = a.width;
  const __m256i vals =
      _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a.values + j)));
  const __m256i flat = _mm256_cmpgt_epi32(
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a.mask + j))),
      _mm256_setzero_si256());
  const __m256i v = _mm256_sub_epi32(vals, _mm256_set1_epi32(a.base));
  const __m256i own = _mm256_and_si256(
      flat, _mm256_and_si256(_mm256_cmpgt_epi32(v, _mm256_set1_epi32(-1)),
                             _mm256_cmpgt_epi32(_mm256_set1_epi32(a.own_rows), v)));
  __m256 best = _mm256_setzero_ps();
  if (_mm256_movemask_epi8(own) != 0) {
    const __m256i at0 = _mm256_add_epi32(
        _mm256_mullo_epi32(_mm256_and_si256(v, own), _mm256_set1_epi32(w)),
        _mm256_add_epi32(_mm256_set1_epi32(j), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
    const __m256i p0 = gather(a.counts, at0);
    const __m256i value = _mm256_add_epi32(vals, _mm256_set1_epi32(a.diffs));
    const __m256 one = _mm256_set1_ps(1.0f);
    for (int32_t d = 0; d < a.diffs; ++d) {
      const __m256i on = _mm256_and_si256(
          own,
          _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(a.tvi[d] + 1), value),
                           _mm256_cmpgt_epi32(_mm256_add_epi32(value, _mm256_set1_epi32(d + 1)),
                                              _mm256_set1_epi32(a.vlt))));
      if (_mm256_movemask_epi8(on) == 0) continue;
      const __m256i step = _mm256_set1_epi32((d + 1) * w);
      const __m256i p1 = gather(a.counts, _mm256_and_si256(_mm256_add_epi32(at0, step), on));
      const __m256i below = _mm256_and_si256(on, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(d)));
      const __m256i p2 = _mm256_and_si256(
          gather(a.counts, _mm256_and_si256(_mm256_sub_epi32(at0, step), below)), below);
      const __m256i p = _mm256_max_epi32(p1, p2);
      const __m256i num =
          _mm256_mullo_epi32(_mm256_mullo_epi32(_mm256_set1_epi32(a.weights[d]), p0), p);
      const __m256 c = _mm256_mul_ps(
          _mm256_cvtepi32_ps(num), _mm256_div_ps(one, _mm256_cvtepi32_ps(_mm256_add_epi32(p, p0))));
      best = _mm256_max_ps(_mm256_and_ps(c, _mm256_castsi256_ps(on)), best);
    }
  }
  _mm256_storeu_ps(a.out + j, best);
}

}  // namespace

void cambi_c_values_row_avx2(const CambiRowArgs& a) {
  const size_t w = size_t(a.width);
  const __m256 one = _mm256_set1_ps(1.0f);
  int32_t j = 0;
  for (; j + 16 <= a.width; j += 16) {
    const uint16_t v0 = a.values[j];
    const __m256i same = _mm256_cmpeq_epi16(load(a.values + j), _mm256_set1_epi16(int16_t(v0)));
    const __m128i flat = _mm_cmpeq_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.mask + j)), _mm_setzero_si128());
    if (_mm_movemask_epi8(flat) == 0xFFFF) {
      // None flat: no c-values (the usual case outside flat areas).
      _mm256_storeu_ps(a.out + j, _mm256_setzero_ps());
      _mm256_storeu_ps(a.out + j + 8, _mm256_setzero_ps());
      continue;
    }
    if (_mm256_movemask_epi8(same) != -1 || _mm_movemask_epi8(flat) != 0) {
      c_values8(a, j);
      c_values8(a, j + 8);
      continue;
    }
    const int32_t v = v0 - a.base;
    __m256 best_lo = _mm256_setzero_ps(), best_hi = _mm256_setzero_ps();
    if (uint32_t(v) < uint32_t(a.own_rows)) {
      const uint16_t* at = a.counts + size_t(j);
      const __m256i p0 = load(at + size_t(v) * w);
      const __m256i p0_lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(p0));
      const __m256i p0_hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(p0, 1));
      const int32_t value = v0 + a.diffs;
      for (int32_t d = 0; d < a.diffs; ++d) {
        if (value > a.tvi[d] || value + d + 1 <= a.vlt) continue;
        const __m256i p1 = load(at + size_t(v + d + 1) * w);
        const __m256i p2 =
            v - d - 1 >= 0 ? load(at + size_t(v - d - 1) * w) : _mm256_setzero_si256();
        const __m256i p = _mm256_max_epu16(p1, p2);
        const __m256i p_lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(p));
        const __m256i p_hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(p, 1));
        const __m256i weight = _mm256_set1_epi32(a.weights[d]);
        const __m256 c_lo = _mm256_mul_ps(
            _mm256_cvtepi32_ps(_mm256_mullo_epi32(_mm256_mullo_epi32(weight, p0_lo), p_lo)),
            _mm256_div_ps(one, _mm256_cvtepi32_ps(_mm256_add_epi32(p_lo, p0_lo))));
        const __m256 c_hi = _mm256_mul_ps(
            _mm256_cvtepi32_ps(_mm256_mullo_epi32(_mm256_mullo_epi32(weight, p0_hi), p_hi)),
            _mm256_div_ps(one, _mm256_cvtepi32_ps(_mm256_add_epi32(p_hi, p0_hi))));
        best_lo = _mm256_max_ps(c_lo, best_lo);
        best_hi = _mm256_max_ps(c_hi, best_hi);
      }
    }
    _mm256_storeu_ps(a.out + j, best_lo);
    _mm256_storeu_ps(a.out + j + 8, best_hi);
  }
  cambi_c_values_span_scalar(a, j, a.width);
}

int32_t cambi_next_change_avx2(const uint8_t* mask_a, const uint16_t* a, const uint8_t* mask_b,
                               const uint16_t* b, int32_t from, int32_t n) {
  const __m256i zero = _mm256_setzero_si256();
  int32_t j = from;
  for (; j + 16 <= n; j += 16) {
    const __m256i fa =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask_a + j)));
    const __m256i fb =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask_b + j)));
    const __m256i ka = _mm256_or_si256(load(a + j), _mm256_cmpeq_epi16(fa, zero));
    const __m256i kb = _mm256_or_si256(load(b + j), _mm256_cmpeq_epi16(fb, zero));
    const uint32_t same = uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi16(ka, kb)));
    if (same != 0xFFFFFFFFu) return j + int32_t(__builtin_ctz(~same) >> 1);
  }
  return cambi_next_change_scalar(mask_a, a, mask_b, b, j, n);
}

void cambi_pool_sums_avx2(const float* values, int32_t n, CambiSums* sums) {
  const __m256 zero = _mm256_setzero_ps(), half = _mm256_set1_ps(0.5f);
  __m256i above = _mm256_setzero_si256(), small = _mm256_setzero_si256();
  __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(values + i);
    const __m256 pos = _mm256_cmp_ps(v, zero, _CMP_GT_OQ);
    const __m256 low = _mm256_and_ps(pos, _mm256_cmp_ps(v, half, _CMP_LT_OQ));
    above = _mm256_sub_epi32(above, _mm256_castps_si256(pos));
    small = _mm256_sub_epi32(small, _mm256_castps_si256(low));
    lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
    hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
  }
  CambiSums s;
  alignas(32) int32_t a[8], b[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), above);
  _mm256_store_si256(reinterpret_cast<__m256i*>(b), small);
  for (int l = 0; l < 8; ++l) {
    s.above += a[l];
    s.small += b[l];
  }
  _mm256_storeu_pd(s.part, lo);
  _mm256_storeu_pd(s.part + 4, hi);
  for (; i < n; ++i) {
    s.above += values[i] > 0;
    s.small += values[i] > 0 && values[i] < 0.5f;
    s.part[0] += double(values[i]);
  }
  *sums = s;
}

}  // namespace vq
