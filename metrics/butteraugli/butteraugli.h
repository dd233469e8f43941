// Butteraugli: a perceptual distance map between two RGB pictures (opsin dynamics, frequency
// bands, Malta line filters, visual masking, a half-resolution pass), its maximum and p-norm,
// in float arithmetic close to libjxl's butteraugli_main's (within 2e-5 of its printed values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vq::butteraugli {

struct Params {
  float intensity_target = 80.0f;  // nits of a linear sample of 1.0
  float hf_asymmetry = 1.0f;       // weight of new high-frequency detail over detail lost
  float xmul = 1.0f;               // weight of the red-green channel
};

// Storage for planes' samples. A block of 2 MiB or more starts on a 2 MiB boundary and asks the
// kernel to back it with its large pages: a scale streams some 22 planes through the caches
// several times, and with 4 KiB pages much of that time goes to page faults and address
// translation. Smaller blocks come from the heap as usual.
constexpr size_t kLargePageBytes = size_t(2) << 20;
void* allocate_samples(size_t bytes);
void free_samples(void* p, size_t bytes) noexcept;

template <class T>
struct SampleAllocator {
  using value_type = T;
  SampleAllocator() = default;
  template <class U>
  SampleAllocator(const SampleAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(allocate_samples(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { free_samples(p, n * sizeof(T)); }
  friend bool operator==(const SampleAllocator&, const SampleAllocator&) { return true; }
};

using Samples = std::vector<float, SampleAllocator<float>>;

// A float plane of a fixed size, rows packed.
struct Plane {
  int32_t width = 0;
  int32_t height = 0;
  Samples data;
  void resize(int32_t w, int32_t h) {
    width = w;
    height = h;
    data.assign(size_t(w) * size_t(h), 0.0f);
  }
  float* row(int32_t y) { return data.data() + size_t(y) * size_t(width); }
  const float* row(int32_t y) const { return data.data() + size_t(y) * size_t(width); }
};

// Linear sRGB (0..1) of an 8- or 16-bit sRGB-encoded sample, as libjxl's colour management
// decodes a PNG without a profile: the sample scaled to 0..1, then its rational approximation
// of the sRGB curve.
[[nodiscard]] float linear_from_srgb(float encoded);

// The smallest picture side the distance map is defined for.
constexpr int32_t kMinSide = 8;

class ScaleBase;

// The map's norms as butteraugli_main prints them: its largest value (the first line) and its
// p-norm, the mean of the p-, 2p- and 4p-norms.
struct Norms {
  double max_norm = 0;
  double p_norm = 0;
};

// Scores pairs of pictures of one size; every plane it needs is allocated once, at construction,
// and reused for each pair. `cpu_flags` (convert.h's kCpu* bits) choose the widest vectors the
// processor has; every choice computes the same map.
class Comparator {
 public:
  Comparator(int32_t width, int32_t height, const Params& params, uint32_t cpu_flags = 0);
  ~Comparator();
  Comparator(const Comparator&) = delete;
  Comparator& operator=(const Comparator&) = delete;

  // The linear RGB planes of the reference and of the distorted picture, to fill before each
  // diffmap(), which spends them.
  Plane* reference() { return ref_; }
  Plane* distorted() { return dist_; }
  // Says that rows 0 to y - 1 of all six planes are filled: the half-resolution rows they
  // complete are made while they are in the cache (diffmap() makes those left).
  void rows_filled(int32_t y);
  // The distance map of the pair in reference() and distorted(), and with `norms` its norms
  // for `p`, summed in the sweep that finishes the map.
  const Plane& diffmap(double p = 3.0, Norms* norms = nullptr);

 private:
  Params params_;
  Plane ref_[3], dist_[3];
  Plane sub_ref_[3], sub_dist_[3];  // the pair at half resolution
  int32_t half_rows_ = 0;           // their rows made for the pair being filled
  std::unique_ptr<ScaleBase> full_;
  std::unique_ptr<ScaleBase> half_;  // null when the half-resolution picture is too small
};

}  // namespace vq::butteraugli
