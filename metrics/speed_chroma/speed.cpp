// SpEED's arithmetic: the plane's rescale, blur and sampling, the Gaussian scale mixture fit of
// its 5x5 neighbourhoods (a symmetric eigenvalue solver and a Householder least-squares solve, in
// float), and the entropy comparison. Each operation is done in the precision and order libvmaf
// does it, so every intermediate float is the same.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "convert/convert.h"
#include "metrics/speed_chroma/speed.h"

namespace vq::speed {

namespace {

constexpr int kBlock = 5;            // a neighbourhood is kBlock x kBlock samples
constexpr int kN = kBlock * kBlock;  // its elements, the covariance's order
constexpr int kSampling = 16;        // one sample of every 16 each way is fitted
constexpr double kEps = 1e-6;        // below it an eigenvalue or pivot counts as 0
constexpr int kMaxQrSteps = 500;

// log2(2 pi e): a Gaussian's entropy per unit of log variance, in bits.
double entropy_constant() {
  return std::log2(2 * std::numbers::pi * std::numbers::e);
}

// The odd filter size of scale `scale` (0 finest .. 4) at `kernelscale`, at least 3.
int filter_size(int scale, float kernelscale) {
  const float f = float((1 << (4 - scale)) + 1) * kernelscale;
  int n = int(std::ceil(f));
  if (n % 2 == 0) ++n;
  return std::max(n, 3);
}

// A normalised Gaussian of `size` taps and deviation `sd`, its taps as libvmaf rounds them.
std::vector<float> gaussian(int size, float sd) {
  std::vector<float> g(size_t(size), 0.0f);
  float sum = 0;
  const int half = (size - 1) / 2;
  for (int i = 0; i < size; ++i) {
    const float x = float(i - half);
    const float num = float(std::exp(-0.5 * x / sd * x / sd));
    const float den = float(1 / (sd * std::sqrt(2 * std::numbers::pi)));
    g[size_t(i)] = num / den;
    sum += g[size_t(i)];
  }
  for (float& v : g)
    v /= sum;
  return g;
}

// Mirrors an index outside 0 .. n-1 back into it, the edge sample not repeated.
int mirror(int i, int n) {
  return i < 0 ? -i : (i >= n ? 2 * n - i - 2 : i);
}

float pythagoras(float x, float y) {
  return float(std::sqrt(x * x + y * y));
}

int sign_of(float x) {
  return x >= 0 ? 1 : -1;
}

// A square float matrix of order kN, row-major.
using Square = float[kN * kN];

// The eigenvalues of the symmetric matrix `a` (order kN): reduced to tridiagonal form by
// Householder reflections, then implicit QR steps with Wilkinson shifts until every
// off-diagonal element is negligible (at most kMaxQrSteps steps).
void eigenvalues(const float* a_in, float* eig) {
  Square a;
  std::memcpy(a, a_in, sizeof a);
  const int n = kN;
  float v[kN], x[kN], d[kN], sd[kN];
  for (int i = 0; i < n - 2; ++i) {
    // The reflection that zeroes column i below row i + 1.
    const int r0 = i + 1;
    float tau = 0;
    if (n - r0 != 1) {
      float sq = 0;
      for (int r = r0 + 1; r < n; ++r)
        sq += a[r * n + i] * a[r * n + i];
      const float xnorm = float(std::sqrt(sq));
      if (xnorm != 0.0f) {
        const float alpha = a[r0 * n + i];
        const float beta = float(-sign_of(alpha)) * pythagoras(alpha, xnorm);
        tau = (beta - alpha) / beta;
        const float s = alpha - beta;
        if (s != 0.0f) {
          for (int r = r0; r < n; ++r)
            a[r * n + i] /= s;
          a[r0 * n + i] = beta;
        }
      }
    }
    for (int r = r0; r < n; ++r)
      v[r] = a[r * n + i];
    if (tau == 0.0f) continue;
    v[r0] = 1.0f;
    for (int r = r0; r < n; ++r) {
      x[r] = 0.0f;
      for (int c = r0; c < n; ++c)
        x[r] += tau * a[r * n + c] * v[c];
    }
    float xv = 0;
    for (int r = r0; r < n; ++r)
      xv += x[r] * v[r];
    const float k = float(-0.5 * tau * xv);
    for (int r = r0; r < n; ++r)
      x[r] += k * v[r];
    for (int r = r0; r < n; ++r)
      for (int c = r0; c < n; ++c)
        a[r * n + c] -= x[r] * v[c] + v[r] * x[c];
  }
  for (int i = 0; i < n; ++i)
    d[i] = a[i * n + i];
  for (int i = 0; i < n - 1; ++i)
    sd[i] = a[(i + 1) * n + i];

  const auto chop = [](float* dd, float* ss, int m) {
    for (int i = 0; i < m - 1; ++i)
      if (std::fabs(ss[i]) < kEps * (std::fabs(dd[i]) + std::fabs(dd[i + 1]))) ss[i] = 0.0f;
  };
  const auto givens = [](float p, float q, float* c, float* s) {
    if (q == 0) {
      *c = 1;
      *s = 0;
    } else if (std::fabs(q) > std::fabs(p)) {
      const float t = -p / q;
      const float s1 = float(1.0 / std::sqrt(double(1 + t * t)));
      *s = s1;
      *c = s1 * t;
    } else {
      const float t = -q / p;
      const float c1 = float(1.0 / std::sqrt(double(1 + t * t)));
      *c = c1;
      *s = c1 * t;
    }
  };
  // One implicit QR step on the unreduced block dd[0..m-1], shifted by the eigenvalue of its
  // trailing 2x2 nearer its last element.
  const auto qr_step = [&](float* dd, float* ss, int m) {
    const float ta = dd[m - 2], tb = dd[m - 1], tab = ss[m - 2];
    const float dt = float((ta - tb) / 2.0);
    float mu;
    if (dt > 0)
      mu = tb - tab * (tab / (dt + pythagoras(dt, tab)));
    else if (dt == 0)
      mu = tb - std::fabs(tab);
    else
      mu = tb + tab * (tab / (-dt + pythagoras(dt, tab)));
    if (kEps * std::fabs(mu) > std::fabs(dd[0]) + std::fabs(ss[0])) mu = 0;
    float px = dd[0] - mu, pz = ss[0];
    float ak = 0, bk = 0, zk = 0;
    float ap = dd[0], bp = ss[0], aq = dd[1];
    if (m == 2) {
      float c, s;
      givens(px, pz, &c, &s);
      const float ap1 = c * (c * ap - s * bp) + s * (s * aq - c * bp);
      const float bp1 = c * (s * ap + c * bp) - s * (s * bp + c * aq);
      const float aq1 = s * (s * ap + c * bp) + c * (s * bp + c * aq);
      dd[0] = ap1;
      ss[0] = bp1;
      dd[1] = aq1;
      return;
    }
    float bq = ss[1];
    for (int k = 0; k < m - 1; ++k) {
      float c, s;
      givens(px, pz, &c, &s);
      const float bk1 = c * bk - s * zk;
      const float ap1 = c * (c * ap - s * bp) + s * (s * aq - c * bp);
      const float bp1 = c * (s * ap + c * bp) - s * (s * bp + c * aq);
      const float zp1 = -s * bq;
      const float aq1 = s * (s * ap + c * bp) + c * (s * bp + c * aq);
      const float bq1 = c * bq;
      ak = ap1;
      bk = bp1;
      zk = zp1;
      ap = aq1;
      bp = bq1;
      if (k < m - 2) aq = dd[k + 2];
      if (k < m - 3) bq = ss[k + 2];
      dd[k] = ak;
      if (k > 0) ss[k - 1] = bk1;
      if (k < m - 2) ss[k + 1] = bp;
      px = bk;
      pz = zk;
    }
    dd[m - 1] = ap;
    ss[m - 2] = bk;
  };

  chop(d, sd, n);
  int b = n - 1;
  for (int steps = 0; b > 0 && steps < kMaxQrSteps;) {
    if (sd[b - 1] == 0.0f) {
      --b;
      continue;
    }
    int a0 = b - 1;
    while (a0 > 0 && sd[a0 - 1] != 0.0f)
      --a0;
    qr_step(d + a0, sd + a0, b - a0 + 1);
    chop(d + a0, sd + a0, b - a0 + 1);
    ++steps;
  }
  std::memcpy(eig, d, sizeof d);
}

// Solves a * x = rhs (a of order kN, rhs kN x cols) by Householder QR: the reflections of each
// column in turn, multiplied out as whole matrices, then back substitution. False when a pivot
// is below kEps.
bool solve(const float* a, const float* rhs, int cols, float* x, std::vector<float>* work,
           Multiply multiply) {
  const int n = kN;
  Square z, q, h, t;
  std::memcpy(z, a, sizeof z);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      q[i * n + j] = i == j ? 1.0f : 0.0f;
  float v[kN];
  for (int k = 0; k < n - 1; ++k) {
    // Rows and columns before k become the identity's.
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        if (i < k || j < k) z[i * n + j] = i == j ? 1.0f : 0.0f;
    for (int i = 0; i < n; ++i)
      v[i] = z[i * n + k];
    float sq = 0;
    for (int i = 0; i < n; ++i)
      sq += v[i] * v[i];
    // The reflection's sign follows the matrix's own diagonal element, as libvmaf takes it.
    v[k] += float(sign_of(a[k * n + k])) * float(std::sqrt(sq));
    float sq2 = 0;
    for (int i = 0; i < n; ++i)
      sq2 += v[i] * v[i];
    const float norm = float(std::sqrt(sq2));
    for (int i = 0; i < n; ++i)
      v[i] = v[i] / norm;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        h[i * n + j] = float(-2) * v[i] * v[j];
    for (int i = 0; i < n; ++i)
      h[i * n + i] += 1;
    multiply(t, h, z, n, n);
    std::memcpy(z, t, sizeof z);
    multiply(t, h, q, n, n);
    std::memcpy(q, t, sizeof q);
  }
  Square r;
  multiply(r, q, a, n, n);  // the triangle: the reflections applied to a
  work->resize(size_t(n) * size_t(cols));
  float* qb = work->data();
  multiply(qb, q, rhs, n, cols);
  for (int i = n - 1; i >= 0; --i) {
    const float pivot = r[i * n + i];
    if (std::fabs(pivot) < kEps) return false;
    for (int j = 0; j < cols; ++j) {
      float s = qb[i * cols + j];
      for (int k = i + 1; k < n; ++k)
        s -= x[k * cols + j] * r[i * n + k];
      x[i * cols + j] = s / pivot;
    }
  }
  return true;
}

}  // namespace

bool kernelscale_known(float kernelscale) {
  static constexpr float kScales[] = {
      1.0f,        1.0f / 2.0f,  3.0f / 2.0f, 2.0f,         2.0f / 3.0f,  24.0f / 10.0f,
      360.0f / 97, 4.0f / 3.0f,  3.5f / 3.0f, 3.75f / 3.0f, 4.25f / 3.0f, 5.0f / 3.0f,
      3.0f,        1.0f / 2.25f, 1.4746f,     1.54f,        1.6f,         1.06667f,
      0.711111f,   0.740740f,    1.111111f};
  for (const float s : kScales)
    if (std::fabs(kernelscale - s) < 1e-3) return true;
  return false;
}

Size fit_size(int width, int height, double prescale) {
  Size s{};
  s.width = int(double(width) * prescale + 0.5);
  s.height = int(double(height) * prescale + 0.5);
  s.blocks_x = (s.width / kSampling) / kBlock;
  s.blocks_y = (s.height / kSampling) / kBlock;
  if (s.blocks_x == 0 || s.blocks_y == 0) s.blocks_x = s.blocks_y = 0;
  return s;
}

Scorer::Scorer(int width, int height, const Params& params, uint32_t cpu_flags)
    : width_(width),
      height_(height),
      p_(params),
      size_(fit_size(width, height, params.prescale)),
      k_(kernels_for(cpu_flags)) {
  small_w_ = size_.width / kSampling;
  small_h_ = size_.height / kSampling;
  const int aa = filter_size(1, p_.kernelscale);
  // The anti-aliasing filter has scale 1's size and the spread of scale 4 (twice scale 1's).
  antialias_ = gaussian(aa, float(std::sqrt(4) * aa / 5.0f));
  const int local = filter_size(4, p_.kernelscale);
  local_ = gaussian(local, float(local) / 5.0f);
  if (p_.prescale != 1.0) {
    plane_.resize(size_t(width_) * size_t(height_));
    scaled_.resize(size_t(size_.width) * size_t(size_.height));
    // Each output column's two source columns and weight (libvmaf's bilinear, sample centres
    // aligned, edges mirrored).
    const float ratio = float(width_) / float(size_.width);
    for (int xo = 0; xo < size_.width; ++xo) {
      const float xx = float((xo + 0.5) * double(ratio) - 0.5);
      const float lo = float(std::floor(xx)), hi = float(std::ceil(xx));
      const float right = float(width_ - 1);
      x1_.push_back(int(lo < 0 ? -lo : lo > right ? 2 * right - lo : lo));
      x2_.push_back(int(hi < 0 ? -hi : hi > right ? 2 * right - hi : hi));
      dx_.push_back(xx - float(x1_.back()));
    }
  }
  rows_.resize(size_t(size_.width));
  line_.resize(size_t(size_.width));
  small_.resize(size_t(small_w_) * size_t(small_h_));
  blurred_.resize(small_.size());
  // Zero pads: the vector form multiplies them into sums it does not keep.
  const size_t window =
      size_t(size_.blocks_x * kBlock - kBlock + 1) * size_t(size_.blocks_y * kBlock - kBlock + 1);
  centred_.assign(window * kPad, 0.0);
}

void multiply_scalar(float* dst, const float* x, const float* y, int n, int cols) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < cols; ++j)
      dst[i * cols + j] = 0;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k)
      for (int j = 0; j < cols; ++j)
        dst[i * cols + j] += x[i * n + k] * y[k * cols + j];
}

