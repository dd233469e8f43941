// Butteraugli's pair: the linear pictures, the half-resolution pass the comparator adds, and the
// norms of the map, around the tier that computes each resolution's map.
#include "metrics/butteraugli/butteraugli.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "convert/convert.h"
#include "metrics/butteraugli/scale.h"

namespace vq::butteraugli {

void* allocate_samples(size_t bytes) {
  if (bytes < kLargePageBytes) return ::operator new(bytes);
  // Whole large pages, the last one too when the block nearly fills it (a 1080p plane fills
  // 3.96 of them, a half-size one 0.99): the rest of it, resident with it, is at most 1/16 of
  // the block. A last page less full stays in small pages, no more resident than the block.
  const size_t whole = bytes & ~(kLargePageBytes - 1);
  const size_t rounded = whole == bytes ? bytes : whole + kLargePageBytes;
  const size_t size = rounded - bytes <= bytes / 16 ? rounded : bytes;
  void* p = nullptr;
  if (posix_memalign(&p, kLargePageBytes, size) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  madvise(p, size & ~(kLargePageBytes - 1), MADV_HUGEPAGE);
#endif
  return p;
}

void free_samples(void* p, size_t bytes) noexcept {
  if (bytes < kLargePageBytes)
    ::operator delete(p);
  else
    std::free(p);
}

float linear_from_srgb(float x) {
  if (!(x > 0.04045f)) return x * (1.0f / 12.92f);
  float p = 8.210152774e-01f, q = 6.521209011e-03f;
  p = p * x + 7.961564959e-01f;
  q = q * x + -5.512498495e-02f;
  p = p * x + 1.624820318e-01f;
  q = q * x + 4.987528350e-01f;
  p = p * x + 1.043637593e-02f;
  q = q * x + 1.076976492e+00f;
  p = p * x + 2.200248328e-04f;
  q = q * x + 2.631846970e-01f;
  return p / q;
}

namespace {

// Row k of the half-resolution picture: the mean of each 2x2 block (an odd last row or column
// counts twice), summed row by row, left to right.
void subsample_row(const Plane& in, int32_t k, Plane& out) {
  float* __restrict d = out.row(k);
  std::fill(d, d + out.width, 0.0f);
  const int32_t pairs = in.width / 2;
  for (int32_t y = 2 * k; y < std::min(2 * k + 2, in.height); ++y) {
    const float* __restrict s = in.row(y);
    for (int32_t x = 0; x < pairs; ++x)
      d[x] = (d[x] + 0.25f * s[2 * x]) + 0.25f * s[2 * x + 1];
    if (in.width & 1) d[pairs] += 0.25f * s[2 * pairs];
  }
  if (in.width & 1) d[out.width - 1] *= 2.0f;
  if (2 * k + 1 == in.height)
    for (int32_t x = 0; x < out.width; ++x)
      d[x] *= 2.0f;
}

}  // namespace

std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height, const Params& params,
                                      uint32_t cpu_flags, bool own_planes) {
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx512) return avx512::make_scale(width, height, params, own_planes);
  if (cpu_flags & kCpuAvx2) return avx2::make_scale(width, height, params, own_planes);
#else
  (void)cpu_flags;
#endif
  return scalar::make_scale(width, height, params, own_planes);
}

Comparator::Comparator(int32_t width, int32_t height, const Params& params, uint32_t cpu_flags)
    : params_(params) {
  for (int c = 0; c < 3; ++c) {
    ref_[c].resize(width, height);
    dist_[c].resize(width, height);
  }
  full_ = make_scale(width, height, params, cpu_flags);
  const int32_t hw = (width + 1) / 2, hh = (height + 1) / 2;
  if (hw >= kMinSide && hh >= kMinSide) {
    // The half-resolution pass runs before the full one, on the full one's planes.
    half_ = make_scale(hw, hh, params, cpu_flags, false);
    for (int c = 0; c < 3; ++c) {
      sub_ref_[c].resize(hw, hh);
      sub_dist_[c].resize(hw, hh);
    }
  }
}

Comparator::~Comparator() = default;

void Comparator::rows_filled(int32_t y) {
  if (half_ == nullptr) return;
  const int32_t rows = y >= ref_[0].height ? sub_ref_[0].height : y / 2;
  for (; half_rows_ < rows; ++half_rows_)
    for (int c = 0; c < 3; ++c) {
      subsample_row(ref_[c], half_rows_, sub_ref_[c]);
      subsample_row(dist_[c], half_rows_, sub_dist_[c]);
    }
}

namespace {

// The sums behind Norms, a row of the map at a time in the map's order.
class NormSums {
 public:
  explicit NormSums(double p) : p_(p), cube_(std::abs(p - 3.0) < 1e-6) {}

  void add_row(const float* v, int32_t n) {
    // Sixteen running maxima side by side, which the compiler keeps in vectors; the largest is
    // the same whichever order the samples come in.
    constexpr int32_t kLanes = 16;
    float lane[kLanes] = {};
    const int32_t body = n - n % kLanes;
    for (int32_t i = 0; i < body; i += kLanes)
      for (int32_t j = 0; j < kLanes; ++j)
        lane[j] = std::max(lane[j], v[i + j]);
    for (float l : lane)
      max_ = std::max(max_, l);
    for (int32_t i = body; i < n; ++i)
      max_ = std::max(max_, v[i]);
    for (int32_t i = 0; i < n; ++i) {
      const double d1 = v[i];
      double d = cube_ ? d1 * (d1 * d1) : std::pow(d1, p_);
      sum_[0] += d;
      d *= d;
      sum_[1] += d;
      d *= d;
      sum_[2] += d;
    }
    count_ += size_t(n);
  }

  Norms norms() const {
    Norms out;
    out.max_norm = double(max_);
    if (count_ == 0) return out;
    const double per_sample = 1.0 / double(count_);
    double v = 0;
    for (int i = 0; i < 3; ++i)
      v += std::pow(per_sample * sum_[i], 1.0 / (p_ * double(1 << i)));
    out.p_norm = v / 3.0;
    return out;
  }

 private:
  double p_;
  bool cube_;
  double sum_[3] = {0, 0, 0};
  float max_ = 0.0f;
  size_t count_ = 0;
};

}  // namespace

const Plane& Comparator::diffmap(double p, Norms* norms) {
  if (half_ != nullptr) {
    rows_filled(ref_[0].height);
    half_rows_ = 0;
    half_->swap_planes(*full_);
    half_->compare(sub_ref_, sub_dist_);
    half_->swap_planes(*full_);
  }
  full_->compare(ref_, dist_);
  Plane& out = full_->map();
  NormSums sums(p);
  const double keep = 1.0 - 0.3 * 0.5;
  for (int32_t y = 0; y < out.height; ++y) {
    float* d = out.row(y);
    if (half_ != nullptr) {
      const float* s = sub_dist_[0].row(y / 2);  // where the half-resolution pass leaves its map
      for (int32_t x = 0; x < out.width; ++x) {
        d[x] = float(double(d[x]) * keep);
        d[x] += 0.5f * s[x / 2];
      }
    }
    if (norms != nullptr) sums.add_row(d, out.width);
  }
  if (norms != nullptr) *norms = sums.norms();
  return out;
}

}  // namespace vq::butteraugli
