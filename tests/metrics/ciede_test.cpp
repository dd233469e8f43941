// ciede against libvmaf's logs, its 4:2:2 upsampling, and the forms it refuses.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "metrics/ciede/ciede.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

const std::vector<std::string> kNames = {"ciede2000"};

class CiedeLog : public ::testing::TestWithParam<const char*> {};

TEST_P(CiedeLog, EqualsLibvmafPerFrame) {
  const std::string pair = GetParam();
  if (!reference::make_pair(pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << pair;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(pair + ".ciede.json", &log));
  ScoreTable t;
  reference::score_pair(pair, "ciede", 0, &t);
  reference::expect_matches(t, log, kNames);
  double mean = 0;
  for (int32_t i = 0; i < t.rows(); ++i) {
    double v = 0;
    ASSERT_TRUE(t.get(t.find(kNames[0]), i, &v));
    mean += v / t.rows();
  }
  EXPECT_NEAR(mean, log.pooled.at(kNames[0]).at("mean").get<double>(), 1.0000001e-6);
}

INSTANTIATE_TEST_SUITE_P(Pairs, CiedeLog,
                         ::testing::Values("p8_176x144", "p8_odd_177x99", "p8_crop_177x99",
                                           "p8_444_64x48", "p10_176x144", "p10_odd_161x97",
                                           "p12_96x64", "p8_1080p", "p8_min_8x8", "p8_min_16x16"));

}  // namespace
}  // namespace vq
