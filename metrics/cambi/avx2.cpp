// cambi's AVX2 kernels. The c-values take sixteen columns at once where they are all flat with
// one value (the usual case in the flat areas banding lives in): then every count they read
// lies in one row of the counts, side by side, and each lane does the scalar arithmetic
// (integer products, one float conversion, the float reciprocal, one float product).
#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "metrics/cambi/cambi.h"

namespace vq {

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

namespace {

// Lanes l of a load at kFrom + 16 - o are all ones where l >= o; at kTo + 16 - e, where l < e.
// clang-format off
alignas(64) constexpr int16_t kFrom[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           -1, -1, -1, -1, -1, -1, -1, -1,
                                           -1, -1, -1, -1, -1, -1, -1, -1};
alignas(64) constexpr int16_t kTo[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                         -1, -1, -1, -1, -1, -1, -1, -1,
                                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// clang-format on

inline __m256i lanes_from(int32_t o) {
  return load(reinterpret_cast<const uint16_t*>(kFrom) + 16 - o);
}
inline __m256i lanes_to(int32_t e) {
  return load(reinterpret_cast<const uint16_t*>(kTo) + 16 - e);
}

inline void add_block(__m256i* block, __m256i d) {
  _mm256_store_si256(block, _mm256_add_epi16(_mm256_load_si256(block), d));
}

// counts[0 .. n) += the lanes of d, in the 32-byte blocks of memory that hold them, the lanes
// outside the span adding 0 (up to 15 counts either side are read and written back unchanged:
// the counts have margins of 16). Updates of one row by nearby columns then load exactly what
// an earlier one stored, which the processor forwards; a load straddling an earlier unaligned
// store would wait for it to reach the cache.
inline void add_span(uint16_t* counts, int32_t n, __m256i d) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(counts);
  auto* block = reinterpret_cast<__m256i*>(at & ~uintptr_t(31));
  // The span's lanes, counted from the first block's first lane.
  const int32_t first = int32_t((at & 31) >> 1), end = first + n;
  if (end <= 16) {
    add_block(block, _mm256_and_si256(d, _mm256_and_si256(lanes_from(first), lanes_to(end))));
    return;
  }
  add_block(block++, _mm256_and_si256(d, lanes_from(first)));
  int32_t k = 32;
  for (; k < end; k += 16)
    add_block(block++, d);
  add_block(block, _mm256_and_si256(d, lanes_to(end - (k - 16))));
}

// Sixteen pixels' count rows: value - base where flat and below count_rows, else count_rows.
inline __m256i count_rows_of(const uint16_t* values, const uint8_t* mask, __m256i base,
                             __m256i rows) {
  const __m256i flat =
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)));
  const __m256i not_flat = _mm256_cmpeq_epi16(flat, _mm256_setzero_si256());
  const __m256i row = _mm256_or_si256(_mm256_sub_epi16(load(values), base), not_flat);
  return _mm256_min_epu16(row, rows);
}

}  // namespace

namespace {

// The running sums of sixteen 16-bit lanes: lane m holds e[0] + .. + e[m].
inline __m256i prefix16(__m256i e) {
  e = _mm256_add_epi16(e, _mm256_slli_si256(e, 2));
  e = _mm256_add_epi16(e, _mm256_slli_si256(e, 4));
  e = _mm256_add_epi16(e, _mm256_slli_si256(e, 8));
  // Each half summed alone: the low half's last sum carried into the high half.
  const __m256i last = _mm256_shuffle_epi8(e, _mm256_set1_epi16(0x0F0E));
  return _mm256_add_epi16(e, _mm256_permute2x128_si256(last, last, 0x08));
}

inline void add_unaligned(uint16_t* at, __m256i d) {
  auto* p = reinterpret_cast<__m256i*>(at);
  _mm256_storeu_si256(p, _mm256_add_epi16(_mm256_loadu_si256(p), d));
}

// Sixteen columns j .. j + 15 whose windows (pad >= 8 either side) lie inside the row: the
// columns' changes are taken one count row at a time. With e[l] = +1 where column j + l enters
// the row r, -1 where it leaves, 0 else, and P its running sums, the counts of r change over
// columns j - pad + m by P[m] for m < 16, by P[15] up to m = 2 pad, and by P[15] - P[q] at
// m = 2 pad + 1 + q (zero at q = 15): three additions per row instead of two per column.
inline void slide_rows(const CambiSlideArgs& a, int32_t j, __m256i o, __m256i i, const uint16_t* ro,
                       const uint16_t* ri) {
  const __m256i rows = _mm256_set1_epi16(int16_t(a.count_rows)), ones = _mm256_set1_epi16(-1);
  const __m256i same = _mm256_cmpeq_epi16(o, i);
  __m256i leave = _mm256_andnot_si256(_mm256_or_si256(same, _mm256_cmpeq_epi16(o, rows)), ones);
  __m256i enter = _mm256_andnot_si256(_mm256_or_si256(same, _mm256_cmpeq_epi16(i, rows)), ones);
  uint32_t left = uint32_t(_mm256_movemask_epi8(leave)),
           right = uint32_t(_mm256_movemask_epi8(enter));
  while ((left | right) != 0) {
    const uint16_t r = left != 0 ? ro[__builtin_ctz(left) >> 1] : ri[__builtin_ctz(right) >> 1];
    const __m256i row = _mm256_set1_epi16(int16_t(r));
    const __m256i out = _mm256_and_si256(leave, _mm256_cmpeq_epi16(o, row));
    const __m256i in = _mm256_and_si256(enter, _mm256_cmpeq_epi16(i, row));
    leave = _mm256_andnot_si256(out, leave);
    enter = _mm256_andnot_si256(in, enter);
    left = uint32_t(_mm256_movemask_epi8(leave));
    right = uint32_t(_mm256_movemask_epi8(enter));
    // Masks of -1: out - in is -1 where a column leaves and +1 where one enters.
    const __m256i sums = prefix16(_mm256_sub_epi16(out, in));
    const __m256i total = _mm256_permute4x64_epi64(
        _mm256_shuffle_epi8(sums, _mm256_set1_epi16(0x0F0E)), _MM_SHUFFLE(3, 3, 3, 3));
    uint16_t* at = a.counts + size_t(r) * size_t(a.width) + size_t(j - a.pad);
    add_unaligned(at, sums);
    add_span(at + 16, 2 * a.pad - 15, total);
    add_unaligned(at + 2 * a.pad + 1, _mm256_sub_epi16(total, sums));
  }
}

}  // namespace

