// The Butteraugli map at one resolution: each picture taken to the opsin (XYB-like) space,
// split into low, middle, high and ultra-high frequency bands, the bands compared through line
// filters and squared differences, weighed by a visual mask. Included once per CPU tier, each
// inside its own namespace (VQ_BUTTERAUGLI_TIER) and compiled with that tier's flags; every tier
// computes the very bits of the plain one (no contraction, no reassociation, multiplies and adds
// fused only where written: only the widths of the compiler's vectors differ).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "metrics/butteraugli/scale.h"

namespace vq::butteraugli::VQ_BUTTERAUGLI_TIER {
namespace {

// ---- Blurs ----------------------------------------------------------------------------------

// A truncated Gaussian of `sigma`: taps out to 2.25 sigma (at least one each side), unscaled.
struct Kernel {
  std::vector<float> taps;
  int radius = 0;
  std::vector<float> scaled;  // taps over their sum, for samples whose window is all inside
  float w[3] = {0, 0, 0};     // the five-tap form's centre and side weights, scaled
};

Kernel make_kernel(float sigma) {
  Kernel k;
  const float m = 2.25f;
  const double scaler = -1.0 / (2.0 * double(sigma) * double(sigma));
  k.radius = std::max<int>(1, int(m * std::fabs(sigma)));
  k.taps.resize(size_t(2 * k.radius + 1));
  for (int i = -k.radius; i <= k.radius; ++i)
    k.taps[size_t(i + k.radius)] = float(std::exp(scaler * i * i));
  float total = 0.0f;
  for (float t : k.taps)
    total += t;
  const float scale = 1.0f / total;
  k.scaled.resize(size_t(k.radius + 1));
  for (int i = 0; i <= k.radius; ++i)
    k.scaled[size_t(i)] = k.taps[size_t(i)] * scale;
  if (k.taps.size() == 5) {
    k.w[0] = k.taps[2] * scale;
    k.w[1] = k.taps[1] * scale;
    k.w[2] = k.taps[0] * scale;
  }
  return k;
}

// Loops whose iterations are independent: every output of the loop is written through a
// pointer no input of it is read through.
#if defined(__clang__)
#define VQ_INDEPENDENT _Pragma("clang loop vectorize(assume_safety)")
#else
#define VQ_INDEPENDENT _Pragma("GCC ivdep")
#endif

// a * b + c rounded once: the vector tiers' fused multiply-add, the C library's fma in the plain
// loops, so that every tier has the same bits.
inline float mul_add(float a, float b, float c) {
  return std::fma(a, b, c);
}

// The weighted sum of a window of kLen samples whose centre is inside by the radius: mirrored
// pairs summed first, weighted into four running sums, which are added to the weighted centre.
template <int kLen, class Get>
inline float window_sum(Get get, const float* k) {
  constexpr int kRadius = kLen / 2;
  float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
#pragma GCC unroll 32
  for (int i = 0; i < kRadius; ++i) {
    const float pair = get(i) + get(kLen - 1 - i);
    if (i < 4)
      acc[i] = pair * k[i];
    else
      acc[i & 3] = mul_add(pair, k[i], acc[i & 3]);
  }
  return mul_add(get(kRadius), k[kRadius], (acc[0] + acc[1]) + (acc[2] + acc[3]));
}

// A sample near an edge: the window cut at the picture, its taps renormalised to what remains:
// 1/sum of the taps that fall inside for position x of n.
float edge_scale(const Kernel& k, int32_t x, int32_t n) {
  const int32_t lo = std::max<int32_t>(0, x - k.radius);
  const int32_t hi = std::min<int32_t>(n - 1, x + k.radius);
  float weight = 0.0f;
  for (int32_t j = lo; j <= hi; ++j)
    weight += k.taps[size_t(j - x + k.radius)];
  return 1.0f / weight;
}

bool is_edge(int32_t x, int32_t n, int radius) {
  return x < radius || x >= n - radius;
}

// The rows the horizontal pass has made, kept for the vertical pass: row j of the picture in
// slot j % slots. A blur holds no more rows than its window, so no tap's row is a plane away.
struct RowRing {
  static constexpr int kMaxSlots = 33;  // the widest blur's window
  int32_t width = 0;
  int slots = 0;
  float* data = nullptr;  // room for kMaxSlots rows (a scale's blurs share its rings)
  void resize(int32_t w, int n) {
    width = w;
    slots = n;
  }
  float* row(int32_t y) { return data + size_t(y % slots) * size_t(width); }
};

// Asks for the w samples of a row the next step reads into the second-level cache: the planes
// are read a row at a time among many others, and their rows' first lines were mostly waited
// for. Loops ask for the next row a block of kPrefetchBlock samples at a time among their work,
// since a whole row asked for at once stalls on the cache's fill buffers.
constexpr int32_t kPrefetchBlock = 64;
inline void prefetch_row(const float* row, int32_t w) {
  for (int32_t x = 0; x < w; x += 16)
    __builtin_prefetch(row + x, 0, 2);
}

// The samples x in [a, b) of a row whose window the picture cuts (at most the radius of them):
// each sum in its window's order, then renormalised by its scale in `escale`. Beyond the row
// the window reads zeros, which leave a sum as it is, so that the samples' sums run side by
// side in one vector.
template <int kLen>
void blur_row_edges(const float* __restrict src, const Kernel& k, const float* escale, int32_t a,
                    int32_t b, int32_t w, float* __restrict dst) {
  constexpr int r = kLen / 2;
  const int32_t n = b - a;
  if (n <= 0) return;
  float window[r + kLen];
  for (int32_t i = 0; i < n + kLen - 1; ++i) {
    const int32_t j = a - r + i;
    window[i] = j >= 0 && j < w ? src[j] : 0.0f;
  }
  float acc[r] = {};
  for (int t = 0; t < kLen; ++t) {
    const float tap = k.taps[size_t(t)];
    for (int32_t i = 0; i < n; ++i)
      acc[i] += window[i + t] * tap;
  }
  for (int32_t i = 0; i < n; ++i) {
    const int32_t x = a + i;
    dst[x] = acc[i] * escale[x < r ? x : x - w + 2 * r];
  }
}

// One row: dst(x) = window along x of src, the window cut at the edges and renormalised by
// `escale` (edge_scales); the lines of `next` (the row to blur next, or null) are asked for on
// the way.
template <int kLen>
void blur_row(const float* __restrict src, const Kernel& k, const float* kw, const float* escale,
              int32_t w, const float* next, float* __restrict dst) {
  constexpr int r = kLen / 2;
  for (int32_t x0 = r; x0 < w - r; x0 += kPrefetchBlock) {
    const int32_t x1 = std::min(w - r, x0 + kPrefetchBlock);
    if (next != nullptr) prefetch_row(next + x0, x1 - x0);
    VQ_INDEPENDENT
    for (int32_t x = x0; x < x1; ++x)
      dst[x] = window_sum<kLen>([src, x](int j) { return src[x - r + j]; }, kw);
  }
  const int32_t left = std::min<int32_t>(r, w);
  blur_row_edges<kLen>(src, k, escale, 0, left, w, dst);
  blur_row_edges<kLen>(src, k, escale, std::max(left, w - r), w, w, dst);
}

// The edge samples' scales of a row of n for blur_row: x < r at x, the others at x - n + 2r.
template <int kLen>
void edge_scales(const Kernel& k, int32_t n, float* escale) {
  constexpr int r = kLen / 2;
  for (int32_t x = 0; x < n; ++x)
    if (is_edge(x, n, r)) escale[x < r ? x : x - n + 2 * r] = edge_scale(k, x, n);
}

// Index i of n reflected into the picture, the edge sample repeated (-1 is 0, n is n - 1).
int32_t mirror(int32_t i, int32_t n) {
  while (i < 0 || i >= n)
    i = i < 0 ? -i - 1 : 2 * n - 1 - i;
  return i;
}

// One row of the five-tap blur, whose edges are mirrored instead of renormalised; `next` as
// for blur_row.
void blur5_row(const float* __restrict s, const Kernel& k, int32_t w, const float* next,
               float* __restrict d) {
  const float w0 = k.w[0], w1 = k.w[1], w2 = k.w[2];
  auto at = [s, w](int32_t x) { return s[mirror(x, w)]; };
  for (int32_t x = 0; x < std::min<int32_t>(2, w); ++x)
    d[x] = mul_add(at(x - 2) + at(x + 2), w2, mul_add(at(x - 1) + at(x + 1), w1, at(x) * w0));
  for (int32_t x0 = 2; x0 < w - 2; x0 += kPrefetchBlock) {
    const int32_t x1 = std::min(w - 2, x0 + kPrefetchBlock);
    if (next != nullptr) prefetch_row(next + x0, x1 - x0);
    VQ_INDEPENDENT
    for (int32_t x = x0; x < x1; ++x)
      d[x] = mul_add(s[x - 2] + s[x + 2], w2, mul_add(s[x - 1] + s[x + 1], w1, s[x] * w0));
  }
  for (int32_t x = std::max<int32_t>(2, w - 2); x < w; ++x)
    d[x] = mul_add(at(x - 2) + at(x + 2), w2, mul_add(at(x - 1) + at(x + 1), w1, at(x) * w0));
}

// dst += src * t. Kept out of line: inlined into its caller's loop over rows, the compiler
// fuses two rows into one loop it then leaves scalar.
__attribute__((noinline)) void add_scaled(const float* __restrict src, float t, int32_t w,
                                          float* __restrict dst) {
  VQ_INDEPENDENT
  for (int32_t x = 0; x < w; ++x)
    dst[x] += src[x] * t;
}

// Output row y of a blur along columns of the rows in `ring`, which holds every row of y's
// window.
template <int kLen>
void blur_column_row(RowRing& ring, const Kernel& k, const float* kw, int32_t y, int32_t w,
                     int32_t h, float* __restrict dst) {
  constexpr int r = kLen / 2;
  if constexpr (kLen == 5) {
    // Mirrored rows: a picture is at least kMinSide high, so they are inside the window.
    const float w0 = k.w[0], w1 = k.w[1], w2 = k.w[2];
    const float* m = ring.row(y);
    const float* t1 = ring.row(mirror(y - 1, h));
    const float* b1 = ring.row(mirror(y + 1, h));
    const float* t2 = ring.row(mirror(y - 2, h));
    const float* b2 = ring.row(mirror(y + 2, h));
    VQ_INDEPENDENT
    for (int32_t x = 0; x < w; ++x)
      dst[x] = mul_add(t2[x] + b2[x], w2, mul_add(t1[x] + b1[x], w1, m[x] * w0));
  } else {
    if (!is_edge(y, h, r)) {
      const float* rows[kLen];
      for (int j = 0; j < kLen; ++j)
        rows[j] = ring.row(y - r + j);
      VQ_INDEPENDENT
      for (int32_t x = 0; x < w; ++x)
        dst[x] = window_sum<kLen>([&rows, x](int j) { return rows[j][x]; }, kw);
      return;
    }
    // The cut window's sum, tap by tap in the window's order, then renormalised.
    const int32_t lo = std::max<int32_t>(0, y - r);
    const int32_t hi = std::min<int32_t>(h - 1, y + r);
    const float scale = edge_scale(k, y, h);
    std::fill(dst, dst + w, 0.0f);
    for (int32_t j = lo; j <= hi; ++j)
      add_scaled(ring.row(j), k.taps[size_t(j - y + r)], w, dst);
    VQ_INDEPENDENT
    for (int32_t x = 0; x < w; ++x)
      dst[x] = dst[x] * scale;
  }
}

template <int kLen, class In, class Out, class Done>
void blur_planes_as(const Kernel& k, int n, In in, RowRing* rings, Out out, Done done) {
  const int32_t w = in(0).width, h = in(0).height;
  constexpr int r = kLen / 2;
  float kw[r + 1];
  for (int i = 0; i <= r; ++i)
    kw[i] = k.scaled[size_t(i)];
  float escale[2 * r];
  if constexpr (kLen != 5) edge_scales<kLen>(k, w, escale);
  for (int i = 0; i < n; ++i)
    rings[i].resize(w, kLen);
  int32_t made = 0;  // rows of the horizontal pass in the rings so far
  for (int32_t y = 0; y < h; ++y) {
    for (; made <= std::min<int32_t>(h - 1, y + r); ++made)
      for (int i = 0; i < n; ++i) {
        const float* next = made + 1 < h ? in(i).row(made + 1) : nullptr;
        if constexpr (kLen == 5) {
          blur5_row(in(i).row(made), k, w, next, rings[i].row(made));
        } else {
          blur_row<kLen>(in(i).row(made), k, kw, escale, w, next, rings[i].row(made));
        }
      }
    for (int i = 0; i < n; ++i)
      blur_column_row<kLen>(rings[i], k, kw, y, w, h, out(i, y));
    done(y);
  }
}

// Blurs the n planes in(0) .. in(n - 1) together, rows then columns (the same sums either way),
// each output row made as soon as the rows of its window are: row y of plane i goes to
// out(i, y), then done(y) runs while the rows are fresh. Input row y has been read when output
// row y is made, so out and done may write over it. `rings` has one ring per plane.
template <class In, class Out, class Done>
void blur_planes(const Kernel& k, int n, In in, RowRing* rings, Out out, Done done) {
  switch (k.taps.size()) {
    case 5:
      blur_planes_as<5>(k, n, in, rings, out, done);
      return;
    case 7:
      blur_planes_as<7>(k, n, in, rings, out, done);
      return;
    case 13:
      blur_planes_as<13>(k, n, in, rings, out, done);
      return;
    case 15:
      blur_planes_as<15>(k, n, in, rings, out, done);
      return;
    default:
      blur_planes_as<33>(k, n, in, rings, out, done);
      return;
  }
}

// ---- Opsin dynamics -------------------------------------------------------------------------

// log2(x) by a 2/2 rational polynomial of the mantissa reduced to [2/3, 4/3).
float fast_log2(float x) {
  int32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const int32_t exp_bits = bits - 0x3f2aaaab;
  const int32_t exponent = exp_bits >> 23;
  const int32_t mantissa_bits = int32_t(uint32_t(bits) - (uint32_t(exponent) << 23));
  float mantissa;
  std::memcpy(&mantissa, &mantissa_bits, sizeof mantissa);
  const float t = mantissa - 1.0f;
  float p = 7.4245873327820566E-01f, q = 1.7409343003366853E-01f;
  p = p * t + 1.4287160470083755E+00f;
  q = q * t + 1.0096718572241148E+00f;
  p = p * t + -1.8503833400518310E-06f;
  q = q * t + 9.9032814277590719E-01f;
  return p / q + float(exponent);
}

// The retina's compressive response to an absorbance.
float gamma(float v) {
  const float ret_mul = 19.245013259874995f * 0.6931471805599453f;
  const float ret_add = float(-23.16046239805755);
  v = std::max(v, 0.0f);
  const float biased = v + float(9.9710635769299145);
  return ret_mul * fast_log2(biased) + ret_add;
}

constexpr double kMix[12] = {
    0.29956550340058319,
    0.63373087833825936,
    0.077705617820981968,
    1.7557483643287353,
    0.22158691104574774,
    0.69391388044116142,
    0.0987313588422,
    1.7557483643287353,
    0.02,
    0.02,
    0.20480129041026129,
    12.226454707163354,
};

inline void absorbance(const float* mix, float r, float g, float b, float out[3]) {
  for (int i = 0; i < 3; ++i) {
    const float* c = mix + 4 * i;
    out[i] = c[0] * r + (c[1] * g + (c[2] * b + c[3]));
  }
}

// ---- Frequency bands ------------------------------------------------------------------------

inline float remove_range(float x, float w) {
  return x > w ? x - w : x < -w ? x + w : 0.0f;
}
inline float amplify_range(float x, float w) {
  return x > w ? x + w : x < -w ? x - w : x + x;
}
inline float maximum_clamp(float v, float maxval) {
  const float mul = float(0.724216145665);
  if (v >= maxval) return (v - maxval) * mul + maxval;
  if (v < -maxval) return (v + maxval) * mul - maxval;
  return v;
}

// ---- Malta line filters ---------------------------------------------------------------------

// A line through the centre: its samples as (dy, dx), summed in the order listed and grouped
// as the filter groups them (5, 7 or 9 samples).
struct Line {
  int n;
  int8_t at[9][2];
};

// The low-frequency filter's lines: every other sample along 16 directions.
constexpr Line kLinesLf[16] = {
    {5, {{0, -4}, {0, -2}, {0, 0}, {0, 2}, {0, 4}}},
    {5, {{-4, 0}, {-2, 0}, {0, 0}, {2, 0}, {4, 0}}},
    {5, {{-3, -3}, {-2, -2}, {0, 0}, {2, 2}, {3, 3}}},
    {5, {{-3, 3}, {-2, 2}, {0, 0}, {2, -2}, {3, -3}}},
    {5, {{-4, 1}, {-2, 1}, {0, 0}, {2, -1}, {4, -1}}},
    {5, {{-4, -1}, {-2, -1}, {0, 0}, {2, 1}, {4, 1}}},
    {5, {{-1, -4}, {-1, -2}, {0, 0}, {1, 2}, {1, 4}}},
    {5, {{1, -4}, {1, -2}, {0, 0}, {-1, 2}, {-1, 4}}},
    {5, {{-3, -2}, {-2, -1}, {0, 0}, {2, 1}, {3, 2}}},
    {5, {{-3, 2}, {-2, 1}, {0, 0}, {2, -1}, {3, -2}}},
    {5, {{-2, -3}, {-1, -2}, {0, 0}, {1, 2}, {2, 3}}},
    {5, {{-2, 3}, {-1, 2}, {0, 0}, {1, -2}, {2, -3}}},
    {5, {{2, -4}, {1, -2}, {0, 0}, {-1, 2}, {-2, 4}}},
    {5, {{-2, -4}, {-1, -2}, {0, 0}, {1, 2}, {2, 4}}},
    {5, {{-4, -2}, {-2, -1}, {0, 0}, {2, 1}, {4, 2}}},
    {5, {{-4, 2}, {-2, 1}, {0, 0}, {2, -1}, {4, -2}}},
};
// The high-frequency filter's lines: every sample along 16 directions (some twice).
constexpr Line kLinesHf[16] = {
    {9, {{0, -4}, {0, -3}, {0, -2}, {0, -1}, {0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}},
    {9, {{-4, 0}, {-3, 0}, {-2, 0}, {-1, 0}, {0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}},
    {7, {{-3, -3}, {-2, -2}, {-1, -1}, {0, 0}, {1, 1}, {2, 2}, {3, 3}}},
    {7, {{-3, 3}, {-2, 2}, {-1, 1}, {0, 0}, {1, -1}, {2, -2}, {3, -3}}},
    {9, {{-4, 1}, {-3, 1}, {-2, 1}, {-1, 0}, {0, 0}, {1, 0}, {2, -1}, {3, -1}, {4, -1}}},
    {9, {{-4, -1}, {-3, -1}, {-2, -1}, {-1, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}}},
    {9, {{-1, -4}, {-1, -3}, {-1, -2}, {0, -1}, {0, 0}, {0, 1}, {1, 2}, {1, 3}, {1, 4}}},
    {9, {{1, -4}, {1, -3}, {1, -2}, {0, -1}, {0, 0}, {0, 1}, {-1, 2}, {-1, 3}, {-1, 4}}},
    {7, {{-3, -2}, {-2, -1}, {-1, -1}, {0, 0}, {1, 1}, {2, 1}, {3, 2}}},
    {7, {{-3, 2}, {-2, 1}, {-1, 1}, {0, 0}, {1, -1}, {2, -1}, {3, -2}}},
    {7, {{-2, -3}, {-1, -2}, {-1, -1}, {0, 0}, {1, 1}, {1, 2}, {2, 3}}},
    {7, {{-2, 3}, {-1, 2}, {-1, 1}, {0, 0}, {1, -1}, {1, -2}, {2, -3}}},
    {9, {{1, -4}, {1, -3}, {1, -2}, {0, -1}, {0, 0}, {0, 1}, {-1, 2}, {-1, 3}, {-1, 4}}},
    {9, {{-1, -4}, {-1, -3}, {-1, -2}, {0, -1}, {0, 0}, {0, 1}, {1, 2}, {1, 3}, {1, 4}}},
    {9, {{-4, -1}, {-3, -1}, {-2, -1}, {-1, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 1}}},
    {9, {{-4, 1}, {-3, 1}, {-2, 1}, {-1, 0}, {0, 0}, {1, 0}, {2, -1}, {3, -1}, {4, -1}}},
};

constexpr int kPad = 4;  // the filters' reach; beyond the picture the differences are zero

// Line kI's sum at x: the centre, then each mirrored pair about it added from the inside out.
// Lines share their inner pairs and many share the sum of their inner samples (the high-
// frequency filter's last four lines are four earlier ones), so the compiler makes each shared
// sum once; `p` holds the rows from kPad above the centre to kPad below.
template <bool kLf, int kI>
inline float line_sum(const float* const* p, int32_t x) {
  static constexpr Line line = kLf ? kLinesLf[kI] : kLinesHf[kI];
  constexpr int c = line.n / 2;
  auto at = [p, x](int i) { return p[line.at[i][0] + kPad][x + line.at[i][1]]; };
  float s = at(c);
#pragma GCC unroll 4
  for (int k = 1; k <= c; ++k)
    s += at(c - k) + at(c + k);
  return s;
}

// acc plus the square of line kI's sum, rounded once.
template <bool kLf, int kI>
inline float line_fma(const float* const* p, int32_t x, float acc) {
  const float s = line_sum<kLf, kI>(p, x);
  return mul_add(s, s, acc);
}

// The sixteen lines' squares at x summed in the filter's order (the first added to zero is
// itself: squares are never -0).
template <bool kLf, int... kI>
inline float lines_sum(const float* const* p, int32_t x, std::integer_sequence<int, kI...>) {
  float acc = 0.0f;
  ((acc = line_fma<kLf, kI>(p, x, acc)), ...);
  return acc;
}

// Adds the filter's value at each sample of a row to `dst`, every line in registers.
template <bool kLf>
void add_lines(const float* const* rows, int32_t w, float* __restrict dst) {
  const float* p[2 * kPad + 1];
  for (int i = 0; i < 2 * kPad + 1; ++i)
    p[i] = rows[i];
  VQ_INDEPENDENT
  for (int32_t x = 0; x < w; ++x)
    dst[x] += lines_sum<kLf>(p, x, std::make_integer_sequence<int, 16>());
}

// ---- One resolution -------------------------------------------------------------------------

// The bands of one picture. The middle band's planes are the caller's RGB planes, lent for
// the pair; after the split the reference's low band holds the low-frequency errors and the
// distorted picture's the other errors' sums.
struct Bands {
  Plane lf[3], mf[3], hf[2], uhf[2];
};

struct Scale final : ScaleBase {
  int32_t w, h;
  Params params;
  Kernel opsin_blur = make_kernel(float(1.2));
  Kernel lf_blur = make_kernel(float(7.15593339443));
  Kernel hf_blur = make_kernel(float(3.22489901262));
  Kernel uhf_blur = make_kernel(float(1.56416327805));
  Kernel mask_blur = make_kernel(2.7f);
  Bands bands[2];
  RowRing rings[3];          // the blurs' rows, one ring per plane blurred together
  float* row_buf = nullptr;  // three rows of blurs whose output is only read once
  // The rings (the blurs' and the line filters') and row_buf, carved from one block at each
  // compare. At 1080p the block is some 1.3 MB read over and over, a row at a time; rounded up
  // to a whole large page, it costs the processor one address translation instead of some 300.
  // A scale that borrows its band planes borrows this too.
  Samples scratch;
  Plane* ac[3];  // the high and middle frequencies' errors: the distorted picture's low band
  Plane* dc[3];  // the low frequencies' errors: the reference's low band
  // The map: in the reference's X ultra-high band, spent by then, or for a scale that borrows
  // its bands' planes in the distorted picture's lent X plane (its middle band, spent by then),
  // which goes back to the caller holding the map.
  Plane* result;
  float mix[12];

  Scale(int32_t width, int32_t height, const Params& p, bool own_planes)
      : w(width), h(height), params(p) {
    for (Bands& b : bands) {
      for (Plane* q : {&b.lf[0], &b.lf[1], &b.lf[2], &b.mf[0], &b.mf[1], &b.mf[2], &b.hf[0],
                       &b.hf[1], &b.uhf[0], &b.uhf[1]}) {
        q->width = w;
        q->height = h;
      }
      if (!own_planes) continue;
      for (Plane& q : b.lf)
        q.data.resize(size_t(w) * size_t(h));
      for (Plane& q : b.hf)
        q.data.resize(size_t(w) * size_t(h));
      for (Plane& q : b.uhf)
        q.data.resize(size_t(w) * size_t(h));
    }
    if (own_planes) {
      size_t n = scratch_size();
      constexpr size_t page = kLargePageBytes / sizeof(float);
      if (n >= page / 2) n = (n + page - 1) / page * page;
      scratch.assign(n, 0.0f);
    }
    for (int c = 0; c < 3; ++c) {
      dc[c] = &bands[0].lf[c];
      ac[c] = &bands[1].lf[c];
    }
    result = own_planes ? &bands[0].uhf[0] : &bands[1].mf[0];
    for (int i = 0; i < 12; ++i)
      mix[i] = float(kMix[i]);
  }
  // ac, dc and result point into the scale itself.
  Scale(const Scale&) = delete;
  Scale& operator=(const Scale&) = delete;

  // Linear RGB to the opsin space, in place: each sample's absorbances scaled by the
  // sensitivity of its blurred neighbourhood. `rgb` becomes X, Y, B.
  void opsin(Plane* rgb) {
    const float target = params.intensity_target;
    const float min = 1e-4f;
    const float min01 = 1.7557483643287353f, min2 = 12.226454707163354f;
    float* blurred[3];
    for (int c = 0; c < 3; ++c)
      blurred[c] = row_buf + size_t(c) * size_t(w);
    auto to_row = [&blurred](int c, int32_t) { return blurred[c]; };
    auto from = [rgb](int c) -> const Plane& { return rgb[c]; };
    blur_planes(opsin_blur, 3, from, rings, to_row, [&](int32_t y) {
      // Each sample is read before it is written, at the same index.
      const float* r = rgb[0].row(y);
      const float* g = rgb[1].row(y);
      const float* b = rgb[2].row(y);
      const float* __restrict br = blurred[0];
      const float* __restrict bg = blurred[1];
      const float* __restrict bb = blurred[2];
      float* ox = rgb[0].row(y);
      float* oy = rgb[1].row(y);
      float* ob = rgb[2].row(y);
      VQ_INDEPENDENT
      for (int32_t x = 0; x < w; ++x) {
        float pre[3], cur[3], sens[3];
        absorbance(mix, br[x] * target, bg[x] * target, bb[x] * target, pre);
        pre[0] = std::max(pre[0], mix[3]);
        pre[1] = std::max(pre[1], mix[7]);
        pre[2] = std::max(pre[2], mix[11]);
        for (int i = 0; i < 3; ++i) {
          pre[i] = std::max(pre[i], min);
          sens[i] = std::max(gamma(pre[i]) / pre[i], min);
        }
        absorbance(mix, r[x] * target, g[x] * target, b[x] * target, cur);
        for (int i = 0; i < 3; ++i)
          cur[i] = cur[i] * sens[i];
        cur[0] = std::max(cur[0], min01);
        cur[1] = std::max(cur[1], min01);
        cur[2] = std::max(cur[2], min2);
        ox[x] = cur[0] - cur[1];
        oy[x] = cur[0] + cur[1];
        ob[x] = cur[2];
      }
    });
  }

  static auto mf_of(const Bands& b) {
    return [&b](int c) -> const Plane& { return b.mf[c]; };
  }

  // Splits the opsin picture held in b.mf into its four bands, each split finished row by row
  // as its blur makes the rows.
  void separate(Bands& b) {
    // Low frequencies, and what is left of them in the middle band.
    {
      const float xm = float(33.832837186260), ym = float(14.458268100570);
      const float bm = float(49.87984651440), y_to_b = float(-0.362267051518);
      auto to_lf = [&b](int c, int32_t y) { return b.lf[c].row(y); };
      blur_planes(lf_blur, 3, mf_of(b), rings, to_lf, [&](int32_t y) {
        for (int c = 0; c < 3; ++c) {
          float* __restrict mf = b.mf[c].row(y);
          const float* __restrict lf = b.lf[c].row(y);
          VQ_INDEPENDENT
          for (int32_t x = 0; x < w; ++x)
            mf[x] = mf[x] - lf[x];
        }
        float* __restrict lx = b.lf[0].row(y);
        float* __restrict ly = b.lf[1].row(y);
        float* __restrict lb = b.lf[2].row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float bb = y_to_b * ly[x] + lb[x];
          lb[x] = bb * bm;
          lx[x] = lx[x] * xm;
          ly[x] = ly[x] * ym;
        }
      });
    }
    // Middle and high frequencies: X's and Y's blurred middle band is made in the high band's
    // plane, which then takes what the blur left; B's is blurred in place.
    {
      const float sv = float(0.653020556257), one_minus_s = float(1.0 - 0.653020556257);
      const float yw = 46.0f;
      auto to_hf = [&b](int c, int32_t y) { return c < 2 ? b.hf[c].row(y) : b.mf[2].row(y); };
      blur_planes(hf_blur, 3, mf_of(b), rings, to_hf, [&](int32_t y) {
        float* __restrict mx = b.mf[0].row(y);
        float* __restrict my = b.mf[1].row(y);
        float* __restrict hx = b.hf[0].row(y);
        float* __restrict hy = b.hf[1].row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float blurred = hx[x];
          hx[x] = mx[x] - blurred;
          mx[x] = remove_range(blurred, float(0.29));
        }
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float blurred = hy[x];
          hy[x] = my[x] - blurred;
          my[x] = amplify_range(blurred, float(0.1));
        }
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float scaler = (yw / (hy[x] * hy[x] + yw)) * one_minus_s + sv;
          hx[x] = scaler * hx[x];
        }
      });
    }
    // High and ultra-high frequencies: the blurred high band is made in the ultra-high band's
    // plane, as above.
    {
      const float clamp_hf = float(28.4691806922), clamp_uhf = float(5.19175294647);
      const float mul_hf = float(2.155), mul_uhf = float(2.69313763794);
      const float add_hf = float(0.132);
      auto to_uhf = [&b](int c, int32_t y) { return b.uhf[c].row(y); };
      auto from = [&b](int c) -> const Plane& { return b.hf[c]; };
      blur_planes(uhf_blur, 2, from, rings, to_uhf, [&](int32_t y) {
        float* __restrict hx = b.hf[0].row(y);
        float* __restrict hy = b.hf[1].row(y);
        float* __restrict ux = b.uhf[0].row(y);
        float* __restrict uy = b.uhf[1].row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float hv = ux[x];
          ux[x] = remove_range(hx[x] - hv, float(0.04));
          hx[x] = remove_range(hv, 1.5f);
        }
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float hv = maximum_clamp(uy[x], clamp_hf);
          uy[x] = maximum_clamp(hy[x] - hv, clamp_uhf) * mul_uhf;
          hy[x] = amplify_range(hv * mul_hf, add_hf);
        }
      });
    }
  }

  // A line filter's comparison of one band of the pair: its weights and a ring of the rows of
  // differences its lines reach (row j in slot j % kSlots, rows outside the picture the zero
  // slot kSlots), padded by kPad each side.
  static constexpr int kSlots = 2 * kPad + 1;
  struct Malta {
    const Plane* a = nullptr;
    const Plane* b = nullptr;
    bool lf = false;
    float norm2_gt = 0, norm2_lt = 0, fnorm1 = 0;
    float* ring = nullptr;
  };
  Malta maltas[2][3];  // X's and Y's filters of the ultra-high, high and middle bands

  static void set_malta(Malta& m, const Plane& a, const Plane& b, double w_gt, double w_lt,
                        double norm1, bool lf) {
    const double len = 3.75;
    const double mulli = lf ? 0.611612573796 : 0.39905817637;
    const float weight0 = 0.5f, weight1 = 0.33f;
    const double pre_gt = mulli * std::sqrt(double(weight0) * w_gt) / (len * 2 + 1);
    const double pre_lt = mulli * std::sqrt(double(weight1) * w_lt) / (len * 2 + 1);
    m.a = &a;
    m.b = &b;
    m.lf = lf;
    m.norm2_gt = float(pre_gt * norm1);
    m.norm2_lt = float(pre_lt * norm1);
    m.fnorm1 = float(norm1);
  }

  float* malta_slot(Malta& m, int32_t j) const {
    const size_t k = j < 0 || j >= h ? size_t(kSlots) : size_t(j % kSlots);
    return m.ring + k * size_t(w + 2 * kPad) + kPad;
  }

  // Row j of a filter's differences into its ring: the symmetric difference scaled by the
  // samples' size, plus the half-open objectives' corrections scaler2 * t, t by the case
  // (t = 0 leaves d as it is). Float throughout: double adds nothing at the printed digits.
  void malta_differences(Malta& m, int32_t j) const {
    const float* __restrict r0 = m.a->row(j);
    const float* __restrict r1 = m.b->row(j);
    float* __restrict out = malta_slot(m, j);
    const float norm2_gt = m.norm2_gt, norm2_lt = m.norm2_lt, fnorm1 = m.fnorm1;
    // The next row's lines are asked for a block at a time, among the work.
    const bool ahead = j + 1 < h;
    for (int32_t x0 = 0; x0 < w; x0 += kPrefetchBlock) {
      if (ahead) {
        prefetch_row(r0 + w + x0, std::min(kPrefetchBlock, w - x0));
        prefetch_row(r1 + w + x0, std::min(kPrefetchBlock, w - x0));
      }
      const int32_t x1 = std::min(w, x0 + kPrefetchBlock);
      VQ_INDEPENDENT
      for (int32_t x = x0; x < x1; ++x) {
        const float v0 = r0[x], v1 = r1[x];
        const float absval = 0.5f * (std::abs(v0) + std::abs(v1));
        const float inv = 1.0f / (fnorm1 + absval);
        const float d = (norm2_gt * inv) * (v0 - v1);
        const float scaler2 = norm2_lt * inv;
        const float fabs0 = std::abs(v0);
        const float too_small = 0.55f * fabs0;
        const float too_big = 1.05f * fabs0;
        const float t_neg = v1 > -too_small ? -v1 - too_small
                            : v1 < -too_big ? -v1 - too_big
                                            : 0.0f;
        const float t_pos = v1 < too_small ? too_small - v1 : v1 > too_big ? too_big - v1 : 0.0f;
        const float t = v0 < 0 ? t_neg : t_pos;
        out[x] = d + scaler2 * t;
      }
    }
  }

  // Adds the filter's values at row y to `acc`.
  void malta_row(Malta& m, int32_t y, float* acc) const {
    const float* rows[kSlots];
    for (int i = 0; i < kSlots; ++i)
      rows[i] = malta_slot(m, y - kPad + i);
    if (m.lf)
      add_lines<true>(rows, w, acc);
    else
      add_lines<false>(rows, w, acc);
  }

  Plane& map() override { return *result; }

  // The planes' storage is larger than a borrower's pictures need: its rows are packed by its
  // own width, from the start.
  void swap_planes(ScaleBase& other) override {
    Scale& o = static_cast<Scale&>(other);
    std::swap(scratch, o.scratch);
    for (int k = 0; k < 2; ++k) {
      for (int c = 0; c < 3; ++c)
        std::swap(bands[k].lf[c].data, o.bands[k].lf[c].data);
      for (int c = 0; c < 2; ++c) {
        std::swap(bands[k].hf[c].data, o.bands[k].hf[c].data);
        std::swap(bands[k].uhf[c].data, o.bands[k].uhf[c].data);
      }
    }
  }

  size_t malta_ring_size() const { return size_t(kSlots + 1) * size_t(w + 2 * kPad); }
  size_t scratch_size() const {
    return 3 * size_t(RowRing::kMaxSlots) * size_t(w) + 6 * malta_ring_size() + 3 * size_t(w);
  }

  // Lays the rings and row_buf out in `scratch` (this scale's or one lent by a larger one) for
  // this scale's width; the line filters' rings start as zeros, their padding and the slot for
  // rows outside the picture staying so.
  void carve() {
    float* p = scratch.data();
    for (RowRing& r : rings) {
      r.data = p;
      p += size_t(RowRing::kMaxSlots) * size_t(w);
    }
    for (auto& channel : maltas)
      for (Malta& m : channel) {
        m.ring = p;
        std::fill(p, p + malta_ring_size(), 0.0f);
        p += malta_ring_size();
      }
    row_buf = p;
  }

  void compare(Plane* rgb0, Plane* rgb1) override {
    carve();
    for (int c = 0; c < 3; ++c) {
      std::swap(bands[0].mf[c].data, rgb0[c].data);
      std::swap(bands[1].mf[c].data, rgb1[c].data);
    }
    opsin(bands[0].mf);
    opsin(bands[1].mf);
    separate(bands[0]);
    separate(bands[1]);
    errors();
    mask_and_combine();
    // The lent planes go back, holding what the mask left in them.
    for (int c = 0; c < 3; ++c) {
      std::swap(bands[0].mf[c].data, rgb0[c].data);
      std::swap(bands[1].mf[c].data, rgb1[c].data);
    }
  }

  // The errors of the pair's bands, row by row: the low frequencies' into dc, the others' summed
  // per channel in the order X, Y: ultra-high, high and middle line filters, the high bands'
  // asymmetric squares, the middle bands' squares (B: only the last) into ac; and the two
  // pictures' masking inputs into their B middle-band planes.
  void errors() {
    const Bands& b0 = bands[0];
    const Bands& b1 = bands[1];
    static constexpr double kWmul[9] = {
        400.0,          1.50815703118,  0, 2150.0, 10.6195433239, 16.2176043152, 29.2353797994,
        0.844626970982, 0.703646627719,
    };
    const double asym = double(params.hf_asymmetry);
    const double sqrt_asym = std::sqrt(asym);
    set_malta(maltas[1][0], b0.uhf[1], b1.uhf[1], 1.10039032555 * asym, 1.10039032555 / asym,
              71.7800275169, false);
    set_malta(maltas[0][0], b0.uhf[0], b1.uhf[0], 173.5 * asym, 173.5 / asym, 5.0, false);
    set_malta(maltas[1][1], b0.hf[1], b1.hf[1], 18.7237414387 * sqrt_asym,
              18.7237414387 / sqrt_asym, 4498534.45232, true);
    set_malta(maltas[0][1], b0.hf[0], b1.hf[0], 6923.99476109 * sqrt_asym,
              6923.99476109 / sqrt_asym, 8051.15833247, true);
    set_malta(maltas[1][2], b0.mf[1], b1.mf[1], 37.0819870399, 37.0819870399, 130262059.556, true);
    set_malta(maltas[0][2], b0.mf[0], b1.mf[0], 8246.75321353, 8246.75321353, 1009002.70582, true);
    const float mask_mul = float(6.19424080439), bias_arg = float(12.61050594197);
    const float bias = mask_mul * bias_arg;
    const float sqrt_bias = std::sqrt(bias);
    float* __restrict acc = row_buf;
    int32_t made = 0;  // rows of differences in the filters' rings
    for (int32_t y = 0; y < h; ++y) {
      for (; made <= std::min<int32_t>(h - 1, y + kPad); ++made)
        for (auto& channel : maltas)
          for (Malta& m : channel)
            malta_differences(m, made);
      // The low frequencies first: the distorted picture's low band row is then free.
      for (int c = 0; c < 3; ++c) {
        const float wl = float(kWmul[6 + c]);
        float* __restrict l0 = dc[c]->row(y);
        const float* __restrict l1 = b1.lf[c].row(y);
        for (int32_t x0 = 0; x0 < w; x0 += kPrefetchBlock) {
          const int32_t x1 = std::min(w, x0 + kPrefetchBlock);
          if (y + 1 < h) {
            prefetch_row(l0 + w + x0, x1 - x0);
            prefetch_row(l1 + w + x0, x1 - x0);
          }
          VQ_INDEPENDENT
          for (int32_t x = x0; x < x1; ++x) {
            const float dl = l0[x] - l1[x];
            l0[x] = dl * dl * wl;
          }
        }
      }
      for (int c = 0; c < 2; ++c) {
        std::fill(acc, acc + w, 0.0f);
        for (Malta& m : maltas[c])
          malta_row(m, y, acc);
        const float w_gt = float(kWmul[c] * asym), w_lt = float(kWmul[c] / asym);
        const float vw_gt = float(double(w_gt) * 0.8);
        const float vw_lt = float(double(w_lt) * 0.8);
        const float small = float(0.4);
        const float wm = float(kWmul[3 + c]);
        const float* __restrict h0 = b0.hf[c].row(y);
        const float* __restrict h1 = b1.hf[c].row(y);
        const float* __restrict m0 = b0.mf[c].row(y);
        const float* __restrict m1 = b1.mf[c].row(y);
        float* __restrict out = ac[c]->row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float v0 = h0[x], v1 = h1[x];
          const float diff = v0 - v1;
          float total = diff * diff * vw_gt + acc[x];
          const float fabs0 = std::abs(v0);
          const float too_small = small * fabs0;
          const float too_big = fabs0;
          const float if_neg = v1 > -too_small ? v1 + too_small
                               : v1 < -too_big ? -v1 - too_big
                                               : 0.0f;
          const float if_pos = v1 < too_small ? too_small - v1 : v1 > too_big ? v1 - too_big : 0.0f;
          const float v = v0 < 0.0f ? if_neg : if_pos;
          total = vw_lt * (v * v) + total;
          const float dm = m0[x] - m1[x];
          out[x] = dm * dm * wm + total;
        }
      }
      {
        const float wm = float(kWmul[5]);
        const float* __restrict m0 = b0.mf[2].row(y);
        const float* __restrict m1 = b1.mf[2].row(y);
        float* __restrict out = ac[2]->row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float dm = m0[x] - m1[x];
          out[x] = dm * dm * wm + 0.0f;
        }
      }
      // The masking inputs, over the B middle bands' rows just spent.
      for (int k = 0; k < 2; ++k) {
        const Bands& b = bands[k];
        const float* __restrict hx = b.hf[0].row(y);
        const float* __restrict hy = b.hf[1].row(y);
        const float* __restrict ux = b.uhf[0].row(y);
        const float* __restrict uy = b.uhf[1].row(y);
        float* __restrict o = bands[k].mf[2].row(y);
        VQ_INDEPENDENT
        for (int32_t x = 0; x < w; ++x) {
          const float xd = (ux[x] + hx[x]) * 2.5f;
          const float yd = uy[x] * 0.4f + hy[x] * 0.4f;
          const float m = std::sqrt(xd * xd + yd * yd);
          o[x] = std::sqrt(mask_mul * std::abs(m) + bias) - sqrt_bias;
        }
      }
    }
  }

  static double mask_y(double delta) {
    const double c = 2.5485944793 / ((0.451936922203 * delta) + 0.829591754942);
    const double r = double(global_scale()) * (1.0 + c);
    return r * r;
  }
  static double mask_dc_y(double delta) {
    const double c = 0.505054525019 / ((3.87449418804 * delta) + 0.20025578522);
    const double r = double(global_scale()) * (1.0 + c);
    return r * r;
  }
  static float global_scale() {
    const float threshold = 17.83f * 0.79079917404f;
    return float(1.0 / double(threshold));
  }

  // The visual mask from both pictures' high bands, its difference added to the Y errors, and
  // the map: the square root of the masked sums of the errors.
  void mask_and_combine() {
    // The masking inputs are in the B middle bands; the other middle bands and the reference's
    // high band are spent, and hold the mask's steps.
    const Plane& diff0 = bands[0].mf[2];
    const Plane& diff1 = bands[1].mf[2];
    Plane& blurred0 = bands[0].mf[0];
    Plane& blurred1 = bands[0].mf[1];
    Plane& mask = bands[0].hf[0];
    blur_planes(
        mask_blur, 2, [&](int i) -> const Plane& { return i == 0 ? diff0 : diff1; }, rings,
        [&](int i, int32_t y) { return i == 0 ? blurred0.row(y) : blurred1.row(y); },
        [](int32_t) {});
    fuzzy_erosion(blurred0, mask);
    const size_t n = size_t(w) * size_t(h);
    const float* __restrict b0 = blurred0.data.data();
    const float* __restrict b1 = blurred1.data.data();
    const float* __restrict m = mask.data.data();
    const float* __restrict dc0 = dc[0]->data.data();
    const float* __restrict dc1 = dc[1]->data.data();
    const float* __restrict dc2 = dc[2]->data.data();
    const float* __restrict ac0 = ac[0]->data.data();
    float* __restrict ac1 = ac[1]->data.data();
    const float* __restrict ac2 = ac[2]->data.data();
    float* __restrict out = result->data.data();
    const float xmul = params.xmul;
    VQ_INDEPENDENT
    for (size_t i = 0; i < n; ++i) {
      const float d = b0[i] - b1[i];
      const float y_ac = ac1[i] + 10.0f * d * d;
      const float val = m[i];
      const float maskval = float(mask_y(double(val)));
      const float dc_maskval = float(mask_dc_y(double(val)));
      const float x_dc = dc0[i] * xmul, x_ac = ac0[i] * xmul;
      const float sum_dc = x_dc * dc_maskval + dc1[i] * dc_maskval + dc2[i] * dc_maskval;
      const float sum_ac = x_ac * maskval + y_ac * maskval + ac2[i] * maskval;
      out[i] = std::sqrt(sum_dc + sum_ac);
    }
  }

  static void store_min3(float v, float& m0, float& m1, float& m2) {
    if (v < m2) {
      if (v < m0) {
        m2 = m1;
        m1 = m0;
        m0 = v;
      } else if (v < m1) {
        m2 = m1;
        m1 = v;
      } else {
        m2 = v;
      }
    }
  }

  // The three smallest of m0 <= m1 <= m2 and v, kept in order: store_min3 without branches.
  static void keep_min3(float v, float& m0, float& m1, float& m2) {
    m2 = std::min(m2, std::max(m1, v));
    m1 = std::min(m1, std::max(m0, v));
    m0 = std::min(m0, v);
  }

  // Each sample from the three smallest of it and its neighbours three samples away: smooth
  // surroundings lower the masking. The samples are never negative, so the starting three
  // (the sample, twice it, twice it) are in order and the branch-free form keeps the same
  // three values inside, where every neighbour is there.
  void fuzzy_erosion(const Plane& from, Plane& to) const {
    const int32_t s = 3;
    for (int32_t y = 0; y < h; ++y) {
      const bool inner_row = y >= s && y < h - s;
      int32_t x = 0;
      while (x < w) {
        if (inner_row && x >= s && x < w - s) {
          const float* __restrict c = from.row(y);
          const float* __restrict up = from.row(y - s);
          const float* __restrict down = from.row(y + s);
          float* __restrict dst = to.row(y);
          VQ_INDEPENDENT
          for (int32_t i = x; i < w - s; ++i) {
            float m0 = c[i];
            float m1 = 2 * m0;
            float m2 = m1;
            keep_min3(c[i - s], m0, m1, m2);
            keep_min3(up[i - s], m0, m1, m2);
            keep_min3(down[i - s], m0, m1, m2);
            keep_min3(c[i + s], m0, m1, m2);
            keep_min3(up[i + s], m0, m1, m2);
            keep_min3(down[i + s], m0, m1, m2);
            keep_min3(up[i], m0, m1, m2);
            keep_min3(down[i], m0, m1, m2);
            dst[i] = 0.45f * m0 + 0.3f * m1 + 0.25f * m2;
          }
          x = w - s;
          continue;
        }
        float m0 = from.row(y)[x];
        float m1 = 2 * m0;
        float m2 = m1;
        if (x >= s) {
          store_min3(from.row(y)[x - s], m0, m1, m2);
          if (y >= s) store_min3(from.row(y - s)[x - s], m0, m1, m2);
          if (y < h - s) store_min3(from.row(y + s)[x - s], m0, m1, m2);
        }
        if (x < w - s) {
          store_min3(from.row(y)[x + s], m0, m1, m2);
          if (y >= s) store_min3(from.row(y - s)[x + s], m0, m1, m2);
          if (y < h - s) store_min3(from.row(y + s)[x + s], m0, m1, m2);
        }
        if (y >= s) store_min3(from.row(y - s)[x], m0, m1, m2);
        if (y < h - s) store_min3(from.row(y + s)[x], m0, m1, m2);
        to.row(y)[x] = 0.45f * m0 + 0.3f * m1 + 0.25f * m2;
        ++x;
      }
    }
  }
};

}  // namespace

std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height, const Params& params,
                                      bool own_planes) {
  return std::make_unique<Scale>(width, height, params, own_planes);
}

}  // namespace vq::butteraugli::VQ_BUTTERAUGLI_TIER
