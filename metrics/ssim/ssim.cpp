// SSIM of plane pairs: the scalar block sums and row ends, the choice of tier and the plane loop
// that runs them over a plane one row of 4x4 blocks at a time.
#include <cmath>
#include <memory>
#include <new>

#include "convert/convert.h"
#include "metrics/ssim/ssim.h"
#include "metrics/ssim/ssim_kernels.h"

namespace vq {

namespace {

// The window constants of samples `depth` bits deep, computed and rounded as FFmpeg does.
constexpr int64_t window_c1(int depth) {
  const int max = (1 << depth) - 1;
  return int64_t(.01 * .01 * max * max * 64 + .5);
}
constexpr int64_t window_c2(int depth) {
  const int max = (1 << depth) - 1;
  return int64_t(.03 * .03 * max * max * 64 * 63 + .5);
}
static_assert(window_c1(8) == kSsimC1 && window_c2(8) == kSsimC2);

// The score of one 8-bit window from its sums, every step in float as the vector forms do it.
// No overflow: s1, s2 <= 64 x 255 and ss <= 2 x 64 x 255^2, so 64 x ss < 2^30.
float window8(int32_t s1, int32_t s2, int32_t ss, int32_t s12) {
  const int32_t vars = ss * 64 - s1 * s1 - s2 * s2;
  const int32_t covar = s12 * 64 - s1 * s2;
  return float(2 * s1 * s2 + kSsimC1) * float(2 * covar + kSsimC2) /
         (float(s1 * s1 + s2 * s2 + kSsimC1) * float(vars + kSsimC2));
}

inline unsigned sample16(const uint8_t* p) {
  return unsigned(p[0]) | unsigned(p[1]) << 8;
}

// A plane under one window: one window spanning it, with n samples in place of 64 (see
// compare.h). In long double so that the sums stay exact for any plane such a window can have.
double whole_plane_window(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                          int32_t width, int32_t height, int depth) {
  long double s1 = 0, s2 = 0, ss = 0, s12 = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* ra = a + ptrdiff_t(y) * pitch_a;
    const uint8_t* rb = b + ptrdiff_t(y) * pitch_b;
    for (int32_t x = 0; x < width; ++x) {
      const unsigned va = depth == 8 ? ra[x] : sample16(ra + 2 * ptrdiff_t(x));
      const unsigned vb = depth == 8 ? rb[x] : sample16(rb + 2 * ptrdiff_t(x));
      s1 += va;
      s2 += vb;
      ss += (long double)(uint64_t(va) * va + uint64_t(vb) * vb);
      s12 += (long double)(uint64_t(va) * vb);
    }
  }
  const long double n = (long double)width * height;
  const long double k1 = (long double)window_c1(depth) * n * n / 4096;
  const long double k2 = (long double)window_c2(depth) * n * n / 4096;
  // With A = B: q == 2 p and n ss - q == 2 (n s12 - p) exactly, so the score is exactly 1.
  const long double p = s1 * s2, q = s1 * s1 + s2 * s2;
  return double((2 * p + k1) * (2 * (n * s12 - p) + k2) / ((q + k1) * (n * ss - q + k2)));
}

// The sum of squared differences over columns x0..x1-1 of rows y0..y1-1.
uint64_t error_sum(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b, ptrdiff_t pitch_b,
                   int32_t x0, int32_t x1, int32_t y0, int32_t y1, int depth) {
  uint64_t sum = 0;
  for (int32_t y = y0; y < y1; ++y) {
    const uint8_t* ra = a + ptrdiff_t(y) * pitch_a;
    const uint8_t* rb = b + ptrdiff_t(y) * pitch_b;
    for (int32_t x = x0; x < x1; ++x) {
      const int64_t d = depth == 8 ? int64_t(ra[x]) - rb[x]
                                   : int64_t(sample16(ra + 2 * ptrdiff_t(x))) -
                                         int64_t(sample16(rb + 2 * ptrdiff_t(x)));
      sum += uint64_t(d * d);
    }
  }
  return sum;
}

// The squared differences of a row of blocks from its sums: a^2 + b^2 - 2ab per block. An
// 8-bit block gives at most 16 x 255^2 < 2^20, so 4096 of them add up in 32 bits.
uint64_t block_error(const int32_t* sums, size_t stride, int32_t blocks) {
  const int32_t* ss = sums + 2 * stride;
  const int32_t* s12 = sums + 3 * stride;
  uint64_t sum = 0;
  for (int32_t k = 0; k < blocks;) {
    const int32_t end = blocks - k > 4096 ? k + 4096 : blocks;
    uint32_t part = 0;
    for (; k < end; ++k)
      part += uint32_t(ss[k] - 2 * s12[k]);
    sum += part;
  }
  return sum;
}
uint64_t block_error(const int64_t* sums, size_t stride, int32_t blocks) {
  uint64_t sum = 0;
  for (int32_t k = 0; k < blocks; ++k)
    sum += uint64_t(sums[2 * stride + size_t(k)] - 2 * sums[3 * stride + size_t(k)]);
  return sum;
}

// Working memory reused from call to call on one thread: two rows of block sums. Grows for a
// wider plane, never shrinks.
struct SsimMemory {
  std::unique_ptr<unsigned char[]> block;
  size_t size = 0;

