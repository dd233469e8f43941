// Frame scoring behind the metric seam: each frame of a pair becomes a planar picture (a raw DIB
// frame through the converter table, a decoded picture as it is), and each metric scores the
// plane pairs. Pairs of raw DIB frames scored for PSNR alone keep the strip path of
// frame_score, which converts and sums while the rows are still in cache.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "compare/compare.h"
#include "compare/sse_kernels.h"
#include "compare/workspace.h"
#include "decode/decode.h"

namespace vq {

void fill_score_kernels(ScoreKernels* k, uint32_t cpu_flags) {
  fill_converter_table(&k->converters, cpu_flags);
  k->sums = select_error_sums(cpu_flags);
  k->ssim = select_ssim_kernels(cpu_flags);
}

const ScoreKernels& score_kernels() {
  static const ScoreKernels k = [] {
    ScoreKernels filled;
    fill_score_kernels(&filled, detect_cpu_flags());
    return filled;
  }();
  return k;
}

double psnr_from_mse(double mse, int depth) {
  if (depth == 8) return psnr_from_mse(mse);
  if (mse == 0.0 || std::isnan(mse)) mse = 1e-05;
  const double peak = double((1u << depth) - 1);
  return 10.0 * std::log10(peak * peak / mse);
}

uint64_t plane_squared_error(const ScoreKernels& k, const PlanePair& p) {
  return plane_squared_error(k.sums, p.a, p.pitch_a, p.b, p.pitch_b, p.width, p.height, p.depth);
}

namespace {

std::string describe_picture(const Picture& p) {
  return std::string(chroma_layout_name(p.layout)) + " " + std::to_string(p.depth) + "-bit" +
         (p.full_range ? " full range" : "");
}

// Raw frames as planar 4:2:0: YV12 is viewed where it lies, every other format converted into
// working memory laid out for its width (Y rows W apart, chroma rows W/2 apart).
thread_local Workspace t_planar[2];

ScoreStatus dib_to_picture(const ScoreKernels& k, const DibFrame& dib, Workspace* buf, Picture* out,
                           std::string* why) {
  FrameLayout f;
  if (!describe_frame(dib, k.converters, &f)) {
    BitmapInfoHeader h;
    if (read_bitmap_info_header(dib.data, dib.size, &h) && h.biCompression != kBiRgb &&
        h.biCompression != kFourccYV12 && h.biCompression != kBiBitfields) {
      // A compressed stream handed out as stored: no decoder took it.
      *why = "codec " + fourcc_text(h.biCompression) +
             (have_ffmpeg() ? ": FFmpeg's libraries have no decoder for it"
                            : " needs FFmpeg's libraries (this build has none)");
    } else {
      *why = "pixel format not supported";
    }
    return ScoreStatus::kUnsupported;
  }
  const int32_t w = f.width, h = f.height;
  if (int64_t(w) * h > INT32_MAX) {
    *why = "picture too large";
    return ScoreStatus::kUnsupported;
  }
  Picture p;
  p.width = w;
  p.height = h;
  p.chroma_width = w / 2;
  p.chroma_height = h / 2;
  const size_t s = size_t(w) * size_t(h), cw = size_t(w / 2), c = cw * size_t(h / 2);
  if (f.format == PixelFormat::kYv12) {
    // The Y plane (rows `pitch` apart), then V, then U.
    p.plane[0] = f.top;
    p.pitch[0] = f.pitch;
    p.plane[2] = f.top + s;
    p.plane[1] = f.top + s + c;
  } else {
    uint8_t* y = buf->reserve(s + 2 * c);
    if (y == nullptr) {
      *why = "out of memory";
      return ScoreStatus::kOutOfMemory;
    }
    f.convert(y, y + s, y + s + c, f.top, w, h, w, f.pitch);
    // The converters leave the last column of an odd width and the last row of an odd height
    // unwritten: they count as 0, as in a zero-filled planar image.
    if (w & 1) {
      for (int32_t r = 0; r < h; ++r)
        y[size_t(r) * w + (w - 1)] = 0;
    }
    if (h & 1) std::memset(y + size_t(h - 1) * w, 0, size_t(w));
    p.plane[0] = y;
    p.pitch[0] = w;
    p.plane[1] = y + s;
    p.plane[2] = y + s + c;
  }
  p.pitch[1] = p.pitch[2] = ptrdiff_t(cw);
  *out = p;
  return ScoreStatus::kScored;
}

ScoreStatus as_picture(const ScoreKernels& k, const Frame& f, Workspace* buf, Picture* out,
                       std::string* why) {
  if (f.is_picture()) {
    *out = f.picture;
    return ScoreStatus::kScored;
  }
  return dib_to_picture(k, f.dib, buf, out, why);
}

// Pictures brought to another depth.
thread_local Workspace t_wide[2];

// `in` with its samples shifted left to `depth` bits, as 16-bit little-endian words.
ScoreStatus widen(const Picture& in, int depth, Workspace* buf, Picture* out, std::string* why) {
  const int shift = depth - in.depth;
  const int planes = in.layout == ChromaLayout::kGray ? 1 : 3;
  size_t offset[3] = {0, 0, 0}, total = 0;
  for (int p = 0; p < planes; ++p) {
    offset[p] = total;
    const size_t w = size_t(p ? in.chroma_width : in.width);
    const size_t h = size_t(p ? in.chroma_height : in.height);
    total += 2 * w * h;
  }
  uint8_t* block = buf->reserve(total);
  if (block == nullptr) {
    *why = "out of memory";
    return ScoreStatus::kOutOfMemory;
  }
  Picture p = in;
  p.depth = depth;
  for (int i = 0; i < planes; ++i) {
    const int32_t w = i ? in.chroma_width : in.width;
    const int32_t h = i ? in.chroma_height : in.height;
    uint8_t* dst = block + offset[i];
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = in.plane[i] + y * in.pitch[i];
      uint8_t* o = dst + size_t(y) * size_t(w) * 2;
      for (int32_t x = 0; x < w; ++x) {
        const unsigned v = in.depth > 8 ? unsigned(row[2 * x] | row[2 * x + 1] << 8) : row[x];
        const unsigned wide = v << shift;
        o[2 * x] = uint8_t(wide);
        o[2 * x + 1] = uint8_t(wide >> 8);
      }
    }
    p.plane[i] = dst;
    p.pitch[i] = ptrdiff_t(w) * 2;
  }
  *out = p;
  return ScoreStatus::kScored;
}

// Chroma layouts from the fewest chroma samples to the most.
int chroma_rank(ChromaLayout l) {
  switch (l) {
    case ChromaLayout::kGray:
      return 0;
    case ChromaLayout::k420:
      return 1;
    case ChromaLayout::k422:
      return 2;
    case ChromaLayout::k444:
      break;
  }
  return 3;
}

thread_local PictureBuffer t_converted[2];

// Brings the two pictures of a pair to one form: the layout with fewer chroma samples and
// studio range through the picture converter (a picture paired with a gray one is scored on its
// luma alone, with nothing to convert), then the greater depth, the shallower picture's samples
// shifted left as FFmpeg's format filter widens them.
ScoreStatus common_form(Picture* a, Picture* b, FrameScore* score, std::string* why) {
  if (a->layout == b->layout && a->depth == b->depth && a->full_range == b->full_range) {
    return ScoreStatus::kScored;
  }
  const std::string forms = describe_picture(*a) + " against " + describe_picture(*b);
  if (a->layout == ChromaLayout::kGray || b->layout == ChromaLayout::kGray) {
    a->layout = b->layout = ChromaLayout::kGray;
  }
  const ChromaLayout target =
      chroma_rank(a->layout) <= chroma_rank(b->layout) ? a->layout : b->layout;
  Picture* side[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    Picture* p = side[i];
    const bool other_studio = !side[1 - i]->full_range || side[1 - i]->layout != target;
    if (p->layout == target && !(p->full_range && other_studio)) continue;
    std::string failed;
    if (!convert_picture(*p, target, p->depth, &t_converted[i], &failed)) {
      *why = "pixel formats differ (" + forms + ")" + (failed.empty() ? "" : ": " + failed);
      return ScoreStatus::kUnsupported;
    }
    *p = t_converted[i].picture;
    score->resampled |= uint8_t(1 << i);
  }
  if (a->full_range != b->full_range) {
    *why = "pixel formats differ (" + forms + ")";
    return ScoreStatus::kUnsupported;
  }
  if (a->depth != b->depth) {
    const int i = a->depth < b->depth ? 0 : 1;
    const int depth = std::max(a->depth, b->depth);
    const ScoreStatus s = widen(*side[i], depth, &t_wide[i], side[i], why);
    if (s != ScoreStatus::kScored) return s;
    score->widened |= uint8_t(1 << i);
  }
  return ScoreStatus::kScored;
}

}  // namespace

