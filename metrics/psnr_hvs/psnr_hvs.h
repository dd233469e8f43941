// PSNR-HVS-M as libvmaf computes it: per plane, 8x8 blocks every 7 samples, each block's integer
// DCT error weighted by contrast sensitivity after removing what the block's own texture masks.
// Every step runs in libvmaf's precision and order (float sums, block after block), so that
// scores equal its printed values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq::hvs {

inline constexpr int kBlock = 8;
inline constexpr int kStep = 7;  // blocks overlap by one sample

// One plane: bytes at depth 8, 16-bit little-endian words above.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;  // bytes, may be negative
  int width = 0;
  int height = 0;
};

// The integer 8x8 DCT (lifting steps, exact in 32 bits for 12-bit samples): out[v * 8 + u] is
// vertical frequency v, horizontal u. `in` and `out` may be the same array.
void fdct8x8(const int32_t in[64], int32_t out[64]);

// Blocks are scored eight at a time, each in its own lane, every lane's arithmetic that of the
// scalar code; only the final sum runs across blocks, and it stays serial.
inline constexpr int kLanes = 8;

// The contrast sensitivity weights of a plane's coefficients and the masking weights (their
// squares, scaled) the thresholds use.
void block_constants(const float csf[8][8], float mask[64], float weight[64]);

// The block kernels, scalar first; SIMD tiers replace them where they are bit-identical.
struct Kernels {
  // The weighted squared errors of the eight block pairs at (x + 7 l, y), l = 0..7 (all inside
  // both planes): terms[i * 8 + l] for coefficient i of block l.
  void (*blocks8)(const Plane& ref, const Plane& dist, int depth, int x, int y,
                  const float mask[64], const float weight[64], float* terms);
  // sum + terms[i * 8 + l] added one after another in float, block l after block l - 1,
  // coefficient i after i - 1, as libvmaf adds them (terms >= 0). Within one binade of the sum
  // every addition rounds the term to the sum's own step, so when no term lies halfway between
  // two steps and the sum stays in its binade, the serial result is the sum plus the rounded
  // terms, which add exactly in any order; otherwise the terms are added one by one.
  float (*add_terms)(float sum, const float terms[64 * kLanes]);
};
[[nodiscard]] Kernels scalar_kernels();
// The terms' sum one by one, in the order add_terms keeps: the fallback of every tier.
[[nodiscard]] float add_terms_serially(float sum, const float terms[64 * kLanes]);
void use_avx2(Kernels* k);  // x86 builds only
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// The plane's mean weighted squared error over its blocks, divided by the peak squared, in
// float. Both planes are width x height (at least 8 x 8) at `depth` bits (8 to 12); samples
// above the peak are read as the peak.
[[nodiscard]] float plane_error(const Plane& ref, const Plane& dist, int depth,
                                const float csf[8][8], const Kernels& k);

}  // namespace vq::hvs
