// The reusable block a raw frame is handed out in: its format header followed by its pixels.
#include <cstring>
#include <limits>
#include <new>

#include "avi/avi.h"

namespace vq {

uint8_t* FrameBuffer::prepare(const uint8_t* header, uint32_t header_size, size_t pixel_capacity) {
  if (header == nullptr && header_size > 0) return nullptr;
  const size_t capacity = pixel_capacity > capacity_ ? pixel_capacity : capacity_;
  if (!block_ || header_size != header_size_ || capacity > capacity_) {
    if (header_size > std::numeric_limits<size_t>::max() - capacity) return nullptr;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[header_size + capacity]());
    if (!block) return nullptr;
    // The header may be the old block's own: copy it before that block goes.
    std::memcpy(block.get(), header, header_size);
    if (block_) std::memcpy(block.get() + header_size, pixels(), capacity_);
    block_ = std::move(block);
    header_size_ = header_size;
    capacity_ = capacity;
  } else {
    std::memmove(block_.get(), header, header_size);
  }
  return pixels();
}

}  // namespace vq