void centre_scalar(const float* d, size_t stride, int sw, int sh, double* centred) {
  // The 25 sums run side by side, each adding its samples in position order.
  float total[kN] = {};
  for (int i = 0; i < sh; ++i)
    for (int j = 0; j < sw; ++j) {
      const float* at = d + size_t(i) * stride + size_t(j);
      for (int r = 0; r < kBlock; ++r)
        for (int c = 0; c < kBlock; ++c)
          total[r * kBlock + c] += at[size_t(r) * stride + size_t(c)];
    }
  double mean_of[kN];
  for (int b = 0; b < kN; ++b)
    mean_of[b] = double(total[b] / float(size_t(sw) * size_t(sh)));
  for (int i = 0; i < sh; ++i)
    for (int j = 0; j < sw; ++j) {
      const float* at = d + size_t(i) * stride + size_t(j);
      for (int r = 0; r < kBlock; ++r)
        for (int c = 0; c < kBlock; ++c)
          centred[r * kBlock + c] =
              double(at[size_t(r) * stride + size_t(c)]) - mean_of[r * kBlock + c];
      centred += kPad;
    }
}

void column_blur_scalar(const uint8_t* const* rows, int taps, const float* coef, int w, int depth,
                        float* out) {
  const float scale = depth == 10 ? 4.0f : depth == 12 ? 16.0f : 256.0f;
  for (int x = 0; x < w; ++x) {
    float acc = 0;
    for (int k = 0; k < taps; ++k) {
      const float level =
          depth == 8 ? float(rows[k][x]) + float(-128)
                     : float(reinterpret_cast<const uint16_t*>(rows[k])[x]) / scale + float(-128);
      acc += coef[k] * level;
    }
    out[x] = acc;
  }
}

