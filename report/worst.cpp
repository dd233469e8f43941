// The worst pairs' pictures: the keeper that copies them, and their conversion into images for
// people (the pictures themselves and the error map).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include "report/report.h"

namespace vq {
namespace {

int plane_count(const Picture& p) {
  return p.layout == ChromaLayout::kGray ? 1 : 3;
}

inline int sample_at(const uint8_t* row, int32_t x, int bytes) {
  return bytes == 1 ? row[x] : row[2 * x] | row[2 * x + 1] << 8;
}

// Full range to studio range in 8-bit units, rounded to nearest: luma 0..255 -> 16..235,
// chroma 0..255 around 128 -> 16..240.
inline int studio_from_full(int v, bool luma) {
  const int t = luma ? v * 219 : (v - 128) * 224;
  const int q = t >= 0 ? (t + 127) / 255 : -((-t + 127) / 255);
  return luma ? 16 + q : 128 + q;
}

std::array<uint8_t, 768> make_colour_scale() {
  // Seventh-order fit of viridis per channel, t in 0..1: c0 + t (c1 + t (c2 + ...)).
  static constexpr double kFit[3][7] = {
      {0.2777273272234177, 0.1050930431085774, -0.3308618287255563, -4.634230498983486,
       6.228269936347081, 4.776384997670288, -5.435455855934631},
      {0.005407344544966578, 1.404613529898575, 0.214847559468213, -5.799100973351585,
       14.17993336680509, -13.74514537774601, 4.645852612178535},
      {0.3340998053353061, 1.384590162594685, 0.09509516302823659, -19.33244095627987,
       56.69055260068105, -65.35303263337234, 26.3124352495832}};
  std::array<uint8_t, 768> table{};
  for (int i = 0; i < 256; ++i) {
    const double t = i / 255.0;
    for (int c = 0; c < 3; ++c) {
      double v = 0;
      for (int k = 6; k >= 0; --k)
        v = v * t + kFit[c][k];
      table[size_t(3 * i + c)] = uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255));
    }
  }
  return table;
}

}  // namespace

int PictureCopy::assign(const Picture& picture) {
  try {
    Picture copy = picture;
    const int bytes = sample_bytes(picture.depth);
    for (int i = 0; i < 3; ++i) {
      copy.plane[i] = nullptr;
      copy.pitch[i] = 0;
      if (i >= plane_count(picture)) continue;
      const int32_t w = i == 0 ? picture.width : picture.chroma_width;
      const int32_t h = i == 0 ? picture.height : picture.chroma_height;
      const size_t row = size_t(w) * size_t(bytes);
      plane_[i].resize(row * size_t(h));
      for (int32_t r = 0; r < h; ++r) {
        std::memcpy(plane_[i].data() + size_t(r) * row, picture.plane[i] + r * picture.pitch[i],
                    row);
      }
      copy.plane[i] = plane_[i].data();
      copy.pitch[i] = ptrdiff_t(row);
    }
    picture_ = copy;
    return 1;
  } catch (const std::bad_alloc&) {
    picture_ = Picture{};
    return 0;
  }
}

bool WorstPairs::wants(double y_psnr) const {
  if (capacity_ == 0) return false;
  if (int(pairs_.size()) < capacity_) return true;
  return y_psnr < pairs_.back().score.psnr[0];
}

