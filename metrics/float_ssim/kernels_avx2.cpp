// The AVX2 tier: the lane-by-lane kernels compiled for 256-bit vectors (four doubles, eight
// floats a step), bit-identical to the baseline build of the same source.
#define VQ_FSSIM_TIER avx2
#include "metrics/float_ssim/kernels_impl.h"

namespace vq::fssim {

void use_avx2(Kernels* k) {
  k->window_h = avx2::window_h;
  k->window_v = avx2::window_v;
  k->pool = avx2::pool;
  k->low_pass = avx2::low_pass;
}

}  // namespace vq::fssim
