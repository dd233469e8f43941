#include "avi/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

namespace vq {
namespace {

// Whether [offset, offset + n) lies inside a source of `size` bytes; cannot overflow.
bool in_range(uint64_t offset, size_t n, uint64_t size) {
  return offset <= size && uint64_t(n) <= size - offset;
}

class FileSource final : public ByteSource {
 public:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~FileSource() override { ::close(fd_); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t size() const override { return size_; }

  int read(uint64_t offset, void* dst, size_t n) override {
    if (!in_range(offset, n, size_)) return 0;
    auto* out = static_cast<uint8_t*>(dst);
    while (n > 0) {
      // pread takes a signed offset and may return fewer bytes than asked for.
      const size_t step = n < size_t(1) << 30 ? n : size_t(1) << 30;
      const ssize_t got = ::pread(fd_, out, step, off_t(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return 0;  // error, or the file shrank under us
      out += got;
      offset += uint64_t(got);
      n -= size_t(got);
    }
    return 1;
  }

 private:
  int fd_;
  uint64_t size_;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  int read(uint64_t offset, void* dst, size_t n) override {
    if (!in_range(offset, n, size_)) return 0;
    if (n > 0) std::memcpy(dst, data_ + offset, n);
    return 1;
  }

 private:
  const uint8_t* data_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<ByteSource> open_file_source(const char* path) {
  if (path == nullptr) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<ByteSource> source(new (std::nothrow) FileSource(fd, uint64_t(st.st_size)));
  if (!source) ::close(fd);
  return source;
}

std::unique_ptr<ByteSource> memory_source(const uint8_t* data, size_t size) {
  if (data == nullptr && size > 0) return nullptr;
  return std::unique_ptr<ByteSource>(new (std::nothrow) MemorySource(data, size));
}

}  // namespace vq
