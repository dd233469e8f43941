#include <cmath>
#include <cstdlib>
#include <memory>

#include "compare/compare.h"

namespace vq {

double psnr_from_mse(double mse) {
  if (mse == 0.0 || std::isnan(mse)) mse = 1e-05;
  // 10 * log10(65025 / m), through log2 as the historical tool computed it.
  return std::log2(65025.0 / mse) * 0.301029995663981195 * 10.0;
}

uint64_t sum_squared_error(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = int(a[i]) - int(b[i]);
    sum += uint64_t(d * d);
  }
  return sum;
}

int frame_score(const DibFrame& a, const DibFrame& b, FrameScore* out) {
  BitmapInfoHeader ha, hb;
  if (!read_bitmap_info_header(a.data, a.size, &ha)) return 0;
  if (!read_bitmap_info_header(b.data, b.size, &hb)) return 0;
  const int64_t w = ha.biWidth;
  const int64_t h = std::llabs(int64_t(ha.biHeight));
  if (ha.biWidth != hb.biWidth || h != std::llabs(int64_t(hb.biHeight))) return 0;
  if (w < 1 || h < 1 || w * h > INT32_MAX) return 0;

  const size_t s = size_t(w * h);
  const size_t q = s / 4;
  // Zero-filled, so samples no converter writes (odd width or height) are equal in both.
  std::unique_ptr<uint8_t[]> buf_a(new uint8_t[s + 2 * q]());
  std::unique_ptr<uint8_t[]> buf_b(new uint8_t[s + 2 * q]());
  if (!convert_to_planar(a, buf_a.get(), buf_a.get() + s, buf_a.get() + s + q)) return 0;
  if (!convert_to_planar(b, buf_b.get(), buf_b.get() + s, buf_b.get() + s + q)) return 0;

  FrameScore score;
  score.mse[0] = double(sum_squared_error(buf_a.get(), buf_b.get(), s)) / double(s);
  const size_t k = size_t(w / 2) * size_t(h / 2);
  const double r = 1.0 / double(k);
  for (int p = 1; p <= 2; ++p) {
    const size_t off = s + size_t(p - 1) * q;
    // A frame one pixel wide or high has no chroma samples: no error, the zero-error PSNR.
    score.mse[p] = k ? double(sum_squared_error(buf_a.get() + off, buf_b.get() + off, k)) * r : 0.0;
  }
  for (int p = 0; p < 3; ++p) score.psnr[p] = psnr_from_mse(score.mse[p]);
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
