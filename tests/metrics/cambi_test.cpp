// cambi's vector kernels against the scalar ones, whole pictures at every tier and either way up,
// and the samples it refuses (its libvmaf logs: logs_test).
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstring>
#include <random>

#include "convert/convert.h"
#include "metrics/cambi/cambi.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

MetricOptions parse(const std::string& request) {
  MetricRequest r;
  std::string why;
  EXPECT_TRUE(parse_metric_request(request, &r, &why)) << why;
  return r.options;
}

// Luma samples of gradients in steps of a few levels (flat runs, uniform and mixed blocks) and
// some noise, clamped to the depth's peak.
std::vector<uint16_t> random_luma(std::mt19937& rng, int32_t w, int32_t h, int depth) {
  std::vector<uint16_t> out;
  const int peak = (1 << depth) - 1;
  const int step = 1 + int(rng() % 3);
  const double slope = double(rng() % 200) / 1000.0;
  for (int32_t i = 0; i < h; ++i)
    for (int32_t j = 0; j < w; ++j) {
      int v = int(peak * 0.2 + (j + i / 3) * slope * (peak / 255.0)) / step * step;
      if (rng() % 50 == 0) v += int(rng() % 5);
      out.push_back(uint16_t(std::min(v, peak)));
    }
  return out;
}

TEST(Cambi, VectorFormsScoreAsScalar) {
  std::mt19937 rng(test::base_seed());
  const char* requests[] = {"cambi", "cambi=max_log_contrast=5:window_size=15",
                            "cambi=enc_bitdepth=10:cambi_vis_lum_threshold=30",
                            "cambi=eotf=pq:max_log_contrast=0:topk=1"};
  int banded = 0;
  for (int round = 0; round < 12; ++round) {
    const int32_t w = 216 + int32_t(rng() % 150), h = 20 + int32_t(rng() % 230);
    const int depth = std::array{8, 9, 10, 12, 16}[rng() % 5];
    const char* request = requests[rng() % std::size(requests)];
    SCOPED_TRACE(testing::Message() << w << "x" << h << " depth " << depth << " " << request);
    CambiPlan plan;
    std::string why;
    ASSERT_TRUE(cambi_plan(test::form(w, h, depth), parse(request), &plan, &why)) << why;
    const std::vector<uint16_t> luma = random_luma(rng, w, h, depth);
    // The rows stored top-down, and bottom-up read with a negative pitch.
    const test::Stored down = test::store(luma, w, h, depth),
                       up = test::store(luma, w, h, depth, 0, true);
    double want = 0;
    CambiScratch scratch;
    ASSERT_TRUE(cambi_score_luma(plan, cambi_kernels(0), down.top(), down.pitch, &scratch, &want));
    banded += want > 0;
    for (const auto& [tier, flags] : test::tiers()) {
      SCOPED_TRACE(tier);
      for (const test::Stored* s : {&down, &up}) {
        double got = -1;
        ASSERT_TRUE(
            cambi_score_luma(plan, cambi_kernels(flags), s->top(), s->pitch, &scratch, &got));
        EXPECT_EQ(got, want) << (s == &up ? "bottom up" : "top down");
      }
    }
  }
  EXPECT_GE(banded, 6) << "the pictures should band";
}

TEST(Cambi, RefusesSamplesAboveThePeak) {
  CambiPlan plan;
  std::string why;
  ASSERT_TRUE(cambi_plan(test::form(216, 8, 10), parse("cambi"), &plan, &why)) << why;
  std::vector<uint16_t> luma(216 * 8, 512);
  CambiScratch scratch;
  double score = 0;
  EXPECT_TRUE(cambi_score_luma(plan, cambi_kernels(0), reinterpret_cast<uint8_t*>(luma.data()), 432,
                               &scratch, &score));
  luma[700] = 1024;
  EXPECT_FALSE(cambi_score_luma(plan, cambi_kernels(0), reinterpret_cast<uint8_t*>(luma.data()),
                                432, &scratch, &score));
}

