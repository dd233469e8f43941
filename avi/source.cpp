#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "avi/avi.h"
#include "avi/byte_source.h"
#include "avi/decompress.h"
#include "avi/frame_size.h"
#include "avi/reader.h"

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

}  // namespace

AviVideoSource::AviVideoSource() = default;

AviVideoSource::~AviVideoSource() {
  // The decompressor reads through the reader, so it goes first; the frame buffer goes last.
  decompressor_.reset();
  reader_.reset();
}

int AviVideoSource::open(const char* path) {
  return open_from([path] { return open_file_source(path); });
}

int AviVideoSource::open_memory(const uint8_t* data, size_t size) {
  return open_from([data, size] { return memory_source(data, size); });
}

int AviVideoSource::open_from(const std::function<std::unique_ptr<ByteSource>()>& make_bytes) {
  decompressor_.reset();
  reader_.reset();
  length_ = 0;
  try {
    Opened o;
    if (!open_stream(make_bytes(), &frame_, &o)) return 0;
    length_ = o.reader->stream().length;
    reader_ = std::move(o.reader);
    decompressor_ = std::move(o.decompressor);
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

int32_t AviVideoSource::length() const {
  return length_;
}

int AviVideoSource::get_frame(int32_t index, DibFrame* out) {
  if (!reader_ || out == nullptr || index < 0 || index >= length_) return 0;
  try {
    if (decompressor_) {
      if (!decompressor_->get_frame(index, &frame_)) return 0;
      *out = frame_.frame();
      return 1;
    }
    if (index >= reader_->packet_count()) return 0;
    // A dropped frame (empty chunk) shows the picture of the last chunk before it that held
    // one, or black when there is none yet.
    const int32_t picture = reader_->picture_of(index);
    if (picture < 0) {
      std::memset(frame_.pixels(), 0, frame_.capacity());
      frame_.set_filled(frame_.capacity());
    } else {
      if (!reader_->readable(picture)) return 0;
      const size_t size = reader_->entry(picture).size;
      if (size > frame_.capacity()) {
        const DibFrame held = frame_.frame();
        const uint32_t header_size = uint32_t(frame_.pixels() - held.data);
        if (frame_.prepare(held.data, header_size, size) == nullptr) return 0;
      }
      frame_.set_filled(0);
      if (!reader_->read_chunk(picture, frame_.pixels())) return 0;
      frame_.set_filled(size);
    }
    *out = frame_.frame();
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace vq
