#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "compare/compare.h"
#include "compare/sse_kernels.h"

namespace vq {

double psnr_from_mse(double mse) {
  if (mse == 0.0 || std::isnan(mse)) mse = 1e-05;
  // 10 * log10(65025 / m), through log2 as the historical tool computed it.
  return std::log2(65025.0 / mse) * 0.301029995663981195 * 10.0;
}

uint64_t sum_squared_error_scalar(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = int(a[i]) - int(b[i]);
    sum += uint64_t(d * d);
  }
  return sum;
}

SumSquaredErrorFn select_sum_squared_error(uint32_t cpu_flags) {
#if VQ_X86_SIMD
  if ((cpu_flags & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2)) return sum_squared_error_avx2;
  if (cpu_flags & kCpuSse2) return sum_squared_error_sse2;
#else
  (void)cpu_flags;
#endif
  return sum_squared_error_scalar;
}

namespace {

// The error sum for this processor, chosen on first use.
SumSquaredErrorFn error_sum() {
  static const SumSquaredErrorFn fn = select_sum_squared_error(detect_cpu_flags());
  return fn;
}

// Frames are compared in strips of row pairs: a strip of each frame is converted into a small
// planar buffer and summed while it is still in cache. About this many Y bytes per strip.
constexpr size_t kStripLumaBytes = 32 * 1024;

// Working memory reused from call to call on one thread: the planar strips of both frames and a
// row of zeros. Grows for a wider frame, never shrinks.
struct Workspace {
  std::unique_ptr<uint8_t[]> block;
  size_t size = 0;

  uint8_t* reserve(size_t n) {
    if (n > size) {
      block.reset(new (std::nothrow) uint8_t[n]);
      size = block ? n : 0;
    }
    return block.get();
  }
};

thread_local Workspace t_workspace;

// Where the planes of one frame come from.
struct Side {
  FrameLayout f;
  // YV12 is already planar 4:2:0 and is compared where it lies; every other format is
  // converted strip by strip into y/u/v.
  bool in_place = false;
  const uint8_t* plane_u = nullptr;  // in place: the frame's U and V planes
  const uint8_t* plane_v = nullptr;
  uint8_t* y = nullptr;
  uint8_t* u = nullptr;
  uint8_t* v = nullptr;
};

struct StripPlanes {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
};

// Rows r0 .. r0 + rows - 1 (rows even) of one frame as planar samples: Y rows `width` apart,
// chroma rows width/2 apart.
StripPlanes strip(const Side& s, int32_t r0, int32_t rows) {
  const int32_t w = s.f.width;
  const size_t chroma_offset = size_t(r0 / 2) * size_t(w / 2);
  if (s.in_place) {
    return {s.f.top + ptrdiff_t(r0) * s.f.pitch, s.plane_u + chroma_offset,
            s.plane_v + chroma_offset};
  }
  s.f.convert(s.y, s.u, s.v, s.f.top + ptrdiff_t(r0) * s.f.pitch, w, rows, w, s.f.pitch);
  // The RGB converters do not write the last column of an odd width; it counts as 0, as in a
  // zero-filled planar image.
  if (w & 1) {
    for (int32_t r = 0; r < rows; ++r)
      s.y[size_t(r) * w + (w - 1)] = 0;
  }
  return {s.y, s.u, s.v};
}

}  // namespace

uint64_t sum_squared_error(const uint8_t* a, const uint8_t* b, size_t n) {
  return error_sum()(a, b, n);
}