// The encode's own size and depth where the run scaled or widened it, unless the request gives
// them; a size libvmaf would not take (too small, or larger than the pictures) is not taken.
TEST(Cambi, TakesTheEncodesOwnSizeAndDepthUnlessGiven) {
  const struct {
    const char* request;
    int32_t enc_w, enc_h;
    int enc_depth;
    int32_t width, height;  // the plan's encode size at 1280x720
    bool anti_dither;
    bool noted;
  } cases[] = {
      {"cambi", 0, 0, 0, 1280, 720, false, false},
      {"cambi", 640, 360, 0, 640, 360, false, true},
      {"cambi", 640, 360, 8, 640, 360, true, true},
      {"cambi", 0, 0, 8, 1280, 720, true, true},
      {"cambi", 176, 144, 0, 1280, 720, false, false},   // below 180x150
      {"cambi", 1920, 360, 0, 1280, 720, false, false},  // wider than the pictures
      {"cambi=enc_width=960:enc_height=540", 640, 360, 8, 960, 540, true, true},
      {"cambi=enc_width=960", 640, 360, 0, 1280, 720, false, false},  // half a size: libvmaf's
      {"cambi=enc_bitdepth=10", 640, 360, 8, 640, 360, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.request) + " " + std::to_string(c.enc_w) + "x" +
                 std::to_string(c.enc_h) + " " + std::to_string(c.enc_depth));
    PictureForm form = test::form(1280, 720, 10);
    form.encode_width = c.enc_w;
    form.encode_height = c.enc_h;
    form.encode_depth = c.enc_depth;
    const MetricOptions options = parse(c.request);
    CambiPlan plan;
    std::string why;
    ASSERT_TRUE(cambi_plan(form, options, &plan, &why)) << why;
    EXPECT_EQ(plan.width, c.width);
    EXPECT_EQ(plan.height, c.height);
    EXPECT_EQ(plan.anti_dither, c.anti_dither);
    const std::vector<FormOption> noted = cambi_metric().form_options(form, options);
    ASSERT_EQ(noted.size(), c.noted ? 3u : 0u);
    if (c.noted) {
      EXPECT_EQ(noted[0].value, c.width);
      EXPECT_EQ(noted[1].value, c.height);
      EXPECT_EQ(noted[2].value, c.anti_dither ? 8 : 10);
    }
  }
}

