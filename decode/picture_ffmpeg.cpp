// Picture forms and conversions through libswscale.
#include <climits>
#include <cstring>
#include <initializer_list>
#include <new>

#include "decode/decode.h"
#include "decode/ffmpeg_common.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace vq {

bool planar_yuv_form(AVPixelFormat format, ChromaLayout* layout, int* depth) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  if (d == nullptr) return false;
  constexpr uint64_t kNotYuv = AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE |
                               AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                               AV_PIX_FMT_FLAG_BAYER | AV_PIX_FMT_FLAG_FLOAT;
  if ((d->flags & kNotYuv) != 0) return false;
  const int components = d->nb_components >= 3 ? 3 : 1;  // an alpha plane is left aside
  if (d->nb_components == 2) return false;               // gray with alpha, packed
  const int bits = d->comp[0].depth;
  if (bits < 8 || bits > 16) return false;
  const int bytes = sample_bytes(bits);
  for (int c = 0; c < components; ++c) {
    const AVComponentDescriptor& k = d->comp[c];
    if (k.plane != c || k.step != bytes || k.offset != 0 || k.shift != 0 || k.depth != bits) {
      return false;
    }
  }
  if (components == 1) {
    *layout = ChromaLayout::kGray;
  } else if (d->log2_chroma_w == 1 && d->log2_chroma_h == 1) {
    *layout = ChromaLayout::k420;
  } else if (d->log2_chroma_w == 1 && d->log2_chroma_h == 0) {
    *layout = ChromaLayout::k422;
  } else if (d->log2_chroma_w == 0 && d->log2_chroma_h == 0) {
    *layout = ChromaLayout::k444;
  } else {
    return false;  // 4:1:1, 4:4:0, 4:1:0
  }
  *depth = bits;
  return true;
}

AVPixelFormat planar_yuv_format(ChromaLayout layout, int depth) {
  static constexpr AVPixelFormat kFormats[4][6] = {
      {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P9LE, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV420P12LE,
       AV_PIX_FMT_YUV420P14LE, AV_PIX_FMT_YUV420P16LE},
      {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV422P9LE, AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV422P12LE,
       AV_PIX_FMT_YUV422P14LE, AV_PIX_FMT_YUV422P16LE},
      {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV444P9LE, AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUV444P12LE,
       AV_PIX_FMT_YUV444P14LE, AV_PIX_FMT_YUV444P16LE},
      {AV_PIX_FMT_GRAY8, AV_PIX_FMT_GRAY9LE, AV_PIX_FMT_GRAY10LE, AV_PIX_FMT_GRAY12LE,
       AV_PIX_FMT_GRAY14LE, AV_PIX_FMT_GRAY16LE},
  };
  int column = -1;
  switch (depth) {
    case 8:
      column = 0;
      break;
    case 9:
      column = 1;
      break;
    case 10:
      column = 2;
      break;
    case 12:
      column = 3;
      break;
    case 14:
      column = 4;
      break;
    case 16:
      column = 5;
      break;
    default:
      return AV_PIX_FMT_NONE;
  }
  return kFormats[int(layout)][column];
}

bool full_range(const AVFrame* frame) {
  switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return frame->color_range == AVCOL_RANGE_JPEG;
  }
}

namespace {

// An option of a libswscale context, set by name.
struct SwsOption {
  const char* name;
  int64_t value;
};

// A libswscale context from w x h `from` pictures to dw x dh `to` ones, each range given, with
// `more` options set besides. `param` are the filter's parameters, NaN where libswscale's
// defaults stand.
SwsPtr make_sws(int w, int h, AVPixelFormat from, bool from_full, int dw, int dh, AVPixelFormat to,
                bool to_full, int flags, const double (&param)[2] = {NAN, NAN},
                std::initializer_list<SwsOption> more = {}) {
  SwsPtr sws(sws_alloc_context());
  if (!sws) return sws;
  const SwsOption options[] = {{"srcw", w},
                               {"srch", h},
                               {"src_format", from},
                               {"dstw", dw},
                               {"dsth", dh},
                               {"dst_format", to},
                               {"sws_flags", flags},
                               {"src_range", from_full ? 1 : 0},
                               {"dst_range", to_full ? 1 : 0}};
  for (const auto& o : options) {
    if (av_opt_set_int(sws.get(), o.name, o.value, 0) < 0) return SwsPtr();
  }
  for (const auto& o : more) {
    if (av_opt_set_int(sws.get(), o.name, o.value, 0) < 0) return SwsPtr();
  }
  for (int i = 0; i < 2; ++i) {
    if (std::isnan(param[i])) continue;
    if (av_opt_set_double(sws.get(), i ? "param1" : "param0", param[i], 0) < 0) return SwsPtr();
  }
  if (sws_init_context(sws.get(), nullptr, nullptr) < 0) return SwsPtr();
  return sws;
}

}  // namespace

