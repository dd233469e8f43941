// The 16-bit error sum at every tier against the scalar form on seeded random data, and the
// plane sum over padded and bottom-up planes against a per-sample reference. Set VQ_TEST_SEED
// to rerun with another seed; a failing case prints its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "compare/compare.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::base_seed;
using test::tiers;

// Samples below 2^bits; b is a near copy of a (XOR of the low `near` bits) except one sample in
// `rare`, which takes any value. Bits 0: runs of up to 600 extreme pairs, so whole blocks hold
// only the largest difference the fast way takes (8191), the smallest it refuses, or 65535.
void fill(std::mt19937& rng, uint16_t* a, uint16_t* b, size_t n, int bits, int near, int rare) {
  const uint16_t pairs[][2] = {{0, 8191}, {8192, 0}, {0, 65535}, {65535, 0}, {777, 777}};
  const uint32_t mask = (1u << bits) - 1;
  for (size_t i = 0; i < n;) {
    const auto& p = pairs[rng() % 5];
    for (size_t end = bits ? i + 1 : std::min(n, i + 1 + rng() % 600); i < end; ++i) {
      a[i] = bits ? uint16_t(rng() & mask) : p[0];
      b[i] = !bits          ? p[1]
             : rng() % rare ? uint16_t(a[i] ^ (rng() & ((1u << near) - 1) & mask))
                            : uint16_t(rng() & mask);
    }
  }
}

// Every length to 300, then larger ones, at random word offsets; both inputs end exactly at
// their block's end, so a read past n shows under the sanitizer.
TEST(ErrorSum16, TiersMatchScalar) {
  const struct {
    int bits, near, rare;
  } kinds[] = {{10, 2, 1 << 30}, {12, 0, 1}, {16, 0, 1}, {16, 6, 700}, {0, 0, 1}};
  for (const auto& k : kinds)
    for (int i = 0; i < 320; ++i) {
      const uint32_t seed = base_seed() + uint32_t(i);
      std::mt19937 rng(seed);
      const size_t n = i <= 300 ? size_t(i) : 1000 + rng() % (i < 316 ? 20000 : 400000);
      const size_t off_a = rng() % 16, off_b = rng() % 16;
      std::vector<uint16_t> block_a(off_a + n), block_b(off_b + n);
      uint16_t *a = block_a.data() + off_a, *b = block_b.data() + off_b;
      fill(rng, a, b, n, k.bits, k.near, k.rare);
      const uint64_t want = select_sum_squared_error16(0)(a, b, n);
      for (const auto& [name, flags] : tiers())
        ASSERT_EQ(want, select_sum_squared_error16(flags)(a, b, n))
            << name << " bits " << k.bits << "/" << k.near << "/" << k.rare << " seed " << seed
            << " n " << n;
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
