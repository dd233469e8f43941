// integer_motion's blur: every kernel tier against the scalar kernels, and the whole picture
// loop (mirrored rows and columns, any pitch) against a direct sum of the blur's definition.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "metrics/integer_motion/motion.h"
#include "tests/frames.h"
#include "tests/metrics/requests.h"

namespace vq {
namespace {

constexpr int kGuard = 16;

int mirror(int i, int n) {
  return i < 0 ? -i : i >= n ? 2 * n - i - 2 : i;
}

// Random samples of `depth` bits, a tenth of them at the extremes.
std::vector<uint16_t> random_samples(std::mt19937& rng, size_t n, int depth) {
  const uint32_t top = (1u << depth) - 1;
  std::vector<uint16_t> v(n);
  for (auto& s : v) {
    const uint32_t r = rng() % 20;
    s = uint16_t(r == 0 ? 0 : r == 1 ? top : rng() % (top + 1));
  }
  return v;
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

TEST(IntegerMotion, KernelTiersEqualScalar) {
  const motion::Kernels ref = motion::scalar_kernels();
  std::mt19937 rng(test::base_seed());
  for (const auto& [tier, flags] : test::tiers()) {
    SCOPED_TRACE(tier);
    const motion::Kernels k = motion::kernels_for(flags);
    for (int iter = 0; iter < 400; ++iter) {
      const int w = iter < 40 ? 1 + iter : 1 + int(rng() % 300);
      const int depth = iter % 2 ? 8 : 9 + int(rng() % 8);
      SCOPED_TRACE("w=" + std::to_string(w) + " depth=" + std::to_string(depth));
      const std::vector<uint16_t> p = random_samples(rng, size_t(5 * w), depth);
      const std::vector<uint16_t> c = random_samples(rng, size_t(5 * w), depth);
      std::vector<uint8_t> p8(p.begin(), p.end()), c8(c.begin(), c.end());
      const uint8_t *pr8[5], *cr8[5];
      const uint16_t *pr16[5], *cr16[5];
      for (int t = 0; t < 5; ++t) {  // rows repeat, as mirrored taps give them
        const size_t row = size_t(rng() % 5) * size_t(w);
        pr8[t] = p8.data() + row;
        cr8[t] = c8.data() + row;
        pr16[t] = p.data() + row;
        cr16[t] = c.data() + row;
      }
      std::vector<int32_t> a(size_t(w + 2 * kGuard), 0x5a5a5a5a), b(a);
      if (depth == 8) {
        ref.vertical8(pr8, cr8, w, a.data() + kGuard);
        k.vertical8(pr8, cr8, w, b.data() + kGuard);
      } else {
        ref.vertical16(pr16, cr16, w, depth, a.data() + kGuard);
        k.vertical16(pr16, cr16, w, depth, b.data() + kGuard);
      }
      ASSERT_EQ(a, b) << "vertical";

      // Rows of the widest values the vertical pass can give, extremes included.
      std::vector<int32_t> row(size_t(w + 2 * motion::kPad));
      for (auto& v : row) {
        const uint32_t r = rng() % 10;
        v = r == 0 ? 65535 : r == 1 ? -65535 : int32_t(rng() % 131071) - 65535;
      }
      EXPECT_EQ(ref.horizontal_sad(row.data() + motion::kPad, w),
                k.horizontal_sad(row.data() + motion::kPad, w))
          << "horizontal";
    }
  }
}

// Whole pictures at random sizes (the smallest, where the mirrors meet, and odd ones), every
// depth, stored top-down with wide pitches and bottom-up: every tier gives the definition's sum.
TEST(IntegerMotion, BlurredSadMatchesItsDefinitionForAnyPitch) {
  const int tiny[][3] = {{3, 3, 8}, {3, 5, 8}, {5, 3, 10}, {4, 4, 12}, {7, 3, 16}, {3, 9, 16}};
  std::mt19937 rng(test::base_seed() + 1);
  std::vector<int32_t> scratch;
  for (int iter = 0; iter < 46; ++iter) {
    const int* t = iter < 6 ? tiny[iter] : nullptr;
    const int w = t ? t[0] : motion::kMinSize + int(rng() % 70);
    const int h = t ? t[1] : motion::kMinSize + int(rng() % 40);
    const int depth = t ? t[2] : iter % 3 == 0 ? 8 : 9 + int(rng() % 8);
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " depth " + std::to_string(depth));
    const std::vector<uint16_t> a = random_samples(rng, size_t(w * h), depth);
    const std::vector<uint16_t> b = random_samples(rng, size_t(w * h), depth);
    const uint64_t want = direct_sad(a, b, w, h, depth);
    for (const bool up : {false, true}) {  // top-down with wide pitches, and bottom-up
      const test::Stored sa = test::store(a, w, h, depth, 10, up),
                         sb = test::store(b, w, h, depth, 10, up);
      for (const auto& [tier, flags] : test::tiers()) {
        EXPECT_EQ(motion::blurred_sad({sa.top(), sa.pitch, depth}, {sb.top(), sb.pitch, depth}, w,
                                      h, motion::kernels_for(flags), &scratch),
                  want)
            << tier << (up ? " bottom up" : "");
      }
    }
  }
}

}  // namespace
}  // namespace vq