SwsPtr make_yuv_scaler(int w, int h, AVPixelFormat from, bool from_full_range, AVPixelFormat to,
                       bool to_full_range) {
  return make_sws(w, h, from, from_full_range, w, h, to, to_full_range, kYuvScaleFlags);
}

// What a converter or scaler was made for: it is kept while pictures keep coming in that form.
struct ScalerKey {
  int w = 0, h = 0;
  int dw = 0, dh = 0;  // a scaler's output size (0 for a converter of one size)
  AVPixelFormat from = AV_PIX_FMT_NONE, to = AV_PIX_FMT_NONE;
  bool full_range = false;  // the input's range
  bool keep_range = false;  // whether the output is full range
  ScaleFilter filter = ScaleFilter::kNone;
  uint8_t matrix = 0;  // an RGB conversion's matrix
  bool operator==(const ScalerKey&) const = default;
};

struct PictureBuffer::State {
  std::unique_ptr<uint8_t[]> block;
  size_t capacity = 0;
  SwsPtr sws;
  ScalerKey key;
  // The packed RGB rows libswscale writes before an RGB conversion parts them into planes.
  std::unique_ptr<uint8_t[]> packed;
  size_t packed_capacity = 0;
};

void PictureBuffer::StateDeleter::operator()(State* s) const {
  delete s;
}
PictureBuffer::PictureBuffer() = default;
PictureBuffer::~PictureBuffer() = default;

namespace {

constexpr int64_t kMostSamples = int64_t(1) << 28;

int fail(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return 0;
}

ptrdiff_t aligned(size_t bytes) {
  return ptrdiff_t((bytes + 63) & ~size_t(63));
}

// What both conversions ask of their input: a size libswscale takes, chroma planes of its
// layout's size, and every plane there with a pitch that fits an int.
int check_input(const Picture& in, std::string* why) {
  if (in.width < 1 || in.height < 1 || int64_t(in.width) * in.height > kMostSamples) {
    return fail(why, "bad picture size");
  }
  const PlaneSize c = chroma_size(in.layout, in.width, in.height);
  if (in.chroma_width != c.width || in.chroma_height != c.height) {
    return fail(why, "its chroma planes are smaller than its layout's (an odd size read from AVI)");
  }
  for (int p = 0; p < (in.layout == ChromaLayout::kGray ? 1 : 3); ++p) {
    if (in.plane[p] == nullptr || in.pitch[p] > INT_MAX || in.pitch[p] < -INT_MAX) {
      return fail(why, "bad picture planes");
    }
  }
  return 1;
}

// Runs the state's scaler from `in` into its block, made room for `layout` pictures of w x h
// samples of `depth` bits (luma, then the two chroma planes, each row 64-byte aligned), and
// points the planes of *p there. 0 when libswscale gives fewer rows; std::bad_alloc when there
// is no room.
int scale_into_block(PictureBuffer::State& s, const Picture& in, ChromaLayout layout, int32_t w,
                     int32_t h, int depth, Picture* p) {
  const PlaneSize c = chroma_size(layout, w, h);
  const size_t bytes = size_t(sample_bytes(depth));
  const ptrdiff_t luma_pitch = aligned(size_t(w) * bytes);
  const ptrdiff_t chroma_pitch = aligned(size_t(c.width) * bytes);
  const size_t need =
      size_t(luma_pitch) * size_t(h) + 2 * size_t(chroma_pitch) * size_t(c.height) + 64;
  if (s.capacity < need) {
    s.block.reset();
    s.capacity = 0;
    s.block.reset(new uint8_t[need]);
    s.capacity = need;
  }
  uint8_t* base = s.block.get() + ((64 - uintptr_t(s.block.get()) % 64) % 64);
  uint8_t* dst[4] = {base, nullptr, nullptr, nullptr};
  int dst_pitch[4] = {int(luma_pitch), 0, 0, 0};
  if (layout != ChromaLayout::kGray) {
    dst[1] = base + luma_pitch * h;
    dst[2] = dst[1] + chroma_pitch * c.height;
    dst_pitch[1] = dst_pitch[2] = int(chroma_pitch);
  }
  const bool chroma = in.layout != ChromaLayout::kGray;
  const uint8_t* src[4] = {in.plane[0], chroma ? in.plane[1] : nullptr,
                           chroma ? in.plane[2] : nullptr, nullptr};
  const int src_pitch[4] = {int(in.pitch[0]), chroma ? int(in.pitch[1]) : 0,
                            chroma ? int(in.pitch[2]) : 0, 0};
  if (sws_scale(s.sws.get(), src, src_pitch, 0, in.height, dst, dst_pitch) != h) return 0;
  for (int k = 0; k < 3; ++k) {
    p->plane[k] = dst[k];
    p->pitch[k] = dst_pitch[k];
  }
  return 1;
}

}  // namespace