void cambi_slide_avx2(const CambiSlideArgs& a) {
  const int32_t w = a.width;
  // Blocks whose windows lie inside the row, when the windows are at least 17 wide.
  const int32_t rows_from = a.pad >= 8 ? a.pad : w, rows_to = w - 16 - a.pad;
  const __m256i base = _mm256_set1_epi16(int16_t(a.base)),
                rows = _mm256_set1_epi16(int16_t(a.count_rows));
  const __m256i plus = _mm256_set1_epi16(1), minus = _mm256_set1_epi16(-1);
  const uint16_t none = uint16_t(a.count_rows);
  alignas(32) uint16_t ro[16], ri[16];
  auto move = [&](int32_t j, uint16_t from, uint16_t to) {
    const int32_t lo = std::max(j - a.pad, 0), hi = std::min(j + a.pad + 1, w);
    if (from != none) add_span(a.counts + size_t(from) * size_t(w) + lo, hi - lo, minus);
    if (to != none) add_span(a.counts + size_t(to) * size_t(w) + lo, hi - lo, plus);
  };
  int32_t j = 0;
  for (; j + 16 <= w; j += 16) {
    const __m256i o = count_rows_of(a.out_values + j, a.out_mask + j, base, rows);
    const __m256i i = count_rows_of(a.in_values + j, a.in_mask + j, base, rows);
    // Two mask bits per column; the columns that change, lowest first.
    uint32_t change = ~uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi16(o, i)));
    if (change == 0) continue;
    _mm256_store_si256(reinterpret_cast<__m256i*>(ro), o);
    _mm256_store_si256(reinterpret_cast<__m256i*>(ri), i);
    if (j >= rows_from && j <= rows_to) {
      slide_rows(a, j, o, i, ro, ri);
      continue;
    }
    while (change != 0) {
      const int lane = __builtin_ctz(change) >> 1;
      change &= ~(3u << (2 * lane));
      move(j + lane, ro[lane], ri[lane]);
    }
  }
  const uint32_t limit = uint32_t(a.count_rows);
  for (; j < w; ++j) {
    uint32_t o = a.out_mask[j] ? uint32_t(a.out_values[j] - a.base) : limit;
    uint32_t i = a.in_mask[j] ? uint32_t(a.in_values[j] - a.base) : limit;
    o = o < limit ? o : limit;
    i = i < limit ? i : limit;
    if (o != i) move(j, uint16_t(o), uint16_t(i));
  }
}

void cambi_pool_sums_avx2(const float* values, int32_t n, CambiSums* sums) {
  const __m256 zero = _mm256_setzero_ps(), none = _mm256_set1_ps(INFINITY);
  __m256i above = _mm256_setzero_si256();
  __m256 least = none;
  __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(values + i);
    const __m256 pos = _mm256_cmp_ps(v, zero, _CMP_GT_OQ);
    above = _mm256_sub_epi32(above, _mm256_castps_si256(pos));
    least = _mm256_min_ps(least, _mm256_blendv_ps(none, v, pos));
    lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
    hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
  }
  CambiSums s;
  alignas(32) int32_t a[8];
  alignas(32) float b[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(a), above);
  _mm256_store_ps(b, least);
  for (int l = 0; l < 8; ++l) {
    s.above += a[l];
    if (b[l] != INFINITY && (s.least == 0 || b[l] < s.least)) s.least = b[l];
  }
  _mm256_storeu_pd(s.part, lo);
  _mm256_storeu_pd(s.part + 4, hi);
  for (; i < n; ++i) {
    s.above += values[i] > 0;
    if (values[i] > 0 && (s.least == 0 || values[i] < s.least)) s.least = values[i];
    s.part[0] += double(values[i]);
  }
  *sums = s;
}

}  // namespace vq

