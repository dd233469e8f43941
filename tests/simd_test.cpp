// The vector forms against the scalar ones on seeded random data: every tier of the 24-bit,
// 32-bit and 5-6-5 converters byte for byte, the error sums integer for integer, and frame scores
// against a plain reference that converts whole frames with the scalar converters into zero-filled
// images, bit for bit. Set VQ_TEST_SEED to rerun with another seed; a failing case prints its own.
#include <gtest/gtest.h>

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
    check_convert(bytes, {1920, 1080, 0, 0, 3, true}, seed);
    check_convert(bytes, {1920, 1080, 0, 0, 3, false}, seed);
  }
}

// Every length up to 100, then random ones up to 300000, at random alignments. Both inputs end
// exactly at their block's end, so a read past n shows under the sanitizer.
TEST(SimdErrorSum, TiersMatchScalarOnRandomLengthsAndAlignments) {
  for (int i = 0; i < 400; ++i) {
    const uint32_t seed = base_seed() + uint32_t(i);
    std::mt19937 rng(seed);
    const size_t n = i < 100 ? size_t(i) : size_t(rng() % (i < 390 ? 3000 : 300000));
    const size_t off_a = rng() % 32, off_b = rng() % 32;
    std::vector<uint8_t> block_a(off_a + n), block_b(off_b + n);
    uint8_t *a = block_a.data() + off_a, *b = block_b.data() + off_b;
    // Mostly small differences, as between two encodings of one picture, some of any size.
    for (size_t j = 0; j < n; ++j) {
      a[j] = uint8_t(rng());
      b[j] = rng() % 4 ? uint8_t(a[j] + rng() % 7 - 3) : uint8_t(rng());
    }
    const uint64_t want = select_sum_squared_error(0)(a, b, n);
    for (const auto& [name, flags] : tiers()) {
      ASSERT_EQ(want, select_sum_squared_error(flags)(a, b, n))
          << name << " seed " << seed << " n " << n << " offsets " << off_a << "/" << off_b;
    }
  }
}

// Every difference 255 over more than 2^32 / 65025 samples: the 32-bit lanes must be flushed
// into 64-bit totals before they wrap.
TEST(SimdErrorSum, WorstCaseDifferencesDoNotWrap) {
  const size_t n = (size_t(1) << 22) + 77;
  std::vector<uint8_t> a(n, 0), b(n, 255);
  for (const auto& [name, flags] : tiers())
    EXPECT_EQ(uint64_t(n) * 65025u, select_sum_squared_error(flags)(a.data(), b.data(), n)) << name;
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
  const std::pair<int, int> sizes[] = {{1, 1},     {1, 5},      {6, 1},     {2, 2},    {3, 3},
                                       {5, 5},     {17, 9},     {33, 31},   {64, 3},   {1000, 65},
                                       {1001, 67}, {2048, 33},  {2047, 50}, {4096, 9}, {31, 1057},
                                       {640, 410}, {1001, 523}, {1280, 721}};
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

}  // namespace
}  // namespace vq
