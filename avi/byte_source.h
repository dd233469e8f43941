// Positioned reads from an AVI file or from bytes in memory. Private to avi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vq {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Total size in bytes, fixed at open.
  [[nodiscard]] virtual uint64_t size() const = 0;
  // Reads exactly `n` bytes at `offset` into `dst`: 1 when all were read, 0 otherwise (range
  // outside the source, I/O error). `dst` may hold anything after a failed read.
  [[nodiscard]] virtual int read(uint64_t offset, void* dst, size_t n) = 0;
};

// A regular file opened read-only; null when it cannot be opened or is not a regular file.
[[nodiscard]] std::unique_ptr<ByteSource> open_file_source(const char* path);
// Bytes owned by the caller, which must outlive the source.
[[nodiscard]] std::unique_ptr<ByteSource> memory_source(const uint8_t* data, size_t size);

}  // namespace vq
