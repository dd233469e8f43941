// An input file: read in order or at offsets, from a file, a pipe or memory, with the first
// bytes kept for the reader picker to look at.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "video/video.h"

namespace vq {

InputFile::InputFile(std::string path, int fd, bool regular, uint64_t size)
    : path_(std::move(path)), fd_(fd), regular_(regular), size_(size) {}

InputFile::InputFile(std::string name, const uint8_t* data, size_t size)
    : path_(std::move(name)), data_(data), regular_(true), size_(data ? size : 0) {}

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

int64_t InputFile::read_on(uint8_t* dst, size_t n) {
  if (data_ == nullptr) return read_fully(fd_, dst, n);
  const size_t count = size_t(std::min<uint64_t>(n, size_ - data_pos_));
  if (count) std::memcpy(dst, data_ + data_pos_, count);
  data_pos_ += count;
  return int64_t(count);
}

const std::string& InputFile::peek(size_t n) {
  if (head_.size() < n && !eof_) {
    const size_t have = head_.size();
    head_.resize(n);
    const int64_t r = read_on(reinterpret_cast<uint8_t*>(head_.data()) + have, n - have);
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
  const int64_t r = read_on(out + got, n - got);
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
  if (!regular_ || offset > size_ || n > size_ - offset) return 0;
  if (data_ != nullptr) {
    if (n) std::memcpy(out, data_ + offset, n);
    return 1;
  }
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd_, out + got, n - got, off_t(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    got += size_t(r);
  }
  return 1;
}

OpenStatus open_input_file(const char* path, std::unique_ptr<InputFile>* out, std::string* why) {
  int fd = -1;
  if (std::strcmp(path, "-") == 0) {
    fd = STDIN_FILENO;
  } else {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *why = errno == ENOENT ? "no such file" : std::string("cannot open: ") + std::strerror(errno);
      return OpenStatus::kFailed;
    }
  }
  struct stat st = {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    *why = S_ISDIR(st.st_mode) ? "a directory, not a video file" : "cannot read its status";
    if (fd > STDERR_FILENO) ::close(fd);
    return OpenStatus::kFailed;
  }
  const bool regular = S_ISREG(st.st_mode);
  out->reset(new (std::nothrow) InputFile(path, fd, regular, regular ? uint64_t(st.st_size) : 0));
  if (!*out) {
    if (fd > STDERR_FILENO) ::close(fd);
    *why = "out of memory";
    return OpenStatus::kOutOfMemory;
  }
  return OpenStatus::kOpened;
}

}  // namespace vq
