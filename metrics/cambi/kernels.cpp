// cambi's scalar kernels, and the table that picks each kernel's best form for the CPU.
#include <algorithm>

#include "convert/convert.h"
#include "metrics/cambi/cambi.h"

namespace vq {

namespace {

// counts[0 .. n) += 1 or -= 1 (delta 1 or 0xFFFF).
void add_range(uint16_t* counts, int32_t n, uint16_t delta) {
  for (int32_t j = 0; j < n; ++j)
    counts[j] = uint16_t(counts[j] + delta);
}

inline uint16_t mode3(uint16_t a, uint16_t b, uint16_t c) {
  if (a == b || a == c) return a;
  if (b == c) return b;
  return std::min(a, std::min(b, c));
}
}  // namespace

void cambi_mode3_rows_scalar(const uint16_t* a, const uint16_t* b, const uint16_t* c, uint16_t* out,
                             int32_t n) {
  for (int32_t j = 0; j < n; ++j)
    out[j] = mode3(a[j], b[j], c[j]);
}

void cambi_mode3_across_scalar(const uint16_t* in, uint16_t* out, int32_t n) {
  out[0] = in[0];
  for (int32_t j = 1; j + 1 < n; ++j)
    out[j] = mode3(in[j - 1], in[j], in[j + 1]);
  out[n - 1] = in[n - 1];
}

void cambi_c_values_span_scalar(const CambiRowArgs& a, int32_t begin, int32_t end) {
  const size_t w = size_t(a.width);
  for (int32_t j = begin; j < end; ++j) {
    a.out[j] = 0;
    if (!a.mask[j]) continue;
    const int32_t v = a.values[j] - a.base;
    if (uint32_t(v) >= uint32_t(a.own_rows)) continue;
    const uint16_t* at = a.counts + size_t(j);
    const int32_t value = a.values[j] + a.diffs;
    const int32_t p0 = at[size_t(v) * w];
    float best = 0;
    for (int32_t d = 0; d < a.diffs; ++d) {
      if (value > a.tvi[d] || value + d + 1 <= a.vlt) continue;
      const int32_t p1 = at[size_t(v + d + 1) * w];
      const int32_t p2 = v - d - 1 >= 0 ? at[size_t(v - d - 1) * w] : 0;
      const int32_t p = p1 > p2 ? p1 : p2;
      const float c = float(a.weights[d] * p0 * p) * a.reciprocal[p + p0];
      if (c > best) best = c;
    }
    a.out[j] = best;
  }
}

void cambi_c_values_row_scalar(const CambiRowArgs& a) {
  cambi_c_values_span_scalar(a, 0, a.width);
}

void cambi_slide_scalar(const CambiSlideArgs& a) {
  const uint32_t rows = uint32_t(a.count_rows);
  for (int32_t j = 0; j < a.width; ++j) {
    // A pixel that is not flat, or whose value has no count row, counts in no row.
    uint32_t ro = a.out_mask[j] ? uint32_t(a.out_values[j] - a.base) : rows;
    uint32_t ri = a.in_mask[j] ? uint32_t(a.in_values[j] - a.base) : rows;
    ro = ro < rows ? ro : rows;
    ri = ri < rows ? ri : rows;
    if (ro == ri) continue;
    const int32_t lo = std::max(j - a.pad, 0), hi = std::min(j + a.pad + 1, a.width);
    if (ro < rows) add_range(a.counts + size_t(ro) * size_t(a.width) + lo, hi - lo, 0xFFFF);
    if (ri < rows) add_range(a.counts + size_t(ri) * size_t(a.width) + lo, hi - lo, 1);
  }
}

void cambi_pool_sums_scalar(const float* values, int32_t n, CambiSums* sums) {
  CambiSums s;
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; ++l) {
      const float v = values[i + l];
      s.above += v > 0;
      if (v > 0 && (s.least == 0 || v < s.least)) s.least = v;
      s.part[l] += double(v);
    }
  }
  for (; i < n; ++i) {
    s.above += values[i] > 0;
    if (values[i] > 0 && (s.least == 0 || values[i] < s.least)) s.least = values[i];
    s.part[0] += double(values[i]);
  }
  *sums = s;
}

void cambi_smooth8_scalar(const uint8_t* r, const uint8_t* below, int32_t w, uint16_t* out) {
  for (int32_t j = 0; j + 1 < w; ++j)
    out[j] = uint16_t(r[j] + r[j + 1] + below[j] + below[j + 1]);
  out[w - 1] = uint16_t((r[w - 1] + below[w - 1]) * 2);
}

void cambi_flat_row_scalar(const uint16_t* r, const uint16_t* next, int32_t w, uint8_t* f,
                           uint8_t* col) {
  if (!next) {
    for (int32_t j = 0; j + 1 < w; ++j)
      f[j] = r[j] == r[j + 1];
    f[w - 1] = 1;
  } else {
    for (int32_t j = 0; j + 1 < w; ++j)
      f[j] = uint8_t((r[j] == r[j + 1]) & (r[j] == next[j]));
    f[w - 1] = r[w - 1] == next[w - 1];
  }
  for (int32_t j = 0; j < w; ++j)
    col[j] = uint8_t(col[j] + f[j]);
}

void cambi_mask_row_scalar(uint8_t* col, const uint8_t* drop, int32_t w, uint8_t limit,
                           uint8_t* m) {
  if (drop)
    for (int32_t j = 0; j < w; ++j)
      col[j] = uint8_t(col[j] - drop[j]);
  for (int32_t j = 0; j < w; ++j) {
    const uint8_t n = uint8_t(col[j - 3] + col[j - 2] + col[j - 1] + col[j] + col[j + 1] +
                              col[j + 2] + col[j + 3]);
    m[j] = n > limit;
  }
}

void cambi_halve16_scalar(const uint16_t* from, int32_t w, uint16_t* to) {
  for (int32_t j = 0; j < w; ++j)
    to[j] = from[2 * j];
}

void cambi_halve8_scalar(const uint8_t* from, int32_t w, uint8_t* to) {
  for (int32_t j = 0; j < w; ++j)
    to[j] = from[2 * j];
}

CambiKernels cambi_kernels(uint32_t cpu_flags) {
  CambiKernels k = {cambi_mode3_rows_scalar, cambi_mode3_across_scalar, cambi_c_values_row_scalar,
                    cambi_slide_scalar,      cambi_pool_sums_scalar,    cambi_smooth8_scalar,
                    cambi_flat_row_scalar,   cambi_mask_row_scalar,     cambi_halve16_scalar,
                    cambi_halve8_scalar};
#if defined(VQ_X86_SIMD)
  if (cpu_flags & kCpuAvx2) {
    k.mode3_rows = cambi_mode3_rows_avx2;
    k.mode3_across = cambi_mode3_across_avx2;
    k.c_values_row = cambi_c_values_row_avx2;
    k.slide = cambi_slide_avx2;
    k.pool_sums = cambi_pool_sums_avx2;
    k.smooth8 = cambi_smooth8_avx2;
    k.flat_row = cambi_flat_row_avx2;
    k.mask_row = cambi_mask_row_avx2;
    k.halve16 = cambi_halve16_avx2;
    k.halve8 = cambi_halve8_avx2;
  }
#else
  (void)cpu_flags;
#endif
  return k;
}

}  // namespace vq