void cov_sums_scalar(const double* centred, size_t samples, double* sums) {
  for (int a = 0; a < kN; ++a) {
    double sum[kN] = {};
    for (size_t n = 0; n < samples; ++n) {
      const double* c = centred + n * kPad;
      for (int b = 0; b <= a; ++b)
        sum[b] += c[a] * c[b];
    }
    for (int b = 0; b <= a; ++b)
      sums[a * kN + b] = sum[b];
  }
}

Kernels kernels_for(uint32_t cpu_flags) {
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) return {cov_sums_avx2, centre_avx2, multiply_avx2, column_blur_avx2};
#else
  (void)cpu_flags;
#endif
  return {cov_sums_scalar, centre_scalar, multiply_scalar, column_blur_scalar};
}

namespace {

// Row `y` of the plane as floats, 8-bit levels about 0.
void to_levels(const Plane& p, int y, int width, float* out) {
  const uint8_t* row = p.data + p.pitch * y;
  if (p.depth == 8) {
    for (int x = 0; x < width; ++x)
      out[x] = float(row[x]) + float(-128);
    return;
  }
  const float scale = p.depth == 10 ? 4.0f : p.depth == 12 ? 16.0f : 256.0f;
  const uint16_t* r16 = reinterpret_cast<const uint16_t*>(row);
  for (int x = 0; x < width; ++x)
    out[x] = float(r16[x]) / scale + float(-128);
}

}  // namespace