int WorstPairs::offer(int32_t pair, const FrameScore& score, const Picture& a, const Picture& b) {
  if (!wants(score.psnr[0])) return 0;
  if (int(pairs_.size()) < capacity_) {
    try {
      pairs_.emplace_back();
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  // The entry at the back is either new or the best of the kept pairs, which this one replaces.
  WorstPair& slot = pairs_.back();
  slot.pair = pair;
  slot.score = score;
  if (!slot.a.assign(a) || !slot.b.assign(b)) {
    pairs_.pop_back();
    return -1;
  }
  std::stable_sort(pairs_.begin(), pairs_.end(), [](const WorstPair& x, const WorstPair& y) {
    if (x.score.psnr[0] != y.score.psnr[0]) return x.score.psnr[0] < y.score.psnr[0];
    return x.pair < y.pair;
  });
  return 1;
}

int picture_to_rgb24(const Picture& picture, std::vector<uint8_t>* rgb) {
  const Picture& p = picture;
  if (p.width < 1 || p.height < 1 || !p.plane[0]) return 0;
  if (p.layout != ChromaLayout::kGray && (!p.plane[1] || !p.plane[2])) return 0;
  try {
    std::vector<uint8_t> out(size_t(p.width) * size_t(p.height) * 3);
    PlanarImage im;
    im.width = p.width;
    im.height = p.height;
    std::vector<uint8_t> planes[3];
    const bool direct = p.depth == 8 && !p.full_range;
    for (int i = 0; i < 3; ++i) {
      const bool luma = i == 0;
      const int32_t w = luma ? p.width : p.chroma_width;
      const int32_t h = luma ? p.height : p.chroma_height;
      const uint8_t** dst = i == 0 ? &im.y : i == 1 ? &im.u : &im.v;
      ptrdiff_t* pitch = i == 0 ? &im.y_pitch : i == 1 ? &im.u_pitch : &im.v_pitch;
      if (i >= plane_count(p)) {
        // No chroma: one neutral row, read for every row.
        planes[i].assign(size_t(p.width + 1) / 2, 128);
        *dst = planes[i].data();
        *pitch = 0;
        im.chroma_width = (p.width + 1) / 2;
        im.chroma_height = (p.height + 1) / 2;
        continue;
      }
      if (!luma) im.chroma_width = w, im.chroma_height = h;
      if (direct) {
        *dst = p.plane[i];
        *pitch = p.pitch[i];
        continue;
      }
      const int bytes = sample_bytes(p.depth);
      const int shift = p.depth > 8 ? p.depth - 8 : 0;
      const int half = shift > 0 ? 1 << (shift - 1) : 0;
      planes[i].resize(size_t(w) * size_t(h));
      for (int32_t r = 0; r < h; ++r) {
        const uint8_t* src = p.plane[i] + r * p.pitch[i];
        uint8_t* row = planes[i].data() + size_t(r) * size_t(w);
        for (int32_t c = 0; c < w; ++c) {
          int v = std::min((sample_at(src, c, bytes) + half) >> shift, 255);
          if (p.full_range) v = studio_from_full(v, luma);
          row[c] = uint8_t(v);
        }
      }
      *dst = planes[i].data();
      *pitch = w;
    }
    if (!planar420_to_rgb24(im, out.data(), 3 * ptrdiff_t(p.width))) return 0;
    rgb->swap(out);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

const uint8_t* error_colour_scale() {
  static const std::array<uint8_t, 768> table = make_colour_scale();
  return table.data();
}

int error_map_rgb24(const Picture& a, const Picture& b, std::vector<uint8_t>* rgb) {
  if (a.width != b.width || a.height != b.height || a.depth != b.depth || a.width < 1 ||
      a.height < 1 || !a.plane[0] || !b.plane[0]) {
    return 0;
  }
  try {
    std::vector<uint8_t> out(size_t(a.width) * size_t(a.height) * 3);
    const uint8_t* scale = error_colour_scale();
    const int bytes = sample_bytes(a.depth);
    const int shift = a.depth > 8 ? a.depth - 8 : 0;
    for (int32_t r = 0; r < a.height; ++r) {
      const uint8_t* ra = a.plane[0] + r * a.pitch[0];
      const uint8_t* rb = b.plane[0] + r * b.pitch[0];
      uint8_t* o = out.data() + size_t(r) * size_t(a.width) * 3;
      for (int32_t c = 0; c < a.width; ++c) {
        const int d = std::abs(sample_at(ra, c, bytes) - sample_at(rb, c, bytes));
        const int level = std::min((d * kErrorMapGain) >> shift, 255);
        std::memcpy(o + 3 * c, scale + 3 * level, 3);
      }
    }
    rgb->swap(out);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
