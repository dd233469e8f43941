// The worst pairs' pictures: the keeper that copies them, and their conversion into images for
// people (the pictures themselves and the error map).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include "page/page.h"

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

// One plane averaged over f x f blocks and scaled to 8 bits, rounded to nearest. Rows are summed
// into `sums` first (a loop the compiler vectorizes), then each block's columns.
template <int Bytes>
void reduce_plane(const uint8_t* __restrict src, ptrdiff_t pitch, int32_t w, int32_t h, int f,
                  int shift, uint32_t* __restrict sums, uint8_t* dst) {
  const int32_t dw = (w + f - 1) / f;
  for (int32_t y0 = 0; y0 < h; y0 += f, dst += dw) {
    const int32_t y1 = std::min(y0 + f, h);
    std::fill(sums, sums + w, 0u);
    for (int32_t y = y0; y < y1; ++y) {
      const uint8_t* row = src + y * pitch;
      for (int32_t x = 0; x < w; ++x)
        sums[x] += unsigned(sample_at(row, x, Bytes));
    }
    // (sum + n / 2) / n for n samples of `shift` bits too many; full blocks through a
    // reciprocal, where the added half keeps the quotient of integers exact.
    const uint64_t n = uint64_t(f * (y1 - y0)) << shift;
    const double inverse = 1.0 / double(n);
    int32_t o = 0;
    for (int32_t x0 = 0; x0 + f <= w; x0 += f, ++o) {
      uint64_t sum = 0;
      for (int32_t x = x0; x < x0 + f; ++x)
        sum += sums[x];
      dst[o] = uint8_t(std::min((double(sum + n / 2) + 0.5) * inverse, 255.0));
    }
    if (o < dw) {
      uint64_t sum = 0;
      for (int32_t x = o * f; x < w; ++x)
        sum += sums[x];
      const uint64_t m = uint64_t((w - o * f) * (y1 - y0)) << shift;
      dst[o] = uint8_t(std::min<uint64_t>((sum + m / 2) / m, 255));
    }
  }
}

// The largest luma difference per f x f block, as an error level: column maxima over the
// block's rows into `row` first, then the maximum of each block's columns.
template <int Bytes>
void block_levels(const Picture& a, const Picture& b, int f, int shift, uint16_t* row,
                  uint8_t* dst) {
  const int32_t dw = (a.width + f - 1) / f;
  for (int32_t y0 = 0; y0 < a.height; y0 += f, dst += dw) {
    std::fill(row, row + a.width, uint16_t(0));
    for (int32_t y = y0, y1 = std::min(y0 + f, a.height); y < y1; ++y) {
      const uint8_t* ra = a.plane[0] + y * a.pitch[0];
      const uint8_t* rb = b.plane[0] + y * b.pitch[0];
      for (int32_t x = 0; x < a.width; ++x) {
        const int d = std::abs(sample_at(ra, x, Bytes) - sample_at(rb, x, Bytes));
        row[x] = uint16_t(std::max<int>(row[x], d));
      }
    }
    for (int32_t x0 = 0, o = 0; x0 < a.width; x0 += f, ++o) {
      int d = 0;
      for (int32_t x = x0, x1 = std::min(x0 + f, a.width); x < x1; ++x)
        d = std::max<int>(d, row[x]);
      dst[o] = uint8_t(std::min((d * kErrorMapGain) >> shift, 255));
    }
  }
}

}  // namespace