  unsigned char* reserve(size_t n) {
    if (n > size) {
      block.reset(new (std::nothrow) unsigned char[n]);
      size = block ? n : 0;
    }
    return block.get();
  }
};

thread_local SsimMemory t_ssim_memory;

}  // namespace

void ssim_block_sums8_scalar(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                             ptrdiff_t pitch_b, int32_t blocks, int32_t* sums, size_t stride) {
  for (int32_t k = 0; k < blocks; ++k) {
    int32_t s1 = 0, s2 = 0, ss = 0, s12 = 0;
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        const int32_t va = a[y * pitch_a + 4 * k + x], vb = b[y * pitch_b + 4 * k + x];
        s1 += va;
        s2 += vb;
        ss += va * va + vb * vb;
        s12 += va * vb;
      }
    }
    sums[k] = s1;
    sums[stride + size_t(k)] = s2;
    sums[2 * stride + size_t(k)] = ss;
    sums[3 * stride + size_t(k)] = s12;
  }
}

void ssim_block_sums16_scalar(const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
                              ptrdiff_t pitch_b, int32_t blocks, int64_t* sums, size_t stride) {
  for (int32_t k = 0; k < blocks; ++k) {
    uint64_t s1 = 0, s2 = 0, ss = 0, s12 = 0;
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        const uint64_t va = sample16(a + y * pitch_a + 2 * (ptrdiff_t(4) * k + x));
        const uint64_t vb = sample16(b + y * pitch_b + 2 * (ptrdiff_t(4) * k + x));
        s1 += va;
        s2 += vb;
        ss += va * va + vb * vb;
        s12 += va * vb;
      }
    }
    sums[k] = int64_t(s1);
    sums[stride + size_t(k)] = int64_t(s2);
    sums[2 * stride + size_t(k)] = int64_t(ss);
    sums[3 * stride + size_t(k)] = int64_t(s12);
  }
}

void ssim_row_end8_lanes(const int32_t* row0, const int32_t* row1, size_t stride, int32_t first,
                         int32_t windows, double lane[4]) {
  for (int32_t i = first; i < windows; ++i) {
    int32_t s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = row0[o] + row0[o + 1] + row1[o] + row1[o + 1];
    }
    lane[i & 3] += double(window8(s[0], s[1], s[2], s[3]));
  }
}

double ssim_row_end8_scalar(const int32_t* row0, const int32_t* row1, size_t stride,
                            int32_t windows) {
  double lane[4] = {0, 0, 0, 0};
  ssim_row_end8_lanes(row0, row1, stride, 0, windows, lane);
  return (lane[0] + lane[2]) + (lane[1] + lane[3]);
}

// No overflow: s1, s2 <= 64 x 65535, so every product fits 64 bits.
float ssim_row_end16_from(const int64_t* row0, const int64_t* row1, size_t stride, int32_t first,
                          int32_t windows, int64_t c1, int64_t c2, float row) {
  for (int32_t i = first; i < windows; ++i) {
    int64_t s[4];
    for (size_t c = 0; c < 4; ++c) {
      const size_t o = c * stride + size_t(i);
      s[c] = row0[o] + row0[o + 1] + row1[o] + row1[o + 1];
    }
    const int64_t vars = s[2] * 64 - s[0] * s[0] - s[1] * s[1];
    const int64_t covar = s[3] * 64 - s[0] * s[1];
    row += float(2 * s[0] * s[1] + c1) * float(2 * covar + c2) /
           (float(s[0] * s[0] + s[1] * s[1] + c1) * float(vars + c2));
  }
  return row;
}

float ssim_row_end16_scalar(const int64_t* row0, const int64_t* row1, size_t stride,
                            int32_t windows, int64_t c1, int64_t c2) {
  return ssim_row_end16_from(row0, row1, stride, 0, windows, c1, c2, 0.0f);
}

