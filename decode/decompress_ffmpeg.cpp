// The decoder behind the decompressor seam, built on FFmpeg's libraries: libavformat's RIFF
// codec-tag table finds the decoder, libavcodec decodes, libswscale converts pictures that are
// not already 8-bit 4:2:0 YUV or packed RGB.
//
// Pictures are handed out in presentation order, one per chunk ("slot"). Chunks go to the
// decoder in file order; a decoder that reorders (B-frames, packed bitstreams) hands back
// picture p when it is fed the chunk `delay` chunks later, so each decoded picture is placed in
// the slot of the chunk fed `has_b_frames` chunks before the one that brought it out. A slot
// that gets no picture (an empty chunk, a VOP that was not coded) shows the picture before it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "decode/decode.h"
#include "decode/ffmpeg_common.h"
#include "decode/module.h"

namespace vq {
namespace {

constexpr uint32_t kFourccDib = fourcc('D', 'I', 'B', ' ');
// RGB pictures are only repacked.
constexpr int kRgbScaleFlags = SWS_POINT | SWS_BITEXACT | SWS_ACCURATE_RND;

// The decoder libavcodec has for a RIFF video fourcc, or null.
const AVCodec* decoder_for_tag(uint32_t tag) {
  if (tag == 0) return nullptr;
  const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
  const AVCodecID id = av_codec_get_id(tables, tag);
  if (id == AV_CODEC_ID_NONE) return nullptr;
  return avcodec_find_decoder(id);
}

// A picture in the slot it belongs to.
struct Slotted {
  FramePtr frame;
  int32_t slot = -1;
  bool held() const { return slot >= 0; }
};

class FfmpegDecompressor final : public Decompressor {
 public:
  FfmpegDecompressor(PacketSource* packets, CodecContextPtr ctx, FramePtr last, FramePtr pending,
                     FramePtr scratch, PacketPtr packet)
      : packets_(packets),
        ctx_(std::move(ctx)),
        packet_(std::move(packet)),
        scratch_(std::move(scratch)) {
    last_.frame = std::move(last);
    pending_.frame = std::move(pending);
  }

  int get_frame(int32_t index, Frame* out) override;

 private:
  void restart(int32_t chunk);
  int32_t keyframe_at_or_before(int32_t index) const;
  // A keyframe in (first, last]: a jump to `last` is then quicker from there.
  bool keyframe_between(int32_t first, int32_t last) const;
  // Decodes until slot `index` can be handed out; the picture that shows there, or null.
  const AVFrame* picture_for(int32_t index);
  // Takes the next picture out of the decoder into pending_: 1 got one, 0 the decoder needs
  // input, -1 the decoder is drained, -2 a decode error.
  int receive();
  // Feeds the next chunk, or the end of the stream. 1 when fed, 0 on error.
  int feed();

  PacketSource* packets_;
  CodecContextPtr ctx_;
  PacketPtr packet_;
  FramePtr scratch_;  // swscale's 4:2:0 output
  SwsPtr sws_;        // RGB pictures to a DIB
  SwsPtr yuv_sws_;    // YUV pictures to studio-range 4:2:0, made for the form below
  int32_t yuv_w_ = 0, yuv_h_ = 0;
  AVPixelFormat yuv_from_ = AV_PIX_FMT_NONE;
  bool yuv_full_ = false;
  std::unique_ptr<uint8_t[]> dib_;  // an RGB picture as a packed DIB frame
  size_t dib_capacity_ = 0;
  std::vector<uint8_t> chunk_;