void frame_size(const Frame& f, int64_t* w, int64_t* h) {
  if (f.is_picture()) {
    *w = f.picture.width;
    *h = f.picture.height;
    return;
  }
  BitmapInfoHeader hd;
  *w = *h = 0;
  if (!read_bitmap_info_header(f.dib.data, f.dib.size, &hd)) return;
  *w = hd.biWidth;
  *h = std::llabs(int64_t(hd.biHeight));
}

ScoreStatus score_pictures(const ScoreKernels& k, const Picture& a, const Picture& b,
                           const ScoreOptions& options, FrameScore* out, std::string* why) {
  if (a.width != b.width || a.height != b.height) {
    *why = "frame sizes differ (" + std::to_string(a.width) + "x" + std::to_string(a.height) +
           " against " + std::to_string(b.width) + "x" + std::to_string(b.height) + ")";
    return ScoreStatus::kSizeMismatch;
  }
  if (a.layout != b.layout || a.depth != b.depth || a.full_range != b.full_range) {
    *why = "pixel formats differ (" + describe_picture(a) + " against " + describe_picture(b) + ")";
    return ScoreStatus::kUnsupported;
  }
  if (a.depth < 8 || a.depth > 16) {
    *why = "samples of " + std::to_string(a.depth) + " bits";
    return ScoreStatus::kUnsupported;
  }
  FrameScore score;
  score.depth = a.depth;
  score.layout = a.layout;
  const int planes = a.layout == ChromaLayout::kGray ? 1 : 3;
  int64_t samples[3] = {0, 0, 0};
  for (int p = 0; p < 3; ++p) {
    PlanePair pair;
    pair.a = a.plane[p];
    pair.b = b.plane[p];
    pair.pitch_a = a.pitch[p];
    pair.pitch_b = b.pitch[p];
    pair.depth = a.depth;
    if (p == 0) {
      pair.width = a.width;
      pair.height = a.height;
    } else if (p < planes) {
      // Chroma of a compressed AVI stream keeps the AVI form (no odd last column or row); a
      // pair of it with a YUV file compares the chroma samples both have.
      pair.width = std::min(a.chroma_width, b.chroma_width);
      pair.height = std::min(a.chroma_height, b.chroma_height);
    }
    const size_t n = size_t(std::max(pair.width, 0)) * size_t(std::max(pair.height, 0));
    uint64_t sum = 0;
    if (options.ssim && n > 0) {
      // SSIM reads the planes once and gives their error sum too.
      SsimPlane plane;
      if (!ssim_plane(k.ssim, pair.a, pair.pitch_a, pair.b, pair.pitch_b, pair.width, pair.height,
                      pair.depth, &plane)) {
        *why = "out of memory";
        return ScoreStatus::kOutOfMemory;
      }
      sum = plane.sse;
      score.ssim[p] = plane.value;
      samples[p] = int64_t(n);
    } else if (options.ssim) {
      score.ssim[p] = 1.0;  // a plane without samples has no error
    } else {
      sum = plane_squared_error(k, pair);
    }
    // Luma divides, chroma multiplies by the reciprocal: the arithmetic of the strip path, so
    // that a frame scores the same digits on either road. A plane without samples has no error.
    if (p == 0) {
      score.mse[p] = double(sum) / double(n);
    } else {
      const double r = 1.0 / double(n);
      score.mse[p] = n ? double(sum) * r : 0.0;
    }
    score.psnr[p] = psnr_from_mse(score.mse[p], a.depth);
  }
  if (options.ssim) {
    score.has_ssim = true;
    score.ssim[3] = ssim_all(score.ssim, samples);
  }
  *out = score;
  return ScoreStatus::kScored;
}

