// libvmaf's psnr against its CLI's logs: every frame, the pooled means and the APSNR aggregates,
// at every depth and layout its CLI reads, odd sizes, every option; scalar and fastest kernels.
#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

struct LogCase {
  const char* pair;
  const char* set;
  const char* request;
  bool chroma = true;  // the chroma planes scored, their APSNR aggregated
  bool mse = false;    // the MSE scores too
};

constexpr char kAll[] = "psnr=enable_chroma=true:enable_mse=true:enable_apsnr=true";
constexpr char kCtc[] = "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5";

const LogCase kLogCases[] = {
    {"p8_176x144", "psnr", kAll, true, true},
    {"p8_odd_177x99", "psnr", kAll, true, true},
    {"p8_crop_177x99", "psnr", kAll, true, true},
    {"p8_444_64x48", "psnr", kAll, true, true},
    {"p10_176x144", "psnr", kAll, true, true},
    {"p10_odd_161x97", "psnr", kAll, true, true},
    {"p12_96x64", "psnr", kAll, true, true},
    {"p8_1080p", "psnr", kAll, true, true},
    {"p8_same_64x48", "psnr", kAll, true, true},
    {"p10_same_64x48", "psnr", kAll, true, true},
    {"p10_176x144", "psnr_ctc", kCtc},
    {"p12_96x64", "psnr_ctc", kCtc},
    {"p8_same_64x48", "psnr_ctc", kCtc},
    {"p10_same_64x48", "psnr_ctc", kCtc},
    {"p8_crop_177x99", "psnr_min_sse", "psnr=min_sse=2:enable_apsnr=true"},
    {"p8_176x144", "psnr_luma", "psnr=enable_chroma=false", false},
};

class PsnrLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(PsnrLog, EqualsLibvmafPerFrame) {
  const LogCase& c = GetParam();
  if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set + ".json", &log));
  std::vector<std::string> scores = {"psnr_y"}, aggregates;
  if (c.chroma) {
    scores = {"psnr_y", "psnr_cb", "psnr_cr"};
    aggregates = {"apsnr_y", "apsnr_cb", "apsnr_cr"};
  }
  if (c.mse) scores.insert(scores.end(), {"mse_y", "mse_cb", "mse_cr"});
  for (const auto& [tier, flags] : test::scalar_and_best()) {
    SCOPED_TRACE(tier);
    ScoreTable table;
    reference::score_pair(c.pair, c.request, flags, &table);
    reference::expect_matches(table, log, scores);
    reference::expect_pooled_means(table, log, scores);
    for (const std::string& n : aggregates) {
      bool found = false;
      for (const auto& [name, value] : table.aggregates()) {
        if (name != n) continue;
        found = true;
        EXPECT_NEAR(value, log.aggregate.at(n).get<double>(), 1.0000001e-6) << n;
      }
      EXPECT_TRUE(found) << n;
    }
    // Without chroma, no chroma score has a value.
    if (!c.chroma) {
      EXPECT_EQ(0, table.pool(table.find("psnr_cb")).count);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, PsnrLog, ::testing::ValuesIn(kLogCases), [](const auto& info) {
  return std::string(info.param.pair) + "_" + info.param.set;
});

}  // namespace
}  // namespace vq
