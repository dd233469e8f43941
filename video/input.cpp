#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "video/video.h"

namespace vq {

InputFile::InputFile(std::string path, int fd, bool regular, uint64_t size)
    : path_(std::move(path)), fd_(fd), regular_(regular), size_(size) {}

InputFile::~InputFile() {
  if (fd_ > STDERR_FILENO) ::close(fd_);
}

namespace {

// Up to n bytes from the descriptor at its position, retrying short reads and interruptions.
int64_t read_fully(int fd, uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, dst + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) break;
    got += size_t(r);
  }
  return int64_t(got);
}

}  // namespace

const std::string& InputFile::peek(size_t n) {
  if (head_.size() < n && !eof_) {
    const size_t have = head_.size();
    head_.resize(n);
    const int64_t r = read_fully(fd_, reinterpret_cast<uint8_t*>(head_.data()) + have, n - have);
    head_.resize(have + size_t(r < 0 ? 0 : r));
    if (head_.size() < n) eof_ = true;
  }
  return head_;
}

int64_t InputFile::read(void* dst, size_t n) {
  auto* out = static_cast<uint8_t*>(dst);
  size_t got = 0;
  if (head_pos_ < head_.size()) {
    got = std::min(n, head_.size() - head_pos_);
    std::memcpy(out, head_.data() + head_pos_, got);
    head_pos_ += got;
  }
  if (got == n || eof_) return int64_t(got);
  const int64_t r = read_fully(fd_, out + got, n - got);
  if (r < 0) return -1;
  if (size_t(r) < n - got) eof_ = true;
  return int64_t(got) + r;
}

int InputFile::read_at(uint64_t offset, void* dst, size_t n) {
  if (!regular_ || offset > size_ || n > size_ - offset) return 0;
  auto* out = static_cast<uint8_t*>(dst);
  if (n <= kReadAheadSmall) {
    // Small reads (the FRAME lines of a Y4M file, the frames of tiny pictures) come from a window
    // read ahead, so that a file of a million small frames costs no system call per frame.
    if (offset < window_at_ || offset - window_at_ > window_.size() ||
        n > window_.size() - (offset - window_at_)) {
      const size_t want = size_t(std::min<uint64_t>(kReadAheadWindow, size_ - offset));
      window_.resize(want);
      window_at_ = offset;
      if (!read_exactly(offset, reinterpret_cast<uint8_t*>(window_.data()), want)) {
        window_.clear();
        return 0;
      }
    }
    std::memcpy(out, window_.data() + (offset - window_at_), n);
    return 1;
  }
  return read_exactly(offset, out, n);
}

int InputFile::read_exactly(uint64_t offset, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd_, out + got, n - got, off_t(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    got += size_t(r);
  }
  return 1;
}

}  // namespace vq
