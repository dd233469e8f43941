// The presets: what each expands to, refused while this build lacks one of its metrics, and
// --metric requests added after a preset's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq {
namespace {

std::string joined(const MetricPreset& p) {
  std::string s;
  for (const char* m : p.metrics)
    s += std::string(s.empty() ? "" : " ") + m;
  return s;
}

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
    EXPECT_EQ(c.metrics, joined(*p)) << c.name;
    EXPECT_EQ(c.common_depth, p->common_depth) << c.name;
  }
  EXPECT_EQ(nullptr, find_preset("aom-ctc-v8.0"));
  EXPECT_EQ(nullptr, find_preset("v7.0"));
}

// Every request of every preset whose metric this build has is one its row accepts; a preset
// with a metric the build lacks is refused naming the first such metric, and *out is untouched.
TEST(Presets, RequestsAreValidOrTheMissingMetricIsNamed) {
  for (const MetricPreset& p : metric_presets()) {
    std::string first_missing;
    for (const char* text : p.metrics) {
      const std::string t = text;
      const std::string name = t.substr(0, t.find('='));
      if (find_metric(name) == nullptr) {
        if (first_missing.empty()) first_missing = name;
        continue;
      }
      MetricRequest r;
      std::string why;
      EXPECT_TRUE(parse_metric_request(t, &r, &why)) << p.name << ": " << why;
    }
    std::vector<MetricRequest> out(1);
    std::string why;
    const int ok = preset_requests(p, &out, &why);
    if (first_missing.empty()) {
      EXPECT_EQ(1, ok) << why;
      EXPECT_EQ(1 + p.metrics.size(), out.size());
    } else {
      EXPECT_EQ(0, ok);
      EXPECT_EQ("preset " + std::string(p.name) + " needs metric " + first_missing +
                    ", which this build does not have",
                why);
      EXPECT_EQ(1u, out.size());
    }
  }
}

// --metric requests follow a preset's; one the preset already has is scored once.
TEST(Presets, MetricRequestsAddToAPreset) {
  constexpr const char* kMetrics[] = {"psnr=enable_apsnr=true", "float_ssim=enable_db=true"};
  const MetricPreset preset = {"test", kMetrics, true};
  std::vector<MetricRequest> asked;
  std::string why;
  ASSERT_EQ(1, preset_requests(preset, &asked, &why)) << why;
  for (const char* extra : {"psnr_hvs", "float_ssim=enable_db=true", "float_ssim"}) {
    MetricRequest r;
    ASSERT_TRUE(parse_metric_request(extra, &r, &why)) << why;
    asked.push_back(r);
  }
  std::vector<MetricRequest> all;
  ASSERT_EQ(1, expand_metric_requests(asked, &all, &why)) << why;
  std::vector<std::string> names;
  for (const MetricRequest& r : all)
    names.push_back(r.row->name);
  EXPECT_EQ((std::vector<std::string>{"psnr", "float_ssim", "psnr_hvs", "float_ssim"}), names);
  EXPECT_TRUE(all[0].options.get_bool("enable_apsnr"));
  EXPECT_TRUE(all[1].options.get_bool("enable_db"));
  EXPECT_FALSE(all[3].options.get_bool("enable_db"));
}

}  // namespace
}  // namespace vq