void Scorer::prepare(const Plane& p) {
  const int w = size_.width, h = size_.height;
  const bool rescaled = p_.prescale != 1.0;
  if (rescaled) {
    for (int y = 0; y < height_; ++y)
      to_levels(p, y, width_, &plane_[size_t(y) * size_t(width_)]);
    const float* src = plane_.data();
    const float ratio = float(height_) / float(h);
    const float bottom = float(height_ - 1);
    for (int yo = 0; yo < h; ++yo) {
      const float yy = float((yo + 0.5) * double(ratio) - 0.5);
      const float lo = float(std::floor(yy)), hi = float(std::ceil(yy));
      const int y1 = int(lo < 0 ? -lo : lo > bottom ? 2 * bottom - lo : lo);
      const int y2 = int(hi < 0 ? -hi : hi > bottom ? 2 * bottom - hi : hi);
      const float dy = yy - float(y1);
      const float* r1 = src + size_t(y1) * size_t(width_);
      const float* r2 = src + size_t(y2) * size_t(width_);
      float* out = &scaled_[size_t(yo) * size_t(w)];
      for (int xo = 0; xo < w; ++xo) {
        const int a = x1_[size_t(xo)], b = x2_[size_t(xo)];
        const float dx = dx_[size_t(xo)];
        out[xo] = (1 - dy) * (1 - dx) * r1[a] + (1 - dy) * dx * r1[b] + dy * (1 - dx) * r2[a] +
                  dy * dx * r2[b];
      }
    }
  }
  // The anti-aliasing blur, at the samples kept only: down the columns, then along the row.
  // Unscaled, only the rows the kept samples' taps reach are read, as levels inside the column
  // blur; each column's sum adds its taps in order from the first.
  const int taps = int(antialias_.size()), half = taps / 2;
  taps_.resize(size_t(taps));
  for (int i = 0; i < small_h_; ++i) {
    const int y = i * kSampling;
    if (rescaled) {
      std::fill(rows_.begin(), rows_.end(), 0.0f);
      for (int k = 0; k < taps; ++k) {
        const float* src = &scaled_[size_t(mirror(y - half + k, h)) * size_t(w)];
        const float c = antialias_[size_t(k)];
        for (int x = 0; x < w; ++x)
          rows_[size_t(x)] += c * src[x];
      }
    } else {
      for (int k = 0; k < taps; ++k)
        taps_[size_t(k)] = p.data + p.pitch * mirror(y - half + k, h);
      // The next kept row's taps lie 16 rows down, where the processor does not look ahead
      // for itself: their lines are asked for before this row is blurred, so they arrive while
      // it is.
      if (i + 1 < small_h_) {
        const size_t bytes = size_t(w) * (p.depth > 8 ? 2 : 1);
        for (int k = 0; k < taps; ++k) {
          const uint8_t* next = p.data + p.pitch * mirror(y + kSampling - half + k, h);
          for (size_t at = 0; at < bytes; at += 64)
            __builtin_prefetch(next + at);
        }
      }
      k_.column_blur(taps_.data(), taps, antialias_.data(), w, p.depth, rows_.data());
    }
    for (int j = 0; j < small_w_; ++j) {
      const int x = j * kSampling;
      float acc = 0;
      for (int k = 0; k < taps; ++k)
        acc += antialias_[size_t(k)] * rows_[size_t(mirror(x - half + k, w))];
      small_[size_t(i) * size_t(small_w_) + size_t(j)] = acc;
    }
  }
  // The local mean (a small Gaussian of the sampled plane) taken away.
  const int lt = int(local_.size()), lh = lt / 2;
  std::vector<float>& col = rows_;
  for (int i = 0; i < small_h_; ++i) {
    for (int j = 0; j < small_w_; ++j) {
      float acc = 0;
      for (int k = 0; k < lt; ++k)
        acc += local_[size_t(k)] *
               small_[size_t(mirror(i - lh + k, small_h_)) * size_t(small_w_) + size_t(j)];
      col[size_t(j)] = acc;
    }
    for (int j = 0; j < small_w_; ++j) {
      float acc = 0;
      for (int k = 0; k < lt; ++k)
        acc += local_[size_t(k)] * col[size_t(mirror(j - lh + k, small_w_))];
      blurred_[size_t(i) * size_t(small_w_) + size_t(j)] = acc;
    }
  }
  for (size_t i = 0; i < small_.size(); ++i)
    small_[i] -= blurred_[i];
}