SsimKernels select_ssim_kernels(uint32_t cpu_flags) {
  SsimKernels k;
  k.block_sums8 = ssim_block_sums8_scalar;
  k.block_sums16 = ssim_block_sums16_scalar;
  k.row_end8 = ssim_row_end8_scalar;
  k.row_end16 = ssim_row_end16_scalar;
#if VQ_X86_SIMD
  if (cpu_flags & kCpuSse2) {
    k.block_sums8 = ssim_block_sums8_sse2;
    k.block_sums16 = ssim_block_sums16_sse2;
    k.row_end8 = ssim_row_end8_sse2;
    k.row_end16 = ssim_row_end16_sse2;
  }
  if ((cpu_flags & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2)) {
    k.block_sums8 = ssim_block_sums8_avx2;
    k.block_sums16 = ssim_block_sums16_avx2;
    k.row_end8 = ssim_row_end8_avx2;
    k.row_end16 = ssim_row_end16_avx2;
  }
#else
  (void)cpu_flags;
#endif
  return k;
}

int ssim_plane(const SsimKernels& kernels, const uint8_t* a, ptrdiff_t pitch_a, const uint8_t* b,
               ptrdiff_t pitch_b, int32_t width, int32_t height, int depth, SsimPlane* out) {
  if (width < 1 || height < 1 || depth < 8 || depth > 16 || !out) return 0;
  const int32_t bw = width >> 2, bh = height >> 2;
  SsimPlane r;
  if (bw < 2 || bh < 2) {
    r.sum = whole_plane_window(a, pitch_a, b, pitch_b, width, height, depth);
    r.windows = 1;
    r.sse = error_sum(a, pitch_a, b, pitch_b, 0, width, 0, height, depth);
  } else {
    // Two rows of block sums, each four arrays of `stride` entries; the rows take turns.
    const size_t stride = (size_t(bw) + 7) & ~size_t(7);
    const size_t word = depth == 8 ? sizeof(int32_t) : sizeof(int64_t);
    unsigned char* memory = t_ssim_memory.reserve(8 * stride * word);
    if (!memory) return 0;
    double sum = 0;
    // The samples right of the last whole block and below the last block row.
    uint64_t sse = error_sum(a, pitch_a, b, pitch_b, 4 * bw, width, 0, 4 * bh, depth) +
                   error_sum(a, pitch_a, b, pitch_b, 0, width, 4 * bh, height, depth);
    if (depth == 8) {
      int32_t* rows[2] = {reinterpret_cast<int32_t*>(memory),
                          reinterpret_cast<int32_t*>(memory) + 4 * stride};
      kernels.block_sums8(a, pitch_a, b, pitch_b, bw, rows[0], stride);
      sse += block_error(rows[0], stride, bw);
      for (int32_t y = 1; y < bh; ++y) {
        kernels.block_sums8(a + 4 * y * pitch_a, pitch_a, b + 4 * y * pitch_b, pitch_b, bw,
                            rows[y & 1], stride);
        sse += block_error(rows[y & 1], stride, bw);
        sum += kernels.row_end8(rows[(y - 1) & 1], rows[y & 1], stride, bw - 1);
      }
    } else {
      int64_t* rows[2] = {reinterpret_cast<int64_t*>(memory),
                          reinterpret_cast<int64_t*>(memory) + 4 * stride};
      const int64_t c1 = window_c1(depth), c2 = window_c2(depth);
      kernels.block_sums16(a, pitch_a, b, pitch_b, bw, rows[0], stride);
      sse += block_error(rows[0], stride, bw);
      for (int32_t y = 1; y < bh; ++y) {
        kernels.block_sums16(a + 4 * y * pitch_a, pitch_a, b + 4 * y * pitch_b, pitch_b, bw,
                             rows[y & 1], stride);
        sse += block_error(rows[y & 1], stride, bw);
        sum += double(kernels.row_end16(rows[(y - 1) & 1], rows[y & 1], stride, bw - 1, c1, c2));
      }
    }
    r.sum = sum;
    r.sse = sse;
    r.windows = int64_t(bw - 1) * (bh - 1);
  }
  r.value = r.sum / double(r.windows);
  *out = r;
  return 1;
}

double ssim_all(const double value[3], const int64_t samples[3]) {
  const int64_t total = samples[0] + samples[1] + samples[2];
  if (total <= 0) return 0;
  double all = 0;
  for (int p = 0; p < 3; ++p)
    all += double(samples[p]) / double(total) * value[p];
  return all;
}

}  // namespace vq
