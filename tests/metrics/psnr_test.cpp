// libvmaf's psnr against its CLI's logs: every frame, the pooled means and the APSNR aggregates,
// at every depth and layout its CLI reads, odd sizes, every option; scalar and fastest kernels.
#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

TEST(PsnrMetric, MatchesLibvmafsLogs) {
  const struct {
    const char* pair;
    const char* set;
    const char* request;
    std::vector<std::string> scores;
    std::vector<std::string> aggregates;
  } cases[] = {
#define ALL "psnr=enable_chroma=true:enable_mse=true:enable_apsnr=true"
#define CTC "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5"
#define EVERY {"psnr_y", "psnr_cb", "psnr_cr", "mse_y", "mse_cb", "mse_cr"}
#define PLANES \
  { "psnr_y", "psnr_cb", "psnr_cr" }
#define APSNR \
  { "apsnr_y", "apsnr_cb", "apsnr_cr" }
      {"p8_176x144", "psnr", ALL, EVERY, APSNR},
      {"p8_odd_177x99", "psnr", ALL, EVERY, APSNR},
      {"p8_crop_177x99", "psnr", ALL, EVERY, APSNR},
      {"p8_444_64x48", "psnr", ALL, EVERY, APSNR},
      {"p10_176x144", "psnr", ALL, EVERY, APSNR},
      {"p10_odd_161x97", "psnr", ALL, EVERY, APSNR},
      {"p12_96x64", "psnr", ALL, EVERY, APSNR},
      {"p8_1080p", "psnr", ALL, EVERY, APSNR},
      {"p8_same_64x48", "psnr", ALL, EVERY, APSNR},
      {"p10_same_64x48", "psnr", ALL, EVERY, APSNR},
      {"p10_176x144", "psnr_ctc", CTC, PLANES, APSNR},
      {"p12_96x64", "psnr_ctc", CTC, PLANES, APSNR},
      {"p8_same_64x48", "psnr_ctc", CTC, PLANES, APSNR},
      {"p10_same_64x48", "psnr_ctc", CTC, PLANES, APSNR},
      {"p8_crop_177x99", "psnr_min_sse", "psnr=min_sse=2:enable_apsnr=true", PLANES, APSNR},
      {"p8_176x144", "psnr_luma", "psnr=enable_chroma=false", {"psnr_y"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pair) + "." + c.set);
    if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI";
    reference::Log log;
    ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set + ".json", &log));
    for (const auto& [tier, flags] : test::scalar_and_best()) {
      SCOPED_TRACE(tier);
      ScoreTable table;
      reference::score_pair(c.pair, c.request, flags, &table);
      reference::expect_matches(table, log, c.scores);
      reference::expect_pooled_means(table, log, c.scores);
      for (const std::string& n : c.aggregates) {
        bool found = false;
        for (const auto& [name, value] : table.aggregates()) {
          if (name != n) continue;
          found = true;
          EXPECT_NEAR(value, log.aggregate.at(n).get<double>(), 1.0000001e-6) << n;
        }
        EXPECT_TRUE(found) << n;
      }
      // Without chroma, no chroma score has a value.
      if (c.scores.size() == 1) {
        EXPECT_EQ(0, table.pool(table.find("psnr_cb")).count);
      }
    }
  }
}

}  // namespace
}  // namespace vq
