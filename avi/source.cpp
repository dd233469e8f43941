// The AVI source: the container reader's chunks (or a decoder's output) as the frames of the
// source seam, raw frames converted to pictures.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "avi/avi.h"
#include "avi/byte_source.h"
#include "avi/frame_size.h"
#include "avi/reader.h"
#include "decode/decode.h"

namespace vq {
namespace {

struct Opened {
  std::unique_ptr<AviReader> reader;
  std::unique_ptr<Decompressor> decompressor;
};

// Reads the container, probes for a decompressor and prepares the frame buffer under the
// stream's own format header.
int open_stream(std::unique_ptr<ByteSource> bytes, FrameBuffer* frame, Opened* out) {
  if (!bytes) return 0;
  std::unique_ptr<AviReader> reader(new (std::nothrow) AviReader);
  if (!reader || !reader->open(std::move(bytes))) return 0;
  const std::vector<uint8_t>& format = reader->stream().format;
  std::vector<uint8_t> header;
  size_t capacity = 0;
  if (!frame_header(format.data(), format.size(), &header, &capacity)) return 0;
  // A header may claim any picture size: hold no more than the file could store in one frame.
  capacity = size_t(std::min<uint64_t>(capacity, reader->file_size()));
  if (frame->prepare(header.data(), uint32_t(header.size()), capacity) == nullptr) return 0;
  out->decompressor = open_decompressor(reader->stream(), reader.get());
  out->reader = std::move(reader);
  return 1;
}

// Names for notices and reports: FFmpeg's names for the raw layouts, the fourcc otherwise.
void describe(const StreamFormat& stream, bool decoded, SourceInfo* info) {
  info->container = "AVI";
  BitmapInfoHeader h;
  if (!read_bitmap_info_header(stream.format.data(), stream.format.size(), &h)) return;
  info->width = h.biWidth;
  info->height = int32_t(std::min<int64_t>(std::llabs(int64_t(h.biHeight)), INT32_MAX));
  if (stream.rate > 0 && stream.scale > 0 && stream.rate <= INT32_MAX &&
      stream.scale <= INT32_MAX) {
    info->rate_num = int32_t(stream.rate);
    info->rate_den = int32_t(stream.scale);
  }
  if (h.biCompression == kBiRgb) {
    info->codec = "rawvideo";
    info->pixel_format = h.biBitCount == 16   ? "rgb555le"
                         : h.biBitCount == 24 ? "bgr24"
                         : h.biBitCount == 32 ? "bgra"
                                              : std::to_string(h.biBitCount) + "-bit RGB";
  } else if (h.biCompression == kFourccYV12) {
    info->codec = "rawvideo";
    info->pixel_format = "yv12";
  } else {
    info->codec = fourcc_text(h.biCompression);
    info->pixel_format = decoded ? "decoded" : "not decoded";
  }
}

}  // namespace

AviVideoSource::AviVideoSource(uint32_t cpu_flags) {
  fill_converter_table(&converters_, cpu_flags);
}

AviVideoSource::~AviVideoSource() {
  // The decompressor reads through the reader, so it goes first; the frame buffer goes last.
  decompressor_.reset();
  reader_.reset();
}

int AviVideoSource::open(const char* path) {
  std::unique_ptr<InputFile> input;
  std::string why;
  if (path == nullptr || open_input_file(path, &input, &why) != OpenStatus::kOpened) return 0;
  return open(std::move(input));
}

int AviVideoSource::open_memory(const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) return 0;
  std::unique_ptr<InputFile> input(new (std::nothrow) InputFile("memory", data, size));
  return input ? open(std::move(input)) : 0;
}

