// CIEDE2000 as libvmaf computes it: each YUV sample triple read as BT.709 studio range, taken to
// linear RGB, XYZ (D65) and CIELAB, and the colour difference of two Lab colours with weights
// kL = 0.65, kC = 1, kH = 4. Every step keeps libvmaf's precision (double for the conversion,
// float at the points it stores floats) and its order of operations, so that frame scores equal
// its printed values.
#pragma once

#include <cstdint>
#include <vector>

namespace vq::ciede {

struct Lab {
  float l = 0;
  float a = 0;
  float b = 0;
};

// The Lab colour of one Y, Cb, Cr sample triple at `depth` bits (8 to 16).
[[nodiscard]] Lab to_lab(uint32_t y, uint32_t u, uint32_t v, int depth);

// to_lab with the linear red and blue of 8-bit codes looked up: each is a function of two codes
// (Y' and Cr, Y' and Cb), so 2^16 values each, the very doubles to_lab computes, in tables the
// process makes once. Other depths convert as to_lab does.
class LabConverter {
 public:
  struct Tables {
    std::vector<double> red, blue;  // [y << 8 | v], [y << 8 | u]
  };
  explicit LabConverter(int depth);
  Lab operator()(uint32_t y, uint32_t u, uint32_t v) const;

 private:
  int depth_;
  const Tables* tables_;  // null at depths other than 8
};

// The CIEDE2000 difference from `ref` to `dist`. Exactly 0 for equal colours.
[[nodiscard]] float delta_e(const Lab& ref, const Lab& dist);

// Lab colours of a run of samples, one array per component.
struct LabRow {
  const float* l;
  const float* a;
  const float* b;
  Lab at(int32_t i) const { return {l[i], a[i], b[i]}; }
};

// out[i] = delta_e(ref.at(i), dist.at(i)) for i < n: the plain loop, the AVX2 and AVX-512
// forms (which give the same bits), and the best of them the processor runs.
using DeltaERow = void (*)(const LabRow& ref, const LabRow& dist, int32_t n, float* out);
void delta_e_row(const LabRow& ref, const LabRow& dist, int32_t n, float* out);
void delta_e_row_avx2(const LabRow& ref, const LabRow& dist, int32_t n, float* out);
void delta_e_row_avx512(const LabRow& ref, const LabRow& dist, int32_t n, float* out);
[[nodiscard]] DeltaERow delta_e_row_for(uint32_t cpu_flags);

// A frame's score from the sum of its samples' differences: 45 - 20 log10(mean difference).
[[nodiscard]] double frame_score(double sum, int64_t samples);

}  // namespace vq::ciede
