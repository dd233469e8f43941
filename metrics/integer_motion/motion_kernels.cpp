// The scalar motion kernels and the picture loop that mirrors rows and columns for them.
#include <cstdlib>
#include <cstring>

#include "convert/convert.h"
#include "metrics/integer_motion/motion.h"

namespace vq::motion {
namespace {

// Every sum of 8-bit differences times the taps (which add up to 65536) fits 32 bits.
void vertical8(const uint8_t* const* prev, const uint8_t* const* cur, int w, int32_t* out) {
  for (int j = 0; j < w; ++j) {
    int32_t acc = 0;
    for (int k = 0; k < 5; ++k)
      acc += kFilter[k] * (int32_t(prev[k][j]) - int32_t(cur[k][j]));
    out[j] = (acc + 128) >> 8;
  }
}

// 16-bit differences times 65536 need more than 32 bits.
void vertical16(const uint16_t* const* prev, const uint16_t* const* cur, int w, int depth,
                int32_t* out) {
  const int64_t round = int64_t(1) << (depth - 1);
  for (int j = 0; j < w; ++j) {
    int64_t acc = 0;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * (int32_t(prev[k][j]) - int32_t(cur[k][j]));
    out[j] = int32_t((acc + round) >> depth);
  }
}

uint32_t horizontal_sad(const int32_t* row, int w) {
  uint32_t sad = 0;
  for (int j = 0; j < w; ++j) {
    int64_t acc = 0;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * row[j - 2 + k];
    sad += uint32_t(std::abs(int32_t((acc + (1 << 15)) >> 16)));
  }
  return sad;
}

int mirror(int i, int size) {
  if (i < 0) return -i;
  if (i >= size) return 2 * size - i - 2;
  return i;
}

}  // namespace

Kernels scalar_kernels() {
  return {vertical8, vertical16, horizontal_sad};
}

Kernels kernels_for(uint32_t cpu_flags) {
  Kernels k = scalar_kernels();
#if VQ_X86_SIMD
  if (cpu_flags & kCpuAvx2) use_avx2(&k);
#else
  (void)cpu_flags;
#endif
  return k;
}

uint64_t blurred_sad(const Plane& prev, const Plane& cur, int w, int h, const Kernels& k,
                     std::vector<int32_t>* row, uint8_t* keep) {
  if (row->size() < size_t(w + 2 * kPad)) row->resize(size_t(w + 2 * kPad));
  int32_t* r = row->data() + kPad;
  // A row whose five taps read rows equal in both pictures blurs to zeros and adds nothing:
  // still parts of a picture cost a comparison of their rows (which stops at the first
  // difference) instead of the blur.
  const size_t row_bytes = size_t(w) * (cur.depth == 8 ? 1 : 2);
  std::vector<uint8_t> same(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y)
    same[size_t(y)] =
        std::memcmp(prev.data + prev.pitch * y, cur.data + cur.pitch * y, row_bytes) == 0;
  int copied = 0;
  auto copy_to = [&](int y) {
    for (; keep && copied <= y && copied < h; ++copied)
      std::memcpy(keep + row_bytes * size_t(copied), cur.data + cur.pitch * copied, row_bytes);
  };
  uint64_t sad = 0;
  for (int i = 0; i < h; ++i) {
    copy_to(i + 2);  // the lowest row this output's taps read
    const uint8_t* p[5];
    const uint8_t* c[5];
    bool still = true;
    for (int t = 0; t < 5; ++t) {
      const int y = mirror(i - 2 + t, h);
      p[t] = prev.data + prev.pitch * y;
      c[t] = cur.data + cur.pitch * y;
      still = still && same[size_t(y)];
    }
    if (still) continue;
    if (cur.depth == 8) {
      k.vertical8(p, c, w, r);
    } else {
      const uint16_t* p16[5];
      const uint16_t* c16[5];
      for (int t = 0; t < 5; ++t) {
        p16[t] = reinterpret_cast<const uint16_t*>(p[t]);
        c16[t] = reinterpret_cast<const uint16_t*>(c[t]);
      }
      k.vertical16(p16, c16, w, cur.depth, r);
    }
    for (int f = 1; f <= kPad; ++f) {
      r[-f] = r[f];
      r[w - 1 + f] = r[w - 1 - f];
    }
    sad += k.horizontal_sad(r, w);
  }
  copy_to(h - 1);
  return sad;
}

}  // namespace vq::motion
