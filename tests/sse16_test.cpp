// The 16-bit error sum at every tier against the scalar form on seeded random data, and the
// plane sum over padded and bottom-up planes against a plain per-sample reference. Set
// VQ_TEST_SEED to rerun with another seed; a failing case prints its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "compare/compare.h"

namespace vq {
namespace {

uint32_t base_seed() {
  const char* env = std::getenv("VQ_TEST_SEED");
  return env ? uint32_t(std::strtoul(env, nullptr, 0)) : 20240601u;
}

// Scalar first, then every vector tier this processor has.
std::vector<std::pair<const char*, uint32_t>> tiers() {
  std::vector<std::pair<const char*, uint32_t>> out = {{"scalar", 0}};
  const uint32_t have = detect_cpu_flags();
  if (have & kCpuSse2) out.emplace_back("sse2", kCpuSse2);
  if ((have & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2))
    out.emplace_back("avx2", kCpuSse2 | kCpuAvx2);
  return out;
}

using Fill = std::function<void(std::mt19937&, uint16_t*, uint16_t*, size_t)>;

// Extreme pairs in runs of up to 600 samples, so whole blocks hold only the largest difference
// the fast path takes (8191), the smallest it refuses (8192), the largest of all, or none.
void extremes(std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n) {
  const uint16_t pairs[][2] = {{0, 8191}, {8192, 0}, {0, 65535}, {65535, 0}, {777, 777}};
  for (size_t i = 0; i < n;) {
    const auto& p = pairs[rng() % 5];
    for (size_t end = std::min(n, i + 1 + rng() % 600); i < end; ++i)
      a[i] = p[0], b[i] = p[1];
  }
}

const struct {
  const char* name;
  Fill fill;
} kData[] = {
    {"10-bit near copies",
     [](std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n) {
       for (size_t i = 0; i < n; ++i)
         a[i] = uint16_t(rng() % 1024),
         b[i] = uint16_t(std::clamp(a[i] + int(rng() % 7) - 3, 0, 1023));
     }},
    {"12-bit any",
     [](std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n) {
       for (size_t i = 0; i < n; ++i)
         a[i] = uint16_t(rng() % 4096), b[i] = uint16_t(rng() % 4096);
     }},
    {"16-bit any",
     [](std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n) {
       for (size_t i = 0; i < n; ++i)
         a[i] = uint16_t(rng()), b[i] = uint16_t(rng());
     }},
    // Near copies with a rare difference of any size: blocks switch between the two ways.
    {"16-bit, rare large",
     [](std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n) {
       for (size_t i = 0; i < n; ++i)
         a[i] = uint16_t(rng()),
         b[i] = rng() % 700 ? uint16_t(a[i] ^ (rng() % 64)) : uint16_t(rng());
     }},
    {"extremes", extremes},
};

// Every length to 300, then larger ones, at random word offsets; both inputs end exactly at
// their block's end, so a read past n shows under the sanitizer.
TEST(ErrorSum16, TiersMatchScalar) {
  for (const auto& data : kData)
    for (int i = 0; i < 320; ++i) {
      const uint32_t seed = base_seed() + uint32_t(i);
      std::mt19937 rng(seed);
      const size_t n = i <= 300 ? size_t(i) : 1000 + rng() % (i < 316 ? 20000 : 400000);
      const size_t off_a = rng() % 16, off_b = rng() % 16;
      std::vector<uint16_t> block_a(off_a + n), block_b(off_b + n);
      uint16_t *a = block_a.data() + off_a, *b = block_b.data() + off_b;
      data.fill(rng, a, b, n);
      const uint64_t want = select_sum_squared_error16(0)(a, b, n);
      for (const auto& [name, flags] : tiers())
        ASSERT_EQ(want, select_sum_squared_error16(flags)(a, b, n))
            << name << " " << data.name << " seed " << seed << " n " << n;
    }
}

// Uniform differences over long rows: no lane may wrap, whichever way the blocks are summed.
TEST(ErrorSum16, UniformDifferencesAreExact) {
  const size_t n = (size_t(1) << 21) + 13;
  for (auto [x, y] : {std::pair{0, 65535}, {65535, 0}, {0, 8191}, {9000, 808}, {1023, 0}}) {
    const std::vector<uint16_t> a(n, uint16_t(x)), b(n, uint16_t(y));
    const uint64_t d = uint64_t(std::abs(x - y));
    for (const auto& [name, flags] : tiers())
      EXPECT_EQ(n * d * d, select_sum_squared_error16(flags)(a.data(), b.data(), n))
          << name << " " << x << " vs " << y;
  }
}

// Planes with bytes between rows that differ wildly (they must not count), stored either way up,
// with equal or unequal pitches, against a sum over every sample.
TEST(PlaneSquaredError, PitchesPaddingAndOrder) {
  const struct {
    int depth;
    int32_t w, h;
    size_t pad_a, pad_b;
    bool up_a, up_b;
  } cases[] = {{8, 37, 5, 3, 0, false, true},     {8, 64, 4, 0, 0, false, false},
               {8, 1, 9, 1, 7, true, true},       {10, 37, 5, 6, 0, true, false},
               {10, 960, 3, 0, 0, false, false},  {12, 33, 7, 2, 2, true, true},
               {16, 100, 6, 64, 10, false, true}, {16, 17, 1, 0, 4, false, false}};
  uint32_t seed = base_seed();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " depth " << c.depth << " " << c.w << "x"
                                    << c.h << " pads " << c.pad_a << "/" << c.pad_b);
    std::mt19937 rng(seed++);
    const size_t bytes = c.depth > 8 ? 2 : 1, row = bytes * size_t(c.w);
    const uint32_t peak = (1u << c.depth) - 1;
    std::vector<uint8_t> a(size_t(c.h) * (row + c.pad_a), 0xFF), b(size_t(c.h) * (row + c.pad_b));
    uint64_t want = 0;
    const auto place = [&](std::vector<uint8_t>& v, size_t pad, bool up, int32_t y, size_t x) {
      return &v[size_t(up ? c.h - 1 - y : y) * (row + pad) + x * bytes];
    };
    for (int32_t y = 0; y < c.h; ++y)
      for (size_t x = 0; x < size_t(c.w); ++x) {
        const uint32_t va = rng() & peak,
                       vb = rng() % 3 ? (va ^ (rng() % 16)) & peak : rng() & peak;
        const int64_t d = int64_t(va) - int64_t(vb);
        want += uint64_t(d * d);
        uint8_t *pa = place(a, c.pad_a, c.up_a, y, x), *pb = place(b, c.pad_b, c.up_b, y, x);
        pa[0] = uint8_t(va), pb[0] = uint8_t(vb);
        if (bytes == 2) pa[1] = uint8_t(va >> 8), pb[1] = uint8_t(vb >> 8);
      }
    const ptrdiff_t pitch_a = ptrdiff_t(row + c.pad_a) * (c.up_a ? -1 : 1);
    const ptrdiff_t pitch_b = ptrdiff_t(row + c.pad_b) * (c.up_b ? -1 : 1);
    for (const auto& [name, flags] : tiers()) {
      const ErrorSums sums = select_error_sums(flags);
      EXPECT_EQ(want,
                plane_squared_error(sums, place(a, c.pad_a, c.up_a, 0, 0), pitch_a,
                                    place(b, c.pad_b, c.up_b, 0, 0), pitch_b, c.w, c.h, c.depth))
          << name;
      EXPECT_EQ(0u,
                plane_squared_error(sums, a.data(), pitch_a, b.data(), pitch_b, 0, c.h, c.depth));
      EXPECT_EQ(0u,
                plane_squared_error(sums, a.data(), pitch_a, b.data(), pitch_b, c.w, -1, c.depth));
    }
  }
}

}  // namespace
}  // namespace vq
