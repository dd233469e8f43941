// The real binary scoring the reference pairs with the metrics that score RGB pictures: every
// frame's scores in its JSON document are those libjxl's tools print for the PNGs FFmpeg's CLI
// writes of the same frames (tests/reference/jxl.sh), within 1e-4, on 8- and 10-bit pairs, odd
// sizes, 4:4:4, pictures too small for the coarser scales, equal pictures, a 1080p pair and an
// H.264 encode in MP4 scored beside VMAF. Each score is checked
// once its metric is in the registry. Skipped, visibly, without FFmpeg's libraries, a JSON
// library or the ffmpeg CLI that makes the pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/run_binary.h"

#if VQ_HAVE_JSON
#include "tests/reference/reference.h"
#endif

namespace vq {
namespace {

class JxlReference : public BinaryTest {
 protected:
  void SetUp() override {
    if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build converts no pictures to RGB";
#if !VQ_HAVE_JSON
    GTEST_SKIP() << "this build writes no JSON documents";
#else
    BinaryTest::SetUp();
#endif
  }
};

#if VQ_HAVE_JSON

// The metric that writes each score of libjxl's tools.
const std::map<std::string, std::string> kMetricOf = {
    {"ssimulacra2", "ssimulacra2"},
    {"butteraugli", "butteraugli"},
    {"butteraugli_3norm", "butteraugli"},
};

TEST_F(JxlReference, FramesEqualLibjxlToolsOnFfmpegPngs) {
  const struct {
    const char* pair;
    const char* media;  // the second file under media/, or the pair's own
    const char* also;   // another metric of the same run
  } cases[] = {
      {"p8_176x144", nullptr, nullptr},
      {"p10_176x144", nullptr, nullptr},
      {"p8_odd_177x99", nullptr, nullptr},
      {"p10_odd_161x97", nullptr, nullptr},
      {"p8_444_64x48", nullptr, nullptr},
      {"p8_min_11x11", nullptr, nullptr},
      {"p8_same_64x48", nullptr, nullptr},
      {"p8_1080p", nullptr, nullptr},
      {"p8_textured_1080p", nullptr, nullptr},
      {"p8_x264_176x144", "p8_x264_176x144.mp4", "--metric=vmaf"},
  };
  std::vector<std::string> metrics;
  for (const auto& [score, metric] : kMetricOf)
    if (find_metric(metric) != nullptr &&
        std::find(metrics.begin(), metrics.end(), metric) == metrics.end())
      metrics.push_back(metric);
  if (metrics.empty()) GTEST_SKIP() << "neither ssimulacra2 nor butteraugli is in this build";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pair);
    reference::Log log;
    ASSERT_TRUE(reference::load_log(std::string(c.pair) + ".json", &log, "jxl"));
    ASSERT_FALSE(log.frames.empty());
    if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
    std::vector<std::string> args = {
        reference::ref_path(c.pair),
        c.media ? (reference::dir() / "media" / c.media).string() : reference::dist_path(c.pair),
        "--json=" + path("out.json")};
    for (const std::string& m : metrics)
      args.push_back("--metric=" + m);
    if (c.also) args.push_back(c.also);
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(slurp(path("out.json")), nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    const auto& pairs = doc.at("pairs");
    ASSERT_EQ(pairs.size(), log.frames.size());
    for (size_t i = 0; i < pairs.size(); ++i) {
      const auto& mine = pairs[i].at("metrics");
      for (const auto& [name, want] : log.frames[i].at("metrics").items()) {
        if (find_metric(kMetricOf.at(name)) == nullptr) continue;
        ASSERT_TRUE(mine.contains(name)) << name;
        EXPECT_NEAR(mine.at(name).get<double>(), want.get<double>(), 1e-4)
            << name << " frame " << i;
      }
    }
  }
}

#endif

}  // namespace
}  // namespace vq
