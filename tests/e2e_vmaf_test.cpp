// The real binary scoring an H.264 encode with B-frames in MP4 against its Y4M source with vmaf
// and vmaf_neg: every pair's scores in its JSON document equal libvmaf's log of the same pictures
// (the MP4 decoded to Y4M by FFmpeg's CLI), pooled scores too, and the document is the same for
// every thread count. The encode is committed under reference/media: an encoder's bytes differ
// between its versions, the decoder's pictures of one file do not. Skipped, visibly, in a build
// without FFmpeg's libraries or a JSON library, or without the ffmpeg CLI. Also VMAF v1 scored at
// 10 bits of the 8-bit encode (--bit-depth=10).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/run_binary.h"

#if VQ_HAVE_JSON
#include "tests/reference/reference.h"
#endif

namespace vq {
namespace {

constexpr const char* kPair = "p8_x264_176x144";

class EncodeVmaf : public BinaryTest {
 protected:
  void SetUp() override {
    if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build reads no MP4 files";
#if !VQ_HAVE_JSON
    GTEST_SKIP() << "this build writes no JSON documents";
#else
    if (!reference::make_pair(kPair)) GTEST_SKIP() << "no FFmpeg CLI to make " << kPair;
    BinaryTest::SetUp();
    source_ = reference::ref_path(kPair);
    encode_ = (reference::dir() / "media" / (std::string(kPair) + ".mp4")).string();
#endif
  }

  std::string source_, encode_;
};

#if VQ_HAVE_JSON

// Our names of libvmaf's CAMBI scores that it names by enc_* values given by hand, where ours
// took them from the encode.
using Renames = std::map<std::string, std::string>;

// Every score of libvmaf's log (the model's features and the predictions), pair by pair.
void expect_pairs_as_log(const nlohmann::json& doc, const reference::Log& log,
                         const Renames& renames = {}) {
  const auto& pairs = doc.at("pairs");
  ASSERT_EQ(pairs.size(), log.frames.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(pairs[i].at("pair").get<int>(), int(i) + 1);
    const auto& mine = pairs[i].at("metrics");
    for (const auto& [theirs, want] : log.frames[i].at("metrics").items()) {
      const auto renamed = renames.find(theirs);
      const std::string name = renamed == renames.end() ? theirs : renamed->second;
      ASSERT_TRUE(mine.contains(name)) << name;
      EXPECT_NEAR(mine.at(name).get<double>(), want.get<double>(), 1.0000001e-6)
          << name << " pair " << i + 1;
    }
  }
}

// The document of every thread count is the same, stdout too, and that of one thread is libvmaf's.
TEST_F(EncodeVmaf, PairsEqualLibvmafOnTheDecodeOnAnyThreadCount) {
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(kPair) + ".vmaf_encode.json", &log));
  ASSERT_EQ(log.frames.size(), 24u);
  const auto& names = log.frames[0].at("metrics");
  for (const char* n : {"vmaf", "vmaf_neg", "integer_motion2", "integer_adm2", "integer_vif_scale0",
                        "integer_vif_scale3_egl_1"})
    ASSERT_TRUE(names.contains(n)) << n;
  std::string first, first_out;
  for (const char* threads : {"1", "2", "3"}) {
    SCOPED_TRACE(threads);
    const Outcome r = run({source_, encode_, "--metric=vmaf", "--metric=vmaf_neg",
                           "--json=" + path("out.json"), std::string("--threads=") + threads});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = slurp(path("out.json"));
    if (!first.empty()) {
      EXPECT_EQ(text, first);
      EXPECT_EQ(r.out, first_out);
      continue;
    }
    first = text, first_out = r.out;
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_EQ(doc.at("outcome"), "ok");
    EXPECT_EQ(doc.at("inputs").at(1).at("codec"), "h264");
    expect_pairs_as_log(doc, log);
    for (const char* n : {"vmaf", "vmaf_neg"})
      for (const char* pool : {"min", "max", "mean", "harmonic_mean"})
        EXPECT_NEAR(doc.at("pooled_metrics").at(n).at(pool).get<double>(),
                    log.pooled.at(n).at(pool).get<double>(), 1.0000001e-6)
            << n << " " << pool;
  }
}

// A ladder's rung: the encode scored against a source of twice its size with --scale=bicubic
// equals libvmaf's log of the source and the encode's decode scaled by FFmpeg's bicubic filter.
TEST_F(EncodeVmaf, ScaledEncodeEqualsLibvmafOnTheScaledDecode) {
  constexpr const char* kScaled = "p8_scaled_352x288";
  if (!reference::make_pair(kScaled)) GTEST_SKIP() << "no FFmpeg CLI to make " << kScaled;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(kScaled) + ".vmaf_scaled.json", &log));
  const Outcome r = run({reference::ref_path(kScaled), encode_, "--scale=bicubic", "--metric=vmaf",
                         "--json=" + path("scaled.json")});
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(slurp(path("scaled.json")), nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  expect_pairs_as_log(doc, log);
}

