// The Butteraugli map at one resolution, made for one picture size, with one form per CPU tier
// (scale_impl.h compiled with each tier's flags), all giving the same bits.
#pragma once

#include <cstdint>
#include <memory>

#include "metrics/butteraugli/butteraugli.h"

namespace vq::butteraugli {

class ScaleBase {
 public:
  virtual ~ScaleBase() = default;
  // The map of the pair whose linear RGB planes are `rgb0` (reference) and `rgb1`, into map(),
  // or for a scale made without planes into rgb1[0]. The planes are the comparison's scratch:
  // they come back the same size, their samples spent.
  virtual void compare(Plane* rgb0, Plane* rgb1) = 0;
  // The last compare's map, for a scale made with its own planes.
  virtual Plane& map() = 0;
  // Exchanges the band planes of two scales of one tier, so that a scale made without planes
  // borrows those of another of a larger picture for a compare, and gives them back.
  virtual void swap_planes(ScaleBase& other) = 0;
};

namespace scalar {
std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height, const Params& params,
                                      bool own_planes);
}
namespace avx2 {
std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height, const Params& params,
                                      bool own_planes);
}
namespace avx512 {
std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height, const Params& params,
                                      bool own_planes);
}

// The form of the best tier `cpu_flags` (convert.h's kCpu* bits) allow; without its own
// planes, it borrows them (swap_planes) for each compare.
[[nodiscard]] std::unique_ptr<ScaleBase> make_scale(int32_t width, int32_t height,
                                                    const Params& params, uint32_t cpu_flags,
                                                    bool own_planes = true);

}  // namespace vq::butteraugli
