// The float SSIM pipeline around the row kernels: reading luma as float, the two ways of
// shrinking a picture, and the window pass that streams rows through an 11-row ring.
#include <algorithm>
#include <cstring>

#include "convert/convert.h"
#include "metrics/float_ssim/kernels_impl.h"

namespace vq::fssim {

Kernels scalar_kernels() {
  return {baseline::window_h, baseline::window_v, baseline::pool, baseline::low_pass};
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
  if (cpu_flags & kCpuAvx512) use_avx512(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

void to_float(const Plane& p, int w, int h, float* out) {
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = p.data + ptrdiff_t(y) * p.pitch;
    float* o = out + ptrdiff_t(y) * w;
    if (p.depth == 8) {
      for (int x = 0; x < w; ++x)
        o[x] = float(row[x]);
    } else {
      // Division by a power of two is exact, so it equals libvmaf's division.
      const float scale = 1.0f / float(1 << (p.depth - 8));
      for (int x = 0; x < w; ++x) {
        uint16_t v;
        std::memcpy(&v, row + 2 * x, 2);
        o[x] = float(v) * scale;
      }
    }
  }
}

int ssim_factor(int w, int h, int scale) {
  if (scale > 0) return scale;
  const float r = float(w < h ? w : h) / 256.0f;
  const int n = r - float(int(r)) >= 0.5f ? int(r) + 1 : int(r);
  return n > 1 ? n : 1;
}

namespace {

// Scratch that only grows: MS-SSIM asks for a smaller size at each scale and then the full one
// again, and growing a vector back within its capacity would clear the new part every time.
void grow(std::vector<float>* v, size_t n) {
  if (v->size() < n) v->resize(n);
}

// Mirrors an index outside 0..n-1 into it (-1 -> 0, n -> n - 1), as libvmaf's edges do.
inline int mirror(int i, int n) {
  if (i < 0) return -1 - i;
  if (i >= n) return 2 * n - i - 1;
  return i;
}

// One output of a k x k filter (taps lo..lo + k - 1 each way around (cx, cy)) whose taps may
// fall outside the picture: products in float, summed in double, rows outer.
template <typename Tap>
float filter_at(const float* src, int w, int h, int cx, int cy, int lo, int k, Tap tap) {
  double sum = 0;
  for (int v = 0; v < k; ++v) {
    const float* row = src + ptrdiff_t(mirror(cy + lo + v, h)) * w;
    for (int u = 0; u < k; ++u)
      sum += double(row[mirror(cx + lo + u, w)] * tap(v, u));
  }
  return float(sum);
}

}  // namespace

void box_shrink(const float* src, int w, int h, int f, float* dst) {
  const int sw = shrunk(w, f), sh = shrunk(h, f);
  const float wt = 1.0f / float(f * f);
  const int half = f / 2;
  const int lo = -half;  // taps lo .. lo + f - 1 (one fewer right of centre when f is even)
  const auto tap = [wt](int, int) { return wt; };
  // Outputs whose taps all lie inside: centre c with half <= c < size - half.
  const int x0 = (half + f - 1) / f;
  const int x1 = std::min(sw, w - half > 0 ? (w - half - 1) / f + 1 : 0);
  std::vector<double> acc(size_t(sw > 0 ? sw : 0));
  for (int y = 0; y < sh; ++y) {
    const int cy = y * f;
    float* out = dst + ptrdiff_t(y) * sw;
    const bool inside = cy >= half && cy < h - half;
    if (!inside || x0 >= x1) {
      for (int x = 0; x < sw; ++x)
        out[x] = filter_at(src, w, h, x * f, cy, lo, f, tap);
      continue;
    }
    for (int x = 0; x < x0; ++x)
      out[x] = filter_at(src, w, h, x * f, cy, lo, f, tap);
    for (int x = x1; x < sw; ++x)
      out[x] = filter_at(src, w, h, x * f, cy, lo, f, tap);
    std::fill(acc.begin() + x0, acc.begin() + x1, 0.0);
    for (int v = 0; v < f; ++v) {
      const float* row = src + ptrdiff_t(cy + lo + v) * w + lo;
      for (int u = 0; u < f; ++u)
        for (int x = x0; x < x1; ++x)
          acc[size_t(x)] += double(row[x * f + u] * wt);
    }
    for (int x = x0; x < x1; ++x)
      out[x] = float(acc[size_t(x)]);
  }
}

bool box_shrink_luma(const Plane& p, int w, int h, int f, float* dst) {
  if (!shrinks_from_luma(f)) return false;
  const int sw = shrunk(w, f), sh = shrunk(h, f);
  const int lo = -(f / 2);
  // 1/f^2 and the depth's own scale to 0..255, both powers of two.
  const double scale = 1.0 / (double(f) * double(f) * double(1 << (p.depth - 8)));
  std::vector<int32_t> cols(static_cast<size_t>(w));
  std::vector<int> across(static_cast<size_t>(sw) * static_cast<size_t>(f));
  for (int x = 0; x < sw; ++x)
    for (int u = 0; u < f; ++u)
      across[size_t(x) * size_t(f) + size_t(u)] = mirror(x * f + lo + u, w);
  for (int y = 0; y < sh; ++y) {
    std::fill(cols.begin(), cols.end(), 0);
    for (int v = 0; v < f; ++v) {
      const uint8_t* row = p.data + ptrdiff_t(mirror(y * f + lo + v, h)) * p.pitch;
      if (p.depth == 8) {
        for (int x = 0; x < w; ++x)
          cols[size_t(x)] += row[x];
      } else {
        for (int x = 0; x < w; ++x) {
          uint16_t s;
          std::memcpy(&s, row + 2 * x, 2);
          cols[size_t(x)] += s;
        }
      }
    }
    float* out = dst + ptrdiff_t(y) * sw;
    for (int x = 0; x < sw; ++x) {
      int64_t sum = 0;
      const int* at = across.data() + size_t(x) * size_t(f);
      for (int u = 0; u < f; ++u)
        sum += cols[size_t(at[u])];
      out[x] = float(double(sum) * scale);
    }
  }
  return true;
}

void low_pass_shrink(const float* src, int w, int h, const Kernels& k, float* dst,
                     std::vector<float>* even, std::vector<float>* odd) {
  const int sw = shrunk(w, 2), sh = shrunk(h, 2);
  const int ew = (w + 1) / 2;
  grow(even, size_t(ew) * size_t(h));
  grow(odd, size_t(ew) * size_t(h));
  for (int y = 0; y < h; ++y) {
    const float* r = src + ptrdiff_t(y) * w;
    float* e = even->data() + ptrdiff_t(y) * ew;
    float* o = odd->data() + ptrdiff_t(y) * ew;
    for (int x = 0; 2 * x < w; ++x)
      e[x] = r[2 * x];
    for (int x = 0; 2 * x + 1 < w; ++x)
      o[x] = r[2 * x + 1];
  }
  const int half = kLowPass / 2;
  const auto tap = [](int v, int u) { return kLowPass2d[v][u]; };
  const int x0 = (half + 1) / 2;                        // first x with 2x >= 4
  const int x1 = std::min(sw, (w - half - 1) / 2 + 1);  // past the last x with 2x < w - 4
  for (int y = 0; y < sh; ++y) {
    const int cy = 2 * y;
    float* out = dst + ptrdiff_t(y) * sw;
    if (x0 >= x1) {
      for (int x = 0; x < sw; ++x)
        out[x] = filter_at(src, w, h, 2 * x, cy, -half, kLowPass, tap);
      continue;
    }
    for (int x = 0; x < x0; ++x)
      out[x] = filter_at(src, w, h, 2 * x, cy, -half, kLowPass, tap);
    for (int x = x1; x < sw; ++x)
      out[x] = filter_at(src, w, h, 2 * x, cy, -half, kLowPass, tap);
    // Rows above the top or below the bottom are the mirrored rows themselves, so the top and
    // bottom outputs take the row kernel too, with the same taps in the same order.
    const float* e[kLowPass];
    const float* o[kLowPass];
    for (int v = 0; v < kLowPass; ++v) {
      const int r = mirror(cy - half + v, h);
      e[v] = even->data() + ptrdiff_t(r) * ew;
      o[v] = odd->data() + ptrdiff_t(r) * ew;
    }
    k.low_pass(e, o, x0, x1, out);
  }
}

Means Window::run(const float* a, const float* b, int w, int h) {
  const int n = w - (kWindow - 1), m = h - (kWindow - 1);
  grow(&ring_, size_t(5 * kWindow) * size_t(n));
  grow(&rows_, size_t(5) * size_t(n));
  float* out[5];
  for (int p = 0; p < 5; ++p)
    out[p] = rows_.data() + ptrdiff_t(p) * n;
  double acc[16] = {};
  for (int y = 0; y < h; ++y) {
    float* hrow[5];
    for (int p = 0; p < 5; ++p)
      hrow[p] = ring_.data() + (ptrdiff_t(p) * kWindow + y % kWindow) * n;
    k_.window_h(a + ptrdiff_t(y) * w, b + ptrdiff_t(y) * w, n, hrow);
    if (y < kWindow - 1) continue;
    const float* rows[5 * kWindow];
    for (int p = 0; p < 5; ++p)
      for (int v = 0; v < kWindow; ++v)
        rows[p * kWindow + v] =
            ring_.data() + (ptrdiff_t(p) * kWindow + (y - (kWindow - 1) + v) % kWindow) * n;
    k_.window_v(rows, n, out);
    const float* mom[5] = {out[0], out[1], out[2], out[3], out[4]};
    k_.pool(mom, n, acc);
  }
  const double count = double(n) * double(m);
  auto mean = [&](int q) {
    const double* s = acc + 4 * q;
    return float(((s[0] + s[1]) + (s[2] + s[3])) / count);
  };
  return {mean(0), mean(1), mean(2), mean(3)};
}

}  // namespace vq::fssim
