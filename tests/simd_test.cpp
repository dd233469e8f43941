// The vector forms against the scalar ones on seeded random data: every tier of the 24-bit,
// 32-bit and 5-6-5 converters byte for byte, the 8- and 16-bit error sums integer for integer,
// the plane sum over padded and bottom-up planes against a per-sample sum, and frame scores
// against a plain reference that converts whole frames with the scalar converters into
// zero-filled images, bit for bit. Set VQ_TEST_SEED to rerun with another seed; a failing case
// prints its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "avi/avi.h"
#include "compare/compare.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::base_seed;
using test::tiers;

// A frame's size and layout: luma stride - width; source bytes between rows (0: packed) and
// before the first pixel byte in its heap block; the order its rows are stored in.
struct Case {
  int32_t w, h, stride_extra;
  size_t row_gap, misalign;
  bool bottom_up;
};

// The converter slot for pixels of `bytes` bytes; 2 stands for 5-6-5, the 16-bit form with
// vector forms.
int slot_for(int bytes) {
  return bytes == 2 ? kSlotRgb565ToPlanar : bytes == 3 ? kSlotRgb24ToPlanar : kSlotRgb32ToPlanar;
}

// One random source frame through every tier. Its block ends exactly at the frame's last byte,
// so the sanitizer build catches a read past it; each output plane lies between guard bands
// preset like the plane, and the scalar routine's bytes, guards included, are the reference.
void check_convert(int bytes, const Case& c, uint32_t seed) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " bytes " << bytes << " " << c.w << "x"
                                  << c.h << " stride+" << c.stride_extra << " gap " << c.row_gap
                                  << " misalign " << c.misalign << " bottom-up " << c.bottom_up);
  const size_t row = size_t(c.w) * bytes, pitch = row + c.row_gap;
  const size_t size = c.misalign + size_t(c.h - 1) * pitch + row;
  std::vector<uint8_t> block(size);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < size; ++i)
    block[i] = uint8_t(rng());
  const uint8_t* top = block.data() + c.misalign + (c.bottom_up ? size_t(c.h - 1) * pitch : 0);
  const ptrdiff_t src_pitch = c.bottom_up ? -ptrdiff_t(pitch) : ptrdiff_t(pitch);
  const int32_t stride = c.w + c.stride_extra;
  const size_t sizes[3] = {size_t(stride) * size_t(c.h),
                           size_t(c.w / 2 + c.stride_extra / 2) * size_t(c.h / 2)};
  std::vector<uint8_t> want[3], got[3];
  for (const auto& [name, flags] : tiers()) {
    ConverterTable table;
    fill_converter_table(&table, flags);
    for (int p = 0; p < 3; ++p)
      got[p].assign(sizes[p ? 1 : 0] + 128, 0xA5);
    table.slot[slot_for(bytes)](got[0].data() + 64, got[1].data() + 64, got[2].data() + 64, top,
                                c.w, c.h, stride, src_pitch);
    // The MMX registers alias the x87 stack: long double arithmetic must work right after.
    volatile long double x = 1.5L;
    ASSERT_EQ(4.75L, x * 3.0L + 0.25L) << name << ": x87 state after the conversion";
    // The scalar routine runs first: its planes become the reference for the tiers after it.
    for (int p = 0; p < 3 && flags; ++p)
      ASSERT_EQ(want[p], got[p]) << name << " plane " << p;
    if (!flags) std::swap(want, got);
  }
}

TEST(SimdConvert, EveryTierMatchesScalar) {
  // Widths around every vector step (1 block for MMX, 8 for SSE2, 16 for AVX2) and the smallest.
  const int32_t widths[] = {1,  2,  3,  4,  5,  7,  15, 16, 17, 18, 31,
                            32, 33, 34, 35, 47, 63, 64, 65, 66, 97};
  for (int bytes : {3, 4, 2}) {
    uint32_t seed = base_seed() + uint32_t(bytes) * 1000003u;
    for (int32_t w : widths)
      for (int32_t h = 1; h <= 5; ++h)
        for (size_t gap : {size_t(0), size_t((4 - (w * bytes) % 4) % 4), size_t(5)}) {
          ASSERT_NO_FATAL_FAILURE(check_convert(bytes, {w, h, 0, gap, seed % 61, true}, seed));
          ASSERT_NO_FATAL_FAILURE(check_convert(bytes, {w, h, 0, gap, seed % 61, false}, seed));
          ++seed;
        }
    for (int i = 0; i < 60; ++i) {
      std::mt19937 pick(++seed);
      const int32_t w = int32_t(1 + pick() % 300), h = int32_t(1 + pick() % 24);
      const int32_t stride_extra = int32_t(pick() % 3 == 0 ? pick() % 9 : 0);
      const size_t gap = pick() % 2 ? 0 : pick() % 12, misalign = pick() % 64;
      ASSERT_NO_FATAL_FAILURE(
          check_convert(bytes, {w, h, stride_extra, gap, misalign, pick() % 2 == 1}, seed));
    }
  }
}

