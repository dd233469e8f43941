// Every metric against libvmaf's logs committed under reference/libvmaf, on the pairs
// reference/inputs.sh makes with FFmpeg's CLI: each score the log holds, pair by pair, its pooled
// mean, minimum, maximum and harmonic mean, and the run's aggregates, with the scalar and the
// fastest kernels (each kernel's own test holds every tier to scalar bit for bit). Also what
// follows from those pairs alone: joined requests score as each alone, equal pictures score
// +infinity.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/frames.h"
#include "tests/reference/reference.h"

namespace vq {
namespace {

// Logs reference/libvmaf/PAIR.SET.json, one for each of `pairs`, made by libvmaf's CLI with the
// features or models that `requests` ask for ("@NEG@" stands for the NEG model file's path).
struct LogSet {
  const char* set;
  std::vector<const char*> requests;
  std::vector<const char*> pairs;
  const char* variant = "";  // tells apart sets of one log
};

constexpr char kPsnrAll[] = "psnr=enable_chroma=true:enable_mse=true:enable_apsnr=true";
constexpr char kPsnrCtc[] = "psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5";
const std::vector<const char*> kVmafs = {"vmaf", "vmaf_neg"};
// VMAF v1's models, each under its own name, and their high-frame-rate variants.
const std::vector<const char*> kV1 = {"vmaf=model=vmaf_v1.0.16_3d0h",
                                      "vmaf=model=vmaf_v1.0.16_5d0h:name=vmaf_5d0h",
                                      "vmaf=model=vmaf_v1.0.16_1d5h_2160:name=vmaf_1d5h_2160",
                                      "vmaf=model=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160"};
const std::vector<const char*> kV1Hfr = {
    "vmaf=model=vmaf_v1.0.16_hfr_3d0h", "vmaf=model=vmaf_v1.0.16_hfr_5d0h:name=vmaf_5d0h",
    "vmaf=model=vmaf_v1.0.16_hfr_1d5h_2160:name=vmaf_1d5h_2160",
    "vmaf=model=vmaf_v1.0.16_hfr_3d0h_2160:name=vmaf_3d0h_2160"};
const std::vector<const char*> kCambiWindow = {"cambi=topk=0.2:window_size=31",
                                               "cambi=cambi_topk=0.35:max_log_contrast=3"};
const std::vector<const char*> kCambiTvi = {"cambi=tvi_threshold=0.05:max_log_contrast=1",
                                            "cambi=eotf=pq",
                                            "cambi=cambi_eotf=pq:cambi_vis_lum_threshold=20"};
const std::vector<const char*> kSmall = {"p8_176x144",  "p8_crop_177x99", "p8_444_64x48",
                                         "p10_176x144", "p10_odd_161x97", "p12_96x64",
                                         "p8_1080p"};
// kSmall and more.
std::vector<const char*> small_and(std::vector<const char*> more) {
  more.insert(more.begin(), kSmall.begin(), kSmall.end());
  return more;
}

// The ADM options of VMAF v1's models but the display.
#define V1_ADM                                                                                \
  "adm_dlm_weight=0.7:adm_enhn_gain_limit=1.0:adm_noise_weight=0.02:adm_min_val=0.5:adm_csf_" \
  "mode=2"

// The SpEED options of VMAF v1's models but the rescale.
#define V1_SPEED "speed_nn_floor=0.1:speed_sigma_nn=0.19:speed_weight_var_mode=5:speed_max_val=45.0"

const LogSet kLogSets[] = {
    {"psnr", {kPsnrAll}, small_and({"p8_odd_177x99", "p8_same_64x48", "p10_same_64x48"})},
    {"psnr_ctc", {kPsnrCtc}, {"p10_176x144", "p12_96x64", "p8_same_64x48", "p10_same_64x48"}},
    {"psnr_min_sse", {"psnr=min_sse=2:enable_apsnr=true"}, {"p8_crop_177x99"}},
    {"psnr_luma", {"psnr=enable_chroma=false"}, {"p8_176x144"}},

    {"adm", {"integer_adm"}, kSmall},
    {"adm_scalar", {"integer_adm"}, {"p8_min_33x33"}},
    {"adm_egl1",
     {"integer_adm=adm_enhn_gain_limit=1.0"},
     {"p8_176x144", "p8_crop_177x99", "p10_176x144", "p8_1080p"}},
    {"adm_view",
     {"integer_adm=adm_norm_view_dist=4.5:adm_ref_display_height=2160:adm_skip_aim=true"},
     {"p8_176x144"}},
    {"adm_debug", {"integer_adm=debug=true"}, {"p8_176x144"}},
    {"adm_v1",
     {"integer_adm=" V1_ADM ":adm_norm_view_dist=3.0:adm_ref_display_height=1080"},
     {"p8_176x144", "p10_odd_161x97", "p12_96x64", "p8_1080p"}},
    {"adm_v1_views",
     {"integer_adm=" V1_ADM ":adm_norm_view_dist=5.0:adm_ref_display_height=1080",
      "integer_adm=" V1_ADM ":adm_norm_view_dist=1.5:adm_ref_display_height=2160",
      "integer_adm=" V1_ADM ":adm_norm_view_dist=3.0:adm_ref_display_height=2160"},
     {"p8_176x144"}},

    {"vif", {"integer_vif"}, small_and({"p8_min_16x16"})},
    {"vif_egl1",
     {"integer_vif=vif_enhn_gain_limit=1.0"},
     {"p8_176x144", "p8_crop_177x99", "p10_176x144", "p8_1080p"}},
    {"vif_debug", {"integer_vif=debug=true"}, {"p8_176x144"}},
    // Scale 0 skipped: its score 0, its denominator -1.
    {"vif_skip0",
     {"integer_vif=vif_skip_scale0=true:debug=true:vif_enhn_gain_limit=1.5"},
     {"p10_odd_161x97"}},

    {"motion_debug", {"integer_motion=debug=true"}, {"p8_176x144", "p10_176x144"}},
    {"motion_force_zero", {"integer_motion=motion_force_zero=true:debug=true"}, {"p8_176x144"}},
    {"motion_options",
     {"integer_motion=motion_five_frame_window=true:motion_moving_average=true:motion_blend_"
      "factor=0.5:motion_blend_offset=3:motion_fps_weight=1.5:motion_max_val=6"},
     {"p8_176x144"}},
    {"motion_v1",
     {"integer_motion=motion_max_val=18.0",
      "integer_motion=motion_max_val=18.0:motion_five_frame_window=true:motion_moving_average="
      "true"},
     {"p8_176x144"}},
    {"motion_blend",
     {"integer_motion=motion_blend_factor=0.25:motion_blend_offset=1.5:motion_moving_average="
      "true"},
     {"p8_176x144"}},

    {"vmaf",
     kVmafs,
     {"p8_176x144", "p8_crop_177x99", "p10_176x144", "p10_odd_161x97", "p12_96x64", "p8_1080p"}},
    {"vmaf_scalar", kVmafs, {"p8_min_33x33"}},
    {"vmaf_encode", kVmafs, {"p8_x264_176x144"}},
    {"vmaf_4k",
     {"vmaf=model=vmaf_4k_v0.6.1", "vmaf_neg=model=vmaf_4k_v0.6.1neg"},
     {"p8_176x144", "p10_176x144"}},
    {"vmaf_options", {"vmaf=enable_transform=true", "vmaf_neg=disable_clip=true"}, {"p8_176x144"}},
    {"vmaf_overrides",
     {"vmaf=vif.vif_enhn_gain_limit=1.5:adm.adm_enhn_gain_limit=1.2:cambi.topk=0.5",
      "vmaf_neg=integer_adm.adm_enhn_gain_limit=1.5:motion.motion_max_val=3"},
     {"p10_176x144"}},
    {"vmaf_v1",
     kV1,
     {"p8_1080p", "p8_textured_1080p", "p10_640x360", "p10_odd_321x241", "p8_band_1080p"}},
    {"vmaf_v1_hfr", kV1Hfr, {"p10_640x360", "p10_odd_321x241"}},
    {"vmaf_v1_4k",
     {"vmaf=model=vmaf_v1.0.16_1d5h_2160", "vmaf=model=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160",
      "vmaf=model=vmaf_v1.0.16_hfr_3d0h_2160:name=vmaf_hfr_3d0h_2160"},
     {"p8_2160p", "p8_band_2160p"}},
    {"vmaf_v1_enc",
     {"vmaf=model=vmaf_v1.0.16_3d0h:cambi.enc_width=320:cambi.enc_height=180",
      "vmaf=model=vmaf_v1.0.16_5d0h:name=vmaf_5d0h:cambi.enc_width=320:cambi.enc_height=180:"
      "cambi.enc_bitdepth=8",
      "vmaf=model=vmaf_v1.0.16_3d0h_2160:name=vmaf_3d0h_2160"},
     {"p8_rung_640x360"}},
    {"vmaf_v1_encode",
     {"vmaf=model=vmaf_v1.0.16_3d0h", "vmaf=model=vmaf_v1.0.16_1d5h_2160:name=vmaf_1d5h_2160",
      "vmaf=model=vmaf_v1.0.16_hfr_3d0h:name=vmaf_hfr"},
     {"p8_scaled_352x288"}},
    {"vmaf_b",
     {"vmaf", "vmaf=model=vmaf_b_v0.6.3:name=vmaf_b"},
     {"p8_176x144", "p10_odd_161x97", "p12_96x64", "p8_same_64x48"}},
    {"vmaf_b_options",
     {"vmaf=model=vmaf_b_v0.6.3:enable_transform=true",
      "vmaf=model=vmaf_b_v0.6.3:name=vmaf_b_noclip:disable_clip=true:enable_transform=true"},
     {"p8_176x144"}},
    // The NEG model read from its file equals the bundled one.
    {"vmaf", {"vmaf", "vmaf=model=path:@NEG@:name=vmaf_neg"}, {"p8_176x144"}, "neg_file"},
    {"vmaf", {"vmaf_neg=model=path:@NEG@:name=vmaf_neg", "vmaf"}, {"p10_176x144"}, "neg_file"},

    {"float_ssim", {"float_ssim"}, small_and({"p8_min_11x11"})},
    {"float_ssim_s1", {"float_ssim=scale=1"}, {"p8_1080p"}},
    {"float_ssim_s2", {"float_ssim=scale=2"}, {"p8_crop_177x99"}},
    {"float_ssim_s3", {"float_ssim=scale=3"}, {"p10_odd_161x97"}},
    {"float_ssim_lcs_db",
     {"float_ssim=enable_lcs=true:enable_db=true"},
     {"p8_176x144", "p10_176x144", "p8_1080p"}},
    {"float_ssim_s1_lcs", {"float_ssim=scale=1:enable_lcs=true"}, {"p8_1080p"}},
    {"float_ssim_db_clip", {"float_ssim=enable_db=true:clip_db=true"}, {"p8_min_11x11"}},
    {"float_ms_ssim", {"float_ms_ssim"}, {"p8_min_176x176", "p10_odd_177x177", "p8_1080p"}},
    {"float_ms_ssim_lcs_db", {"float_ms_ssim=enable_lcs=true:enable_db=true"}, {"p8_min_176x176"}},
    {"float_ms_ssim_lcs_db",
     {"float_ms_ssim=enable_lcs=true:enable_db=true:clip_db=true"},
     {"p10_odd_177x177"}},
    {"float_ms_ssim_lcs", {"float_ms_ssim=enable_lcs=true"}, {"p8_1080p"}},

    {"cambi",
     {"cambi"},
     {"p8_216x2", "p8_band_odd_333x217", "p10_band_odd_301x219", "p10_band_320x216",
      "p12_band_422_240x216", "p8_band_1080p", "p8_1080p"}},
    {"cambi_v1",
     {"cambi=cambi_high_res_speedup=1080:cambi_vis_lum_threshold=0.06:cambi_max_val=17.0"},
     {"p8_band_odd_333x217", "p10_band_320x216", "p8_1080p"}},
    {"cambi_window", kCambiWindow, {"p8_band_odd_333x217", "p10_band_odd_301x219"}},
    {"cambi_enc",
     {"cambi=enc_width=960:enc_height=540", "cambi=enc_width=1280:enc_height=720:enc_bitdepth=10",
      "cambi=cambi_high_res_speedup=1080"},
     {"p8_band_1080p"}},
    {"cambi_tvi",
     {kCambiTvi[0], kCambiTvi[1], kCambiTvi[2], "cambi=cambi_max_val=20:enc_bitdepth=8"},
     {"p10_band_320x216"}},
    {"cambi_tvi",
     {kCambiTvi[0], kCambiTvi[1], kCambiTvi[2], "cambi=cambi_max_val=10:max_log_contrast=0"},
     {"p8_band_odd_333x217"}},

    {"speed_chroma",
     {"speed_chroma", "speed_chroma=" V1_SPEED ":speed_kernelscale=1.0"},
     {"p8_1080p", "p10_odd_177x177", "p8_min_176x176", "p12_band_422_240x216"}},
    {"speed_chroma_ps",
     {"speed_chroma=" V1_SPEED ":speed_prescale=0.5:speed_prescale_method=bilinear",
      "speed_chroma=" V1_SPEED ":speed_prescale=0.6:speed_prescale_method=bilinear",
      "speed_chroma=speed_prescale=1.5:speed_prescale_method=bilinear:speed_weight_var_mode=3"},
     {"p8_1080p"}},
    {"speed_chroma_ps",
     {"speed_chroma=speed_prescale=1.3:speed_prescale_method=bilinear:speed_kernelscale=0.5",
      "speed_chroma=speed_weight_var_mode=6:speed_sigma_nn=1.5:speed_max_val=2"},
     {"p10_odd_177x177"}},

    {"ciede",
     {"ciede"},
     small_and({"p8_odd_177x99", "p8_min_8x8", "p8_min_16x16", "p8_min_2x2", "p16_64x48"})},
    {"psnr_hvs", {"psnr_hvs"}, small_and({"p8_min_8x8", "p8_min_16x16"})},
};

// One log of one pair.
struct LogCase {
  const char* pair;
  const LogSet* set;
};

std::vector<LogCase> log_cases() {
  std::vector<LogCase> out;
  for (const LogSet& s : kLogSets)
    for (const char* pair : s.pairs)
      out.push_back({pair, &s});
  return out;
}

void PrintTo(const LogCase& c, std::ostream* os) {
  *os << c.pair << "." << c.set->set << " " << c.set->variant;
}

void expect_near(double got, double want, const std::string& what) {
  EXPECT_NEAR(got, want, 1.0000001e-6) << what;
}

class Log : public ::testing::TestWithParam<LogCase> {};

TEST_P(Log, EqualsLibvmaf) {
  const LogCase& c = GetParam();
  if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
  reference::Log log;
  ASSERT_TRUE(reference::load_log(std::string(c.pair) + "." + c.set->set + ".json", &log));
  ASSERT_FALSE(log.frames.empty());
  std::vector<std::string> names, requests;
  for (const auto& [name, value] : log.frames[0].at("metrics").items())
    names.push_back(name);
  const std::string neg = (reference::dir() / "models" / "vmaf_v0.6.1neg.json").string();
  for (std::string r : c.set->requests) {
    if (const size_t at = r.find("@NEG@"); at != std::string::npos) r.replace(at, 5, neg);
    requests.push_back(r);
  }
  for (const auto& [tier, flags] : test::scalar_and_best()) {
    SCOPED_TRACE(tier);
    ScoreTable t;
    reference::score_pair(c.pair, requests, flags, &t);
    reference::expect_matches(t, log, names);
    for (const std::string& n : names) {
      const Pooled p = t.pool(t.find(n));
      const auto& want = log.pooled.at(n);
      expect_near(p.mean, want.at("mean").get<double>(), n + " mean");
      expect_near(p.min, want.at("min").get<double>(), n + " min");
      expect_near(p.max, want.at("max").get<double>(), n + " max");
      expect_near(p.harmonic_mean, want.at("harmonic_mean").get<double>(), n + " harmonic mean");
    }
    for (const auto& [name, want] : log.aggregate.items()) {
      int found = 0;
      for (const auto& [mine, value] : t.aggregates())
        if (mine == name && ++found) expect_near(value, want.get<double>(), name);
      EXPECT_EQ(found, 1) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pairs, Log, ::testing::ValuesIn(log_cases()), [](const auto& info) {
  std::string name = std::string(info.param.pair) + "_" + info.param.set->set;
  if (*info.param.set->variant) name = name + "_" + info.param.set->variant;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

// float_ssim at full resolution joins float_ms_ssim (its finest scale is that window): every
// column of the joined run holds the bits of each request scored alone, whatever the options.
TEST(JoinedRequests, WriteWhatEachRequestWritesAlone) {
  const struct {
    const char* pair;
    std::vector<std::string> requests;
  } cases[] = {
      {"p8_min_176x176", {"float_ssim=scale=1", "float_ms_ssim"}},
      {"p10_odd_177x177",
       {"float_ms_ssim=enable_db=true", "float_ssim=scale=1:enable_lcs=true:enable_db=true",
        "float_ssim=scale=1:enable_db=true:clip_db=true:enable_lcs=true"}},
  };
  for (const auto& c : cases) {
    if (!reference::make_pair(c.pair)) GTEST_SKIP() << "no FFmpeg CLI to make " << c.pair;
    for (const auto& [tier, flags] : test::scalar_and_best()) {
      ScoreTable joined;
      reference::score_pair(c.pair, c.requests, flags, &joined);
      for (const std::string& request : c.requests) {
        ScoreTable alone;
        reference::score_pair(c.pair, request, flags, &alone);
        for (int col = 0; col < int(alone.columns()); ++col) {
          const std::string& name = alone.name(col);
          const int j = joined.find(name);
          ASSERT_GE(j, 0) << name;
          for (int32_t i = 0; i < alone.rows(); ++i) {
            double want = 0, got = 0;
            ASSERT_EQ(alone.get(col, i, &want), joined.get(j, i, &got)) << name;
            EXPECT_EQ(std::memcmp(&want, &got, sizeof want), 0)
                << tier << " " << c.pair << " " << name << " pair " << i;
          }
        }
      }
    }
  }
}

// Equal pictures differ by nothing: every score of these is +infinity (libvmaf's log shows null).
TEST(EqualPictures, ScoreInfinity) {
  if (!reference::make_pair("p8_same_64x48")) GTEST_SKIP() << "no FFmpeg CLI";
  ScoreTable t;
  reference::score_pair("p8_same_64x48", std::vector<std::string>{"ciede", "psnr_hvs"}, 0, &t);
  ASSERT_GT(t.rows(), 0);
  for (const char* n : {"ciede2000", "psnr_hvs_y", "psnr_hvs_cb", "psnr_hvs_cr", "psnr_hvs"}) {
    double v = 0;
    ASSERT_TRUE(t.get(t.find(n), 0, &v)) << n;
    EXPECT_TRUE(std::isinf(v) && v > 0) << n << " " << v;
  }
}

}  // namespace
}  // namespace vq