  bool active_ = false;     // the decoder's state belongs to the fetches so far
  int32_t start_ = 0;       // the chunk the last restart began at
  int32_t next_chunk_ = 0;  // the next chunk to feed
  bool draining_ = false;   // the end of the stream has been signalled
  bool drained_ = false;    // ... and every picture has come out
  bool fed_since_output_ = false;
  std::deque<int32_t> fed_;  // chunks fed whose slots have no picture assigned yet
  Slotted last_;             // the latest picture at or before the slot last asked for
  Slotted pending_;          // a picture for a later slot
};

void FfmpegDecompressor::restart(int32_t chunk) {
  avcodec_flush_buffers(ctx_.get());
  av_frame_unref(last_.frame.get());
  av_frame_unref(pending_.frame.get());
  last_.slot = -1;
  pending_.slot = -1;
  fed_.clear();
  start_ = chunk;
  next_chunk_ = chunk;
  draining_ = false;
  drained_ = false;
  fed_since_output_ = false;
  active_ = true;
}

bool FfmpegDecompressor::keyframe_between(int32_t first, int32_t last) const {
  for (int32_t i = last; i > first; --i) {
    if (packets_->is_keyframe(i)) return true;
  }
  return false;
}

int32_t FfmpegDecompressor::keyframe_at_or_before(int32_t index) const {
  for (int32_t i = index; i > 0; --i) {
    if (packets_->is_keyframe(i)) return i;
  }
  return 0;
}

int FfmpegDecompressor::receive() {
  const int r = avcodec_receive_frame(ctx_.get(), pending_.frame.get());
  if (r == AVERROR(EAGAIN)) return 0;
  if (r == AVERROR_EOF) return -1;
  if (r < 0) return -2;
  // Placing the picture: fed right after a chunk, the decoder gives back the picture of the
  // chunk `delay` places before it; pictures it never gave back (skipped) leave their slots
  // empty. While draining, the held pictures come out in the order their chunks were fed.
  if (fed_since_output_ && !draining_) {
    const size_t delay = size_t(std::max(ctx_->has_b_frames, 0));
    while (fed_.size() > delay + 1)
      fed_.pop_front();
  }
  fed_since_output_ = false;
  if (fed_.empty()) {
    // More pictures than chunks fed: the decoder's delay grew. Place it right after the last.
    const int32_t after = std::max(last_.slot, start_ - 1) + 1;
    pending_.slot = std::min(after, packets_->packet_count() - 1);
  } else {
    pending_.slot = fed_.front();
    fed_.pop_front();
  }
  return 1;
}

int FfmpegDecompressor::feed() {
  const int32_t count = packets_->packet_count();
  while (next_chunk_ < count) {
    const int32_t chunk = next_chunk_++;
    if (!packets_->read_packet(chunk, &chunk_)) return 0;
    const size_t size = chunk_.size();
    if (size == 0) continue;  // a dropped frame: its slot repeats the picture before it
    if (size > size_t(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) return 0;
    chunk_.resize(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memset(chunk_.data() + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_packet_unref(packet_.get());
    packet_->data = chunk_.data();
    packet_->size = int(size);
    packet_->pts = chunk;
    packet_->dts = chunk;
    packet_->flags = packets_->is_keyframe(chunk) ? AV_PKT_FLAG_KEY : 0;
    const int r = avcodec_send_packet(ctx_.get(), packet_.get());
    packet_->data = nullptr;
    packet_->size = 0;
    if (r < 0) return 0;
    fed_.push_back(chunk);
    fed_since_output_ = true;
    return 1;
  }
  draining_ = true;
  const int r = avcodec_send_packet(ctx_.get(), nullptr);
  return r >= 0 || r == AVERROR_EOF ? 1 : 0;
}

const AVFrame* FfmpegDecompressor::picture_for(int32_t index) {
  // Sequential reading goes on where it is; a jump backwards, or forwards past a keyframe that
  // has not been fed yet, restarts at the nearest keyframe at or before the slot.
  const int32_t reached = last_.held() ? last_.slot : start_;
  const bool in_hand = pending_.held() && pending_.slot >= index;
  if (!active_ || index < reached || (!in_hand && keyframe_between(next_chunk_, index))) {
    restart(keyframe_at_or_before(index));
  }
  for (;;) {
    if (pending_.held() && pending_.slot <= index) {
      std::swap(last_, pending_);
      av_frame_unref(pending_.frame.get());
      pending_.slot = -1;
    }
    if (last_.held() && last_.slot == index) return last_.frame.get();
    if (pending_.held() || drained_) {
      // Slot `index` has no picture of its own: it shows the one before it, when decoding
      // from this keyframe produced one; otherwise its picture needs an earlier keyframe (a
      // picture shown before the keyframe but stored after it).
      if (last_.held()) return last_.frame.get();
      if (start_ == 0) return nullptr;
      restart(keyframe_at_or_before(start_ - 1));
      continue;
    }
    const int got = receive();
    if (got == -2) break;
    if (got == -1) {
      drained_ = true;
      continue;
    }
    if (got == 1) continue;
    if (draining_ || !feed()) break;
  }
  active_ = false;  // an error: the next fetch starts afresh
  return nullptr;
}

void copy_plane(uint8_t* dst, ptrdiff_t dst_pitch, const uint8_t* src, ptrdiff_t src_pitch,
                size_t row_bytes, int rows) {
  for (int r = 0; r < rows; ++r) {
    std::memcpy(dst + r * dst_pitch, src + r * src_pitch, row_bytes);
  }
}

bool is_rgb(AVPixelFormat format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  return d != nullptr && (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
}

bool has_alpha(AVPixelFormat format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  return d != nullptr && (d->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

int FfmpegDecompressor::get_frame(int32_t index, Frame* out) {
  if (out == nullptr || index < 0 || index >= packets_->packet_count()) return 0;
  const AVFrame* pic = picture_for(index);
  if (pic == nullptr) return 0;

  const int32_t w = pic->width;
  const int32_t h = pic->height;
  const auto format = AVPixelFormat(pic->format);
  if (w < 1 || h < 1 || int64_t(w) * h > (int64_t(1) << 28)) return 0;

  if (is_rgb(format)) {
    // RGB pictures: a top-down DIB of 24 or 32 bits, rows padded to 4 bytes, which the
    // converter table takes to 4:2:0 as it does raw frames.
    const bool direct24 = format == AV_PIX_FMT_BGR24;
    const bool direct32 = format == AV_PIX_FMT_BGRA || format == AV_PIX_FMT_BGR0;
    const bool wide = direct32 || (!direct24 && has_alpha(format));
    const int bpp = wide ? 4 : 3;
    const size_t pitch = (size_t(w) * bpp + 3) & ~size_t(3);
    const size_t bytes = pitch * size_t(h);
    const size_t size = kBitmapInfoHeaderSize + bytes;
    if (dib_capacity_ < size) {
      dib_.reset();
      dib_capacity_ = 0;
      dib_.reset(new (std::nothrow) uint8_t[size]);
      if (!dib_) return 0;
      dib_capacity_ = size;
    }
    BitmapInfoHeader header;
    header.biWidth = w;
    header.biHeight = -h;
    header.biBitCount = uint16_t(bpp * 8);
    header.biCompression = kBiRgb;
    header.biSizeImage = uint32_t(bytes);
    write_bitmap_info_header(header, dib_.get());
    uint8_t* px = dib_.get() + kBitmapInfoHeaderSize;
    if (direct24 || direct32) {
      copy_plane(px, ptrdiff_t(pitch), pic->data[0], pic->linesize[0], size_t(w) * bpp, h);
    } else {
      const AVPixelFormat to = wide ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
      sws_.reset(sws_getCachedContext(sws_.release(), w, h, format, w, h, to, kRgbScaleFlags,
                                      nullptr, nullptr, nullptr));
      if (!sws_) return 0;
      uint8_t* dst[4] = {px, nullptr, nullptr, nullptr};
      int dst_pitch[4] = {int(pitch), 0, 0, 0};
      if (sws_scale(sws_.get(), pic->data, pic->linesize, 0, h, dst, dst_pitch) != h) return 0;
    }
    *out = Frame{};
    out->dib = DibFrame{dib_.get(), size};
    return 1;
  }

  // YUV pictures: 8-bit studio-range 4:2:0 whose chroma planes are (w/2) x (h/2), the form the
  // AVI path has always measured. 4:2:0 pictures are handed out in the decoder's buffers; other
  // layouts, full-range 4:2:0 and deeper samples go through libswscale first.
  // A full-range picture is tagged so in a plain format too (a 10-bit or 4:2:0 H.264 with its
  // full-range flag): the scaler is made knowing it, or the samples would go through unscaled.
  const AVFrame* src = pic;
  const bool full = full_range(pic);
  if (format != AV_PIX_FMT_YUV420P || full) {
    if (!yuv_sws_ || yuv_w_ != w || yuv_h_ != h || yuv_from_ != format || yuv_full_ != full) {
      yuv_sws_ = make_yuv_scaler(w, h, format, full, AV_PIX_FMT_YUV420P);
      if (!yuv_sws_) return 0;
      yuv_w_ = w;
      yuv_h_ = h;
      yuv_from_ = format;
      yuv_full_ = full;
    }
    AVFrame* s = scratch_.get();
    if (s->width != w || s->height != h || s->format != AV_PIX_FMT_YUV420P) {
      av_frame_unref(s);
      s->width = w;
      s->height = h;
      s->format = AV_PIX_FMT_YUV420P;
      if (av_frame_get_buffer(s, 0) < 0) return 0;
    }
    if (sws_scale(yuv_sws_.get(), pic->data, pic->linesize, 0, h, s->data, s->linesize) != h) {
      return 0;
    }
    src = s;
  }
  Picture p;
  p.width = w;
  p.height = h;
  p.chroma_width = w / 2;
  p.chroma_height = h / 2;
  for (int k = 0; k < 3; ++k) {
    p.plane[k] = src->data[k];
    p.pitch[k] = src->linesize[k];
  }
  *out = Frame{};
  out->picture = p;
  return 1;
}

}  // namespace

std::unique_ptr<Decompressor> open_decompressor(const StreamFormat& stream, PacketSource* packets) {
  BitmapInfoHeader bih;
  if (packets == nullptr || !stream_needs_decoder(stream) ||
      !read_bitmap_info_header(stream.format.data(), stream.format.size(), &bih)) {
    return nullptr;
  }

  // The handler first, then the format's own code: files carry handlers that name no codec,
  // another spelling of it, or none at all.
  const AVCodec* codec = nullptr;
  uint32_t tag = 0;
  if (stream.fcc_handler != 0 && stream.fcc_handler != kFourccDib) {
    codec = decoder_for_tag(stream.fcc_handler);
    tag = stream.fcc_handler;
  }
  const AVCodec* by_format = decoder_for_tag(bih.biCompression);
  if (by_format != nullptr && (codec == nullptr || codec->id == by_format->id)) {
    codec = by_format;
    tag = bih.biCompression;  // the format's code tells the decoder the encoder's quirks
  }
  if (codec == nullptr) return nullptr;

  if (av_log_get_level() > AV_LOG_ERROR)
    av_log_set_level(AV_LOG_ERROR);  // a quieter caller stays quiet
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  FramePtr last(av_frame_alloc());
  FramePtr pending(av_frame_alloc());
  FramePtr scratch(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!ctx || !last || !pending || !scratch || !packet) return nullptr;
  ctx->codec_tag = tag;
  ctx->width = bih.biWidth;
  ctx->height = bih.biHeight < 0 ? -bih.biHeight : bih.biHeight;
  ctx->bits_per_coded_sample = bih.biBitCount;
  // Slice threads only: frame threads would hold pictures back beyond the reordering delay
  // that places them in their slots.
  ctx->thread_type = FF_THREAD_SLICE;
  ctx->thread_count = 0;
  if (stream.format.size() > kBitmapInfoHeaderSize) {
    const size_t extra = stream.format.size() - kBitmapInfoHeaderSize;
    if (extra > size_t(std::numeric_limits<int>::max() - AV_INPUT_BUFFER_PADDING_SIZE)) {
      return nullptr;
    }
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
    if (ctx->extradata == nullptr) return nullptr;
    std::memcpy(ctx->extradata, stream.format.data() + kBitmapInfoHeaderSize, extra);
    ctx->extradata_size = int(extra);
  }
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return std::unique_ptr<Decompressor>(new (std::nothrow) FfmpegDecompressor(
      packets, std::move(ctx), std::move(last), std::move(pending), std::move(scratch),
      std::move(packet)));
}

}  // namespace vq
