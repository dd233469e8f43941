// integer_vif against libvmaf's logs, its score names for option sets, the forms it refuses, and
// every kernel tier against the scalar kernels.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "metrics/integer_vif/vif.h"
#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

struct LogCase {
  const char* pair;
  const char* set;
  const char* request;
  const char* suffix;  // of every score name
};

const LogCase kLogCases[] = {
    {"p8_176x144", "vif", "integer_vif", ""},
    {"p8_crop_177x99", "vif", "integer_vif", ""},
    {"p8_444_64x48", "vif", "integer_vif", ""},
    {"p8_min_16x16", "vif", "integer_vif", ""},
    {"p10_176x144", "vif", "integer_vif", ""},
    {"p10_odd_161x97", "vif", "integer_vif", ""},
    {"p12_96x64", "vif", "integer_vif", ""},
    {"p8_1080p", "vif", "integer_vif", ""},
    {"p8_176x144", "vif_egl1", "integer_vif=vif_enhn_gain_limit=1.0", "_egl_1"},
    {"p8_crop_177x99", "vif_egl1", "integer_vif=vif_enhn_gain_limit=1.0", "_egl_1"},
    {"p10_176x144", "vif_egl1", "integer_vif=vif_enhn_gain_limit=1.0", "_egl_1"},
    {"p8_1080p", "vif_egl1", "integer_vif=vif_enhn_gain_limit=1.0", "_egl_1"},
};

std::vector<std::string> scale_names(const std::string& suffix) {
  std::vector<std::string> v;
  for (int s = 0; s < 4; ++s)
    v.push_back("integer_vif_scale" + std::to_string(s) + suffix);
  return v;
}

class VifLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(VifLog, EqualsLibvmafPerFrame) {
  const LogCase& c = GetParam();
  if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set + ".json", &log));
  const std::vector<std::string> names = scale_names(c.suffix);
  for (const auto& [tier, flags] : test::tiers()) {
    SCOPED_TRACE(tier);
    ScoreTable t;
    reference::score_pair(c.pair, c.request, flags, &t);
    reference::expect_matches(t, log, names);
    for (const std::string& n : names) {
      double mean = 0;
      const int col = t.find(n);
      for (int32_t i = 0; i < t.rows(); ++i) {
        double v = 0;
        ASSERT_TRUE(t.get(col, i, &v));
        mean += v / t.rows();
      }
      EXPECT_NEAR(mean, log.pooled.at(n).at("mean").get<double>(), 1.0000001e-6) << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, VifLog, ::testing::ValuesIn(kLogCases), [](const auto& info) {
  return std::string(info.param.pair) + "_" + info.param.set;
});

// The debug scores, and scale 0 skipped (its score 0, its denominator -1) with a gain limit.
TEST(IntegerVif, DebugScoresEqualLibvmaf) {
  const struct {
    const char* pair;
    const char* set;
    const char* request;
    const char* suffix;
  } cases[] = {
      {"p8_176x144", "vif_debug", "integer_vif=debug=true", ""},
      {"p10_odd_161x97", "vif_skip0",
       "integer_vif=vif_skip_scale0=true:debug=true:vif_enhn_gain_limit=1.5", "_egl_1.5_ssclz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.set);
    if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI";
    reference::Log log;
    ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set + ".json", &log));
    ScoreTable table;
    reference::score_pair(c.pair, c.request, 0, &table);
    std::vector<std::string> names = scale_names(c.suffix);
    for (const char* n : {"integer_vif", "integer_vif_num", "integer_vif_den"})
      names.push_back(n + std::string(c.suffix));
    for (int s = 0; s < 4; ++s) {
      names.push_back("integer_vif_num_scale" + std::to_string(s) + c.suffix);
      names.push_back("integer_vif_den_scale" + std::to_string(s) + c.suffix);
    }
    reference::expect_matches(table, log, names);
  }
}

TEST(IntegerVif, ScoreNamesFollowLibvmaf) {
  const struct {
    const char* request;
    const char* scale0;
  } cases[] = {
      {"integer_vif", "integer_vif_scale0"},
      {"integer_vif=vif_enhn_gain_limit=100", "integer_vif_scale0"},
      {"integer_vif=vif_enhn_gain_limit=1", "integer_vif_scale0_egl_1"},
      {"integer_vif=vif_enhn_gain_limit=1.25:debug=true", "integer_vif_scale0_egl_1.25"},
      {"integer_vif=vif_skip_scale0=true:vif_enhn_gain_limit=2", "integer_vif_scale0_egl_2_ssclz"},
  };
  for (const auto& c : cases) {
    MetricRequest r;
    std::string why;
    ASSERT_TRUE(parse_metric_request(c.request, &r, &why)) << why;
    EXPECT_EQ(r.row->scores(r.options).at(0), c.scale0) << c.request;
  }
  for (const char* bad : {"integer_vif=vif_enhn_gain_limit=0.5",
                          "integer_vif=vif_enhn_gain_limit=101", "integer_vif=egl=2"}) {
    MetricRequest r;
    std::string why;
    EXPECT_FALSE(parse_metric_request(bad, &r, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(IntegerVif, RefusesWhatItCannotScore) {
  const struct {
    int width, height, depth;
  } cases[] = {{15, 64, 8}, {64, 15, 8}, {1, 1, 8}, {64, 64, 17}, {64, 64, 7}};
  for (const auto& c : cases) {
    MetricRequest r;
    std::string why;
    ASSERT_TRUE(parse_metric_request("integer_vif", &r, &why)) << why;
    PictureForm form;
    form.width = c.width;
    form.height = c.height;
    form.depth = c.depth;
    std::unique_ptr<Metric> m;
    EXPECT_EQ(r.row->make(form, r.options, 0, &m, &why), MetricStatus::kUnsupported)
        << c.width << "x" << c.height << " depth " << c.depth;
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace vq