// Rows of small values (the modes of three and across), windows slid between rows that mostly
// agree, c-value rows, c-values pooled over sizes that leave every tail.
TEST(Cambi, KernelsMatchScalarWithinGuards) {
  test::every_tier(1, 200, cambi_kernels, [](const CambiKernels(&k)[2], test::Rng& rng, int round) {
    const int32_t n = test::sweep(rng, round, 1, 70);
    SCOPED_TRACE(testing::Message() << "n " << n);
    std::vector<uint16_t> in[3];
    for (auto& v : in)
      v = rng.samples(size_t(n), 2);
    test::Twin<uint16_t> rows(size_t(n), 0x5A5A), across(rows);
    for (int i : {0, 1}) {
      k[i].mode3_rows(in[0].data(), in[1].data(), in[2].data(), rows[i], n);
      k[i].mode3_across(in[0].data(), across[i], n);
    }
    EXPECT_TRUE(test::same(rows, across));

    // A slide between rows that mostly agree, values around the count rows' ends. The rows are
    // exactly n long, so a read past them is caught by the sanitizers.
    const size_t len = static_cast<size_t>(n);
    std::vector<uint16_t> va(len), vb(len);
    std::vector<uint8_t> ma(len), mb(len);
    for (size_t j = 0; j < len; ++j) {
      va[j] = uint16_t(rng.below(40));
      ma[j] = uint8_t(rng.below(3) == 0 ? 0 : 1 + rng.below(2));
      const bool alike = rng.below(8) != 0;
      vb[j] = alike ? va[j] : uint16_t(rng.below(40));
      mb[j] = alike ? ma[j] : uint8_t(rng.below(2));
      if (!ma[j] && !mb[j]) vb[j] = uint16_t(rng.below(40));
    }
    const int32_t count_rows = 1 + int32_t(rng.below(30));
    test::Twin<uint16_t> counts(size_t(count_rows) * len, 0x5A5A);
    const std::vector<uint16_t> start = rng.samples(counts.n, 16);
    const int32_t pad = int32_t(rng.below(40)), base = int32_t(rng.below(10));
    for (int i : {0, 1}) {
      std::copy(start.begin(), start.end(), counts[i]);
      k[i].slide({counts[i], va.data(), ma.data(), vb.data(), mb.data(), n, pad, base, count_rows});
    }
    EXPECT_TRUE(test::same(counts));

    // A few rows of few values: the smoothed conversion, the flat flags and their window sums
    // (column sums of at most 7 between zeros, less what leaves), and both halvings in place.
    const int32_t h = 1 + int32_t(rng.below(6));
    const std::vector<uint8_t> luma = rng.samples<uint8_t>(len * size_t(h), 1);
    const std::vector<uint16_t> img = rng.samples(2 * len, 1);
    std::vector<uint8_t> col_sums(len + 6), drop(len);
    for (size_t j = 0; j < len; ++j) {
      col_sums[j + 3] = uint8_t(rng.below(7));
      drop[j] = uint8_t(col_sums[j + 3] > 0 ? rng.below(2) : 0);
    }
    const bool last = rng.below(2) != 0, dropping = rng.below(4) != 0;
    const uint8_t limit = uint8_t(rng.below(30));
    test::Twin<uint16_t> smooth(len * size_t(h), 0x5A5A), halved16(len * size_t(h), 0x5A5A);
    test::Twin<uint8_t> flat(len, 0x5A), col(len + 6, 0x5A), mask(len, 0x5A),
        halved8(len * size_t(h), 0x5A);
    const int32_t half_w = (n + 1) / 2, half_h = (h + 1) / 2;
    for (int i : {0, 1}) {
      for (int32_t r = 0; r < h; ++r)
        k[i].smooth8(&luma[size_t(r) * len], &luma[size_t(std::min(r + 1, h - 1)) * len], n,
                     smooth[i] + size_t(r) * len);
      std::copy(col_sums.begin(), col_sums.end(), col[i]);
      k[i].flat_row(img.data(), last ? nullptr : img.data() + len, n, flat[i], col[i] + 3);
      k[i].mask_row(col[i] + 3, dropping ? drop.data() : nullptr, n, limit, mask[i]);
      std::copy(smooth[0], smooth[0] + smooth.n, halved16[i]);
      std::copy(luma.begin(), luma.end(), halved8[i]);
      for (int32_t r = 0; r < half_h; ++r) {
        k[i].halve16(halved16[i] + 2 * size_t(r) * len, half_w, halved16[i] + size_t(r) * len);
        k[i].halve8(halved8[i] + 2 * size_t(r) * len, half_w, halved8[i] + size_t(r) * len);
      }
    }
    EXPECT_TRUE(test::same(smooth, flat, col, mask, halved16, halved8));

    // A c-value row of a real plan's thresholds: each block of sixteen columns of one to six
    // values near the count rows' ends, some columns not flat, counts of any size a window holds.
    CambiPlan plan;
    std::string why;
    const char* contrast = rng.below(2) ? "cambi" : "cambi=max_log_contrast=4:window_size=15";
    ASSERT_TRUE(cambi_plan(test::form(216, 216, 10), parse(contrast), &plan, &why)) << why;
    const int32_t most = plan.window * plan.window / 2;
    const std::vector<uint16_t> row_counts = rng.samples(size_t(plan.count_rows) * len + 32, 16, 4);
    std::vector<uint16_t> counts_row(row_counts.size());
    for (size_t q = 0; q < counts_row.size(); ++q)
      counts_row[q] = uint16_t(row_counts[q] % (most + 1));
    std::vector<uint16_t> values(len);
    std::vector<uint8_t> flat_cols(len);
    uint16_t kinds[6] = {};
    for (size_t j = 0; j < len; ++j) {
      if (j % 16 == 0)
        for (uint16_t& v : kinds)
          v = uint16_t(
              std::max(plan.base - 2 + int32_t(rng.below(uint32_t(plan.own_rows + 4))), 0));
      values[j] = kinds[rng.below(uint32_t(1 + (j / 16) % 6))];
      flat_cols[j] = uint8_t(rng.below(5) != 0);
    }
    test::Twin<float> c_out(len, -1.0f);
    for (int i : {0, 1}) {
      CambiRowArgs args{counts_row.data() + 16,
                        values.data(),
                        flat_cols.data(),
                        c_out[i],
                        plan.reciprocal.data(),
                        n,
                        plan.base,
                        plan.own_rows,
                        plan.diffs,
                        plan.vlt,
                        plan.tvi,
                        plan.weights};
      k[i].c_values_row(args);
    }
    EXPECT_TRUE(test::same(c_out));

    // c-values: zeros, values below 0.5 and ordinary ones.
    std::vector<float> c(size_t(n) * (1 + rng.below(40)));
    for (float& x : c) {
      const uint32_t pick = rng.below(4);
      x = pick == 0   ? 0.0f
          : pick == 1 ? float(rng.below(1000)) / 4096
                      : float(rng.below(20000)) / 7;
    }
    CambiSums sums[2];
    for (int i : {0, 1})
      k[i].pool_sums(c.data(), int32_t(c.size()), &sums[i]);
    EXPECT_EQ(sums[1].above, sums[0].above);
    EXPECT_TRUE(test::same_bits(sums[1].least, sums[0].least));
    EXPECT_EQ(std::memcmp(sums[1].part, sums[0].part, sizeof sums[0].part), 0);
  });
}

}  // namespace
}  // namespace vq
