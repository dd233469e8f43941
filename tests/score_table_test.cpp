// The score table's pooling: the one place mean, harmonic mean, extremes, the worst pair and
// percentiles are computed for every output.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "score/score.h"

namespace vq {
namespace {

TEST(ScoreTable, PoolsWhatWasSetInAnyOrder) {
  const struct {
    std::vector<std::pair<int32_t, double>> values;  // pair, value, in the order written
    Pooled want;
    double median;
  } cases[] = {
      // libvmaf's harmonic mean: n / sum(1 / (x + 1)) - 1.
      {{{0, 1.0}, {1, 3.0}}, {2, 1.0, 3.0, 2.0, 2.0 / (0.5 + 0.25) - 1.0, 0}, 1.0},
      // Written out of order, with a pair left without a value: it takes no part.
      {{{3, 90.0}, {0, 80.0}, {2, 70.0}},
       {3, 70.0, 90.0, 80.0, 3.0 / (1 / 81.0 + 1 / 91.0 + 1 / 71.0) - 1, 2},
       80.0},
      // The first of equal lowest values is the worst pair.
      {{{1, 5.0}, {0, 5.0}, {2, 6.0}}, {3, 5.0, 6.0, 16.0 / 3, 0, 0}, 5.0},
  };
  for (const auto& c : cases) {
    ScoreTable t;
    const int col = t.declare("vmaf");
    EXPECT_EQ(col, t.declare("vmaf"));
    for (const auto& [pair, v] : c.values)
      t.set(col, pair, v);
    const Pooled p = t.pool(col);
    EXPECT_EQ(c.want.count, p.count);
    EXPECT_EQ(c.want.min, p.min);
    EXPECT_EQ(c.want.max, p.max);
    EXPECT_DOUBLE_EQ(c.want.mean, p.mean);
    if (c.want.harmonic_mean != 0) {
      EXPECT_DOUBLE_EQ(c.want.harmonic_mean, p.harmonic_mean);
    }
    EXPECT_EQ(c.want.worst_pair, p.worst_pair);
    EXPECT_EQ(c.median, t.percentile(col, 50));
  }
}

// Nearest rank: the value at rank ceil(percent x count / 100) of the sorted values, 1 at the
// least; pairs without a value take no part, and the order of writing does not matter.
TEST(ScoreTable, PercentilesAreNearestRank) {
  const struct {
    int32_t count;  // values 1 .. count, written from the last pair to the first
    int32_t hole;   // a pair left without a value (its would-be value is not counted), or -1
    double percent;
    double want;
  } cases[] = {
      {20, -1, 1, 1},  {20, -1, 5, 1},   {20, -1, 50, 10}, {20, -1, 100, 20},
      {7, -1, 50, 4},  {1, -1, 1, 1},    {1, -1, 50, 1},   {60, -1, 5, 3},
      {100, -1, 7, 7}, {300, -1, 7, 21}, {300, -1, 1, 3},  {10, 0, 1, 2},
      {10, 4, 50, 6},  {10, -1, 0, 1},   {10, -1, 99, 10}, {4, -1, 25, 1},
  };
  for (const auto& c : cases) {
    ScoreTable t;
    const int col = t.declare("vmaf");
    for (int32_t i = c.count - 1; i >= 0; --i)
      if (i != c.hole) t.set(col, i, double(i + 1));
    EXPECT_EQ(c.want, t.percentile(col, c.percent))
        << c.count << " values, p" << c.percent << ", hole " << c.hole;
  }
  ScoreTable empty;
  EXPECT_EQ(0.0, empty.percentile(empty.declare("vmaf"), 50));
  EXPECT_EQ(0.0, empty.percentile(-1, 50));
}

TEST(ScoreTable, ColumnsKeepTheirOrderAndRowsGrowFromAnyThread) {
  ScoreTable t;
  const int a = t.declare("psnr_y"), b = t.declare("float_ssim");
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      for (int32_t i = k; i < 400; i += 4) {
        t.set(a, i, double(i));
        t.set(b, i, 1.0 / (i + 1));
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(400, t.rows());
  EXPECT_EQ("psnr_y", t.name(a));
  EXPECT_EQ("float_ssim", t.name(b));
  EXPECT_EQ(-1, t.find("vmaf"));
  double v = 0;
  ASSERT_TRUE(t.get(a, 399, &v));
  EXPECT_EQ(399.0, v);
  EXPECT_FALSE(t.get(a, 400, &v));
  EXPECT_EQ(199.5, t.pool(a).mean);
  EXPECT_EQ(3.0, t.percentile(a, 1));  // nearest rank: the 4th of the values 0 .. 399
  EXPECT_EQ(399.0, t.percentile(a, 100));
  t.set_aggregate("apsnr_y", 41.5);
  t.set_aggregate("apsnr_y", 42.5);
  ASSERT_EQ(1u, t.aggregates().size());
  EXPECT_EQ(42.5, t.aggregates()[0].second);
}

}  // namespace
}  // namespace vq
