// AVX2 motion kernels, bit-identical to the scalar ones, in 32-bit lanes. The vertical sums of
// differences fit 32 bits; 16-bit samples keep the scalar 64-bit path. The horizontal sums (values
// up to 2^16 times taps adding up to 2^16) do not fit 32 bits, so each value is filtered as its
// high part (v >> 8, at most 256 in size) and its low byte, both 16-bit lanes, and the two are
// joined exactly: with A and B those sums, (256 A + B + 2^15) >> 16 equals (A + ((B + 2^15) >> 8))
// >> 8.
#include <immintrin.h>

#include <algorithm>
#include <cstdlib>

#include "metrics/integer_motion/motion.h"

namespace vq::motion {
namespace {

// Pairs of 16-bit taps for _mm256_madd_epi16: (f0, f1), (f2, f3) and (f4, 0).
struct TapPairs {
  __m256i t01, t23, t4;
};

TapPairs tap_pairs() {
  auto pair = [](int32_t a, int32_t b) {
    return _mm256_set1_epi32(int32_t(uint32_t(a) | uint32_t(b) << 16));
  };
  return {pair(kFilter[0], kFilter[1]), pair(kFilter[2], kFilter[3]), pair(kFilter[4], 0)};
}

// The vertical sums of 16 columns of differences d[0..4] (16-bit lanes) plus `round`: columns
// 0-3 and 8-11 in lo, 4-7 and 12-15 in hi, as the unpacks leave them.
struct Halves {
  __m256i lo, hi;
};

inline Halves blur_columns(const __m256i* d, const TapPairs& t, __m256i round, __m256i zero) {
  auto sum = [&](auto unpack) {
    return _mm256_add_epi32(_mm256_add_epi32(round, _mm256_madd_epi16(unpack(d[0], d[1]), t.t01)),
                            _mm256_add_epi32(_mm256_madd_epi16(unpack(d[2], d[3]), t.t23),
                                             _mm256_madd_epi16(unpack(d[4], zero), t.t4)));
  };
  return {sum([](__m256i a, __m256i b) { return _mm256_unpacklo_epi16(a, b); }),
          sum([](__m256i a, __m256i b) { return _mm256_unpackhi_epi16(a, b); })};
}

void difference8_avx2(const uint8_t* prev, const uint8_t* cur, int w, int16_t* out, uint8_t* keep) {
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + j));
    if (keep) _mm_storeu_si128(reinterpret_cast<__m128i*>(keep + j), c);
    const __m256i p =
        _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + j)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                        _mm256_sub_epi16(p, _mm256_cvtepu8_epi16(c)));
  }
  for (; j < w; ++j) {
    out[j] = int16_t(int32_t(prev[j]) - int32_t(cur[j]));
    if (keep) keep[j] = cur[j];
  }
}

// Samples of up to 15 bits differ by less than 2^15: the wrapping 16-bit difference is exact.
void difference16_avx2(const uint16_t* prev, const uint16_t* cur, int w, int16_t* out,
                       uint16_t* keep) {
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cur + j));
    if (keep) _mm256_storeu_si256(reinterpret_cast<__m256i*>(keep + j), c);
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(prev + j));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_sub_epi16(p, c));
  }
  for (; j < w; ++j) {
    out[j] = int16_t(int32_t(prev[j]) - int32_t(cur[j]));
    if (keep) keep[j] = cur[j];
  }
}

// |blur| of 8 outputs from the 16-bit high and low parts of the values, the outputs' first taps
// at q, q + 2, .. of both streams: each stream's taps in three madds, joined as the header says.
inline __m256i blur_abs8(const int16_t* hi, const int16_t* lo, int q, const TapPairs& t) {
  auto taps = [&](const int16_t* s) {
    auto at = [&](int o) {
      return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + q + o));
    };
    return _mm256_add_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(at(0), t.t01), _mm256_madd_epi16(at(2), t.t23)),
        _mm256_madd_epi16(at(4), t.t4));
  };
  const __m256i a = taps(hi);
  const __m256i b = _mm256_add_epi32(taps(lo), _mm256_set1_epi32(1 << 15));
  return _mm256_abs_epi32(_mm256_srai_epi32(_mm256_add_epi32(a, _mm256_srai_epi32(b, 8)), 8));
}