// Samples below 2^bits; b is a near copy of a (XOR of the low `near` bits) except one sample in
// `rare`, which takes any value. Bits 0: runs of up to 600 extreme 16-bit pairs, so whole blocks
// hold only the largest difference the fast way takes (8191), the smallest it refuses, or 65535.
template <class T>
void fill(std::mt19937& rng, T* a, T* b, size_t n, int bits, int near, int rare) {
  const uint16_t pairs[][2] = {{0, 8191}, {8192, 0}, {0, 65535}, {65535, 0}, {777, 777}};
  const uint32_t mask = (1u << bits) - 1;
  for (size_t i = 0; i < n;) {
    const auto& p = pairs[rng() % 5];
    for (size_t end = bits ? i + 1 : std::min(n, i + 1 + rng() % 600); i < end; ++i) {
      a[i] = bits ? T(rng() & mask) : T(p[0]);
      b[i] = !bits          ? T(p[1])
             : rng() % rare ? T(a[i] ^ (rng() & ((1u << near) - 1) & mask))
                            : T(rng() & mask);
    }
  }
}

// One kind of samples at every length to 300, then larger ones, at random offsets; both inputs
// end exactly at their block's end, so a read past n shows under the sanitizer.
template <class T, class Select>
void expect_sums_alike(Select select, int bits, int near, int rare) {
  for (int i = 0; i < 320; ++i) {
    const uint32_t seed = base_seed() + uint32_t(i);
    std::mt19937 rng(seed);
    const size_t n = i <= 300 ? size_t(i) : 1000 + rng() % (i < 316 ? 20000 : 400000);
    const size_t off_a = rng() % 32, off_b = rng() % 32;
    std::vector<T> block_a(off_a + n), block_b(off_b + n);
    T *a = block_a.data() + off_a, *b = block_b.data() + off_b;
    fill(rng, a, b, n, bits, near, rare);
    const uint64_t want = select(0)(a, b, n);
    for (const auto& [name, flags] : tiers())
      ASSERT_EQ(want, select(flags)(a, b, n))
          << name << " " << sizeof(T) * 8 << "-bit sum, bits " << bits << "/" << near << "/" << rare
          << " seed " << seed << " n " << n;
  }
}

TEST(ErrorSum, TiersMatchScalar) {
  const struct {
    int bytes, bits, near, rare;
  } kinds[] = {{1, 8, 3, 4},  {2, 10, 2, 1 << 30}, {2, 12, 0, 1},
               {2, 16, 0, 1}, {2, 16, 6, 700},     {2, 0, 0, 1}};
  for (const auto& k : kinds) {
    if (k.bytes == 1) {
      expect_sums_alike<uint8_t>(select_sum_squared_error, k.bits, k.near, k.rare);
    } else {
      expect_sums_alike<uint16_t>(select_sum_squared_error16, k.bits, k.near, k.rare);
    }
  }
}

// Uniform differences over rows long enough that a 32-bit lane would wrap (every 8-bit
// difference 255 over more than 2^32 / 65025 samples): the lanes must be flushed into 64-bit
// totals, whichever way the blocks are summed.
TEST(ErrorSum, UniformDifferencesDoNotWrap) {
  const size_t n8 = (size_t(1) << 22) + 77, n16 = (size_t(1) << 21) + 13;
  const std::vector<uint8_t> zeros(n8, 0), full(n8, 255);
  for (const auto& [name, flags] : tiers())
    EXPECT_EQ(uint64_t(n8) * 65025u, select_sum_squared_error(flags)(zeros.data(), full.data(), n8))
        << name;
  for (auto [x, y] : {std::pair{0, 65535}, {65535, 0}, {0, 8191}, {9000, 808}, {1023, 0}}) {
    const std::vector<uint16_t> a(n16, uint16_t(x)), b(n16, uint16_t(y));
    const uint64_t d = uint64_t(std::abs(x - y));
    for (const auto& [name, flags] : tiers())
      EXPECT_EQ(n16 * d * d, select_sum_squared_error16(flags)(a.data(), b.data(), n16))
          << name << " " << x << " vs " << y;
  }
}