int AviVideoSource::open(std::unique_ptr<InputFile> input) {
  decompressor_.reset();
  reader_.reset();
  length_ = 0;
  if (!input || !input->regular()) return 0;
  try {
    Opened o;
    std::unique_ptr<ByteSource> bytes(new (std::nothrow) ByteSource(std::move(input)));
    if (!open_stream(std::move(bytes), &frame_, &o)) return 0;
    length_ = o.reader->stream().length;
    info_ = SourceInfo{};
    describe(o.reader->stream(), o.decompressor != nullptr, &info_);
    info_.length = length_;
    reader_ = std::move(o.reader);
    decompressor_ = std::move(o.decompressor);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

Fetch AviVideoSource::get_frame(int32_t index, Frame* out) {
  if (out == nullptr) return Fetch::kError;
  reason_.clear();
  Frame frame;
  if (decompressor_) {
    if (index < 0 || index >= length_) return Fetch::kError;
    try {
      if (!decompressor_->get_frame(index, &frame)) {
        reason_ = index >= reader_->packet_count() ? missing_text(index)
                                                   : "AVI frame " + std::to_string(index + 1) +
                                                         " (" + info_.codec + ") cannot be decoded";
        return Fetch::kError;
      }
    } catch (const std::bad_alloc&) {
      return Fetch::kOutOfMemory;
    }
  } else if (!get_frame(index, &frame.dib)) {
    return Fetch::kError;
  }
  if (!frame.is_picture()) {
    // A packed DIB frame: converted here, or handed out refused with its stated size, so that
    // the pair it is in is refused with the reason (its size is compared first).
    const DibFrame dib = frame.dib;
    frame = Frame{};
    switch (dib_picture(converters_, dib, &planar_, &frame.picture, &frame.refused)) {
      case DibPicture::kMade:
        break;
      case DibPicture::kOutOfMemory:
        return Fetch::kOutOfMemory;
      case DibPicture::kRefused: {
        BitmapInfoHeader h;
        if (read_bitmap_info_header(dib.data, dib.size, &h)) {
          frame.stated_width = h.biWidth;
          frame.stated_height = std::llabs(int64_t(h.biHeight));
        }
        break;
      }
    }
  }
  *out = std::move(frame);
  return Fetch::kFrame;
}

std::string AviVideoSource::missing_text(int32_t index) const {
  return "AVI frame " + std::to_string(index + 1) + " is not in the file: its header states " +
         std::to_string(length_) + " frames and its chunks hold " +
         std::to_string(reader_->packet_count()) + " (the file was cut or is still being written)";
}

int32_t AviVideoSource::length() const {
  return length_;
}

int AviVideoSource::get_frame(int32_t index, DibFrame* out) {
  if (!reader_ || out == nullptr || index < 0 || index >= length_) return 0;
  try {
    if (decompressor_) {
      Frame frame;
      if (!decompressor_->get_frame(index, &frame) || frame.is_picture()) return 0;
      *out = frame.dib;
      return 1;
    }
    if (index >= reader_->packet_count()) {
      reason_ = missing_text(index);
      return 0;
    }
    // A dropped frame (empty chunk) shows the picture of the last chunk before it that held
    // one, or black when there is none yet.
    const int32_t picture = reader_->picture_of(index);
    if (picture < 0) {
      std::memset(frame_.pixels(), 0, frame_.capacity());
      frame_.set_filled(frame_.capacity());
    } else {
      if (!reader_->readable(picture)) {
        reason_ = "AVI frame " + std::to_string(picture + 1) +
                  " lies past the end of the file: the file was cut short";
        return 0;
      }
      const size_t size = reader_->entry(picture).size;
      if (size > frame_.capacity()) {
        const DibFrame held = frame_.frame();
        const uint32_t header_size = uint32_t(frame_.pixels() - held.data);
        if (frame_.prepare(held.data, header_size, size) == nullptr) return 0;
      }
      frame_.set_filled(0);
      if (!reader_->read_chunk(picture, frame_.pixels())) {
        reason_ = "AVI frame " + std::to_string(picture + 1) + " cannot be read from the file";
        return 0;
      }
      frame_.set_filled(size);
    }
    *out = frame_.frame();
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
