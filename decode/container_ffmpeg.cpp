// The container source: the first video stream of any file libavformat opens, decoded by
// libavcodec, picture after picture in the order the decoder gives them.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include "decode/decode.h"
#include "decode/ffmpeg_common.h"

namespace vq {
namespace {

constexpr int64_t kFileMaxPixels = int64_t(1) << 26;    // above 8K UHD
constexpr int64_t kMemoryMaxPixels = int64_t(1) << 24;  // 4096 x 4096
constexpr const char* kFileProbeSize = "5000000";       // bytes read to find the streams
constexpr const char* kMemoryProbeSize = "1000000";
constexpr int kIoBufferSize = 1 << 16;

// The input libavformat reads, at the position its callbacks keep.
struct Input {
  std::unique_ptr<InputFile> file;  // a regular file or bytes in memory
  int64_t size = 0;
  int64_t pos = 0;
  bool failed = false;  // a read of the file failed
};

int read_input(void* opaque, uint8_t* buf, int n) {
  auto* in = static_cast<Input*>(opaque);
  if (n <= 0) return 0;
  if (in->pos >= in->size) return AVERROR_EOF;
  const size_t count = size_t(std::min<int64_t>(n, in->size - in->pos));
  if (!in->file->read_at(uint64_t(in->pos), buf, count)) {
    // The file shrank or could not be read: an error, not the end of the stream.
    in->failed = true;
    return AVERROR(EIO);
  }
  in->pos += int64_t(count);
  return int(count);
}

// Why libavformat could not open the input, in a few words. An MP4 or MOV file (an "ftyp" box
// first) that does not open has lost its index: the moov box that writers put at the end.
std::string unopened_reason(const Input& in) {
  uint8_t head[8] = {0};
  const bool have = in.file->read_at(0, head, sizeof head);
  if (have && std::memcmp(head + 4, "ftyp", 4) == 0) {
    return "its index (moov) is missing: the file was cut or is still being written";
  }
  return "not a video file: neither AVI nor Y4M, nor a container or image FFmpeg's libraries "
         "recognise";
}

int64_t seek_input(void* opaque, int64_t offset, int whence) {
  auto* in = static_cast<Input*>(opaque);
  whence &= ~AVSEEK_FORCE;
  int64_t base = 0;
  switch (whence) {
    case AVSEEK_SIZE:
      return in->size;
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = in->pos;
      break;
    case SEEK_END:
      base = in->size;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (offset > INT64_MAX - base || base + offset < 0) return AVERROR(EINVAL);
  in->pos = base + offset;
  return in->pos;
}

struct IoFree {
  void operator()(AVIOContext* c) const {
    av_freep(&c->buffer);
    avio_context_free(&c);
  }
};
struct FormatFree {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};

// The demuxer and the decoder over an input, from its first byte.
struct Demuxer {
  std::unique_ptr<AVIOContext, IoFree> io;  // outlives the format context that reads it
  std::unique_ptr<AVFormatContext, FormatFree> format;
  CodecContextPtr codec;
  int stream = -1;
};

struct Limits {
  int64_t max_pixels = kFileMaxPixels;
  const char* probe_size = kFileProbeSize;
  int threads = 0;  // 0: as many as libavcodec chooses
};

// Opens `in` from its start. 1 when the first video stream's decoder is open; 0 with *why.
int open_demuxer(Input* in, const Limits& limits, Demuxer* out, std::string* why) {
  out->codec.reset();  // closed in the order they depend on each other
  out->format.reset();
  out->io.reset();
  out->stream = -1;
  in->pos = 0;
  in->failed = false;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return *why = "out of memory", 0;
  out->io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, in, read_input, nullptr, seek_input));
  if (!out->io) {
    av_free(buffer);
    return *why = "out of memory", 0;
  }
  AVFormatContext* f = avformat_alloc_context();
  if (f == nullptr) return *why = "out of memory", 0;
  f->pb = out->io.get();
  AVDictionary* options = nullptr;
  av_dict_set(&options, "probesize", limits.probe_size, 0);
  const int opened = avformat_open_input(&f, nullptr, nullptr, &options);  // frees f on failure
  av_dict_free(&options);
  if (opened < 0) return *why = unopened_reason(*in), 0;
  out->format.reset(f);