// The plain reference: whole frames converted by the scalar routines into zero-filled images,
// summed by the scalar sum.
void reference_errors(const DibFrame& a, const DibFrame& b, int w, int h, PlaneErrors* out) {
  ConverterTable scalar;
  fill_converter_table(&scalar, 0);
  const SumSquaredErrorFn sum = select_sum_squared_error(0);
  const size_t s = size_t(w) * size_t(h), q = s / 4, k = size_t(w / 2) * size_t(h / 2);
  std::vector<uint8_t> pa(s + 2 * q, 0), pb(s + 2 * q, 0);
  ASSERT_EQ(1, convert_to_planar_with(scalar, a, pa.data(), pa.data() + s, pa.data() + s + q));
  ASSERT_EQ(1, convert_to_planar_with(scalar, b, pb.data(), pb.data() + s, pb.data() + s + q));
  const size_t off[3] = {0, s, s + q}, len[3] = {s, k, k};
  for (int p = 0; p < 3; ++p) {
    out->sse[p] = sum(pa.data() + off[p], pb.data() + off[p], len[p]);
    out->samples[p] = len[p];
  }
}

// A frame of `bits` (16: 5-5-5, 24, 32, kBits565: 5-6-5 bit fields; 12: YV12) made from `pic` with
// about a third of its pixels changed, so two frames of one picture are near copies; rows padded or
// packed, stored either way up.
std::vector<uint8_t> random_frame(std::mt19937& rng, int bits, test::Picture pic) {
  for (auto& px : pic.px)
    if (rng() % 3 == 0) px = {uint8_t(px.b + rng() % 9), uint8_t(px.g - rng() % 5), uint8_t(rng())};
  const auto rows = rng() % 2 ? test::Rows::kPadded : test::Rows::kPacked;
  const auto order = rng() % 2 ? test::Order::kBottomUp : test::Order::kTopDown;
  if (bits == test::kBits565) return test::bitfield_frame(pic, bits, 52, rows, order);
  if (bits != 12) return test::rgb_frame(pic, bits, rows, order);
  // YV12: the green values as luma, its first and last quarter as the chroma planes.
  std::vector<uint8_t> y;
  for (const auto& px : pic.px)
    y.push_back(px.g);
  const size_t k = size_t(pic.w / 2) * size_t(pic.h / 2);
  return test::yv12_frame(pic.w, pic.h, y, {y.begin(), y.begin() + k}, {y.end() - k, y.end()});
}

