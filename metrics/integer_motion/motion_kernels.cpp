// The scalar motion kernels and the picture loop that mirrors rows and columns for them.
#include <cstdlib>
#include <cstring>

#include "convert/convert.h"
#include "metrics/integer_motion/motion.h"

namespace vq::motion {
namespace {

void difference8(const uint8_t* prev, const uint8_t* cur, int w, int16_t* out, uint8_t* keep) {
  for (int j = 0; j < w; ++j)
    out[j] = int16_t(int32_t(prev[j]) - int32_t(cur[j]));
  if (keep) std::memcpy(keep, cur, size_t(w));
}

void difference16(const uint16_t* prev, const uint16_t* cur, int w, int16_t* out, uint16_t* keep) {
  for (int j = 0; j < w; ++j)
    out[j] = int16_t(int32_t(prev[j]) - int32_t(cur[j]));
  if (keep) std::memcpy(keep, cur, size_t(w) * 2);
}

// Differences below 2^15 times the taps (which add up to 65536) stay below 2^31.
void vertical(const int16_t* const* d, int w, int shift, int32_t* out) {
  const int32_t round = int32_t(1) << (shift - 1);
  for (int j = 0; j < w; ++j) {
    int32_t acc = 0;
    for (int k = 0; k < 5; ++k)
      acc += kFilter[k] * int32_t(d[k][j]);
    out[j] = (acc + round) >> shift;
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

// The row's kPad values past either end, mirrored without repeating the end value.
void mirror_ends(int32_t* r, int w) {
  for (int f = 1; f <= kPad; ++f) {
    r[-f] = r[f];
    r[w - 1 + f] = r[w - 1 - f];
  }
}

uint32_t blur_row(const int16_t* const* d, int w, int shift, int32_t* scratch) {
  int32_t* r = scratch + kPad;
  vertical(d, w, shift, r);
  mirror_ends(r, w);
  return horizontal_sad(r, w);
}

int mirror(int i, int size) {
  if (i < 0) return -i;
  if (i >= size) return 2 * size - i - 2;
  return i;
}

}  // namespace

Kernels scalar_kernels() {
  return {difference8, difference16, blur_row, vertical16, horizontal_sad};
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
  if (row->size() < size_t(w + kRowScratch)) row->resize(size_t(w + kRowScratch));
  int32_t* r = row->data() + kPad;
  // A row whose five taps read rows equal in both pictures blurs to zeros and adds nothing:
  // still parts of a picture cost a comparison of their rows (which stops at the first
  // difference) instead of the blur.
  const size_t row_bytes = size_t(w) * (cur.depth == 8 ? 1 : 2);
  std::vector<uint8_t> same(static_cast<size_t>(h));
  for (int y = 0; y < h; ++y)
    same[size_t(y)] =
        std::memcmp(prev.data + prev.pitch * y, cur.data + cur.pitch * y, row_bytes) == 0;
  // cur's rows are kept as the differences read them, the others (still rows, 16-bit samples)
  // copied once the taps have gone past them.
  std::vector<uint8_t> kept(keep ? size_t(h) : 0);
  int copied = 0;
  auto copy_to = [&](int y) {
    for (; keep && copied <= y && copied < h; ++copied)
      if (!kept[size_t(copied)])
        std::memcpy(keep + row_bytes * size_t(copied), cur.data + cur.pitch * copied, row_bytes);
  };
  // The rows of differences the taps read, each made once: the five rows of an output's taps
  // lie within two rows of it, mirrored ones too, so five slots (row modulo 5) hold them.
  const bool narrow = cur.depth <= 15;
  std::vector<int16_t> ring(narrow ? 5 * size_t(w) : 0);
  int held[5] = {-1, -1, -1, -1, -1};
  auto difference = [&](int y) -> const int16_t* {
    int16_t* d = ring.data() + size_t(y % 5) * size_t(w);
    if (held[y % 5] == y) return d;
    held[y % 5] = y;
    const uint8_t* p = prev.data + prev.pitch * y;
    const uint8_t* c = cur.data + cur.pitch * y;
    uint8_t* to = nullptr;
    if (keep) {
      to = keep + row_bytes * size_t(y);
      kept[size_t(y)] = 1;
    }
    if (cur.depth == 8) {
      k.difference8(p, c, w, d, to);
    } else {
      k.difference16(reinterpret_cast<const uint16_t*>(p), reinterpret_cast<const uint16_t*>(c), w,
                     d, reinterpret_cast<uint16_t*>(to));
    }
    return d;
  };
  uint64_t sad = 0;
  for (int i = 0; i < h; ++i) {
    int y[5];
    bool still = true;
    for (int t = 0; t < 5; ++t) {
      y[t] = mirror(i - 2 + t, h);
      still = still && same[size_t(y[t])];
    }
    if (still) {
      copy_to(i + 2);  // the lowest row this output's taps read
      continue;
    }
    if (narrow) {
      const int16_t* d[5];
      for (int t = 0; t < 5; ++t)
        d[t] = difference(y[t]);
      sad += k.blur_row(d, w, cur.depth, row->data());
    } else {
      const uint16_t* p16[5];
      const uint16_t* c16[5];
      for (int t = 0; t < 5; ++t) {
        p16[t] = reinterpret_cast<const uint16_t*>(prev.data + prev.pitch * y[t]);
        c16[t] = reinterpret_cast<const uint16_t*>(cur.data + cur.pitch * y[t]);
      }
      k.vertical16(p16, c16, w, cur.depth, r);
      mirror_ends(r, w);
      sad += k.horizontal_sad(r, w);
    }
    copy_to(i + 2);
  }
  copy_to(h - 1);
  return sad;
}

}  // namespace vq::motion
