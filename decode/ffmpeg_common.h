// What the FFmpeg builds of decode/ share: handle owners, the scaler flags, and the picture view
// of a decoded frame. Private to decode/.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "video/video.h"

namespace vq {

// YUV chroma is resampled the way FFmpeg's own filters do it, rounded bit-exactly.
inline constexpr int kYuvScaleFlags = SWS_BICUBIC | SWS_BITEXACT | SWS_ACCURATE_RND;

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;

// A scaler of w x h pictures from `from` to `to`, each full range or studio range, BT.601,
// bicubic and bit-exact, with the ranges known before it is initialised. Null when libswscale
// refuses it.
SwsPtr make_yuv_scaler(int w, int h, AVPixelFormat from, bool from_full_range, AVPixelFormat to,
                       bool to_full_range = false);

// The planar YUV form of `format` as a picture describes it: each of Y, U, V in a plane of its
// own, samples of 8 bits or 16-bit little-endian words of 9 to 16 bits, chroma subsampled as
// 4:2:0, 4:2:2 or 4:4:4, or gray. False for every other form (packed, semi-planar, big-endian,
// RGB, palette, float, hardware).
bool planar_yuv_form(AVPixelFormat format, ChromaLayout* layout, int* depth);

// The pixel format of planar YUV `layout` samples of `depth` bits (8, 9, 10, 12, 14, 16), or
// AV_PIX_FMT_NONE.
AVPixelFormat planar_yuv_format(ChromaLayout layout, int depth);

// Whether a decoded frame's samples are full range (JPEG), by its range tag or its "J" format.
bool full_range(const AVFrame* frame);

}  // namespace vq