// The sum of absolute values runs in any order, so a stretch's even outputs and its odd ones
// are each taken eight at a time straight from the pairs madd forms.
uint32_t horizontal_sad_avx2(const int32_t* row, int w) {
  constexpr int kChunk = 256;
  alignas(32) int16_t hi[kChunk + 32], lo[kChunk + 32];
  const TapPairs t = tap_pairs();
  const __m256i low = _mm256_set1_epi32(255);
  __m256i sum = _mm256_setzero_si256();
  const int end = w & ~15;
  for (int j0 = 0; j0 < end; j0 += kChunk) {
    const int n = std::min(kChunk, end - j0);
    // Stream index s holds row[j0 - 2 + s]: the taps of outputs j0 .. j0 + n - 1 read s up to
    // n + 3, and the zero-weighted partner of the last tap one more; the rest is zeros.
    const int count = n + 4;
    const int32_t* from = row + j0 - 2;
    int s = 0;
    for (; s + 16 <= count; s += 16) {
      const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + s));
      const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + s + 8));
      const __m256i h = _mm256_packs_epi32(_mm256_srai_epi32(v0, 8), _mm256_srai_epi32(v1, 8));
      const __m256i l = _mm256_packs_epi32(_mm256_and_si256(v0, low), _mm256_and_si256(v1, low));
      _mm256_store_si256(reinterpret_cast<__m256i*>(hi + s), _mm256_permute4x64_epi64(h, 0xD8));
      _mm256_store_si256(reinterpret_cast<__m256i*>(lo + s), _mm256_permute4x64_epi64(l, 0xD8));
    }
    for (; s < count; ++s) {
      hi[s] = int16_t(from[s] >> 8);
      lo[s] = int16_t(from[s] & 255);
    }
    std::fill(hi + count, hi + count + 20, int16_t(0));
    std::fill(lo + count, lo + count + 20, int16_t(0));
    for (int q = 0; q < n; q += 16) {
      sum = _mm256_add_epi32(sum, blur_abs8(hi, lo, q, t));
      sum = _mm256_add_epi32(sum, blur_abs8(hi, lo, q + 1, t));
    }
  }
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
  uint32_t sad = 0;
  for (const uint32_t l : lanes)
    sad += l;
  for (int j = end; j < w; ++j) {
    int64_t acc = 1 << 15;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * row[j - 2 + k];
    sad += uint32_t(std::abs(int32_t(acc >> 16)));
  }
  return sad;
}

// The vertical blur writes each value's high and low parts straight into the two 16-bit
// streams the horizontal taps read (stream index s holding column s - 2), so the row of sums is
// never stored as 32-bit values. Differences and taps both fit 16-bit lanes: 16 columns take
// three madds per half, every sum below 2^31 and exact. The halves' packs leave columns in
// order: each 128-bit lane packs columns 0-3 (or 8-11) beside 4-7 (or 12-15).
uint32_t blur_row_avx2(const int16_t* const* d, int w, int shift, int32_t* scratch) {
  int16_t* hi = reinterpret_cast<int16_t*>(scratch);
  int16_t* lo = hi + w + kRowScratch;
  const TapPairs t = tap_pairs();
  const __m256i zero = _mm256_setzero_si256(), low = _mm256_set1_epi32(255);
  const __m256i round = _mm256_set1_epi32(int32_t(1) << (shift - 1));
  const __m128i by = _mm_cvtsi32_si128(shift);
  int j = 0;
  for (; j + 16 <= w; j += 16) {
    __m256i v[5];
    for (int k = 0; k < 5; ++k)
      v[k] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d[k] + j));
    const Halves h = blur_columns(v, t, round, zero);
    const __m256i a = _mm256_sra_epi32(h.lo, by), b = _mm256_sra_epi32(h.hi, by);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(hi + kPad + j),
                        _mm256_packs_epi32(_mm256_srai_epi32(a, 8), _mm256_srai_epi32(b, 8)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lo + kPad + j),
                        _mm256_packs_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low)));
  }
  for (; j < w; ++j) {
    int32_t acc = 0;
    for (int k = 0; k < 5; ++k)
      acc += kFilter[k] * int32_t(d[k][j]);
    const int32_t value = (acc + (int32_t(1) << (shift - 1))) >> shift;
    hi[kPad + j] = int16_t(value >> 8);
    lo[kPad + j] = int16_t(value & 255);
  }
  for (int16_t* s : {hi + kPad, lo + kPad}) {
    for (int f = 1; f <= kPad; ++f) {
      s[-f] = s[f];
      s[w - 1 + f] = s[w - 1 - f];
    }
    // The last taps' zero-weighted partners read past the mirrored end.
    std::fill(s + w + kPad, s + w + kPad + 16, int16_t(0));
  }
  __m256i sum = _mm256_setzero_si256();
  const int end = w & ~15;
  for (int q = 0; q < end; q += 16) {
    sum = _mm256_add_epi32(sum, blur_abs8(hi, lo, q, t));
    sum = _mm256_add_epi32(sum, blur_abs8(hi, lo, q + 1, t));
  }
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
  uint32_t sad = 0;
  for (const uint32_t l : lanes)
    sad += l;
  for (int c = end; c < w; ++c) {
    int64_t acc = 1 << 15;
    for (int k = 0; k < 5; ++k)
      acc += int64_t(kFilter[k]) * (int32_t(hi[c + k]) * 256 + lo[c + k]);
    sad += uint32_t(std::abs(int32_t(acc >> 16)));
  }
  return sad;
}

}  // namespace

void use_avx2(Kernels* k) {
  k->difference8 = difference8_avx2;
  k->difference16 = difference16_avx2;
  k->blur_row = blur_row_avx2;
  k->horizontal_sad = horizontal_sad_avx2;
}

}  // namespace vq::motion