// Odd widths and heights, one pixel wide or high, large frames; every pairing of formats, so
// the working memory is reused across sizes and formats. Each pair is converted as the AVI
// source converts it and summed at every tier.
TEST(SimdFrameScore, MatchesTheZeroFilledReferenceExactly) {
  struct Tier {
    const char* name;
    ConverterTable converters;
    ErrorSums sums;
  };
  std::vector<Tier> kernels;
  for (const auto& [name, flags] : tiers()) {
    kernels.push_back({name, {}, select_error_sums(flags)});
    fill_converter_table(&kernels.back().converters, flags);
  }
  const std::pair<int, int> sizes[] = {{1, 1},     {1, 5},    {6, 1},     {2, 2},     {3, 3},
                                       {5, 5},     {17, 9},   {33, 31},   {64, 3},    {1001, 67},
                                       {2047, 50}, {4096, 9}, {31, 1057}, {640, 410}, {643, 411}};
  uint32_t seed = base_seed();
  std::vector<uint8_t> buffer[2];
  for (auto [w, h] : sizes)
    for (int bits_a : {16, 24, 32, 12, test::kBits565})
      for (int bits_b : {16, 24, 32, 12, test::kBits565}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " " << w << "x" << h << " bits "
                                        << bits_a << " vs " << bits_b);
        std::mt19937 rng(seed++);
        test::Picture base = test::solid(w, h, {});
        for (auto& px : base.px)
          px = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        const auto a = random_frame(rng, bits_a, base), b = random_frame(rng, bits_b, base);
        PlaneErrors want;
        ASSERT_NO_FATAL_FAILURE(reference_errors(test::view(a), test::view(b), w, h, &want));
        for (const Tier& k : kernels) {
          Picture formed[2];
          std::string why;
          ASSERT_EQ(DibPicture::kMade,
                    dib_picture(k.converters, test::view(a), &buffer[0], &formed[0], &why));
          ASSERT_EQ(DibPicture::kMade,
                    dib_picture(k.converters, test::view(b), &buffer[1], &formed[1], &why));
          for (int p = 0; p < 3; ++p) {
            const Picture& x = formed[0];
            const Picture& y = formed[1];
            const uint64_t whole = plane_squared_error(k.sums, x.plane[p], x.pitch[p], y.plane[p],
                                                       y.pitch[p], p ? x.chroma_width : x.width,
                                                       p ? x.chroma_height : x.height, 8);
            ASSERT_EQ(want.sse[p], whole) << k.name << " plane " << p;
          }
        }
      }
}

// Planes stored either way up with bytes between rows (0xFF against 0: they must not count),
// equal or unequal pitches, against a sum over every sample.
TEST(PlaneSquaredError, PitchesPaddingAndOrder) {
  const struct {
    int depth;
    int32_t w, h;
    size_t pad[2];
    bool up[2];
  } cases[] = {{8, 37, 5, {3, 0}, {0, 1}},  {8, 64, 4, {0, 0}, {0, 0}},
               {10, 37, 5, {6, 0}, {1, 0}}, {10, 960, 3, {0, 0}, {0, 0}},
               {12, 33, 7, {2, 2}, {1, 1}}, {16, 100, 6, {0, 10}, {0, 1}},
               {16, 9, 3, {64, 0}, {1, 1}}, {16, 40, 3, {1, 3}, {0, 1}}};
  uint32_t seed = base_seed();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " depth " << c.depth << " " << c.w);
    std::mt19937 rng(seed++);
    const size_t bytes = c.depth > 8 ? 2 : 1, row = bytes * size_t(c.w);
    const uint32_t mask = (1u << c.depth) - 1;
    std::vector<uint8_t> plane[2];
    uint8_t* first[2];
    ptrdiff_t pitch[2];
    for (int p = 0; p < 2; ++p) {
      plane[p].assign(size_t(c.h) * (row + c.pad[p]), p ? 0 : 0xFF);
      pitch[p] = ptrdiff_t(row + c.pad[p]) * (c.up[p] ? -1 : 1);
      first[p] = plane[p].data() + (c.up[p] ? size_t(c.h - 1) * (row + c.pad[p]) : 0);
    }
    uint64_t want = 0;
    for (ptrdiff_t y = 0; y < c.h; ++y)
      for (ptrdiff_t x = 0; x < c.w; ++x) {
        const uint32_t va = uint32_t(rng()) & mask,
                       vb = uint32_t(rng() % 3 ? va ^ rng() % 16 : rng());
        const uint32_t v[2] = {va, vb & mask};
        want += uint64_t(std::abs(int64_t(va) - v[1])) * uint64_t(std::abs(int64_t(va) - v[1]));
        for (int p = 0; p < 2; ++p)
          for (size_t k = 0; k < bytes; ++k)
            first[p][y * pitch[p] + x * ptrdiff_t(bytes) + ptrdiff_t(k)] = uint8_t(v[p] >> 8 * k);
      }
    for (const auto& [name, flags] : tiers()) {
      const ErrorSums e = select_error_sums(flags);
      EXPECT_EQ(want,
                plane_squared_error(e, first[0], pitch[0], first[1], pitch[1], c.w, c.h, c.depth))
          << name;
      // A negative height sums nothing rather than running away.
      EXPECT_EQ(0u,
                plane_squared_error(e, first[0], pitch[0], first[1], pitch[1], c.w, -1, c.depth));
    }
  }
}

}  // namespace
}  // namespace vq
