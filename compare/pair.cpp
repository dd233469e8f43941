// The pair in one form: each frame becomes a planar picture (a raw DIB frame through the
// converter table, a decoded picture as it is), then the two are brought to one layout, range
// and depth, once, for every metric and listener of the pair.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "compare/compare.h"
#include "decode/decode.h"

namespace vq {

namespace {

std::string describe_picture(const Picture& p) {
  return std::string(chroma_layout_name(p.layout)) + " " + std::to_string(p.depth) + "-bit" +
         (p.full_range ? " full range" : "");
}

// Raw frames as planar 4:2:0: YV12 is viewed where it lies, every other format converted into
// working memory laid out for its width (Y rows W apart, chroma rows W/2 apart).
PairStatus dib_to_picture(const ConverterTable& converters, const DibFrame& dib, Workspace* buf,
                          Picture* out, std::string* why) {
  FrameLayout f;
  if (!describe_frame(dib, converters, &f)) {
    BitmapInfoHeader h;
    if (read_bitmap_info_header(dib.data, dib.size, &h) && h.biCompression != kBiRgb &&
        h.biCompression != kFourccYV12 && h.biCompression != kBiBitfields) {
      // A compressed stream handed out as stored: no decoder took it.
      *why = "codec " + fourcc_text(h.biCompression) +
             (have_ffmpeg() ? ": FFmpeg's libraries have no decoder for it"
                            : " needs FFmpeg's libraries (" + ffmpeg_absence() + ")");
    } else {
      *why = "pixel format not supported";
    }
    return PairStatus::kUnsupported;
  }
  const int32_t w = f.width, h = f.height;
  if (int64_t(w) * h > INT32_MAX) {
    *why = "picture too large";
    return PairStatus::kUnsupported;
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
      return PairStatus::kOutOfMemory;
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
  return PairStatus::kFormed;
}

PairStatus as_picture(const ConverterTable& converters, const Frame& f, Workspace* buf,
                      Picture* out, std::string* why) {
  if (f.is_picture()) {
    *out = f.picture;
    return PairStatus::kFormed;
  }
  return dib_to_picture(converters, f.dib, buf, out, why);
}

// `in` with its samples shifted left to `depth` bits, as 16-bit little-endian words.
PairStatus widen(const Picture& in, int depth, Workspace* buf, Picture* out, std::string* why) {
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
    return PairStatus::kOutOfMemory;
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
  return PairStatus::kFormed;
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

// Brings the two pictures of a pair to one form: the layout with fewer chroma samples and
// studio range (unless both are full range) through the picture converter (a picture paired with a
// gray one is scored on its luma alone, with nothing to convert), then the greater depth, the
// shallower picture's samples shifted left as FFmpeg's format filter widens them.
PairStatus common_form(Picture* a, Picture* b, PairWork* work, FormedPair* score,
                       std::string* why) {
  if (a->layout == b->layout && a->depth == b->depth && a->full_range == b->full_range) {
    return PairStatus::kFormed;
  }
  const std::string forms = describe_picture(*a) + " against " + describe_picture(*b);
  if (a->layout == ChromaLayout::kGray || b->layout == ChromaLayout::kGray) {
    for (Picture* p : {a, b}) {
      p->layout = ChromaLayout::kGray;
      p->chroma_width = p->chroma_height = 0;
    }
  }
  const ChromaLayout target =
      chroma_rank(a->layout) <= chroma_rank(b->layout) ? a->layout : b->layout;
  // Two full-range pictures are compared in full range, as they are when their forms agree.
  const bool keep_range = a->full_range && b->full_range;
  Picture* side[2] = {a, b};
  for (int i = 0; i < 2; ++i) {
    Picture* p = side[i];
    const bool other_studio = !side[1 - i]->full_range || side[1 - i]->layout != target;
    if (p->layout == target && (keep_range || !(p->full_range && other_studio))) continue;
    std::string failed;
    if (!convert_picture(*p, target, p->depth, &work->converted[i], &failed, keep_range)) {
      *why = "pixel formats differ (" + forms + ")" + (failed.empty() ? "" : ": " + failed);
      return PairStatus::kUnsupported;
    }
    *p = work->converted[i].picture;
    score->resampled |= uint8_t(1 << i);
  }
  if (a->full_range != b->full_range) {
    *why = "pixel formats differ (" + forms + ")";
    return PairStatus::kUnsupported;
  }
  if (a->depth != b->depth) {
    const int i = a->depth < b->depth ? 0 : 1;
    const int depth = std::max(a->depth, b->depth);
    const PairStatus s = widen(*side[i], depth, &work->wide[i], side[i], why);
    if (s != PairStatus::kFormed) return s;
    score->widened |= uint8_t(1 << i);
  }
  return PairStatus::kFormed;
}

// The size of a raw frame for the mismatch notice; 0 x 0 when its header cannot be read.
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

// The refusal of a pair of two sizes, with the way to score it anyway.
std::string size_mismatch(int64_t wa, int64_t ha, int64_t wb, int64_t hb) {
  return "frame sizes differ (" + std::to_string(wa) + "x" + std::to_string(ha) + " against " +
         std::to_string(wb) + "x" + std::to_string(hb) + "); --scale=bicubic scales the second " +
         (have_ffmpeg() ? "to the first" : "to the first in a build with FFmpeg's libraries");
}

}  // namespace

PairStatus form_pair(const ConverterTable& converters, const Frame& a, const Frame& b,
                     PairWork* work, FormedPair* out, std::string* why, ScaleFilter scale) {
  int64_t wa, ha, wb, hb;
  frame_size(a, &wa, &ha);
  frame_size(b, &wb, &hb);
  if ((wa != wb || ha != hb) && scale == ScaleFilter::kNone) {
    *why = size_mismatch(wa, ha, wb, hb);
    return PairStatus::kSizeMismatch;
  }
  try {
    FormedPair formed;
    Picture& pa = formed.picture[0];
    Picture& pb = formed.picture[1];
    PairStatus s = as_picture(converters, a, &work->planar[0], &pa, why);
    if (s != PairStatus::kFormed) return s;
    s = as_picture(converters, b, &work->planar[1], &pb, why);
    if (s != PairStatus::kFormed) return s;
    // The second picture is scaled to the first's size before anything else is done to it, in
    // one pass with the layout and range it is to be scored in, as FFmpeg's scale filter in
    // front of a metric scales it into the form the metric takes. A pair with a gray picture
    // keeps the second's form: only its luma may be scored.
    if (pa.width != pb.width || pa.height != pb.height) {
      ChromaLayout layout = pb.layout;
      bool full = pb.full_range;
      if (pa.layout != ChromaLayout::kGray && pb.layout != ChromaLayout::kGray) {
        if (chroma_rank(pa.layout) < chroma_rank(pb.layout)) layout = pa.layout;
        full = pa.full_range && pb.full_range;
      }
      std::string failed;
      if (!scale_picture(pb, pa.width, pa.height, layout, full, scale, &work->scaled, &failed)) {
        *why = "the second's pictures cannot be scaled from " + std::to_string(pb.width) + "x" +
               std::to_string(pb.height) + " to " + std::to_string(pa.width) + "x" +
               std::to_string(pa.height) + ": " + failed;
        return failed == "out of memory" ? PairStatus::kOutOfMemory : PairStatus::kUnsupported;
      }
      if (layout != pb.layout || full != pb.full_range) formed.resampled |= 2;
      pb = work->scaled.picture;
      formed.scaled = true;
    }
    s = common_form(&pa, &pb, work, &formed, why);
    if (s != PairStatus::kFormed) return s;
    if (pa.width != pb.width || pa.height != pb.height) {
      *why = size_mismatch(pa.width, pa.height, pb.width, pb.height);
      return PairStatus::kSizeMismatch;
    }
    if (pa.layout != pb.layout || pa.depth != pb.depth || pa.full_range != pb.full_range) {
      *why = "pixel formats differ (" + describe_picture(pa) + " against " + describe_picture(pb) +
             ")";
      return PairStatus::kUnsupported;
    }
    if (pa.depth < 8 || pa.depth > 16) {
      *why = "samples of " + std::to_string(pa.depth) + " bits";
      return PairStatus::kUnsupported;
    }
    // Chroma of a compressed AVI stream keeps the AVI form (no odd last column or row); a pair
    // of it with a YUV file compares the chroma samples both have. A gray pair has none.
    if (pa.layout == ChromaLayout::kGray) {
      pa.chroma_width = pa.chroma_height = pb.chroma_width = pb.chroma_height = 0;
    } else {
      pa.chroma_width = pb.chroma_width = std::min(pa.chroma_width, pb.chroma_width);
      pa.chroma_height = pb.chroma_height = std::min(pa.chroma_height, pb.chroma_height);
    }
    PictureForm& f = formed.form;
    f.width = pa.width;
    f.height = pa.height;
    f.chroma_width = pa.chroma_width;
    f.chroma_height = pa.chroma_height;
    f.depth = pa.depth;
    f.layout = pa.layout;
    *out = formed;
    return PairStatus::kFormed;
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return PairStatus::kOutOfMemory;
  }
}

}  // namespace vq
