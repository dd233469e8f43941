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

// The plane's mean weighted squared error over its blocks, divided by the peak squared, in
// float. Both planes are width x height (at least 8 x 8) at `depth` bits (8 to 12); samples
// above the peak are read as the peak.
[[nodiscard]] float plane_error(const Plane& ref, const Plane& dist, int depth,
                                const float csf[8][8]);

}  // namespace vq::hvs
