// libvmaf's float SSIM and MS-SSIM of luma: an 11-tap Gaussian window over the valid part of the
// picture (no padding), its moments summed in double from float products and rounded to float
// after each pass, the terms pooled in double. The precision and order of every step are
// libvmaf's, so that scores equal its printed values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq::fssim {

// The SSIM constants as libvmaf forms them in float: (0.01 * 255)^2, (0.03 * 255)^2, half of it.
inline constexpr float kC1 = (0.01f * 255) * (0.01f * 255);
inline constexpr float kC2 = (0.03f * 255) * (0.03f * 255);
inline constexpr float kC3 = kC2 / 2.0f;

inline constexpr int kWindow = 11;  // taps of the Gaussian window
inline constexpr int kLowPass = 9;  // taps of MS-SSIM's low pass before each halving
inline constexpr int kScales = 5;   // MS-SSIM's scales
// The smallest picture MS-SSIM scores: 11 samples left after halving (rounding down) four times.
inline constexpr int kMinMsSize = kWindow << (kScales - 1);

// The means over the window positions of the SSIM product and of its three terms, as floats.
struct Means {
  float ssim = 0, l = 0, c = 0, s = 0;
};

// Row kernels, scalar first; the AVX2 and AVX-512 tiers are the same arithmetic lane by lane.
struct Kernels {
  // Horizontal window over ref row `a` and dist row `b` (n + 10 samples): n values each of the
  // means of a, b, a*a, b*b and a*b, into out[0..4].
  void (*window_h)(const float* a, const float* b, int n, float* const out[5]);
  // Vertical window: rows[p * 11 + v] is row v of moment plane p; n values of each plane.
  void (*window_v)(const float* const rows[5 * kWindow], int n, float* const out[5]);
  // Adds the SSIM terms of n window positions (moments m[0..4]) to acc[q * 4 + x % 4], q being
  // the product, l, c and s.
  void (*pool)(const float* const m[5], int n, double acc[16]);
  // MS-SSIM's low pass at the even columns 2x, x0 <= x < x1, of nine rows all inside the
  // picture: even[v][i] and odd[v][i] are samples 2i and 2i + 1 of row v.
  void (*low_pass)(const float* const even[kLowPass], const float* const odd[kLowPass], int x0,
                   int x1, float* out);
};
[[nodiscard]] Kernels scalar_kernels();
void use_avx2(Kernels* k);    // x86 builds only
void use_avx512(Kernels* k);  // x86 builds only
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// A luma plane: 8-bit samples (depth 8) or 16-bit words.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;  // bytes, may be negative
  int depth = 8;
};

// Luma as libvmaf's float features read it: 8-bit values as they are, deeper ones divided by
// 2^(depth - 8) so every depth spans 0..255. `out` holds w * h values.
void to_float(const Plane& p, int w, int h, float* out);

// The size after shrinking by `factor` as libvmaf rounds it (one more sample on odd sizes).
[[nodiscard]] inline int shrunk(int size, int factor) {
  return size / factor + (size & 1);
}
// float_ssim's shrink factor for a picture: `scale` when given (> 0), else the smaller side over
// 256, rounded, at least 1.
[[nodiscard]] int ssim_factor(int w, int h, int scale);

// Box average over factor x factor samples at every factor-th sample (mirrored at the edges).
void box_shrink(const float* src, int w, int h, int factor, float* dst);
// The same straight from the luma, for a factor that is a power of two: every product of a
// sample by the weight 1/factor^2 is then exact and so is their sum in double, whatever its
// order, so an integer sum scaled once gives the same bits. False (nothing written) for
// another factor.
[[nodiscard]] bool box_shrink_luma(const Plane& p, int w, int h, int factor, float* dst);
// The factors box_shrink_luma takes.
[[nodiscard]] inline bool shrinks_from_luma(int factor) {
  return factor >= 2 && (factor & (factor - 1)) == 0;
}
// MS-SSIM's 9x9 low pass at every second sample (mirrored at the edges); even/odd scratch of
// h * ((w + 1) / 2) samples each.
void low_pass_shrink(const float* src, int w, int h, const Kernels& k, float* dst,
                     std::vector<float>* even, std::vector<float>* odd);

// The windowed SSIM of two float planes of w x h (both at least 11), pitch w, with scratch
// reused pair after pair.
class Window {
 public:
  explicit Window(const Kernels& k) : k_(k) {}
  Means run(const float* a, const float* b, int w, int h);

 private:
  Kernels k_;
  std::vector<float> ring_;  // 11 rows of each moment plane after the horizontal pass
  std::vector<float> rows_;  // one row of each plane after both passes
};

}  // namespace vq::fssim