  // The decoders that look for the stream parameters are held to the same picture size.
  const unsigned streams = f->nb_streams;
  std::unique_ptr<AVDictionary*[]> per_stream(new (std::nothrow) AVDictionary*[streams + 1]());
  if (!per_stream) return *why = "out of memory", 0;
  const std::string pixels = std::to_string(limits.max_pixels);
  for (unsigned i = 0; i < streams; ++i) {
    av_dict_set(&per_stream[i], "max_pixels", pixels.c_str(), 0);
    av_dict_set(&per_stream[i], "threads", "1", 0);
  }
  const int found = avformat_find_stream_info(f, per_stream.get());
  for (unsigned i = 0; i < streams; ++i)
    av_dict_free(&per_stream[i]);
  if (found < 0) {
    return *why = std::string("a ") + f->iformat->name +
                  " file whose streams FFmpeg's libraries cannot read",
           0;
  }

  for (unsigned i = 0; i < f->nb_streams; ++i) {
    AVStream* s = f->streams[i];
    const bool video = s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                       (s->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
    if (video && out->stream < 0) {
      out->stream = int(i);
    } else {
      s->discard = AVDISCARD_ALL;  // the demuxer skips the other streams' packets
    }
  }
  if (out->stream < 0) {
    // Say what the file holds instead: an audio file, a subtitle file, cover art alone.
    const unsigned n = f->nb_streams;
    return *why = std::string("no video stream: a ") + f->iformat->name + " file of " +
                  std::to_string(n) + (n == 1 ? " stream" : " streams") + ", none of them video",
           0;
  }
  const AVStream* s = f->streams[out->stream];
  // No size after the look for the parameters: every picture it tried to decode was refused,
  // above the limit (the decoder then forgets the size it read) or damaged.
  if (s->codecpar->width < 1 || s->codecpar->height < 1) {
    return *why = "its picture size is unknown: no picture could be decoded (one larger than " +
                  std::to_string(limits.max_pixels) +
                  " samples per plane is refused; --max-pixels=N raises the limit)",
           0;
  }
  // A declared size above the limit is refused here, before the first picture is decoded; the
  // look for the parameters above was already held to it.
  if (int64_t(s->codecpar->width) * s->codecpar->height > limits.max_pixels) {
    return *why = "its pictures (" + std::to_string(s->codecpar->width) + "x" +
                  std::to_string(s->codecpar->height) + ") are larger than " +
                  std::to_string(limits.max_pixels) +
                  " samples per plane; --max-pixels=N raises the limit",
           0;
  }
  const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
  if (codec == nullptr) {
    return *why = std::string("no decoder for codec ") + avcodec_get_name(s->codecpar->codec_id), 0;
  }
  out->codec.reset(avcodec_alloc_context3(codec));
  if (!out->codec) return *why = "out of memory", 0;
  AVCodecContext* c = out->codec.get();
  if (avcodec_parameters_to_context(c, s->codecpar) < 0) return *why = "out of memory", 0;
  c->pkt_timebase = s->time_base;
  c->max_pixels = limits.max_pixels;
  c->thread_count = limits.threads;
  c->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(c, codec, nullptr) < 0) {
    return *why = std::string("cannot open the decoder for codec ") + codec->name, 0;
  }
  return 1;
}

// The stream's frame count as the container states or suggests it.
int32_t estimated_length(const AVFormatContext* f, const AVStream* s, AVRational rate) {
  double frames = 0;
  if (s->nb_frames > 0) {
    frames = double(s->nb_frames);
  } else if (rate.num > 0 && rate.den > 0) {
    if (s->duration != AV_NOPTS_VALUE && s->duration > 0) {
      frames = double(s->duration) * av_q2d(s->time_base) * av_q2d(rate);
    } else if (f->duration != AV_NOPTS_VALUE && f->duration > 0) {
      frames = double(f->duration) / AV_TIME_BASE * av_q2d(rate);
    }
  }
  return frames >= INT32_MAX ? INT32_MAX : int32_t(frames + 0.5);
}

// The sample depth of the planar formats nearest to `bits`.
int nearest_depth(int bits) {
  for (int depth : {8, 9, 10, 12, 14}) {
    if (bits <= depth) return depth;
  }
  return 16;
}

class ContainerSource final : public VideoSource {
 public:
  ContainerSource(std::unique_ptr<Input> input, const Limits& limits)
      : input_(std::move(input)), limits_(limits) {}

