// Every metric's requests as a run reads and makes them: the score names of option sets, the
// options and picture forms each refuses, and the presets, each a set of requests its metrics
// take together, with --metric requests added after a preset's. No input is read: these run in
// every build.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics/metric.h"
#include "tests/metrics/requests.h"

namespace vq {
namespace {

constexpr const char* kRead = test::kRefusedWhenRead;
constexpr const char* kForm = test::kRefusedForForm;
constexpr ChromaLayout k420 = ChromaLayout::k420, k422 = ChromaLayout::k422,
                       k444 = ChromaLayout::k444, kGray = ChromaLayout::kGray;
constexpr char kSad[] = "VMAF_integer_feature_motion_sad_score";
constexpr char kMotion[] = "VMAF_integer_feature_motion_sad_score integer_motion2 integer_motion3";

// What a request comes to for w x h pictures at `depth` bits: libvmaf's name of its first score
// (the options away from their defaults named after it, sorted by option), a refusal when it is
// read (an option out of range, before any input is opened), or one when it is made for pictures
// the metric cannot score. A refusal's reason holds `why`, or else the metric's name.
struct Request {
  const char* request;
  const char* first;
  int w = 64, h = 64, depth = 8;
  ChromaLayout layout = k420;
  const char* why = nullptr;
  const char* scores = nullptr;  // every score's name, space-separated; nullptr: unchecked
};

const Request kRequests[] = {
    {"integer_adm", "integer_adm2"},
    {"integer_adm=adm_enhn_gain_limit=100", "integer_adm2"},
    {"integer_adm=adm_enhn_gain_limit=1", "integer_adm2_egl_1"},
    {"integer_adm=adm_enhn_gain_limit=1.2", "integer_adm2_egl_1.2"},
    {"integer_adm=adm_skip_scale0=true", "integer_adm2_ssz"},
    {"integer_adm=debug=true:adm_skip_aim=true", "integer_adm2"},
    {"integer_adm=adm_ref_display_height=2160:adm_enhn_gain_limit=1:adm_csf_diag_scale=2",
     "integer_adm2_scfd_2_egl_1_rdh_2160"},
    {"integer_adm=adm_noise_weight=0.5:adm_norm_view_dist=6", "integer_adm2_nw_0.5_nvd_6"},
    {"integer_adm", kForm, 32, 64},
    {"integer_adm", kForm, 64, 32},
    {"integer_adm", kForm, 64, 64, 16},
    {"integer_adm=adm_norm_view_dist=1", kRead},
    {"integer_adm=adm_enhn_gain_limit=0.5", kRead},
    {"integer_adm=adm_csf_mode=1", kRead},
    {"integer_adm=adm_csf_mode=2:adm_norm_view_dist=4", kRead, 64, 64, 8, k420, "tabulated"},
    {"integer_adm=adm_ref_display_height=5000", kRead},
    {"integer_adm=adm_csf_scale=inf", kRead},

    {"integer_vif", "integer_vif_scale0"},
    {"integer_vif=vif_enhn_gain_limit=100", "integer_vif_scale0"},
    {"integer_vif=vif_enhn_gain_limit=1", "integer_vif_scale0_egl_1"},
    {"integer_vif=vif_enhn_gain_limit=1.25:debug=true", "integer_vif_scale0_egl_1.25"},
    {"integer_vif=vif_skip_scale0=true:vif_enhn_gain_limit=2", "integer_vif_scale0_egl_2_ssclz"},
    {"integer_vif=vif_enhn_gain_limit=0.5", kRead},
    {"integer_vif=vif_enhn_gain_limit=101", kRead},
    {"integer_vif=egl=2", kRead},
    {"integer_vif", kForm, 15, 64},
    {"integer_vif", kForm, 64, 15},
    {"integer_vif", kForm, 64, 64, 17},
    {"integer_vif", kForm, 64, 64, 7},

    // integer_motion: debug adds integer_motion; pictures below 3x3 and depths outside 8..16
    // are refused.
    {.request = "integer_motion", .first = kSad, .scores = kMotion},
    {.request = "integer_motion=debug=true",
     .first = kSad,
     .scores = "VMAF_integer_feature_motion_sad_score integer_motion integer_motion2 "
               "integer_motion3"},
    {.request = "integer_motion=debug=false:motion_force_zero=false",
     .first = kSad,
     .scores = kMotion},
    {.request = "integer_motion=motion_force_zero=true:debug=true",
     .first = "VMAF_integer_feature_motion_sad_score_force_0",
     .scores = "VMAF_integer_feature_motion_sad_score_force_0 integer_motion_force_0 "
               "integer_motion2_force_0 integer_motion3_force_0"},
    {.request = "integer_motion=motion_force_zero=true",
     .first = "VMAF_integer_feature_motion_sad_score_force_0",
     .scores = "VMAF_integer_feature_motion_sad_score_force_0 integer_motion2_force_0 "
               "integer_motion3_force_0"},
    {.request = "integer_motion=motion_fps_weight=1", .first = kSad, .scores = kMotion},
    {.request = "integer_motion=motion_max_val=6:motion_blend_factor=0.5",
     .first = "VMAF_integer_feature_motion_sad_score_mbf_0.5_mmxv_6",
     .scores = "VMAF_integer_feature_motion_sad_score_mbf_0.5_mmxv_6 "
               "integer_motion2_mbf_0.5_mmxv_6 integer_motion3_mbf_0.5_mmxv_6"},
    {"integer_motion=motion_blend_factor=2", kRead},
    {"integer_motion=motion_blend_factor=-0.1", kRead},
    {"integer_motion=motion_blend_offset=1001", kRead},
    {"integer_motion=motion_fps_weight=5.5", kRead},
    {"integer_motion=motion_max_val=-1", kRead},
    {"integer_motion=debug=2", kRead},
    {"integer_motion=motion_force_zero", kRead},
    {"integer_motion=force_zero=true", kRead},
    {"integer_motion", kSad, 3, 3},
    {"integer_motion", kSad, 3, 3, 16},
    {"integer_motion", kSad, 4, 3},
    {"integer_motion", kForm, 2, 3},
    {"integer_motion", kForm, 3, 2},
    {"integer_motion", kForm, 64, 64, 7},
    {"integer_motion", kForm, 64, 64, 17},

    // speed_chroma: a 5x5 block of every 16th chroma sample, after the rescale.
    {"speed_chroma", "speed_chroma_u", 160, 160},
    {"speed_chroma=speed_prescale=0.5:speed_prescale_method=bilinear:speed_max_val=45",
     "speed_chroma_u_mxv_45_ps_0.5_psm_bilinear", 320, 320},
    {"speed_chroma", kForm, 158, 160},
    {"speed_chroma=speed_prescale=0.5:speed_prescale_method=bilinear", kForm, 300, 320},
    {"speed_chroma", kForm, 160, 160, 9},
    {"speed_chroma", kForm, 160, 160, 8, kGray},
    {"speed_chroma=speed_kernelscale=0.7", kRead, 64, 64, 8, k420, "speed_kernelscale"},
    {"speed_chroma=speed_prescale=0.5", kRead, 64, 64, 8, k420, "bilinear"},
    {"speed_chroma=speed_prescale=1.0005:speed_prescale_method=bilinear", kRead},
    {"speed_chroma=speed_weight_var_mode=7", kRead},

    {"vmaf=model=vmaf_v0.7", kRead, 64, 64, 8, k420,
     "vmaf_v0.6.1, vmaf_v0.6.1neg, vmaf_4k_v0.6.1, vmaf_4k_v0.6.1neg"},
    {"vmaf_neg=model=vmaf_v0.6.1NEG", kRead, 64, 64, 8, k420, "no bundled model"},
    {"vmaf=model=", kRead, 64, 64, 8, k420, "no bundled model"},
    {"vmaf=model=path:/nonexistent/vmaf.json", kRead, 64, 64, 8, k420, "/nonexistent/vmaf.json"},
    {"vmaf=model=path:", kRead, 64, 64, 8, k420, "cannot read"},
    {"vmaf=name=my vmaf", kRead, 64, 64, 8, k420, "name"},
    {"vmaf=name=\"vmaf\"", kRead, 64, 64, 8, k420, "name"},
    {"vmaf=enable_transform=yes", kRead, 64, 64, 8, k420, "enable_transform"},
    {"vmaf=model_path=x", kRead, 64, 64, 8, k420, "model_path"},
    // A model's feature options in libvmaf's spelling: checked by the feature's own rules.
    {"vmaf=cambi.topk=0.5:adm.adm_enhn_gain_limit=1.2", "vmaf"},
    {"vmaf=admm.adm_enhn_gain_limit=1.2", kRead, 64, 64, 8, k420, "'admm'"},
    {"vmaf=adm.enhn_gain_limit=1.2", kRead, 64, 64, 8, k420, "no option 'enhn_gain_limit'"},
    {"vmaf=adm.adm_enhn_gain_limit=0.5", kRead, 64, 64, 8, k420, "adm_enhn_gain_limit"},
    {"vmaf=.topk=0.5", kRead, 64, 64, 8, k420, "'.topk'"},
    {"vmaf=adm.adm_enhn_gain_limit=1.2:adm.adm_enhn_gain_limit=1.3", kRead, 64, 64, 8, k420,
     "twice"},
    // A name is written as it is by every output, beside the outputs' own fields.
    {"vmaf=name=_vmaf.v2-b", "_vmaf.v2-b"},
    {"vmaf=name=frameNum", kRead, 64, 64, 8, k420, "option name: 'frameNum' is taken"},
    {"vmaf_neg=name=pair", kRead, 64, 64, 8, k420, "option name: 'pair' is taken"},
    {"vmaf=name=a<b&c", kRead, 64, 64, 8, k420, "option name"},
    {"vmaf=name=a\nb", kRead, 64, 64, 8, k420, "option name"},
    {"vmaf=name=2pass", kRead, 64, 64, 8, k420, "option name"},
    {"vmaf=name=xmlns", kRead, 64, 64, 8, k420, "option name"},
    {"vmaf=name=vmaf\xc3\xa9", kRead, 64, 64, 8, k420, "option name"},

    // cambi: values out of libvmaf's ranges are refused when read; a picture 216 samples wide or
    // high is taken, and the window scaled to the encode size must fit libvmaf's table.
    {"cambi", kForm, 215, 215},
    {"cambi=enc_width=200:enc_height=200", kForm, 1920, 1080},  // the encode too small
    {"cambi=window_size=14", kRead},
    {"cambi=window_size=0", kRead},
    {"cambi=topk=0", kRead},
    {"cambi=max_log_contrast=6", kRead},
    {"cambi=eotf=hlg", kRead},
    {"cambi=cambi_eotf=foo:eotf=pq", kRead},
    {"cambi=cambi_eotf=pq:eotf=foo", "cambi_ceot_pq_eotf_foo", 216, 1},  // as libvmaf
    {"cambi=cambi_eotf=pq:eotf=a<b", kRead, 64, 64, 8, k420, "score name"},
    {"cambi=window_size=100", kForm, 3840, 2160, 10},  // past libvmaf's table
    {"cambi", kForm, 1920, 1080, 17},
    {"cambi", "cambi", 216, 1},
    {"cambi", "cambi", 1, 216, 16},

    {"float_ssim", kForm, 10, 64},
    {"float_ssim", kForm, 64, 10},
    {"float_ssim=scale=4", kForm, 40, 100},
    {"float_ssim=scale=11", kRead},
    {"float_ms_ssim", kForm, 175, 400},
    {"float_ms_ssim", kForm, 400, 175, 10},
    {"float_ms_ssim", kForm, 400, 400, 17},

    {"ciede", "ciede2000", 32, 16, 8, k420},
    {"ciede", "ciede2000", 32, 16, 10, k444},
    {"ciede", "ciede2000", 32, 16, 12, k422},
    {"ciede", "ciede2000", 32, 16, 16, k420},
    {"ciede", kForm, 32, 16, 9, k420},
    {"ciede", kForm, 32, 16, 15, k422},
    {"ciede", kForm, 32, 16, 8, kGray},
    // butteraugli: RGB pictures of at least 8x8 (the tool's map is empty below).
    {"butteraugli", "butteraugli", 8, 8, 8, k444, nullptr, "butteraugli butteraugli_3norm"},
    {"butteraugli=pnorm=2.5:intensity_target=250", "butteraugli", 33, 9, 16, k444, nullptr,
     "butteraugli butteraugli_2.5norm"},
    {"butteraugli", kForm, 7, 64, 8, k444, "8x8"},
    {"butteraugli", kForm, 64, 64, 10, k444},
    {"butteraugli", kForm, 64, 64, 8, k420},
    {"butteraugli=intensity_target=0", kRead, 64, 64, 8, k444, "intensity_target"},
    {"butteraugli=pnorm=-1", kRead, 64, 64, 8, k444, "pnorm"},

    // ssimulacra2: RGB pictures of at least 8x8, at 8 or 16 bits.
    {"ssimulacra2", "ssimulacra2", 8, 8, 8, k444},
    {"ssimulacra2", "ssimulacra2", 177, 99, 16, k444},
    {"ssimulacra2", kForm, 7, 8, 8, k444, "at least 8x8"},
    {"ssimulacra2", kForm, 8, 7, 16, k444, "at least 8x8"},
    {"ssimulacra2", kForm, 64, 64, 10, k444},
    {"ssimulacra2", kForm, 64, 64, 8, k420},

    {"psnr_hvs", "psnr_hvs_y", 8, 8, 8, k444},
    {"psnr_hvs", "psnr_hvs_y", 16, 16, 8, k420},
    {"psnr_hvs", "psnr_hvs_y", 15, 15, 12, k420},
    {"psnr_hvs", "psnr_hvs_y", 16, 8, 10, k422},
    {"psnr_hvs", kForm, 7, 8, 8, k444},
    {"psnr_hvs", kForm, 8, 7, 8, k444},
    {"psnr_hvs", kForm, 14, 16, 8, k420},
    {"psnr_hvs", kForm, 16, 14, 8, k420},
    {"psnr_hvs", kForm, 14, 8, 8, k422},
    {"psnr_hvs", kForm, 64, 64, 8, kGray},
    {"psnr_hvs", kForm, 64, 64, 13, k420},
    {"psnr_hvs", kForm, 64, 64, 16, k444},

    {"psnr=min_sse=-1", kRead, 64, 64, 8, k420, "min_sse"},
    {"psnr=min_sse=inf", kRead, 64, 64, 8, k420, "min_sse"},
    {"psnr=min_sse=nan", kRead, 64, 64, 8, k420, "min_sse"},
    {"psnr=min_sse=1e309", kRead, 64, 64, 8, k420, "min_sse"},
    {"psnr=min_sse=1e308", "y_psnr"},  // in libvmaf's range: caps every plane far below 0 dB
    {"psnr=min_sse=0.5:reduced_hbd_peak=1", "y_psnr"},  // the report's columns first
};

TEST(MetricRequests, AreNamedOrRefused) {
  for (const Request& c : kRequests) {
    const test::Asked a = test::ask(c.request, c.w, c.h, c.depth, c.layout);
    EXPECT_EQ(a.first, c.first) << a.what << ": " << a.why;
    if (a.first == kRead || a.first == kForm) {
      const std::string request = c.request, metric = request.substr(0, request.find('='));
      EXPECT_NE(a.why.find(c.why ? c.why : metric.c_str()), std::string::npos)
          << a.what << ": " << a.why;
    }
    if (c.scores != nullptr) {
      std::string scores;
      for (const std::string& s : a.scores)
        scores += (scores.empty() ? "" : " ") + s;
      EXPECT_EQ(scores, c.scores) << a.what;
    }
  }
}

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