int convert_picture(const Picture& in, ChromaLayout layout, int depth, PictureBuffer* out,
                    std::string* why, bool keep_range) {
  if (out == nullptr) return 0;
  if (picture_in_form(in, layout, depth, keep_range)) {
    out->picture = in;
    return 1;
  }
  // libswscale leaves gray samples in their range when the result is gray too; on the way to
  // 4:2:0 of the same depth it converts the range, so full-range gray goes there and its luma is
  // kept.
  const bool gray_range = layout == ChromaLayout::kGray && in.full_range && !keep_range;
  const ChromaLayout made = gray_range ? ChromaLayout::k420 : layout;
  const AVPixelFormat from = planar_yuv_format(in.layout, in.depth);
  const AVPixelFormat to = planar_yuv_format(made, depth);
  if (from == AV_PIX_FMT_NONE || to == AV_PIX_FMT_NONE) {
    return fail(why, "no conversion for samples of that depth");
  }
  if (!check_input(in, why)) return 0;
  const int32_t w = in.width;
  const int32_t h = in.height;
  try {
    if (!out->state) out->state.reset(new PictureBuffer::State);
    PictureBuffer::State& s = *out->state;
    // The source's range is set before the context is initialised: libswscale picks its road
    // then, and between two formats of one layout and depth it picks a plain copy unless it
    // already knows the ranges differ (set afterwards, the full-range samples went through
    // untouched). The result is studio range unless the range is kept, BT.601 coefficients as
    // libswscale's filters use by default.
    const bool full_out = in.full_range && keep_range;
    const ScalerKey key{.w = w,
                        .h = h,
                        .from = from,
                        .to = to,
                        .full_range = in.full_range,
                        .keep_range = full_out};
    if (!s.sws || !(s.key == key)) {
      s.sws = make_yuv_scaler(w, h, from, in.full_range, to, full_out);
      if (!s.sws) return fail(why, "libswscale cannot convert it");
      s.key = key;
    }
    Picture p;
    p.layout = layout;
    p.depth = depth;
    p.full_range = full_out;
    p.matrix = in.matrix;
    p.width = w;
    p.height = h;
    const PlaneSize c = chroma_size(made, w, h);
    p.chroma_width = gray_range ? 0 : c.width;
    p.chroma_height = gray_range ? 0 : c.height;
    if (!scale_into_block(s, in, made, w, h, depth, &p)) {
      return fail(why, "libswscale cannot convert it");
    }
    out->picture = p;
    return 1;
  } catch (const std::bad_alloc&) {
    return fail(why, "out of memory");
  }
}

namespace {

// libswscale's flags for a filter, as FFmpeg's scale filter passes them when its flags name the
// filter and the flags it adds.
int scale_flags(const ScaleFilter& filter) {
  int flags = 0;
  switch (filter.kind) {
    case ScaleKind::kBicubic:
      flags = SWS_BICUBIC;
      break;
    case ScaleKind::kBilinear:
      flags = SWS_BILINEAR;
      break;
    case ScaleKind::kLanczos:
      flags = SWS_LANCZOS;
      break;
    case ScaleKind::kNeighbor:
      flags = SWS_POINT;
      break;
    case ScaleKind::kNone:
      return 0;
  }
  if (filter.flags & kScaleAccurateRnd) flags |= SWS_ACCURATE_RND;
  if (filter.flags & kScaleFullChromaInt) flags |= SWS_FULL_CHR_H_INT;
  if (filter.flags & kScaleFullChromaInp) flags |= SWS_FULL_CHR_H_INP;
  if (filter.flags & kScaleBitexact) flags |= SWS_BITEXACT;
  return flags;
}

}  // namespace

