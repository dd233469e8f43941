// cambi against libvmaf's logs (every frame, the pooled mean), its vector kernels against the
// scalar ones, and the forms and options it refuses.
#include <gtest/gtest.h>

#include <random>

#include "convert/convert.h"
#include "metrics/cambi/cambi.h"
#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

struct RefCase {
  const char* pair;
  const char* set;
  const char* request;
  const char* score;
};

const RefCase kRefCases[] = {
    {"p8_216x2", "cambi", "cambi", "cambi"},
    {"p8_band_odd_333x217", "cambi", "cambi", "cambi"},
    {"p10_band_odd_301x219", "cambi", "cambi", "cambi"},
    {"p10_band_320x216", "cambi", "cambi", "cambi"},
    {"p12_band_422_240x216", "cambi", "cambi", "cambi"},
    {"p8_band_1080p", "cambi", "cambi", "cambi"},
    {"p8_1080p", "cambi", "cambi", "cambi"},
    {"p8_band_odd_333x217", "cambi_window", "cambi=topk=0.2:window_size=31",
     "cambi_topk_0.2_ws_31"},
    {"p8_band_odd_333x217", "cambi_window", "cambi=cambi_topk=0.35:max_log_contrast=3",
     "cambi_ctpk_0.35_mlc_3"},
    {"p10_band_odd_301x219", "cambi_window", "cambi=topk=0.2:window_size=31",
     "cambi_topk_0.2_ws_31"},
    {"p10_band_odd_301x219", "cambi_window", "cambi=cambi_topk=0.35:max_log_contrast=3",
     "cambi_ctpk_0.35_mlc_3"},
    {"p8_band_1080p", "cambi_enc", "cambi=enc_width=960:enc_height=540", "cambi_ench_540_encw_960"},
    {"p8_band_1080p", "cambi_enc", "cambi=enc_width=1280:enc_height=720:enc_bitdepth=10",
     "cambi_encbd_10_ench_720_encw_1280"},
    {"p8_band_1080p", "cambi_enc", "cambi=cambi_high_res_speedup=1080", "cambi_hrs_1080"},
    {"p10_band_320x216", "cambi_tvi", "cambi=tvi_threshold=0.05:max_log_contrast=1",
     "cambi_mlc_1_tvit_0.05"},
    {"p10_band_320x216", "cambi_tvi", "cambi=eotf=pq", "cambi_eotf_pq"},
    {"p10_band_320x216", "cambi_tvi", "cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20",
     "cambi_ceot_pq_vlt_20"},
    {"p10_band_320x216", "cambi_tvi", "cambi=cambi_max_val=20:enc_bitdepth=8",
     "cambi_cmxv_20_encbd_8"},
    {"p8_band_odd_333x217", "cambi_tvi", "cambi=tvi_threshold=0.05:max_log_contrast=1",
     "cambi_mlc_1_tvit_0.05"},
    {"p8_band_odd_333x217", "cambi_tvi", "cambi=eotf=pq", "cambi_eotf_pq"},
    {"p8_band_odd_333x217", "cambi_tvi", "cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20",
     "cambi_ceot_pq_vlt_20"},
    {"p8_band_odd_333x217", "cambi_tvi", "cambi=cambi_max_val=10:max_log_contrast=0",
     "cambi_cmxv_10_mlc_0"},
};

class CambiReference : public testing::TestWithParam<RefCase> {};

TEST_P(CambiReference, MatchesLibvmaf) {
  const RefCase& c = GetParam();
  if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set + ".json", &log));
  for (const auto& [tier, flags] : test::tiers()) {
    if (flags & kCpuMmx && !(flags & kCpuAvx2)) continue;  // no forms between scalar and AVX2
    SCOPED_TRACE(tier);
    ScoreTable table;
    reference::score_pair(c.pair, c.request, flags, &table);
    reference::expect_matches(table, log, {c.score});
    const int col = table.find(c.score);
    ASSERT_GE(col, 0);
    EXPECT_NEAR(table.pool(col).mean, log.pooled.at(c.score).at("mean").get<double>(),
                1.0000001e-6);
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, CambiReference, testing::ValuesIn(kRefCases));

}  // namespace
}  // namespace vq