bool Scorer::fit(Fit* out) {
  const int bw = size_.blocks_x, bh = size_.blocks_y, blocks = bw * bh;
  const int tw = bw * kBlock, th = bh * kBlock;
  const int sw = tw - kBlock + 1, sh = th - kBlock + 1;  // the window each offset sees
  const float* d = small_.data();
  const size_t stride = size_t(small_w_);
  // The covariance of the samples at every two offsets within a block, from each window
  // position's elements less their means.
  k_.centre(d, stride, sw, sh, centred_.data());
  double sums[kN * kN];
  k_.cov_sums(centred_.data(), size_t(sw) * size_t(sh), sums);
  Square cov;
  const double count = double(size_t(sw) * size_t(sh));
  for (int a = 0; a < kN; ++a)
    for (int b = 0; b <= a; ++b) {
      const float c = float(sums[a * kN + b] / count);
      cov[a * kN + b] = c;
      cov[b * kN + a] = c;
    }
  float eig[kN];
  eigenvalues(cov, eig);
  // Each block's samples, a column per block.
  std::vector<float> y(size_t(kN) * size_t(blocks)), x(y.size(), 0.0f), work;
  for (int e = 0; e < kN; ++e)
    for (int by = 0; by < bh; ++by)
      for (int bx = 0; bx < bw; ++bx)
        y[size_t(e) * size_t(blocks) + size_t(by * bw + bx)] =
            d[size_t(by * kBlock + e / kBlock) * stride + size_t(bx * kBlock + e % kBlock)];
  bool regular = true;
  for (const float e : eig)
    regular = regular && !(e < kEps);
  const bool solved = regular && solve(cov, y.data(), blocks, x.data(), &work, k_.multiply);
  if (!solved) std::fill(x.begin(), x.end(), 0.0f);
  // Each block's variance: the mean of its samples times the solution's.
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = (x[i] * y[i]) / float(kN);
  for (int e = 1; e < kN; ++e)
    for (int j = 0; j < blocks; ++j)
      x[size_t(j)] += x[size_t(e) * size_t(blocks) + size_t(j)];
  out->entropy.assign(size_t(blocks), 0.0f);
  const double constant = entropy_constant();
  for (int k = 0; k < kN; ++k) {
    const float l = eig[k] < 0 ? 0 : eig[k];
    for (int j = 0; j < blocks; ++j)
      out->entropy[size_t(j)] =
          float(double(out->entropy[size_t(j)]) +
                (std::log2(double(l * x[size_t(j)] + p_.sigma_nn)) + constant));
  }
  out->variance.assign(x.begin(), x.begin() + blocks);
  return solved;
}