int scale_picture(const Picture& in, int32_t width, int32_t height, ChromaLayout layout,
                  bool full_range, ScaleFilter filter, PictureBuffer* out, std::string* why) {
  if (out == nullptr) return 0;
  if (filter == ScaleFilter::kNone) return fail(why, "no scale filter");
  if (in.layout == ChromaLayout::kGray && layout != ChromaLayout::kGray) {
    return fail(why, "a gray picture has no chroma to scale");
  }
  const AVPixelFormat from = planar_yuv_format(in.layout, in.depth);
  const AVPixelFormat to = planar_yuv_format(layout, in.depth);
  if (from == AV_PIX_FMT_NONE || to == AV_PIX_FMT_NONE) {
    return fail(why, "no scaler for samples of that depth");
  }
  if (width < 1 || height < 1 || int64_t(width) * height > kMostSamples) {
    return fail(why, "bad picture size");
  }
  if (!check_input(in, why)) return 0;
  const int32_t w = in.width, h = in.height;
  try {
    if (!out->state) out->state.reset(new PictureBuffer::State);
    PictureBuffer::State& s = *out->state;
    const ScalerKey key{.w = w,
                        .h = h,
                        .dw = width,
                        .dh = height,
                        .from = from,
                        .to = to,
                        .full_range = in.full_range,
                        .keep_range = full_range,
                        .filter = filter};
    if (!s.sws || !(s.key == key)) {
      s.sws = make_sws(w, h, from, in.full_range, width, height, to, full_range,
                       scale_flags(filter), filter.param);
      if (!s.sws) return fail(why, "libswscale cannot scale it");
      s.key = key;
    }
    Picture p = in;
    p.layout = layout;
    p.full_range = full_range;
    p.width = width;
    p.height = height;
    const PlaneSize c = chroma_size(layout, width, height);
    p.chroma_width = c.width;
    p.chroma_height = c.height;
    if (!scale_into_block(s, in, layout, width, height, in.depth, &p)) {
      return fail(why, "libswscale cannot scale it");
    }
    out->picture = p;
    return 1;
  } catch (const std::bad_alloc&) {
    return fail(why, "out of memory");
  }
}

namespace {

// The coefficients FFmpeg's scale filter converts a picture of matrix `matrix` with: the
// matrix's own where libswscale has them, BT.601's where the stream states none or one it lacks.
const int* rgb_coefficients(int matrix) {
  if (matrix < AVCOL_SPC_BT709 || matrix > AVCOL_SPC_BT2020_CL || matrix == AVCOL_SPC_YCGCO) {
    matrix = AVCOL_SPC_BT470BG;
  }
  return sws_getCoefficients(matrix);
}

// A converter of w x h `from` pictures to packed `to` RGB as the scale filter FFmpeg's CLI
// inserts makes it: bicubic, the options that filter sets (8-bit 4:2:0 chroma sited as MPEG-2
// places it), studio range at initialisation (libswscale's default), and then the picture's
// matrix and range laid over the details libswscale chose.
SwsPtr make_rgb_converter(int w, int h, AVPixelFormat from, AVPixelFormat to, int matrix,
                          bool full_range) {
  SwsPtr sws = make_sws(w, h, from, false, w, h, to, false, SWS_BICUBIC, {NAN, NAN},
                        {{"src_v_chr_pos", from == AV_PIX_FMT_YUV420P ? 128 : -513}});
  if (!sws) return sws;
  int* inverse = nullptr;
  int* table = nullptr;
  int src_full = 0, dst_full = 0, brightness = 0, contrast = 0, saturation = 0;
  if (sws_getColorspaceDetails(sws.get(), &inverse, &src_full, &table, &dst_full, &brightness,
                               &contrast, &saturation) < 0) {
    return SwsPtr();
  }
  const int* coefficients = rgb_coefficients(matrix);
  if (sws_setColorspaceDetails(sws.get(), coefficients, full_range ? 1 : src_full, coefficients,
                               dst_full, brightness, contrast, saturation) < 0) {
    return SwsPtr();
  }
  return sws;
}

}  // namespace