namespace {

ScoreStatus to_pictures(const ScoreKernels& k, const Frame& a, const Frame& b, Picture* pa,
                        Picture* pb, FrameScore* conversions, std::string* why) {
  ScoreStatus s = as_picture(k, a, &t_planar[0], pa, why);
  if (s != ScoreStatus::kScored) return s;
  s = as_picture(k, b, &t_planar[1], pb, why);
  if (s != ScoreStatus::kScored) return s;
  return common_form(pa, pb, conversions, why);
}

}  // namespace

ScoreStatus pair_pictures(const ScoreKernels& k, const Frame& a, const Frame& b, Picture* pa,
                          Picture* pb, std::string* why) {
  try {
    FrameScore conversions;
    return to_pictures(k, a, b, pa, pb, &conversions, why);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return ScoreStatus::kOutOfMemory;
  }
}

ScoreStatus score_frames(const ScoreKernels& k, const Frame& a, const Frame& b,
                         const ScoreOptions& options, FrameScore* out, std::string* why) {
  int64_t wa, ha, wb, hb;
  frame_size(a, &wa, &ha);
  frame_size(b, &wb, &hb);
  if (wa != wb || ha != hb) {
    *why = "frame sizes differ (" + std::to_string(wa) + "x" + std::to_string(ha) + " against " +
           std::to_string(wb) + "x" + std::to_string(hb) + ")";
    return ScoreStatus::kSizeMismatch;
  }
  try {
    if (!a.is_picture() && !b.is_picture() && !options.ssim) {
      if (frame_score_with(k, a.dib, b.dib, out)) return ScoreStatus::kScored;
    }
    Picture pa, pb;
    FrameScore conversions;
    ScoreStatus s = to_pictures(k, a, b, &pa, &pb, &conversions, why);
    if (s != ScoreStatus::kScored) return s;
    s = score_pictures(k, pa, pb, options, out, why);
    out->widened = conversions.widened;
    out->resampled = conversions.resampled;
    return s;
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return ScoreStatus::kOutOfMemory;
  }
}

}  // namespace vq
