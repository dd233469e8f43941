// Working memory that frame scoring keeps from call to call on one thread. Private to compare/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace vq {

// Grows for a larger request, never shrinks; null (and empty) when the memory cannot be had.
struct Workspace {
  std::unique_ptr<uint8_t[]> block;
  size_t size = 0;

  uint8_t* reserve(size_t n) {
    if (n > size) {
      block.reset(new (std::nothrow) uint8_t[n]);
      size = block ? n : 0;
    }
    return block.get();
  }
};

}  // namespace vq
