// The AVI reader's bytes: positioned reads of its input, the small ones (chunk headers, list
// types) served from blocks read ahead of them. Private to avi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "video/video.h"

namespace vq {

class ByteSource {
 public:
  // Reads `input`, which must be readable at any offset (a regular file or bytes in memory).
  explicit ByteSource(std::unique_ptr<InputFile> input) : input_(std::move(input)) {}
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Total size in bytes, fixed at open.
  [[nodiscard]] uint64_t size() const { return input_->size(); }
  // Reads exactly `n` bytes at `offset` into `dst`: 1 when all were read, 0 otherwise (range
  // outside the input, I/O error). `dst` may hold anything after a failed read.
  [[nodiscard]] int read(uint64_t offset, void* dst, size_t n);
  // Gives the read-ahead block's memory back once the structure has been read.
  void release();

 private:
  [[nodiscard]] int fill(uint64_t offset, size_t n);

  std::unique_ptr<InputFile> input_;
  uint64_t start_ = 0;
  std::vector<uint8_t> block_;
};

}  // namespace vq
