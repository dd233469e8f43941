// integer_motion's blur: every kernel tier against the scalar kernels, and the whole picture
// loop (mirrored rows and columns, any pitch) against a direct sum of the blur's definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "metrics/integer_motion/motion.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

using test::Rng;
using test::Twin;

int mirror(int i, int n) {
  return i < 0 ? -i : i >= n ? 2 * n - i - 2 : i;
}

// The blurred sum of absolute differences, straight from its definition.
uint64_t direct_sad(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, int w, int h,
                    int depth) {
  std::vector<int64_t> col(size_t(w * h));
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      int64_t acc = 0;
      for (int k = 0; k < 5; ++k) {
        const size_t p = size_t(mirror(i - 2 + k, h) * w + j);
        acc += motion::kFilter[k] * (int64_t(a[p]) - int64_t(b[p]));
      }
      col[size_t(i * w + j)] = (acc + (int64_t(1) << (depth - 1))) >> depth;
    }
  uint64_t sad = 0;
  for (int i = 0; i < h; ++i) {
    uint32_t row = 0;
    for (int j = 0; j < w; ++j) {
      int64_t acc = 0;
      for (int k = 0; k < 5; ++k)
        acc += motion::kFilter[k] * col[size_t(i * w + mirror(j - 2 + k, w))];
      row += uint32_t(std::llabs((acc + (1 << 15)) >> 16));
    }
    sad += row;
  }
  return sad;
}

// Every depth below 16, a tenth of the samples at the extremes; whole rows blurred from rows of
// differences as large as the depth gives, rows repeating as mirrored taps give them.
TEST(IntegerMotion, KernelTiersEqualScalar) {
  test::every_tier(
      0, 400, motion::kernels_for, [](const motion::Kernels(&k)[2], Rng& rng, int round) {
        const int w = test::sweep(rng, round, 1, 300),
                  depth = round % 2 ? 8 : 9 + int(rng.below(7));
        const auto p = rng.samples(size_t(w), depth, 10), c = rng.samples(size_t(w), depth, 10);
        const std::vector<uint8_t> p8(p.begin(), p.end()), c8(c.begin(), c.end());
        // The differences, and cur copied on the way (the picture loop's test makes no copy).
        Twin<int16_t> diff(size_t(w), 0x5a5a);
        Twin<uint16_t> kept(size_t(w), 0xa5a5);
        for (int i : {0, 1})
          depth == 8 ? k[i].difference8(p8.data(), c8.data(), w, diff[i],
                                        reinterpret_cast<uint8_t*>(kept[i]))
                     : k[i].difference16(p.data(), c.data(), w, diff[i], kept[i]);
        ASSERT_TRUE(test::same(diff)) << "difference w=" << w << " depth=" << depth;
        ASSERT_TRUE(test::same(kept)) << "kept w=" << w << " depth=" << depth;

        // Whole rows (as narrow as the mirrors allow) blurred from differences as large as the
        // depth's samples give.
        const int bw = std::max(w, motion::kMinSize), most = (1 << depth) - 1;
        std::vector<int16_t> d(size_t(5 * bw));
        for (auto& v : d) {
          const uint32_t r = rng.below(10);
          v = int16_t(r == 0   ? most
                      : r == 1 ? -most
                               : int(rng.below(uint32_t(2 * most + 1))) - most);
        }
        const int16_t* rows[5];
        rng.rows(d.data(), bw, 5, 5, rows);
        std::vector<int32_t> scratch(size_t(bw + motion::kRowScratch));
        uint32_t blurred[2];
        for (int i : {0, 1})
          blurred[i] = k[i].blur_row(rows, bw, depth, scratch.data());
        EXPECT_TRUE(test::same(blurred)) << "blur_row w=" << bw << " depth=" << depth;

        // Rows of the widest values the vertical pass can give, extremes included.
        std::vector<int32_t> row(size_t(w + 2 * motion::kPad));
        for (auto& v : row) {
          const uint32_t r = rng.below(10);
          v = r == 0 ? 65535 : r == 1 ? -65535 : int32_t(rng.below(131071)) - 65535;
        }
        uint32_t sad[2];
        for (int i : {0, 1})
          sad[i] = k[i].horizontal_sad(row.data() + motion::kPad, w);
        EXPECT_TRUE(test::same(sad)) << "horizontal w=" << w;
      });
}

// Whole pictures at random sizes (the smallest, where the mirrors meet, and odd ones), every
// depth, still rows among moving ones, stored top-down with wide pitches and bottom-up: every
// tier gives the definition's sum.
TEST(IntegerMotion, BlurredSadMatchesItsDefinitionForAnyPitch) {
  const int tiny[][3] = {{3, 3, 8}, {3, 5, 8}, {5, 3, 10}, {4, 4, 12}, {7, 3, 16}, {3, 9, 16}};
  Rng rng(1, 0);
  std::vector<int32_t> scratch;
  for (int iter = 0; iter < 46; ++iter) {
    const int* t = iter < 6 ? tiny[iter] : nullptr;
    const int w = t ? t[0] : motion::kMinSize + int(rng.below(70));
    const int h = t ? t[1] : motion::kMinSize + int(rng.below(40));
    const int depth = t ? t[2] : iter % 3 == 0 ? 8 : 9 + int(rng.below(8));
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " depth " + std::to_string(depth));
    const auto a = rng.samples(size_t(w * h), depth, 10);
    auto b = rng.samples(size_t(w * h), depth, 10);
    // Most pictures keep some rows of the first still (runs of them, the edges' mirrors too).
    if (iter % 4 != 0)
      for (int i = 0; i < h; ++i)
        if (rng.below(3) != 0)
          std::copy(a.begin() + i * w, a.begin() + (i + 1) * w, b.begin() + i * w);
    const uint64_t want = direct_sad(a, b, w, h, depth);
    for (const bool up : {false, true}) {  // top-down with wide pitches, and bottom-up
      const test::Stored sa = test::store(a, w, h, depth, 10, up),
                         sb = test::store(b, w, h, depth, 10, up);
      for (const auto& [tier, flags] : test::tiers()) {
        // The second picture is kept packed as its rows are read (every row, still ones too).
        std::vector<uint16_t> kept(size_t(w * h), 0xa5a5);
        EXPECT_EQ(motion::blurred_sad({sa.top(), sa.pitch, depth}, {sb.top(), sb.pitch, depth}, w,
                                      h, motion::kernels_for(flags), &scratch,
                                      reinterpret_cast<uint8_t*>(kept.data())),
                  want)
            << tier << (up ? " bottom up" : "");
        if (depth == 8) {
          const auto* k8 = reinterpret_cast<const uint8_t*>(kept.data());
          EXPECT_TRUE(std::equal(b.begin(), b.end(), k8)) << tier << " kept";
        } else {
          EXPECT_EQ(b, kept) << tier << " kept";
        }
      }
    }
  }
}

}  // namespace
}  // namespace vq
