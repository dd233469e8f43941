// The block pass of PSNR-HVS-M: the integer DCT, each block's masking threshold from its
// variance and its AC energy, and the masked error summed in float in libvmaf's order.
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "convert/convert.h"
#include "metrics/psnr_hvs/csf.h"
#include "metrics/psnr_hvs/psnr_hvs.h"

namespace vq::hvs {
namespace {

// Halving that rounds toward zero.
inline int32_t half(int32_t a) {
  return (a + int32_t(uint32_t(a) >> 31)) >> 1;
}

// a * c / 2^s, rounded half up; the product is taken in 64 bits so that no input can overflow.
inline int32_t scale(int32_t a, int32_t c, int s) {
  return int32_t((int64_t(a) * c + (int64_t(1) << (s - 1))) >> s);
}

// The 8-point integer DCT of x[0], x[stride], ..., x[7 * stride] into y[0..7]: butterflies, then
// the rotations of the embedded 4-point DCT and DST and of the 4-point DST, each as three
// lifting steps with the constants in their rational forms.
void fdct8(const int32_t* x, ptrdiff_t stride, int32_t* y) {
  int32_t a0 = x[0], a1 = x[7 * stride], a2 = x[2 * stride], a3 = x[5 * stride];
  int32_t a4 = x[1 * stride], a5 = x[6 * stride], a6 = x[3 * stride], a7 = x[4 * stride];
  a1 = a0 - a1;
  const int32_t h1 = half(a1);
  a0 -= h1;
  a4 += a5;
  const int32_t h4 = half(a4);
  a5 -= h4;
  a3 = a2 - a3;
  a2 -= half(a3);
  a6 += a7;
  const int32_t h6 = half(a6);
  a7 = h6 - a7;
  a0 += h6;
  a6 = a0 - a6;
  a2 = h4 - a2;
  a4 = a2 - a4;
  // sqrt(2) - 1 and sqrt(1/2)
  a0 -= scale(a4, 13573, 15);
  a4 += scale(a0, 11585, 14);
  a0 -= scale(a4, 13573, 15);
  // (1 - cos(3 pi / 8)) / sin(3 pi / 8) and sin(3 pi / 8)
  a6 -= scale(a2, 21895, 15);
  a2 += scale(a6, 15137, 14);
  a6 -= scale(a2, 21895, 15);
  // 2 - sqrt(2), sqrt(1/2), sqrt(2) - 1/2
  a3 += scale(a5, 19195, 15);
  a5 += scale(a3, 11585, 14);
  a3 -= scale(a5, 7489, 13);
  a7 = half(a5) - a7;
  a5 -= a7;
  a3 = h1 - a3;
  a1 -= a3;
  // (1 - cos(pi / 16)) / sin(pi / 16) and sin(pi / 16)
  a7 += scale(a1, 3227, 15);
  a1 -= scale(a7, 6393, 15);
  a7 += scale(a1, 3227, 15);
  // (1 - cos(3 pi / 16)) / sin(3 pi / 16) and sin(3 pi / 16)
  a5 += scale(a3, 2485, 13);
  a3 -= scale(a5, 18205, 15);
  a5 += scale(a3, 2485, 13);
  y[0] = a0;
  y[1] = a1;
  y[2] = a2;
  y[3] = a3;
  y[4] = a4;
  y[5] = a5;
  y[6] = a6;
  y[7] = a7;
}

// Reads the 8x8 block at (x, y), clamped to the peak.
void load(const Plane& p, int depth, int x, int y, int32_t* out) {
  const int32_t peak = (1 << depth) - 1;
  for (int i = 0; i < kBlock; ++i) {
    const uint8_t* row = p.data + ptrdiff_t(y + i) * p.pitch;
    if (depth == 8) {
      for (int j = 0; j < kBlock; ++j)
        out[i * kBlock + j] = row[x + j];
    } else {
      for (int j = 0; j < kBlock; ++j) {
        const int32_t v = int32_t(row[2 * (x + j)]) | int32_t(row[2 * (x + j) + 1]) << 8;
        out[i * kBlock + j] = v < peak ? v : peak;
      }
    }
  }
}

// The block's texture measure: the mean of its four 4x4 quadrants' variances over its whole
// variance (0 when flat), all in float, samples in row order.
float texture(const int32_t* b) {
  int32_t total = 0, quad[4] = {0, 0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    total += b[i];
    quad[(i >> 5) + ((i & 7) >> 2) * 2] += b[i];
  }
  // Integer sums below 2^24 are exact in float, as libvmaf's float running sums are.
  const float mean = float(total) / 64.f;
  float qmean[4];
  for (int q = 0; q < 4; ++q)
    qmean[q] = float(quad[q]) / 16.f;
  float var = 0, qvar[4] = {0, 0, 0, 0};
  for (int i = 0; i < 64; ++i) {
    const float v = float(b[i]);
    const int q = (i >> 5) + ((i & 7) >> 2) * 2;
    var += (v - mean) * (v - mean);
    qvar[q] += (v - qmean[q]) * (v - qmean[q]);
  }
  var *= 1 / 63.f * 64;
  for (float& q : qvar)
    q *= 1 / 15.f * 16;
  if (var > 0) var = (qvar[0] + qvar[1] + qvar[2] + qvar[3]) / var;
  return var;
}

// The masking threshold of a transformed block: its AC energy weighted by `mask`, times its
// texture measure, square-rooted.
float threshold(const int32_t* c, float tex, const float mask[64]) {
  float e = 0;
  for (int i = 1; i < 64; ++i)
    e += float(int64_t(c[i]) * c[i]) * mask[i];
  return float(std::sqrt(double(e * tex)) / 32.0);
}

}  // namespace

float add_terms_serially(float sum, const float terms[64 * kLanes]) {
  for (int lane = 0; lane < kLanes; ++lane)
    for (int i = 0; i < 64; ++i)
      sum += terms[i * kLanes + lane];
  return sum;
}

void fdct8x8(const int32_t in[64], int32_t out[64]) {
  int32_t t[64];
  // Columns first: t's row c is column c's transform; then t's columns, which are frequencies.
  for (int c = 0; c < kBlock; ++c)
    fdct8(in + c, kBlock, t + c * kBlock);
  for (int v = 0; v < kBlock; ++v)
    fdct8(t + v, kBlock, out + v * kBlock);
}

namespace {

// The 64 weighted squared errors of one block pair at (x, y), in coefficient order.
void one_block(const Plane& ref, const Plane& dist, int depth, int x, int y, const float mask[64],
               const float weight[64], float* terms, int lane) {
  int32_t s[64], d[64];
  load(ref, depth, x, y, s);
  load(dist, depth, x, y, d);
  const float ts = texture(s), td = texture(d);
  fdct8x8(s, s);
  fdct8x8(d, d);
  float m = threshold(s, ts, mask);
  const float md = threshold(d, td, mask);
  if (md > m) m = md;
  for (int i = 0; i < 64; ++i) {
    float err = float(std::abs(s[i] - d[i]));
    if (i != 0) {
      const float t = m / mask[i];
      err = err < t ? 0 : err - t;
    }
    terms[i * kLanes + lane] = (err * weight[i]) * (err * weight[i]);
  }
}

float add_terms_scalar(float sum, const float terms[64 * kLanes]) {
  constexpr int n = 64 * kLanes;
  // Sums from 2^-100 to 2^126: the half step below and 1.5 times the binade's floor stay normal.
  if (sum >= 0x1p-100f && sum < 0x1p126f) {
    const uint32_t bits = std::bit_cast<uint32_t>(sum);
    const uint32_t floor_bits = bits & 0x7f800000u;  // 2^e, whose binade holds the sum
    const float magic = std::bit_cast<float>(floor_bits | 0x400000u);        // 1.5 * 2^e
    const float half_step = std::bit_cast<float>(floor_bits - (24u << 23));  // 2^(e - 24)
    const float limit = std::bit_cast<float>(floor_bits - (1u << 23));       // 2^(e - 1)
    const uint32_t magic_bits = std::bit_cast<uint32_t>(magic);
    // Adding a term below 2^(e - 1) to 1.5 * 2^e rounds it to the sum's step 2^(e - 23), as
    // adding it to the sum does unless it lies halfway; the result's bits count the steps.
    uint32_t steps = 0;
    bool ok = true;
    for (int i = 0; i < n; ++i) {
      const float x = terms[i];
      const float r = x + magic;
      const float d = x - (r - magic);  // exact: the part of x the rounding dropped
      ok &= (x >= 0) & (x < limit) & (std::fabs(d) != half_step);
      steps += std::bit_cast<uint32_t>(r) - magic_bits;
    }
    // 512 terms of at most 2^22 steps each cannot wrap 32 bits; the sum must stay below 2^(e+1).
    if (ok && (bits & 0x7fffffu) + uint64_t(steps) < 0x800000u)
      return std::bit_cast<float>(bits + steps);
  }
  return add_terms_serially(sum, terms);
}

void blocks8_scalar(const Plane& ref, const Plane& dist, int depth, int x, int y,
                    const float mask[64], const float weight[64], float* terms) {
  for (int lane = 0; lane < kLanes; ++lane)
    one_block(ref, dist, depth, x + lane * kStep, y, mask, weight, terms, lane);
}

}  // namespace

Kernels scalar_kernels() {
  return {blocks8_scalar, add_terms_scalar};
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

void block_constants(const float csf[8][8], float mask[64], float weight[64]) {
  for (int i = 0; i < 64; ++i) {
    weight[i] = csf[i / 8][i % 8];
    mask[i] = float((double(weight[i]) * kMaskFactor) * (double(weight[i]) * kMaskFactor));
  }
}

float plane_error(const Plane& ref, const Plane& dist, int depth, const float csf[8][8],
                  const Kernels& k) {
  float mask[64], weight[64];
  block_constants(csf, mask, weight);
  float sum = 0;
  int32_t coefficients = 0;
  float terms[64 * kLanes];
  const int blocks = (ref.width - 8) / kStep + 1;  // per row of blocks
  for (int y = 0; y < ref.height - 7; y += kStep) {
    for (int b = 0; b < blocks; b += kLanes) {
      const int n = blocks - b < kLanes ? blocks - b : kLanes;
      if (n == kLanes)
        k.blocks8(ref, dist, depth, b * kStep, y, mask, weight, terms);
      else
        for (int lane = 0; lane < n; ++lane)
          one_block(ref, dist, depth, (b + lane) * kStep, y, mask, weight, terms, lane);
      // Lanes without a block add nothing: +0 leaves a sum of non-negative terms as it is.
      for (int lane = n; lane < kLanes; ++lane)
        for (int i = 0; i < 64; ++i)
          terms[i * kLanes + lane] = 0;
      sum = k.add_terms(sum, terms);
      coefficients += 64 * n;
    }
  }
  sum /= float(coefficients);
  const int32_t peak = (1 << depth) - 1;
  return sum / float(peak * peak);
}

}  // namespace vq::hvs