namespace vq {

namespace {

inline __m256i widen16(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

inline void store(uint16_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

}  // namespace

void cambi_smooth8_avx2(const uint8_t* r, const uint8_t* below, int32_t w, uint16_t* out) {
  const uint8_t* n = below;
  int32_t j = 0;
  for (; j + 17 <= w; j += 16)
    store(out + j, _mm256_add_epi16(_mm256_add_epi16(widen16(r + j), widen16(r + j + 1)),
                                    _mm256_add_epi16(widen16(n + j), widen16(n + j + 1))));
  for (; j + 1 < w; ++j)
    out[j] = uint16_t(r[j] + r[j + 1] + n[j] + n[j + 1]);
  out[w - 1] = uint16_t((r[w - 1] + n[w - 1]) * 2);
}

void cambi_flat_row_avx2(const uint16_t* r, const uint16_t* next, int32_t w, uint8_t* f,
                         uint8_t* col) {
  // The last row compares with itself below, which is always equal.
  const uint16_t* n = next ? next : r;
  const __m256i one = _mm256_set1_epi8(1);
  int32_t j = 0;
  for (; j + 33 <= w; j += 32) {
    const __m256i a = _mm256_and_si256(_mm256_cmpeq_epi16(load(r + j), load(r + j + 1)),
                                       _mm256_cmpeq_epi16(load(r + j), load(n + j)));
    const __m256i b = _mm256_and_si256(_mm256_cmpeq_epi16(load(r + j + 16), load(r + j + 17)),
                                       _mm256_cmpeq_epi16(load(r + j + 16), load(n + j + 16)));
    // Lanes of -1 or 0 packed to bytes, back in column order.
    const __m256i flags = _mm256_and_si256(
        _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0)), one);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(f + j), flags);
    auto* c = reinterpret_cast<__m256i*>(col + j);
    _mm256_storeu_si256(c, _mm256_add_epi8(_mm256_loadu_si256(c), flags));
  }
  for (; j + 1 < w; ++j) {
    f[j] = uint8_t((r[j] == r[j + 1]) & (r[j] == n[j]));
    col[j] = uint8_t(col[j] + f[j]);
  }
  f[w - 1] = r[w - 1] == n[w - 1];
  col[w - 1] = uint8_t(col[w - 1] + f[w - 1]);
}

void cambi_mask_row_avx2(uint8_t* col, const uint8_t* drop, int32_t w, uint8_t limit, uint8_t* m) {
  int32_t j = 0;
  if (drop) {
    for (; j + 32 <= w; j += 32) {
      auto* c = reinterpret_cast<__m256i*>(col + j);
      _mm256_storeu_si256(
          c, _mm256_sub_epi8(_mm256_loadu_si256(c),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(drop + j))));
    }
    for (; j < w; ++j)
      col[j] = uint8_t(col[j] - drop[j]);
  }
  // The sums are at most 49: a signed byte comparison orders them.
  const __m256i most = _mm256_set1_epi8(int8_t(limit)), one = _mm256_set1_epi8(1);
  auto at = [&](int32_t k) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + k));
  };
  for (j = 0; j + 32 <= w; j += 32) {
    const __m256i n = _mm256_add_epi8(
        _mm256_add_epi8(_mm256_add_epi8(at(j - 3), at(j - 2)), _mm256_add_epi8(at(j - 1), at(j))),
        _mm256_add_epi8(_mm256_add_epi8(at(j + 1), at(j + 2)), at(j + 3)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(m + j),
                        _mm256_and_si256(_mm256_cmpgt_epi8(n, most), one));
  }
  for (; j < w; ++j) {
    const uint8_t n = uint8_t(col[j - 3] + col[j - 2] + col[j - 1] + col[j] + col[j + 1] +
                              col[j + 2] + col[j + 3]);
    m[j] = n > limit;
  }
}

void cambi_halve16_avx2(const uint16_t* from, int32_t w, uint16_t* to) {
  const __m256i low = _mm256_set1_epi32(0xFFFF);
  int32_t j = 0;
  // Sixteen outputs read 32 samples, all before any is written (a row halving onto itself:
  // later blocks write where earlier ones have read).
  for (; j + 17 <= w; j += 16) {
    const __m256i a = _mm256_and_si256(load(from + 2 * j), low);
    const __m256i b = _mm256_and_si256(load(from + 2 * j + 16), low);
    store(to + j, _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), _MM_SHUFFLE(3, 1, 2, 0)));
  }
  for (; j < w; ++j)
    to[j] = from[2 * j];
}

void cambi_halve8_avx2(const uint8_t* from, int32_t w, uint8_t* to) {
  const __m256i low = _mm256_set1_epi16(0xFF);
  int32_t j = 0;
  for (; j + 33 <= w; j += 32) {
    const __m256i a =
        _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * j)), low);
    const __m256i b = _mm256_and_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * j + 32)), low);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(to + j),
        _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), _MM_SHUFFLE(3, 1, 2, 0)));
  }
  for (; j < w; ++j)
    to[j] = from[2 * j];
}

}  // namespace vq
