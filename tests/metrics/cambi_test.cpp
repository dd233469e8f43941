// cambi's vector kernels against the scalar ones, whole pictures at every tier and either way up,
// and the samples it refuses (its libvmaf logs: logs_test).
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstring>
#include <random>

#include "convert/convert.h"
#include "metrics/cambi/cambi.h"
#include "tests/frames.h"
#include "tests/metrics/requests.h"

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

TEST(Cambi, KernelsMatchScalarWithinGuards) {
  std::mt19937 rng(test::base_seed() + 1);
  const CambiKernels scalar = cambi_kernels(0);
  for (const auto& [tier, flags] : test::tiers()) {
    const CambiKernels k = cambi_kernels(flags);
    for (int round = 0; round < 200; ++round) {
      const int32_t n = 1 + int32_t(rng() % 70);
      SCOPED_TRACE(testing::Message() << tier << " n " << n);
      std::vector<uint16_t> in[3], want(size_t(n) + 32, 0x5A5A), got(want);
      for (auto& v : in) {
        v.resize(size_t(n));
        for (auto& x : v)
          x = uint16_t(rng() % 4);
      }
      scalar.mode3_rows(in[0].data(), in[1].data(), in[2].data(), want.data() + 16, n);
      k.mode3_rows(in[0].data(), in[1].data(), in[2].data(), got.data() + 16, n);
      EXPECT_EQ(got, want);
      scalar.mode3_across(in[0].data(), want.data() + 16, n);
      k.mode3_across(in[0].data(), got.data() + 16, n);
      EXPECT_EQ(got, want);
      const uint16_t delta = rng() % 2 ? 1 : 0xFFFF;
      scalar.add_range(want.data() + 16, n, delta);
      k.add_range(got.data() + 16, n, delta);
      EXPECT_EQ(got, want);

      // Rows that mostly agree: the first difference anywhere, from any start. The rows are
      // exactly n long, so a read past them is caught by the sanitizers.
      const size_t len = static_cast<size_t>(n);
      std::vector<uint16_t> va(len), vb(len);
      std::vector<uint8_t> ma(len), mb(len);
      for (int32_t j = 0; j < n; ++j) {
        va[size_t(j)] = uint16_t(rng() % 1025);
        ma[size_t(j)] = uint8_t(rng() % 3 == 0 ? 0 : 1 + rng() % 2);
        const bool alike = rng() % 8 != 0;
        vb[size_t(j)] = alike ? va[size_t(j)] : uint16_t(rng() % 1025);
        mb[size_t(j)] = alike ? ma[size_t(j)] : uint8_t(rng() % 2);
        if (!ma[size_t(j)] && !mb[size_t(j)]) vb[size_t(j)] = uint16_t(rng() % 1025);
      }
      for (int32_t from = 0; from <= n; from += 1 + int32_t(rng() % 9))
        EXPECT_EQ(k.next_change(ma.data(), va.data(), mb.data(), vb.data(), from, n),
                  scalar.next_change(ma.data(), va.data(), mb.data(), vb.data(), from, n))
            << "from " << from;

      // c-values: zeros, values below 0.5 and ordinary ones, over sizes that leave every tail.
      std::vector<float> c(size_t(n) * (1 + rng() % 40));
      for (float& x : c) {
        const uint32_t pick = rng() % 4;
        x = pick == 0 ? 0.0f : pick == 1 ? float(rng() % 1000) / 4096 : float(rng() % 20000) / 7;
      }
      CambiSums sw, sg;
      scalar.pool_sums(c.data(), int32_t(c.size()), &sw);
      k.pool_sums(c.data(), int32_t(c.size()), &sg);
      EXPECT_EQ(sg.above, sw.above);
      EXPECT_EQ(sg.small, sw.small);
      EXPECT_EQ(std::memcmp(sg.part, sw.part, sizeof sw.part), 0);
    }
  }
}

}  // namespace
}  // namespace vq