float Scorer::compare(const Fit& r, const Fit& d) const {
  const double c = entropy_constant();
  const float base = float(kN * (std::log2(double((1 + p_.nn_floor) * p_.sigma_nn)) + c));
  const size_t blocks = r.entropy.size();
  float score = 0;
  for (size_t i = 0; i < blocks; ++i) {
    const float er = r.entropy[i], ed = d.entropy[i], vr = r.variance[i], vd = d.variance[i];
    if (er < base && ed < base) continue;  // neither above the noise: no visible difference
    float sr = 0, sd = 0;
    switch (p_.weight_var_mode) {
      case 0:
        sr = float(er * std::log2(double(1 + vr)));
        sd = float(ed * std::log2(double(1 + vd)));
        break;
      case 1:
        sr = float(er * std::log2(double(1 + vr)));
        sd = float(ed * std::log2(double(1 + vr)));
        break;
      case 2:
        sr = float(er * std::log2(double(1 + vd)));
        sd = float(ed * std::log2(double(1 + vd)));
        break;
      case 3:
        sr = float(er * std::log2(1 + (vr + vd) / 2.0));
        sd = float(ed * std::log2(1 + (vr + vd) / 2.0));
        break;
      case 4:
        sr = float(er * std::log2(double(1 + vr)));
        sd = float(ed * std::log2(1 + (vr + vd) / 2.0));
        break;
      case 5:
        sr = float(er * std::log2(double(1 + vr)));
        sd = float(ed * std::log2(1 + (0.75 * vr + 0.25 * vd)));
        break;
      default:
        sr = float(er * std::log2(double(1 + vr)));
        sd = float(ed * std::log2(1 + (0.25 * vr + 0.75 * vd)));
        break;
    }
    score += std::fabs(sr - sd);
  }
  return score / float(blocks);
}

float Scorer::score(const Plane& ref, const Plane& dist, bool* singular) {
  prepare(ref);
  const bool ref_ok = fit(&ref_);
  prepare(dist);
  const bool dist_ok = fit(&dist_);
  *singular = !ref_ok || !dist_ok;
  // One fit without an inverse would inflate the difference: libvmaf scores that 0.
  if (ref_ok != dist_ok) return 0.0f;
  return compare(ref_, dist_);
}

}  // namespace vq::speed
