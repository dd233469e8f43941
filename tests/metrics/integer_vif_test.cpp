// integer_vif's kernels at every tier against the scalar ones, the scorer at any pitch, and the
// scorer joined over gain limits (its libvmaf logs: logs_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "metrics/integer_vif/vif.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

using test::Rng;
using test::Twin;

// Random luma: noise around a smooth ramp, with stretches of the extreme values; the distorted
// rows are the reference's with noise, so that covariances are positive as well as negative.
struct Rows {
  std::vector<uint16_t> ref, dis;  // rows of w samples, `depth` bits
  int w = 0, depth = 8;
};

Rows random_rows(std::mt19937& rng, int n, int w, int depth) {
  Rows r;
  r.w = w;
  r.depth = depth;
  const int top = (1 << depth) - 1;
  const int mode = int(rng() % 4);
  for (int i = 0; i < n * w; ++i) {
    int v = (i % w) * top / w / 2 + int(rng() % (uint32_t(top) / 2 + 1));
    if (mode == 1) v = (rng() & 1) ? top : 0;
    if (mode == 2) v = top / 3;
    v = std::clamp(v, 0, top);
    const int noise = int(rng() % 9) - 4;
    r.ref.push_back(uint16_t(v));
    r.dis.push_back(
        uint16_t(mode == 3 ? int(rng()) & top : std::clamp(v + noise * (top / 64 + 1), 0, top)));
  }
  return r;
}

// A filtered row's five outputs, each with kPad margins either side of its w samples.
struct Stat {
  explicit Stat(int w) : mu1(n(w), 0x5a5a), mu2(mu1), xx(n(w), 0xa5a5a5a5u), yy(xx), xy(xx) {}
  static size_t n(int w) { return size_t(w + 2 * vif::kPad); }
  vif::StatRow row(int i) {
    return {mu1[i] + vif::kPad, mu2[i] + vif::kPad, xx[i] + vif::kPad, yy[i] + vif::kPad,
            xy[i] + vif::kPad};
  }
  Twin<uint16_t> mu1, mu2;
  Twin<uint32_t> xx, yy, xy;
};

// Mirrors the `n` samples either side of a row of w, as the scorer does.
template <class T>
void mirror(T* p, int w, int n) {
  for (int f = 1; f <= n; ++f) {
    p[-f] = p[f];
    p[w - 1 + f] = p[w - 1 - f];
  }
}

// A pass's four sums, compared as one.
auto sums(const vif::Sums& s) {
  return std::tuple(s.num_log, s.den_log, s.num_lin, s.den_lin);
}