  int open(std::string* why);
  const SourceInfo& info() const override { return info_; }
  Fetch get_frame(int32_t index, Frame* out) override;
  std::string reason() const override { return reason_; }

 private:
  // Takes the next picture out of the decoder into frame_, feeding it packets as it asks.
  Fetch decode_next();
  // The picture in frame_ as a picture view: in place, or converted into scratch_.
  Fetch hand_out(Frame* out);

  std::unique_ptr<Input> input_;
  Limits limits_;
  Demuxer demuxer_;
  PacketPtr packet_;
  FramePtr frame_;
  FramePtr scratch_;
  SwsPtr sws_;
  SourceInfo info_;
  std::string reason_;
  int32_t next_ = 0;       // the index of the picture the decoder gives next
  bool held_ = false;      // frame_ holds picture next_ - 1, handed out as current_
  bool flushing_ = false;  // the end of the stream has been signalled to the decoder
  Frame current_;
};

int ContainerSource::open(std::string* why) {
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  scratch_.reset(av_frame_alloc());
  if (!packet_ || !frame_ || !scratch_) return *why = "out of memory", 0;
  if (!open_demuxer(input_.get(), limits_, &demuxer_, why)) return 0;
  const AVFormatContext* f = demuxer_.format.get();
  const AVStream* s = f->streams[demuxer_.stream];
  info_.container = f->iformat->name;
  info_.codec = avcodec_get_name(s->codecpar->codec_id);
  const char* pixel_format = av_get_pix_fmt_name(AVPixelFormat(s->codecpar->format));
  info_.pixel_format = pixel_format != nullptr ? pixel_format : "";
  info_.width = s->codecpar->width;
  info_.height = s->codecpar->height;
  AVRational rate = s->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = s->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    info_.rate_num = rate.num;
    info_.rate_den = rate.den;
  }
  info_.length = estimated_length(f, s, rate);
  info_.length_known = false;
  if (input_->file->regular() && input_->size > 0 && f->duration != AV_NOPTS_VALUE &&
      f->duration > 0) {
    info_.bitrate_kbps = double(input_->size) * 8 / (double(f->duration) / AV_TIME_BASE) / 1000;
  }
  const AVCodecParameters* par = s->codecpar;
  const uint8_t* matrix = av_stream_get_side_data(s, AV_PKT_DATA_DISPLAYMATRIX, nullptr);
  if (matrix != nullptr) {
    // The angle as FFmpeg states it ("displaymatrix: rotation of 90.00 degrees"), from 0 to 359.
    const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    if (!std::isnan(angle)) info_.rotation = int32_t((std::lround(angle) % 360 + 360) % 360);
  }
  if (par->color_primaries != AVCOL_PRI_UNSPECIFIED) {
    info_.color_primaries = av_color_primaries_name(par->color_primaries);
  }
  if (par->color_trc != AVCOL_TRC_UNSPECIFIED) {
    info_.color_transfer = av_color_transfer_name(par->color_trc);
  }
  if (par->color_range != AVCOL_RANGE_UNSPECIFIED) {
    info_.color_range = av_color_range_name(par->color_range);
  } else if (par->format == AV_PIX_FMT_YUVJ420P || par->format == AV_PIX_FMT_YUVJ422P ||
             par->format == AV_PIX_FMT_YUVJ444P) {
    info_.color_range = "pc";
  }
  return 1;
}

