// libvmaf's integer motion: the mean absolute value of the 5-tap Gaussian blur of the difference
// between two consecutive reference lumas, in libvmaf's fixed point. The blur runs down the
// columns first (its sums rounded by 8 bits for bytes, by the depth for words), then along each
// row (rounded by 16 bits), with edges mirrored without repeating the edge sample; each row's
// absolute values are summed in 32 bits, as libvmaf sums them, and the rows in 64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vq::motion {

inline constexpr int32_t kFilter[5] = {3571, 16004, 26386, 16004, 3571};

// Samples mirrored past each end of a filtered row.
inline constexpr int kPad = 2;

// The smallest width and height scored: the mirror reaches two samples in.
inline constexpr int kMinSize = 3;

// What a row's scratch holds past its width.
inline constexpr int kRowScratch = 2 * kPad + 32;

// A luma plane: 8-bit samples (depth 8) or 16-bit words.
struct Plane {
  const uint8_t* data = nullptr;
  ptrdiff_t pitch = 0;  // bytes, may be negative
  int depth = 8;
};

// The row kernels, scalar first; SIMD tiers replace them where they are bit-identical. The
// vertical taps read five rows, top to bottom, mirrored rows included. Samples of up to 15 bits
// differ by less than 2^15: their differences are made once a row, as 16-bit words, and blurred
// from there; 16-bit samples are blurred from the two pictures' rows.
struct Kernels {
  // prev - cur of w 8-bit samples; with `keep`, cur's samples are also copied there.
  void (*difference8)(const uint8_t* prev, const uint8_t* cur, int w, int16_t* out, uint8_t* keep);
  // The same of samples of up to 15 bits.
  void (*difference16)(const uint16_t* prev, const uint16_t* cur, int w, int16_t* out,
                       uint16_t* keep);
  // One output row from five rows of differences of `shift`-bit samples (the depth, up to
  // 15): their vertical blur rounded by `shift` bits, its ends mirrored, and the sum modulo 2^32 of
  // |horizontal blur|. w >= kMinSize; `scratch` holds at least w + kRowScratch values.
  uint32_t (*blur_row)(const int16_t* const* d, int w, int shift, int32_t* scratch);
  // The vertical blur of prev - cur of 16-bit words, rounded by 16 bits.
  void (*vertical16)(const uint16_t* const* prev, const uint16_t* const* cur, int w, int depth,
                     int32_t* out);
  // The sum, modulo 2^32, of |horizontal blur| over a row of w values with kPad mirrored
  // values readable before index 0 and after index w - 1.
  uint32_t (*horizontal_sad)(const int32_t* row, int w);
};

[[nodiscard]] Kernels scalar_kernels();
void use_avx2(Kernels* k);  // x86 builds only
[[nodiscard]] Kernels kernels_for(uint32_t cpu_flags);

// The blurred sum of absolute differences of two w x h lumas of one depth (w, h >= kMinSize).
// `row` is scratch, grown to w + kRowScratch values. With `keep`, cur's rows are also copied
// there (one after another, no gaps) as the blur first reads them, while they are in cache.
[[nodiscard]] uint64_t blurred_sad(const Plane& prev, const Plane& cur, int w, int h,
                                   const Kernels& k, std::vector<int32_t>* row,
                                   uint8_t* keep = nullptr);

}  // namespace vq::motion
