// Vector forms of the error sum, each in its own source file compiled for its instruction set.
// All return exactly the scalar sum of squared differences.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq {

uint64_t sum_squared_error_scalar(const uint8_t* a, const uint8_t* b, size_t n);
uint64_t sum_squared_error_sse2(const uint8_t* a, const uint8_t* b, size_t n);
uint64_t sum_squared_error_avx2(const uint8_t* a, const uint8_t* b, size_t n);

// The same for 16-bit samples.
uint64_t sum_squared_error16_scalar(const uint16_t* a, const uint16_t* b, size_t n);
uint64_t sum_squared_error16_sse2(const uint16_t* a, const uint16_t* b, size_t n);
uint64_t sum_squared_error16_avx2(const uint16_t* a, const uint16_t* b, size_t n);

}  // namespace vq
