// The presets: each a set of requests its metrics take together, and --metric requests added
// after a preset's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq {
namespace {

// Every preset's requests are read by their metrics' rows and expand as one set: a preset that
// names an option its metric refuses, or two requests that land in one column, fails here.
TEST(Presets, EachIsAValidRequestSet) {
  for (const MetricPreset& p : metric_presets()) {
    std::vector<MetricRequest> asked, all;
    std::string why;
    ASSERT_EQ(1, preset_requests(p, &asked, &why)) << p.name << ": " << why;
    EXPECT_EQ(p.metrics.size(), asked.size()) << p.name;
    EXPECT_EQ(1, expand_metric_requests(asked, &all, &why)) << p.name << ": " << why;
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
