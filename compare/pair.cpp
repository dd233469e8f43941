// The pair in one form: the two pictures sources hand out brought to one size, layout, range
// and depth, once, for every metric and listener of the pair; and the PSNR of two raw frames.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "avi/avi.h"
#include "compare/compare.h"
#include "decode/decode.h"

namespace vq {

namespace {

std::string describe_picture(const Picture& p) {
  return std::string(chroma_layout_name(p.layout)) + " " + std::to_string(p.depth) + "-bit" +
         (p.full_range ? " full range" : "");
}

// A frame's picture; kUnsupported with the reason its source gave when it has none.
PairStatus as_picture(const Frame& f, Picture* out, std::string* why) {
  if (!f.is_picture()) {
    *why = f.refused.empty() ? "pixel format not supported" : f.refused;
    return PairStatus::kUnsupported;
  }
  *out = f.picture;
  return PairStatus::kFormed;
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
// gray one is scored on its luma alone, with nothing to convert), then the greater depth (or the
// one asked for), the shallower picture's samples shifted left as FFmpeg's format filter widens
// them.
PairStatus common_form(Picture* a, Picture* b, PairWork* work, FormedPair* score, std::string* why,
                       int depth) {
  if (a->layout == b->layout && a->depth == b->depth && a->full_range == b->full_range &&
      (depth == 0 || a->depth == depth)) {
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
  const int want = depth != 0 ? depth : std::max(a->depth, b->depth);
  for (int i = 0; i < 2; ++i) {
    if (side[i]->depth > want) {
      *why = "a " + std::to_string(side[i]->depth) +
             "-bit picture is deeper than --bit-depth=" + std::to_string(want) + " (" + forms + ")";
      return PairStatus::kUnsupported;
    }
    if (side[i]->depth == want) continue;
    const PairStatus s = widen(*side[i], want, &work->wide[i], side[i], why);
    if (s != PairStatus::kFormed) return s;
    score->widened |= uint8_t(1 << i);
  }
  return PairStatus::kFormed;
}

// The size of a frame for the mismatch notice: a refused frame's stated size (0 x 0 when its
// header could not be read).
void frame_size(const Frame& f, int64_t* w, int64_t* h) {
  *w = f.is_picture() ? f.picture.width : f.stated_width;
  *h = f.is_picture() ? f.picture.height : f.stated_height;
}

// The refusal of a pair of two sizes, with the way to score it anyway.
std::string size_mismatch(int64_t wa, int64_t ha, int64_t wb, int64_t hb) {
  return "frame sizes differ (" + std::to_string(wa) + "x" + std::to_string(ha) + " against " +
         std::to_string(wb) + "x" + std::to_string(hb) + "); --scale=bicubic scales the second " +
         (have_ffmpeg() ? "to the first" : "to the first in a build with FFmpeg's libraries");
}

// The second picture scaled to the first's size before anything else is done to it, in one
// pass with the layout and range it is to be scored in, as FFmpeg's scale filter in front of a
// metric scales it into the form the metric takes. A pair with a gray picture keeps the
// second's form: only its luma may be scored.
PairStatus scale_second(const Picture& pa, Picture* pb, PairWork* work, FormedPair* formed,
                        std::string* why, ScaleFilter scale) {
  ChromaLayout layout = pb->layout;
  bool full = pb->full_range;
  if (pa.layout != ChromaLayout::kGray && pb->layout != ChromaLayout::kGray) {
    if (chroma_rank(pa.layout) < chroma_rank(pb->layout)) layout = pa.layout;
    full = pa.full_range && pb->full_range;
  }
  std::string failed;
  if (!scale_picture(*pb, pa.width, pa.height, layout, full, scale, &work->scaled, &failed)) {
    *why = "the second's pictures cannot be scaled from " + std::to_string(pb->width) + "x" +
           std::to_string(pb->height) + " to " + std::to_string(pa.width) + "x" +
           std::to_string(pa.height) + ": " + failed;
    return failed == "out of memory" ? PairStatus::kOutOfMemory : PairStatus::kUnsupported;
  }
  if (layout != pb->layout || full != pb->full_range) formed->resampled |= 2;
  *pb = work->scaled.picture;
  formed->scaled = true;
  return PairStatus::kFormed;
}

}  // namespace

PairStatus form_pair(const Frame& a, const Frame& b, PairWork* work, FormedPair* out,
                     std::string* why, ScaleFilter scale, int depth) {
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
    PairStatus s = as_picture(a, &pa, why);
    if (s != PairStatus::kFormed) return s;
    s = as_picture(b, &pb, why);
    if (s != PairStatus::kFormed) return s;
    const int32_t own_width = pb.width, own_height = pb.height;
    const int own_depth = pb.depth;
    if (pa.width != pb.width || pa.height != pb.height) {
      s = scale_second(pa, &pb, work, &formed, why, scale);
      if (s != PairStatus::kFormed) return s;
    }
    formed.own[0] = pa;
    formed.own[1] = pb;
    s = common_form(&pa, &pb, work, &formed, why, depth);
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
    if (formed.scaled) {
      f.encode_width = own_width;
      f.encode_height = own_height;
    }
    // Only the depth asked for: a shallower encode widened to a deeper reference's depth
    // without it is scored as before, at the common depth.
    if (depth != 0 && (formed.widened & 2)) f.encode_depth = own_depth;
    *out = formed;
    return PairStatus::kFormed;
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return PairStatus::kOutOfMemory;
  }
}

PairStatus rgb_pair(const FormedPair& pair, PictureBuffer rgb[2], Picture out[2], PictureForm* form,
                    std::string* why) {
  const int depth = pair.form.depth > 8 ? 16 : 8;
  for (int i = 0; i < 2; ++i) {
    std::string failed;
    if (!rgb_picture(pair.own[i], depth, &rgb[i], &failed)) {
      *why = "the pictures cannot be converted to RGB: " + failed;
      return failed == "out of memory" ? PairStatus::kOutOfMemory : PairStatus::kUnsupported;
    }
    out[i] = rgb[i].picture;
  }
  PictureForm f = pair.form;
  f.chroma_width = f.width;
  f.chroma_height = f.height;
  f.depth = depth;
  f.layout = ChromaLayout::k444;
  *form = f;
  return PairStatus::kFormed;
}

int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
               double* v_psnr) {
  static const ConverterTable& converters = []() -> const ConverterTable& {
    static ConverterTable table;
    fill_converter_table(&table, detect_cpu_flags());
    return table;
  }();
  static const ErrorSums sums = select_error_sums(detect_cpu_flags());
  BitmapInfoHeader ha, hb;
  if (!read_bitmap_info_header(a.data, a.size, &ha) ||
      !read_bitmap_info_header(b.data, b.size, &hb) || ha.biWidth != hb.biWidth ||
      std::llabs(int64_t(ha.biHeight)) != std::llabs(int64_t(hb.biHeight))) {
    return 0;
  }
  std::vector<uint8_t> buffer[2];
  Picture p[2];
  std::string why;
  if (dib_picture(converters, a, &buffer[0], &p[0], &why) != DibPicture::kMade ||
      dib_picture(converters, b, &buffer[1], &p[1], &why) != DibPicture::kMade) {
    return 0;
  }
  double* out[3] = {y_psnr, u_psnr, v_psnr};
  for (int i = 0; i < 3; ++i) {
    const int32_t w = i ? p[0].chroma_width : p[0].width;
    const int32_t h = i ? p[0].chroma_height : p[0].height;
    const uint64_t sse = plane_squared_error(sums, p[0].plane[i], p[0].pitch[i], p[1].plane[i],
                                             p[1].pitch[i], w, h, 8);
    const uint64_t samples = uint64_t(w) * uint64_t(h);
    // As the psnr metric computes the report's values: luma divides, chroma multiplies by the
    // reciprocal.
    const double mse = i == 0    ? double(sse) / double(samples)
                       : samples ? double(sse) * (1.0 / double(samples))
                                 : 0.0;
    *out[i] = psnr_from_mse(mse);
  }
  return 1;
}

}  // namespace vq