// Every tier's kernels against the scalar ones: every depth and scale, extreme samples, rows
// repeating as mirrored taps give them, guard bands around every output.
TEST(IntegerVif, KernelTiersEqualScalar) {
  test::every_tier(0, 400, vif::kernels_for, [](const vif::Kernels(&k)[2], Rng& rng, int round) {
    const int w = test::sweep(rng, round, 1, 300), scale = int(rng.below(4));
    const int depth = scale == 0 ? 8 + int(rng.below(9)) : 16, taps = vif::kTaps[scale];
    SCOPED_TRACE(testing::Message() << "w=" << w << " scale=" << scale << " depth=" << depth);
    const Rows src = random_rows(rng, taps, w, depth);
    const std::vector<uint8_t> r8(src.ref.begin(), src.ref.end()),
        d8(src.dis.begin(), src.dis.end());
    const uint8_t *rr8[17], *dr8[17];
    const uint16_t *rr16[17], *dr16[17];
    for (int t = 0; t < taps; ++t) {  // rows repeat, as mirrored taps give them
      const size_t row = size_t(rng.below(uint32_t(taps))) * size_t(w);
      rr8[t] = r8.data() + row, dr8[t] = d8.data() + row;
      rr16[t] = src.ref.data() + row, dr16[t] = src.dis.data() + row;
    }
    const bool eight = depth == 8 && scale == 0;
    Stat st(w);
    for (int i : {0, 1})
      if (eight)
        k[i].stat_v8(rr8, dr8, w, st.row(i));
      else
        k[i].stat_v16(rr16, dr16, w, scale, scale ? 16 : depth, scale ? 16 : 2 * (depth - 8),
                      st.row(i));
    ASSERT_TRUE(test::same(st.mu1, st.mu2, st.xx, st.yy, st.xy)) << "vertical statistics";

    // The horizontal terms of that row, mirrored as the scorer mirrors it, where it can be.
    if (w > taps / 2) {
      const vif::StatRow s = st.row(0);
      for (auto* p : {s.mu1, s.mu2})
        mirror(p, w, taps / 2);
      for (auto* p : {s.xx, s.yy, s.xy})
        mirror(p, w, taps / 2);
      // One to four gain limits around the gains of these rows (near 1 where the distorted
      // row is the reference's with noise), duplicates and the first above or below the rest.
      vif::GainLimits limits;
      limits.count = 1 + int(rng.below(vif::kMaxGainLimits));
      for (int l = 0; l < limits.count; ++l) {
        const uint32_t pick = rng.below(4);
        limits.limit[l] = pick == 0 ? 100.0 : pick == 1 ? 1.0 : 0.75 + rng.below(128) / 256.0;
      }
      vif::Sums got[2][vif::kMaxGainLimits];
      for (int i : {0, 1})
        k[i].stat_h(s, w, scale, limits, got[i]);
      for (int l = 0; l < limits.count; ++l) {
        // Each limit's sums are those of a pass at that limit alone.
        vif::Sums alone;
        k[0].stat_h(s, w, scale, {1, {limits.limit[l]}}, &alone);
        EXPECT_EQ(sums(got[0][l]), sums(alone)) << "limit " << limits.limit[l];
        EXPECT_EQ(sums(got[0][l]), sums(got[1][l])) << "limit " << limits.limit[l];
      }
    }

    if (scale == 3) return;
    const int next = scale + 1, ntaps = vif::kTaps[next];
    Twin<uint16_t> c(Stat::n(w), 0x7777), d(c);
    for (int i : {0, 1})
      if (eight)
        k[i].sub_v8(rr8, dr8, w, c[i] + vif::kPad, d[i] + vif::kPad);
      else
        k[i].sub_v16(rr16, dr16, w, next, scale ? 16 : depth, c[i] + vif::kPad, d[i] + vif::kPad);
    ASSERT_TRUE(test::same(c, d)) << "vertical subsampling";
    if (w <= ntaps / 2 || w < 2) return;
    uint16_t *pc = c[0] + vif::kPad, *pd = d[0] + vif::kPad;
    mirror(pc, w, ntaps / 2);
    mirror(pd, w, ntaps / 2);
    Twin<uint16_t> o(size_t(w / 2), 0x3333), e(o);
    for (int i : {0, 1})
      k[i].sub_h(pc, pd, w / 2, next, o[i], e[i]);
    ASSERT_TRUE(test::same(o, e)) << "horizontal subsampling";
  });
}

// Whole pictures at random sizes (odd ones, the smallest), every depth, stored top-down, with
// wide pitches and bottom-up (negative pitches): every tier's result equals the scalar one.
TEST(IntegerVif, ScorerTiersEqualScalarForAnyPitch) {
  test::every_tier(1, 30, vif::kernels_for, [](const vif::Kernels(&k)[2], Rng& rng, int round) {
    const int w = vif::kMinSize + int(rng.below(90)), h = vif::kMinSize + int(rng.below(60));
    const int depth = round % 3 == 0 ? 8 : 9 + int(rng.below(8));
    SCOPED_TRACE(testing::Message() << w << "x" << h << " depth " << depth);
    const Rows src = random_rows(rng, h, w, depth);
    vif::Params p;
    p.gain.limit[0] = round % 2 ? 100.0 : 1.0;
    vif::Result want, got;
    const test::Stored r = test::store(src.ref, w, h, depth), d = test::store(src.dis, w, h, depth);
    vif::Scorer(w, h, depth, p, k[0])
        .score({r.top(), r.pitch, depth}, {d.top(), d.pitch, depth}, &want);
    vif::Scorer s(w, h, depth, p, k[1]);
    for (const bool up : {false, true}) {  // top-down with padding, and bottom-up
      const test::Stored ru = test::store(src.ref, w, h, depth, 14, up),
                         du = test::store(src.dis, w, h, depth, 14, up);
      s.score({ru.top(), ru.pitch, depth}, {du.top(), du.pitch, depth}, &got);
      for (int j = 0; j < 4; ++j) {
        EXPECT_EQ(got.num[j], want.num[j]) << "scale " << j << (up ? " bottom up" : "");
        EXPECT_EQ(got.den[j], want.den[j]) << "scale " << j << (up ? " bottom up" : "");
      }
    }
  });
}