int rgb_picture(const Picture& in, int depth, PictureBuffer* out, std::string* why) {
  if (out == nullptr) return 0;
  if (depth != 8 && depth != 16) return fail(why, "RGB samples are of 8 or 16 bits");
  if (in.depth > 8 && depth == 8) return fail(why, "a picture deeper than 8 bits needs 16-bit RGB");
  const AVPixelFormat from = planar_yuv_format(in.layout, in.depth);
  if (from == AV_PIX_FMT_NONE) return fail(why, "no conversion for samples of that depth");
  if (!check_input(in, why)) return 0;
  // 8-bit pictures as rgb24, deeper ones as big-endian rgb48: the forms the PNG holds.
  const bool wide = in.depth > 8;
  const AVPixelFormat to = wide ? AV_PIX_FMT_RGB48BE : AV_PIX_FMT_RGB24;
  const int32_t w = in.width;
  const int32_t h = in.height;
  try {
    if (!out->state) out->state.reset(new PictureBuffer::State);
    PictureBuffer::State& s = *out->state;
    const ScalerKey key{
        .w = w, .h = h, .from = from, .to = to, .full_range = in.full_range, .matrix = in.matrix};
    if (!s.sws || !(s.key == key)) {
      s.sws = make_rgb_converter(w, h, from, to, in.matrix, in.full_range);
      if (!s.sws) return fail(why, "libswscale cannot convert it to RGB");
      s.key = key;
    }
    const size_t in_bytes = wide ? 2 : 1;
    const ptrdiff_t packed_pitch = aligned(size_t(w) * 3 * in_bytes);
    const size_t packed_need = size_t(packed_pitch) * size_t(h) + 64;
    if (s.packed_capacity < packed_need) {
      s.packed.reset();
      s.packed_capacity = 0;
      s.packed.reset(new uint8_t[packed_need]);
      s.packed_capacity = packed_need;
    }
    const size_t out_bytes = depth > 8 ? 2 : 1;
    const ptrdiff_t plane_pitch = aligned(size_t(w) * out_bytes);
    const size_t need = 3 * size_t(plane_pitch) * size_t(h) + 64;
    if (s.capacity < need) {
      s.block.reset();
      s.capacity = 0;
      s.block.reset(new uint8_t[need]);
      s.capacity = need;
    }
    uint8_t* packed = s.packed.get() + ((64 - uintptr_t(s.packed.get()) % 64) % 64);
    uint8_t* const dst[4] = {packed, nullptr, nullptr, nullptr};
    const int dst_pitch[4] = {int(packed_pitch), 0, 0, 0};
    const bool chroma = in.layout != ChromaLayout::kGray;
    const uint8_t* src[4] = {in.plane[0], chroma ? in.plane[1] : nullptr,
                             chroma ? in.plane[2] : nullptr, nullptr};
    const int src_pitch[4] = {int(in.pitch[0]), chroma ? int(in.pitch[1]) : 0,
                              chroma ? int(in.pitch[2]) : 0, 0};
    if (sws_scale(s.sws.get(), src, src_pitch, 0, h, dst, dst_pitch) != h) {
      return fail(why, "libswscale cannot convert it to RGB");
    }
    Picture p;
    p.layout = ChromaLayout::k444;
    p.depth = depth;
    p.full_range = true;
    p.matrix = 0;  // RGB
    p.width = p.chroma_width = w;
    p.height = p.chroma_height = h;
    uint8_t* base = s.block.get() + ((64 - uintptr_t(s.block.get()) % 64) % 64);
    for (int c = 0; c < 3; ++c) {
      p.plane[c] = base + c * plane_pitch * h;
      p.pitch[c] = plane_pitch;
    }
    // The packed samples parted into planes of little-endian words (big-endian ones swapped)
    // or bytes; a byte v widened to a word is v * 257, both its bytes v (v / 255 equals
    // 257v / 65535).
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = packed + y * packed_pitch;
      for (int c = 0; c < 3; ++c) {
        uint8_t* o = base + c * plane_pitch * h + y * plane_pitch;
        if (wide) {
          for (int32_t x = 0; x < w; ++x) {
            o[2 * x] = row[6 * x + 2 * c + 1];
            o[2 * x + 1] = row[6 * x + 2 * c];
          }
        } else if (depth > 8) {
          for (int32_t x = 0; x < w; ++x)
            o[2 * x] = o[2 * x + 1] = row[3 * x + c];
        } else {
          for (int32_t x = 0; x < w; ++x)
            o[x] = row[3 * x + c];
        }
      }
    }
    out->picture = p;
    return 1;
  } catch (const std::bad_alloc&) {
    return fail(why, "out of memory");
  }
}

}  // namespace vq