int PictureCopy::assign(const Picture& picture, int factor) {
  const int f = std::max(factor, 1);
  try {
    Picture copy = picture;
    copy.depth = 8;
    copy.width = (picture.width + f - 1) / f;
    copy.height = (picture.height + f - 1) / f;
    copy.chroma_width = (picture.chroma_width + f - 1) / f;
    copy.chroma_height = (picture.chroma_height + f - 1) / f;
    const int shift = picture.depth > 8 ? picture.depth - 8 : 0;
    sums_.resize(size_t(std::max({picture.width, picture.chroma_width, 0})));
    for (int i = 0; i < 3; ++i) {
      copy.plane[i] = nullptr;
      copy.pitch[i] = 0;
      if (i >= plane_count(picture)) continue;
      const int32_t w = i == 0 ? picture.width : picture.chroma_width;
      const int32_t h = i == 0 ? picture.height : picture.chroma_height;
      const int32_t dw = i == 0 ? copy.width : copy.chroma_width;
      const int32_t dh = i == 0 ? copy.height : copy.chroma_height;
      plane_[i].resize(size_t(dw) * size_t(dh));
      if (sample_bytes(picture.depth) == 1) {
        reduce_plane<1>(picture.plane[i], picture.pitch[i], w, h, f, shift, sums_.data(),
                        plane_[i].data());
      } else {
        reduce_plane<2>(picture.plane[i], picture.pitch[i], w, h, f, shift, sums_.data(),
                        plane_[i].data());
      }
      copy.plane[i] = plane_[i].data();
      copy.pitch[i] = dw;
    }
    picture_ = copy;
    return 1;
  } catch (const std::bad_alloc&) {
    picture_ = Picture{};
    return 0;
  }
}

int ErrorMap::assign(const Picture& a, const Picture& b, int factor) {
  width_ = height_ = 0;
  if (a.width != b.width || a.height != b.height || a.depth != b.depth || a.width < 1 ||
      a.height < 1 || !a.plane[0] || !b.plane[0]) {
    return 0;
  }
  const int f = std::max(factor, 1);
  const int32_t w = (a.width + f - 1) / f, h = (a.height + f - 1) / f;
  try {
    levels_.resize(size_t(w) * size_t(h));
    row_.resize(size_t(a.width));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  const int shift = a.depth > 8 ? a.depth - 8 : 0;
  if (sample_bytes(a.depth) == 1) {
    block_levels<1>(a, b, f, shift, row_.data(), levels_.data());
  } else {
    block_levels<2>(a, b, f, shift, row_.data(), levels_.data());
  }
  width_ = w, height_ = h;
  return 1;
}

void WorstPairs::update_bar() {
  if (int(pairs_.size()) < capacity_) return;  // room left: any pair enters
  bar_ = std::nextafter(pairs_.back().value, -INFINITY);
}

int WorstPairs::offer(int32_t pair, double value, const Picture& a, const Picture& b) {
  return keep(pair, value, &a, &b);
}

int WorstPairs::offer(int32_t pair, double value) {
  return keep(pair, value, nullptr, nullptr);
}

int WorstPairs::keep(int32_t pair, double value, const Picture* a, const Picture* b) {
  if (!wants(value)) return 0;
  if (int(pairs_.size()) < capacity_) {
    try {
      if (pairs_.empty()) pairs_.reserve(size_t(capacity_));
      pairs_.emplace_back();
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  // The entry at the back is either new or the best of the kept pairs, which this one replaces.
  WorstPair& slot = pairs_.back();
  slot.pair = pair;
  slot.value = value;
  slot.factor = a ? gallery_factor(a->width, max_width_) : 1;
  // Pictures of different sizes or depths get no error map (ErrorMap::assign gives 0).
  if (a && (!slot.a.assign(*a, slot.factor) || !slot.b.assign(*b, slot.factor) ||
            slot.error.assign(*a, *b, slot.factor) < 0)) {
    pairs_.pop_back();
    bar_ = INFINITY;
    return -1;
  }
  // Into place: after every kept pair of a lower or equal value (those came earlier).
  const auto at = std::upper_bound(pairs_.begin(), pairs_.end() - 1, value,
                                   [](double v, const WorstPair& w) { return v < w.value; });
  std::rotate(at, pairs_.end() - 1, pairs_.end());
  update_bar();
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

}  // namespace vq
