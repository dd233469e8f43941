// Every vector form of the 24- and 32-bit converters against the scalar routine, byte for byte,
// on seeded random frames. Source buffers end exactly at the frame's last byte so that the
// sanitizer build catches any read past it; every output plane has guard bands on both sides.
// Set VQ_TEST_SEED to rerun with another seed; the seed of a failing case is printed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"

namespace vq {
namespace {

struct Tier {
  std::string name;
  ConverterTable table;
};

// The scalar table and every tier this processor has.
std::vector<Tier> tiers() {
  std::vector<Tier> out;
  const uint32_t have = detect_cpu_flags();
  const std::pair<const char*, uint32_t> all[] = {{"scalar", 0},
                                                  {"mmx", kCpuMmx},
                                                  {"sse2", kCpuMmx | kCpuSse2},
                                                  {"avx2", kCpuMmx | kCpuSse2 | kCpuAvx2}};
  for (const auto& [name, flags] : all) {
    if ((have & flags) != flags) continue;
    Tier t{name, {}};
    fill_converter_table(&t.table, flags);
    out.push_back(t);
  }
  return out;
}

uint32_t base_seed() {
  const char* env = std::getenv("VQ_TEST_SEED");
  return env ? uint32_t(std::strtoul(env, nullptr, 0)) : 20240601u;
}

// A source frame in a heap block of exactly its size, starting `misalign` bytes into a block
// taken from the allocator, so the last pixel byte is the block's last byte.
struct Source {
  std::unique_ptr<uint8_t[]> block;
  const uint8_t* top = nullptr;
  ptrdiff_t pitch = 0;
};

Source make_source(std::mt19937& rng, int bytes, int32_t w, int32_t h, size_t row_gap,
                   bool bottom_up, size_t misalign) {
  const size_t row = size_t(w) * bytes;
  const size_t stored_pitch = row + row_gap;
  const size_t size = misalign + size_t(h - 1) * stored_pitch + row;
  Source s;
  s.block.reset(new uint8_t[size]);
  for (size_t i = 0; i < size; ++i)
    s.block[i] = uint8_t(rng());
  const uint8_t* first = s.block.get() + misalign;
  s.top = bottom_up ? first + size_t(h - 1) * stored_pitch : first;
  s.pitch = bottom_up ? -ptrdiff_t(stored_pitch) : ptrdiff_t(stored_pitch);
  return s;
}

constexpr size_t kGuard = 64;
constexpr uint8_t kFill = 0xA5;

// Three output planes, each inside guard bands, all bytes preset to kFill.
struct Planes {
  std::vector<uint8_t> y, u, v;
  Planes(size_t y_size, size_t c_size)
      : y(y_size + 2 * kGuard, kFill),
        u(c_size + 2 * kGuard, kFill),
        v(c_size + 2 * kGuard, kFill) {}
  uint8_t* yp() { return y.data() + kGuard; }
  uint8_t* up() { return u.data() + kGuard; }
  uint8_t* vp() { return v.data() + kGuard; }
};

struct Case {
  int32_t w, h;
  int32_t stride_extra;  // luma stride - width
  size_t row_gap;        // source bytes between rows (0: packed)
  bool bottom_up;
  size_t misalign;
};

std::string describe(const Case& c, uint32_t seed) {
  return "seed " + std::to_string(seed) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) +
         " stride+" + std::to_string(c.stride_extra) + " gap " + std::to_string(c.row_gap) +
         (c.bottom_up ? " bottom-up" : " top-down") + " misalign " + std::to_string(c.misalign);
}

// Runs one case through the scalar routine and every other tier and compares all bytes.
void check_case(const std::vector<Tier>& all, ConverterSlot slot, int bytes, const Case& c,
                uint32_t seed) {
  SCOPED_TRACE(describe(c, seed) + " bits " + std::to_string(8 * bytes));
  std::mt19937 rng(seed);
  const Source src = make_source(rng, bytes, c.w, c.h, c.row_gap, c.bottom_up, c.misalign);
  const int32_t stride = c.w + c.stride_extra;
  const ptrdiff_t cstride = c.w / 2 + c.stride_extra / 2;
  const size_t y_size = size_t(stride) * size_t(c.h);
  const size_t c_size = size_t(cstride) * size_t(c.h / 2);
  Planes want(y_size, c_size);
  all.front().table.slot[slot](want.yp(), want.up(), want.vp(), src.top, c.w, c.h, stride,
                               src.pitch);
  for (size_t t = 1; t < all.size(); ++t) {
    Planes got(y_size, c_size);
    all[t].table.slot[slot](got.yp(), got.up(), got.vp(), src.top, c.w, c.h, stride, src.pitch);
    // The guard bands are part of the comparison: the scalar routine leaves them as filled.
    ASSERT_EQ(want.y, got.y) << all[t].name << " Y";
    ASSERT_EQ(want.u, got.u) << all[t].name << " U";
    ASSERT_EQ(want.v, got.v) << all[t].name << " V";
  }
}

// Widths around every vector step (1 block for MMX, 8 for SSE2, 16 for AVX2) and the smallest.
const int32_t kWidths[] = {1,  2,  3,  4,  5,  7,  15, 16, 17, 18, 31,
                           32, 33, 34, 35, 47, 63, 64, 65, 66, 97};
const int32_t kHeights[] = {1, 2, 3, 4, 5};

class ConvertSimd : public ::testing::TestWithParam<int> {};

TEST_P(ConvertSimd, MatchesScalarOnEverySizeAndLayout) {
  const int bytes = GetParam();
  const ConverterSlot slot = bytes == 3 ? kSlotRgb24ToPlanar : kSlotRgb32ToPlanar;
  const auto all = tiers();
  uint32_t seed = base_seed() + uint32_t(bytes) * 1000003u;
  for (int32_t w : kWidths) {
    for (int32_t h : kHeights) {
      for (bool bottom_up : {true, false}) {
        for (size_t gap : {size_t(0), size_t((4 - (w * bytes) % 4) % 4), size_t(5)}) {
          const Case c{w, h, 0, gap, bottom_up, size_t(seed % 61)};
          check_case(all, slot, bytes, c, seed++);
          if (HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST_P(ConvertSimd, MatchesScalarOnRandomFrames) {
  const int bytes = GetParam();
  const ConverterSlot slot = bytes == 3 ? kSlotRgb24ToPlanar : kSlotRgb32ToPlanar;
  const auto all = tiers();
  const uint32_t seed0 = base_seed() ^ uint32_t(bytes) * 7919u;
  std::mt19937 pick(seed0);
  for (int i = 0; i < 60; ++i) {
    const uint32_t seed = seed0 + uint32_t(i);
    pick.seed(seed);
    Case c;
    c.w = int32_t(1 + pick() % 300);
    c.h = int32_t(1 + pick() % 24);
    c.stride_extra = int32_t(pick() % 3 == 0 ? pick() % 9 : 0);
    c.row_gap = pick() % 2 ? 0 : pick() % 12;
    c.bottom_up = pick() % 2;
    c.misalign = pick() % 64;
    check_case(all, slot, bytes, c, seed);
    if (HasFatalFailure()) return;
  }
}

TEST_P(ConvertSimd, MatchesScalarAt1080p) {
  const int bytes = GetParam();
  const ConverterSlot slot = bytes == 3 ? kSlotRgb24ToPlanar : kSlotRgb32ToPlanar;
  const auto all = tiers();
  const uint32_t seed = base_seed() + 1080u;
  for (bool bottom_up : {true, false}) {
    check_case(all, slot, bytes, Case{1920, 1080, 0, 0, bottom_up, 3}, seed);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, ConvertSimd, ::testing::Values(3, 4),
                         [](const auto& info) { return std::to_string(8 * info.param) + "bit"; });

// Frames that are too small or given no rows leave every plane and guard untouched, in every
// tier, and read nothing.
TEST(ConvertSimdEdges, TinyFramesAreLeftAlone) {
  for (const Tier& t : tiers()) {
    for (ConverterSlot slot : {kSlotRgb24ToPlanar, kSlotRgb32ToPlanar}) {
      for (auto [w, h] : {std::pair{1, 8}, {8, 1}, {0, 4}, {4, 0}, {4, -2}}) {
        SCOPED_TRACE(t.name + " " + std::to_string(w) + "x" + std::to_string(h));
        Planes p(64, 16);
        const std::vector<uint8_t> y = p.y, u = p.u, v = p.v;
        t.table.slot[slot](p.yp(), p.up(), p.vp(), nullptr, w, h, w, 0);
        EXPECT_EQ(y, p.y);
        EXPECT_EQ(u, p.u);
        EXPECT_EQ(v, p.v);
      }
    }
  }
}

// The MMX registers alias the x87 stack: after an MMX conversion the floating-point state must
// be usable at once, for long double (x87) as for double arithmetic.
TEST(ConvertSimdEdges, FloatingPointWorksRightAfterAnMmxConversion) {
  if (!(detect_cpu_flags() & kCpuMmx)) GTEST_SKIP() << "no MMX";
  ConverterTable mmx;
  fill_converter_table(&mmx, kCpuMmx);
  std::mt19937 rng(base_seed());
  for (ConverterSlot slot : {kSlotRgb24ToPlanar, kSlotRgb32ToPlanar}) {
    const Source src = make_source(rng, slot == kSlotRgb24ToPlanar ? 3 : 4, 6, 4, 0, true, 0);
    Planes p(24, 6);
    mmx.slot[slot](p.yp(), p.up(), p.vp(), src.top, 6, 4, 6, src.pitch);
    volatile long double x = 1.5L;
    volatile long double y = x * 3.0L + 0.25L;
    EXPECT_EQ(4.75L, y);
    volatile double d = 65025.0;
    EXPECT_DOUBLE_EQ(48.130803608679102, 10.0 * std::log10(d / 1.0));
  }
}

}  // namespace
}  // namespace vq