int frame_score(const DibFrame& a, const DibFrame& b, FrameScore* out) {
  BitmapInfoHeader ha, hb;
  if (!read_bitmap_info_header(a.data, a.size, &ha)) return 0;
  if (!read_bitmap_info_header(b.data, b.size, &hb)) return 0;
  const int64_t w64 = ha.biWidth;
  const int64_t h64 = std::llabs(int64_t(ha.biHeight));
  if (ha.biWidth != hb.biWidth || h64 != std::llabs(int64_t(hb.biHeight))) return 0;
  if (w64 < 1 || h64 < 1 || w64 * h64 > INT32_MAX) return 0;

  Side sa, sb;
  if (!describe_frame(a, g_converter_table, &sa.f)) return 0;
  if (!describe_frame(b, g_converter_table, &sb.f)) return 0;

  const int32_t w = int32_t(w64), h = int32_t(h64);
  const size_t s = size_t(w) * size_t(h);
  const size_t cw = size_t(w / 2);
  const size_t k = cw * size_t(h / 2);
  const int32_t paired_rows = h & ~1;
  Side* sides[2] = {&sa, &sb};
  for (Side* side : sides) {
    side->in_place = side->f.format == PixelFormat::kYv12;
    if (side->in_place) {
      // YV12: the Y plane (rows `width` apart), then V, then U.
      side->plane_v = side->f.top + s;
      side->plane_u = side->plane_v + k;
    }
  }
  // Two frames compared in place need no strips: each plane is summed in one pass.
  const int32_t strip_rows =
      sa.in_place && sb.in_place
          ? std::max(paired_rows, 2)
          : std::max<int32_t>(2,
                              int32_t(std::min<size_t>(kStripLumaBytes / size_t(w), 1 << 20)) & ~1);
  const size_t strip_luma = size_t(strip_rows) * size_t(w);
  const size_t strip_chroma = size_t(strip_rows / 2) * cw;
  const size_t per_side = strip_luma + 2 * strip_chroma;
  uint8_t* work = t_workspace.reserve(2 * per_side + size_t(w));
  if (work == nullptr) return 0;
  for (Side* side : sides) {
    side->y = work;
    side->u = work + strip_luma;
    side->v = side->u + strip_chroma;
    work += per_side;
  }
  uint8_t* zero_row = work;

  const SumSquaredErrorFn sum = error_sum();
  uint64_t sums[3] = {0, 0, 0};
  for (int32_t r0 = 0; r0 < paired_rows; r0 += strip_rows) {
    const int32_t rows = std::min(strip_rows, paired_rows - r0);
    const StripPlanes pa = strip(sa, r0, rows);
    const StripPlanes pb = strip(sb, r0, rows);
    sums[0] += sum(pa.y, pb.y, size_t(rows) * size_t(w));
    const size_t c = size_t(rows / 2) * cw;
    sums[1] += sum(pa.u, pb.u, c);
    sums[2] += sum(pa.v, pb.v, c);
  }
  if (h & 1) {
    // The last row of an odd height: only YV12 carries it; the RGB converters leave it
    // unwritten, and it counts as 0 there.
    std::memset(zero_row, 0, size_t(w));
    const ptrdiff_t last = ptrdiff_t(h - 1);
    const uint8_t* ya = sa.in_place ? sa.f.top + last * sa.f.pitch : zero_row;
    const uint8_t* yb = sb.in_place ? sb.f.top + last * sb.f.pitch : zero_row;
    sums[0] += sum(ya, yb, size_t(w));
  }

  FrameScore score;
  score.mse[0] = double(sums[0]) / double(s);
  const double r = 1.0 / double(k);
  for (int p = 1; p <= 2; ++p) {
    // A frame one pixel wide or high has no chroma samples: no error, the zero-error PSNR.
    score.mse[p] = k ? double(sums[p]) * r : 0.0;
  }
  for (int p = 0; p < 3; ++p)
    score.psnr[p] = psnr_from_mse(score.mse[p]);
  *out = score;
  return 1;
}

int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
               double* v_psnr) {
  FrameScore score;
  if (!frame_score(a, b, &score)) return 0;
  *y_psnr = score.psnr[0];
  *u_psnr = score.psnr[1];
  *v_psnr = score.psnr[2];
  return 1;
}

}  // namespace vq