Fetch ContainerSource::decode_next() {
  AVCodecContext* c = demuxer_.codec.get();
  for (;;) {
    int r = avcodec_receive_frame(c, frame_.get());
    if (r >= 0) {
      ++next_;
      return Fetch::kFrame;
    }
    if (r == AVERROR_EOF) return Fetch::kEnd;
    if (r == AVERROR(ENOMEM)) return Fetch::kOutOfMemory;
    if (r != AVERROR(EAGAIN)) {
      // A picture the decoder could not make: its place in the stream counts all the same.
      reason_ = "picture " + std::to_string(next_ + 1) + " cannot be decoded";
      ++next_;
      return Fetch::kError;
    }
    if (flushing_) return Fetch::kEnd;
    r = av_read_frame(demuxer_.format.get(), packet_.get());
    if (r < 0 && input_->failed) {
      reason_ = "cannot read the file";
      return Fetch::kError;
    }
    if (r < 0) {
      // The end of the file, or as far as the demuxer can read it: the decoder gives what
      // it holds.
      flushing_ = true;
      (void)avcodec_send_packet(c, nullptr);
      continue;
    }
    if (packet_->stream_index != demuxer_.stream) {
      av_packet_unref(packet_.get());
      continue;
    }
    r = avcodec_send_packet(c, packet_.get());
    av_packet_unref(packet_.get());
    if (r == AVERROR(ENOMEM)) return Fetch::kOutOfMemory;
    if (r < 0 && r != AVERROR(EAGAIN)) {
      reason_ = "picture " + std::to_string(next_ + 1) + " cannot be decoded";
      ++next_;
      return Fetch::kError;
    }
  }
}

Fetch ContainerSource::get_frame(int32_t index, Frame* out) {
  if (out == nullptr || index < 0) return Fetch::kError;
  if (held_ && index == next_ - 1) {
    *out = current_;
    return Fetch::kFrame;
  }
  try {
    if (index < next_ || !demuxer_.codec) {
      // Behind the picture in hand: read again from the first byte.
      held_ = false;
      next_ = 0;
      flushing_ = false;
      av_frame_unref(frame_.get());
      std::string why;
      if (!open_demuxer(input_.get(), limits_, &demuxer_, &why)) {
        reason_ = why;
        return Fetch::kError;
      }
    }
    held_ = false;
    while (next_ <= index) {
      const Fetch got = decode_next();
      if (got == Fetch::kEnd) {
        reason_.clear();
        return got;
      }
      if (got == Fetch::kOutOfMemory) {
        reason_ = "out of memory";
        return got;
      }
      if (got == Fetch::kError && next_ - 1 == index) return got;
    }
    return hand_out(out);
  } catch (const std::bad_alloc&) {
    reason_ = "out of memory";
    return Fetch::kOutOfMemory;
  }
}