// VMAF v1 at 10 bits of the 8-bit encode, scaled up: libvmaf's log of the same pictures widened
// by FFmpeg's format filter (the score clipped at 0 there, and unclipped).
TEST_F(EncodeVmaf, WidenedEncodeEqualsLibvmafOnTheWidenedDecode) {
  constexpr const char* kScaled = "p8_scaled_352x288";
  if (!reference::make_pair(kScaled)) GTEST_SKIP() << "no FFmpeg CLI to make " << kScaled;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(kScaled) + ".vmaf_v1_10bit.json", &log));
  const Outcome r = run({reference::ref_path(kScaled), encode_, "--scale=bicubic", "--bit-depth=10",
                         "--metric=vmaf=model=vmaf_v1.0.16_3d0h",
                         "--metric=vmaf=model=vmaf_v1.0.16_3d0h:name=vmaf_raw:disable_clip=true",
                         "--json=" + path("wide.json")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("4:2:0 10-bit"), std::string::npos) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(slurp(path("wide.json")), nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  // CAMBI told the encode's own 8 bits; its 176x144 is below the smallest size CAMBI takes.
  expect_pairs_as_log(
      doc, log, {{"cambi_hrs_1080_cmxv_17_vlt_0.06_encbd_8", "cambi_hrs_1080_cmxv_17_vlt_0.06"}});
  for (const char* pool : {"min", "max", "mean", "harmonic_mean"})
    EXPECT_NEAR(doc.at("pooled_metrics").at("vmaf").at(pool).get<double>(),
                log.pooled.at("vmaf").at(pool).get<double>(), 1.0000001e-6)
        << pool;
}

// A 640x360 rung scored against its 720p source with --scale=bicubic (and at 10 bits): CAMBI,
// alone and inside the model, takes the rung's own size and depth, and every score equals
// libvmaf's on FFmpeg's upscale (widened) with those values given by hand.
TEST_F(EncodeVmaf, RungGivesCambiItsOwnSizeAndDepth) {
  constexpr const char* kRung = "p8_scaled_1280x720";
  if (!reference::make_pair(kRung)) GTEST_SKIP() << "no FFmpeg CLI to make " << kRung;
  const std::string rung = (reference::dir() / "media" / "p8_x264_640x360.mp4").string();
  const struct {
    const char* depth;
    const char* log;
    const char* suffix;  // libvmaf's names of the enc_* values
  } cases[] = {
      {"--bit-depth=8", "vmaf_v1_rung", "ench_360_encw_640"},
      {"--bit-depth=10", "vmaf_v1_rung_10bit", "encbd_8_ench_360_encw_640"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.depth);
    reference::Log log;
    ASSERT_TRUE(reference::load_log(std::string(kRung) + "." + c.log + ".json", &log));
    const Outcome r = run({reference::ref_path(kRung), rung, "--scale=bicubic", c.depth,
                           "--metric=vmaf=model=vmaf_v1.0.16_3d0h", "--metric=cambi",
                           "--json=" + path("rung.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("note: cambi scores the encode as it was made: enc_width=640, "
                         "enc_height=360, enc_bitdepth=8"),
              std::string::npos)
        << r.err;
    const nlohmann::json doc = nlohmann::json::parse(slurp(path("rung.json")), nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
    const std::string model_cambi = "cambi_hrs_1080_cmxv_17_vlt_0.06";
    expect_pairs_as_log(
        doc, log,
        {{model_cambi + "_" + c.suffix, model_cambi}, {std::string("cambi_") + c.suffix, "cambi"}});
    for (const std::string& n : {model_cambi, std::string("cambi")})
      EXPECT_EQ(doc.at("options_from_encode").at(n),
                nlohmann::json({{"enc_width", 640}, {"enc_height", 360}, {"enc_bitdepth", 8}}))
          << n;
  }
}

#endif

// Two models that would write one score are a refused command line (its usage shown, status 1),
// before anything is read or written.
TEST_F(EncodeVmaf, ClashingModelsAreRefused) {
  const Outcome r = run({source_, encode_, "--metric=vmaf", "--metric=vmaf=model=vmaf_4k_v0.6.1",
                         "--json=" + path("clash.json")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("USAGE:"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("would both write 'vmaf'"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(path("clash.json")));
}

}  // namespace
}  // namespace vq
