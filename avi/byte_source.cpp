// Positioned reads of the AVI reader's input, small ones served from blocks read ahead in growing
// sizes.
#include "avi/byte_source.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace vq {
namespace {

// Small reads (chunk headers, list types) are served from blocks read ahead of them: the first
// block after a jump is this large, and each block that follows on from the one before is twice
// as large, up to kMaxReadAhead. A walk over large chunks then reads little past each header, a
// walk over many small chunks few, large blocks.
constexpr size_t kMinReadAhead = 4 * 1024;
constexpr size_t kMaxReadAhead = 1024 * 1024;
constexpr size_t kSmallRead = 64;

}  // namespace

int ByteSource::read(uint64_t offset, void* dst, size_t n) {
  auto* out = static_cast<uint8_t*>(dst);
  if (n > kSmallRead) return input_->read_at(offset, out, n);
  if (offset < start_ || offset - start_ > block_.size() || n > block_.size() - (offset - start_)) {
    if (!fill(offset, n)) return input_->read_exactly(offset, out, n);
  }
  if (n > 0) std::memcpy(out, block_.data() + (offset - start_), n);
  return 1;
}

void ByteSource::release() {
  block_ = std::vector<uint8_t>();
  start_ = 0;
}

int ByteSource::fill(uint64_t offset, size_t n) {
  const uint64_t size = input_->size();
  if (offset > size || n > size - offset) return 0;
  // Following on from the block before (within twice its length): read ahead further.
  const bool follows = offset >= start_ && offset - start_ <= 2 * block_.size() && !block_.empty();
  const size_t want = follows ? std::min(2 * block_.size(), kMaxReadAhead) : kMinReadAhead;
  const size_t len = size_t(std::min<uint64_t>(want, size - offset));
  try {
    block_.resize(len);
  } catch (const std::bad_alloc&) {
    release();
    return 0;
  }
  if (!input_->read_exactly(offset, block_.data(), len)) {
    release();
    return 0;
  }
  start_ = offset;
  return 1;
}

}  // namespace vq
