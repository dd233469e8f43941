// The presets: what each expands to, refused naming the first metric this build lacks, and
// --metric requests added after a preset's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq {
namespace {

TEST(Presets, EachExpandsToLibvmafsSet) {
  const std::string v1 =
      "vmaf vmaf=model=vmaf_v0.6.1neg psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 "
      "ciede float_ssim=enable_db=true:clip_db=true float_ms_ssim=enable_db=true:clip_db=true "
      "psnr_hvs";
  const std::string v3 = v1 + " cambi";
  std::string v7 = v3;
  v7.replace(v7.find("float_ssim="), 11, "float_ssim=scale=1:");
  const struct {
    const char* name;
    std::string metrics;
    bool common_depth;
  } cases[] = {
      {"aom-ctc-v1.0", v1, false},
      {"aom-ctc-v2.0", v1, false},
      {"aom-ctc-v3.0", v3, false},
      {"aom-ctc-v4.0", v3, false},
      {"aom-ctc-v5.0", v3, false},
      {"aom-ctc-v6.0", v3, true},
      {"aom-ctc-v7.0", v7, true},
      {"nflx-ctc-v1.0",
       "vmaf=model=vmaf_4k_v0.6.1 vmaf=model=vmaf_4k_v0.6.1neg "
       "psnr=enable_chroma=true:enable_apsnr=true float_ssim=enable_db=true:clip_db=true cambi",
       false},
  };
  ASSERT_EQ(std::size(cases), metric_presets().size());
  for (const auto& c : cases) {
    const MetricPreset* p = find_preset(c.name);
    ASSERT_NE(nullptr, p) << c.name;
    std::string joined, missing;
    for (const char* m : p->metrics) {
      const std::string text = m, name = text.substr(0, text.find('='));
      joined += (joined.empty() ? "" : " ") + text;
      // Each request of a metric this build has is one its row accepts.
      MetricRequest r;
      std::string why;
      if (find_metric(name) == nullptr) {
        if (missing.empty()) missing = name;
      } else {
        EXPECT_TRUE(parse_metric_request(text, &r, &why)) << c.name << ": " << why;
      }
    }
    EXPECT_EQ(c.metrics, joined) << c.name;
    EXPECT_EQ(c.common_depth, p->common_depth) << c.name;
    std::vector<MetricRequest> out(1);
    std::string why;
    EXPECT_EQ(missing.empty(), preset_requests(*p, &out, &why) == 1) << why;
    if (!missing.empty()) {
      EXPECT_EQ("preset " + std::string(c.name) + " needs metric " + missing +
                    ", which this build does not have",
                why);
      EXPECT_EQ(1u, out.size());
    }
  }
  EXPECT_EQ(nullptr, find_preset("aom-ctc-v8.0"));
}

// --metric requests follow a preset's; one the preset already has is scored once.
TEST(Presets, MetricRequestsAddToAPreset) {
  constexpr const char* kMetrics[] = {"psnr=enable_apsnr=true", "float_ssim=enable_db=true"};
  std::vector<MetricRequest> asked, all;
  std::string why;
  ASSERT_EQ(1, preset_requests({"test", kMetrics, true}, &asked, &why)) << why;
  for (const char* extra : {"psnr_hvs", "float_ssim=enable_db=true", "float_ssim"}) {
    ASSERT_TRUE(parse_metric_request(extra, &asked.emplace_back(), &why)) << why;
  }
  ASSERT_EQ(1, expand_metric_requests(asked, &all, &why)) << why;
  std::string names;
  for (const MetricRequest& r : all)
    names += std::string(r.row->name) + (r.options.get_bool("enable_db") ? "(db) " : " ");
  EXPECT_EQ("psnr float_ssim(db) psnr_hvs float_ssim ", names);
}

}  // namespace
}  // namespace vq