Fetch ContainerSource::hand_out(Frame* out) {
  const AVFrame* f = frame_.get();
  const auto format = AVPixelFormat(f->format);
  const int32_t w = f->width;
  const int32_t h = f->height;
  if (w < 1 || h < 1) {
    reason_ = "a picture without size";
    return Fetch::kError;
  }
  Picture p;
  p.width = w;
  p.height = h;
  p.full_range = full_range(f);
  p.matrix = uint8_t(f->colorspace >= 0 && f->colorspace < 256 ? f->colorspace : 2);
  const AVFrame* src = f;
  if (!planar_yuv_form(format, &p.layout, &p.depth)) {
    // Semi-planar and packed YUV keep their chroma layout and depth (to the nearest planar
    // form); RGB and palette pictures become studio-range 4:2:0, the form every comparison
    // reaches, in one conversion as FFmpeg's format filter makes it.
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (d == nullptr) {
      reason_ = "a picture of an unknown pixel format";
      return Fetch::kError;
    }
    const bool yuv =
        (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BAYER)) == 0 &&
        d->nb_components != 2;
    p.layout = !yuv                   ? ChromaLayout::k420
               : d->nb_components < 3 ? ChromaLayout::kGray
               : d->log2_chroma_h > 0 ? ChromaLayout::k420
               : d->log2_chroma_w > 0 ? ChromaLayout::k422
                                      : ChromaLayout::k444;
    p.depth = nearest_depth(d->comp[0].depth);
    p.full_range = yuv && p.full_range;
    const AVPixelFormat to = planar_yuv_format(p.layout, p.depth);
    sws_.reset(sws_getCachedContext(sws_.release(), w, h, format, w, h, to, kYuvScaleFlags, nullptr,
                                    nullptr, nullptr));
    if (!sws_) {
      reason_ = std::string("no conversion from ") + d->name;
      return Fetch::kError;
    }
    // The picture's own matrix on both sides, as FFmpeg's scale filter chooses them.
    const int* coefficients = sws_getCoefficients(f->colorspace);
    sws_setColorspaceDetails(sws_.get(), coefficients, full_range(f) ? 1 : 0, coefficients,
                             p.full_range ? 1 : 0, 0, 1 << 16, 1 << 16);
    // libswscale's coefficients for an RGB picture's matrix (0) are BT.709's: the picture
    // states those, so that a conversion back to RGB takes the same.
    if (f->colorspace == AVCOL_SPC_RGB) p.matrix = AVCOL_SPC_BT709;
    AVFrame* s = scratch_.get();
    if (s->width != w || s->height != h || s->format != to) {
      av_frame_unref(s);
      s->width = w;
      s->height = h;
      s->format = to;
      if (av_frame_get_buffer(s, 0) < 0) {
        reason_ = "out of memory";
        return Fetch::kOutOfMemory;
      }
    }
    if (sws_scale(sws_.get(), f->data, f->linesize, 0, h, s->data, s->linesize) != h) {
      reason_ = std::string("no conversion from ") + d->name;
      return Fetch::kError;
    }
    src = s;
  }
  const PlaneSize c = chroma_size(p.layout, w, h);
  p.chroma_width = c.width;
  p.chroma_height = c.height;
  for (int k = 0; k < (p.layout == ChromaLayout::kGray ? 1 : 3); ++k) {
    p.plane[k] = src->data[k];
    p.pitch[k] = src->linesize[k];
  }
  current_ = Frame{};
  current_.picture = p;
  held_ = true;
  *out = current_;
  return Fetch::kFrame;
}

std::unique_ptr<VideoSource> open_input(std::unique_ptr<Input> input, const Limits& limits,
                                        std::string* why) {
  std::string reason;
  if (av_log_get_level() > AV_LOG_ERROR)
    av_log_set_level(AV_LOG_ERROR);  // a quieter caller stays quiet
  std::unique_ptr<ContainerSource> source(new (std::nothrow)
                                              ContainerSource(std::move(input), limits));
  if (!source) reason = "out of memory";
  if (source && !source->open(&reason)) source.reset();
  if (!source && why != nullptr) *why = reason;
  return source;
}

}  // namespace

std::unique_ptr<VideoSource> open_container(std::unique_ptr<InputFile> file, std::string* why,
                                            int64_t max_pixels) {
  try {
    if (!file || !file->regular()) {
      if (why != nullptr) *why = "not a regular file";
      return nullptr;
    }
    std::unique_ptr<Input> input(new Input);
    input->size = int64_t(std::min<uint64_t>(file->size(), INT64_MAX));
    input->file = std::move(file);
    Limits limits;
    limits.max_pixels = max_pixels;
    return open_input(std::move(input), limits, why);
  } catch (const std::bad_alloc&) {
    if (why != nullptr) *why = "out of memory";
    return nullptr;
  }
}

std::unique_ptr<VideoSource> open_container(const char* path, std::string* why,
                                            int64_t max_pixels) {
  std::unique_ptr<InputFile> file;
  std::string reason;
  if (path == nullptr || open_input_file(path, &file, &reason) != OpenStatus::kOpened) {
    if (why != nullptr) *why = path == nullptr ? "no such file" : reason;
    return nullptr;
  }
  return open_container(std::move(file), why, max_pixels);
}

std::unique_ptr<VideoSource> open_container_memory(const uint8_t* data, size_t size,
                                                   std::string* why) {
  try {
    std::unique_ptr<Input> input(new Input);
    input->file.reset(new InputFile("memory", data, data != nullptr ? size : 0));
    input->size = int64_t(input->file->size());
    return open_input(std::move(input), Limits{kMemoryMaxPixels, kMemoryProbeSize, 1}, why);
  } catch (const std::bad_alloc&) {
    if (why != nullptr) *why = "out of memory";
    return nullptr;
  }
}

}  // namespace vq