// Requests that differ in their gain limit alone are one group whose one scorer writes every
// request's columns, the very values each request's own scorer writes; others stay apart.
TEST(IntegerVif, JoinedScorerWritesWhatEachWrites) {
  const struct {
    std::vector<const char*> requests;
    size_t groups;
  } cases[] = {
      {{"integer_vif", "integer_vif=vif_enhn_gain_limit=1.0"}, 1},
      {{"integer_vif=vif_enhn_gain_limit=1.5:debug=true:vif_skip_scale0=true",
        "integer_vif=debug=true:vif_skip_scale0=true", "integer_vif=vif_skip_scale0=true"},
       2},
      // More limits than one pass takes: two passes, the first full.
      {{"integer_vif=vif_enhn_gain_limit=1", "integer_vif=vif_enhn_gain_limit=1.1",
        "integer_vif=vif_enhn_gain_limit=1.2", "integer_vif=vif_enhn_gain_limit=1.5",
        "integer_vif=vif_enhn_gain_limit=2", "integer_vif"},
       1},
  };
  std::mt19937 rng(test::base_seed() + 2);
  for (const auto& c : cases) {
    std::vector<MetricRequest> requests(c.requests.size());
    std::vector<const MetricRequest*> ptrs;
    for (size_t i = 0; i < requests.size(); ++i) {
      std::string why;
      ASSERT_TRUE(parse_metric_request(c.requests[i], &requests[i], &why)) << why;
      ptrs.push_back(&requests[i]);
    }
    const std::vector<MetricGroup> groups = group_metric_requests(ptrs);
    ASSERT_EQ(groups.size(), c.groups) << c.requests[0];
    for (const int depth : {8, 10}) {
      const int w = 67 + int(rng() % 40), h = 33 + int(rng() % 30);
      SCOPED_TRACE(std::string(c.requests[0]) + " " + std::to_string(w) + "x" + std::to_string(h) +
                   " depth " + std::to_string(depth));
      const PictureForm form{.width = w, .height = h, .depth = depth};
      for (const auto& [tier, flags] : test::tiers()) {
        SCOPED_TRACE(tier);
        std::vector<std::unique_ptr<Metric>> joined, alone;
        std::string why;
        for (const MetricGroup& g : groups) {
          joined.emplace_back();
          ASSERT_EQ(make_group_scorer(g, form, flags, &joined.back(), &why), MetricStatus::kOk)
              << why;
        }
        for (const MetricRequest& r : requests) {
          alone.emplace_back();
          ASSERT_EQ(r.row->make(form, r.options, flags, &alone.back(), &why), MetricStatus::kOk)
              << why;
        }
        ScoreTable tj, ta;
        for (int32_t pair = 0; pair < 3; ++pair) {
          const Rows src = random_rows(rng, h, w, depth);
          const test::Stored r = test::store(src.ref, w, h, depth),
                             d = test::store(src.dis, w, h, depth);
          const Picture ref = r.luma(), dis = d.luma();
          for (auto& m : joined)
            ASSERT_EQ(m->score(pair, ref, dis, &tj), MetricStatus::kOk);
          for (auto& m : alone)
            ASSERT_EQ(m->score(pair, ref, dis, &ta), MetricStatus::kOk);
        }
        ASSERT_EQ(tj.columns(), ta.columns());
        for (const MetricRequest& r : requests)
          for (const std::string& n : r.row->scores(r.options)) {
            const int cj = tj.find(n), ca = ta.find(n);
            ASSERT_GE(cj, 0) << n;
            for (int32_t pair = 0; pair < 3; ++pair) {
              double vj = -7, va = -8;
              ASSERT_TRUE(tj.get(cj, pair, &vj) && ta.get(ca, pair, &va)) << n;
              EXPECT_EQ(vj, va) << n << " pair " << pair;
            }
          }
      }
    }
  }
}

}  // namespace
}  // namespace vq
