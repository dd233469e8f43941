// The vector error sums against the scalar one, and frame scores against a plain reference that
// converts whole frames with the scalar converters into zero-filled images. Both must agree
// exactly: the same integers and therefore the same doubles, bit for bit.
// Set VQ_TEST_SEED to rerun with another seed; the seed of a failing case is printed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compare/compare.h"
#include "tests/frames.h"

namespace vq {
namespace {

uint32_t base_seed() {
  const char* env = std::getenv("VQ_TEST_SEED");
  return env ? uint32_t(std::strtoul(env, nullptr, 0)) : 20240601u;
}

std::vector<std::pair<std::string, SumSquaredErrorFn>> sum_tiers() {
  std::vector<std::pair<std::string, SumSquaredErrorFn>> out;
  const uint32_t have = detect_cpu_flags();
  const std::pair<const char*, uint32_t> all[] = {{"sse2", kCpuMmx | kCpuSse2},
                                                  {"avx2", kCpuMmx | kCpuSse2 | kCpuAvx2}};
  for (const auto& [name, flags] : all) {
    if ((have & flags) == flags) out.emplace_back(name, select_sum_squared_error(flags));
  }
  return out;
}

TEST(ErrorSum, TiersMatchScalarOnRandomLengthsAndAlignments) {
  const SumSquaredErrorFn scalar = select_sum_squared_error(0);
  const uint32_t seed0 = base_seed();
  std::mt19937 rng(seed0);
  // Both inputs end exactly at their block's end, so a read past n shows under the sanitizer.
  for (int i = 0; i < 400; ++i) {
    const uint32_t seed = seed0 + uint32_t(i);
    rng.seed(seed);
    const size_t n = i < 100 ? size_t(i) : size_t(rng() % (i < 390 ? 3000 : 300000));
    const size_t off_a = rng() % 32, off_b = rng() % 32;
    std::unique_ptr<uint8_t[]> a(new uint8_t[off_a + n]), b(new uint8_t[off_b + n]);
    // Mostly small differences, as between two encodings of one picture, some of any size.
    for (size_t j = 0; j < n; ++j) {
      a[off_a + j] = uint8_t(rng());
      b[off_b + j] = rng() % 4 ? uint8_t(a[off_a + j] + rng() % 7 - 3) : uint8_t(rng());
    }
    const uint64_t want = scalar(a.get() + off_a, b.get() + off_b, n);
    for (const auto& [name, fn] : sum_tiers()) {
      ASSERT_EQ(want, fn(a.get() + off_a, b.get() + off_b, n))
          << name << " seed " << seed << " n " << n << " offsets " << off_a << "/" << off_b;
    }
  }
}

// Every difference 255 over more than 2^32 / 65025 samples: the 32-bit lanes must be flushed
// into 64-bit totals before they wrap.
TEST(ErrorSum, WorstCaseDifferencesDoNotWrap) {
  const size_t n = (size_t(1) << 22) + 77;
  std::vector<uint8_t> a(n, 0), b(n, 255);
  for (const auto& [name, fn] : sum_tiers()) {
    EXPECT_EQ(uint64_t(n) * 65025u, fn(a.data(), b.data(), n)) << name;
    EXPECT_EQ(uint64_t(n) * 65025u, fn(b.data(), a.data(), n)) << name;
  }
  EXPECT_EQ(uint64_t(n) * 65025u, sum_squared_error(a.data(), b.data(), n));
}

// The plain reference: whole frames converted by the scalar routines into zero-filled images,
// summed by the scalar sum, with the same double formulas.
int reference_score(const DibFrame& a, const DibFrame& b, FrameScore* out) {
  BitmapInfoHeader ha, hb;
  if (!read_bitmap_info_header(a.data, a.size, &ha)) return 0;
  if (!read_bitmap_info_header(b.data, b.size, &hb)) return 0;
  const int64_t w = ha.biWidth;
  const int64_t h = std::llabs(int64_t(ha.biHeight));
  if (ha.biWidth != hb.biWidth || h != std::llabs(int64_t(hb.biHeight))) return 0;
  if (w < 1 || h < 1 || w * h > INT32_MAX) return 0;
  ConverterTable scalar;
  fill_converter_table(&scalar, 0);
  const SumSquaredErrorFn sum = select_sum_squared_error(0);
  const size_t s = size_t(w * h), q = s / 4;
  std::vector<uint8_t> pa(s + 2 * q, 0), pb(s + 2 * q, 0);
  if (!convert_to_planar_with(scalar, a, pa.data(), pa.data() + s, pa.data() + s + q)) return 0;
  if (!convert_to_planar_with(scalar, b, pb.data(), pb.data() + s, pb.data() + s + q)) return 0;
  FrameScore score;
  score.mse[0] = double(sum(pa.data(), pb.data(), s)) / double(s);
  const size_t k = size_t(w / 2) * size_t(h / 2);
  const double r = 1.0 / double(k);
  for (int p = 1; p <= 2; ++p) {
    const size_t off = s + size_t(p - 1) * q;
    score.mse[p] = k ? double(sum(pa.data() + off, pb.data() + off, k)) * r : 0.0;
  }
  for (int p = 0; p < 3; ++p)
    score.psnr[p] = psnr_from_mse(score.mse[p]);
  *out = score;
  return 1;
}

enum class Format { kRgb555, kRgb24, kRgb32, kYv12 };

// A random frame of the given format; `base` makes the second frame of a pair a near copy.
std::vector<uint8_t> random_frame(std::mt19937& rng, Format f, int w, int h,
                                  const test::Picture& base) {
  test::Picture pic = base;
  for (auto& px : pic.px) {
    if (rng() % 3 == 0) px = {uint8_t(px.b + rng() % 9), uint8_t(px.g - rng() % 5), uint8_t(rng())};
  }
  const auto rows = rng() % 2 ? test::Rows::kPadded : test::Rows::kPacked;
  const auto order = rng() % 2 ? test::Order::kBottomUp : test::Order::kTopDown;
  switch (f) {
    case Format::kRgb555:
      return test::rgb_frame(pic, 16, rows, order);
    case Format::kRgb24:
      return test::rgb_frame(pic, 24, rows, order);
    case Format::kRgb32:
      return test::rgb_frame(pic, 32, rows, order);
    case Format::kYv12:
      break;
  }
  const size_t k = size_t(w / 2) * size_t(h / 2);
  std::vector<uint8_t> y(size_t(w) * h), u(k), v(k);
  for (size_t i = 0; i < y.size(); ++i)
    y[i] = uint8_t(pic.px[i].g);
  for (size_t i = 0; i < k; ++i) {
    u[i] = pic.px[i].b;
    v[i] = pic.px[i].r;
  }
  return test::yv12_frame(w, h, y, u, v);
}

const char* name(Format f) {
  switch (f) {
    case Format::kRgb555:
      return "555";
    case Format::kRgb24:
      return "24";
    case Format::kRgb32:
      return "32";
    case Format::kYv12:
      return "yv12";
  }
  return "?";
}

// Sizes around the strip heights (a strip holds about 32 KiB of Y samples), odd widths and
// heights, one pixel wide or high, and frames large enough to be split between two threads;
// every pairing of formats, so the working memory is reused across sizes and formats.
TEST(FrameScoreSimd, MatchesTheZeroFilledReferenceExactly) {
  const std::pair<int, int> sizes[] = {{1, 1},     {1, 5},      {6, 1},     {2, 2},    {3, 3},
                                       {5, 5},     {17, 9},     {33, 31},   {64, 3},   {1000, 65},
                                       {1001, 67}, {2048, 33},  {2047, 50}, {4096, 9}, {31, 1057},
                                       {640, 410}, {1001, 523}, {1280, 721}};
  const Format formats[] = {Format::kRgb555, Format::kRgb24, Format::kRgb32, Format::kYv12};
  const uint32_t seed0 = base_seed();
  uint32_t seed = seed0;
  for (auto [w, h] : sizes) {
    for (Format fa : formats) {
      for (Format fb : formats) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " " + std::to_string(w) + "x" +
                     std::to_string(h) + " " + name(fa) + " vs " + name(fb));
        std::mt19937 rng(seed++);
        test::Picture base = test::solid(w, h, {});
        for (auto& px : base.px)
          px = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        const auto a = random_frame(rng, fa, w, h, base);
        const auto b = random_frame(rng, fb, w, h, base);
        FrameScore want, got;
        ASSERT_EQ(1, reference_score(test::view(a), test::view(b), &want));
        ASSERT_EQ(1, frame_score(test::view(a), test::view(b), &got));
        for (int p = 0; p < 3; ++p) {
          EXPECT_EQ(want.mse[p], got.mse[p]) << "plane " << p;
          EXPECT_EQ(want.psnr[p], got.psnr[p]) << "plane " << p;
        }
        // The same pair again, after other sizes used the working memory, and swapped.
        FrameScore again, swapped, want_swapped;
        ASSERT_EQ(1, frame_score(test::view(a), test::view(b), &again));
        EXPECT_EQ(got.mse[0], again.mse[0]);
        ASSERT_EQ(1, reference_score(test::view(b), test::view(a), &want_swapped));
        ASSERT_EQ(1, frame_score(test::view(b), test::view(a), &swapped));
        for (int p = 0; p < 3; ++p)
          EXPECT_EQ(want_swapped.mse[p], swapped.mse[p]);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace vq
