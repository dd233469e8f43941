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
#include "tests/frames.h"
#include "tests/metrics/requests.h"

namespace vq {
namespace {

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

constexpr int kGuard = 24;

// A filtered row with guard samples on both sides of its kPad margins.
struct Stat {
  explicit Stat(int w)
      : mu1(size_t(w + 2 * (kGuard + vif::kPad)), 0x5a5a),
        mu2(mu1),
        xx(size_t(w + 2 * (kGuard + vif::kPad)), 0xa5a5a5a5u),
        yy(xx),
        xy(xx) {}
  vif::StatRow row() {
    const size_t o = kGuard + vif::kPad;
    return {mu1.data() + o, mu2.data() + o, xx.data() + o, yy.data() + o, xy.data() + o};
  }
  bool operator==(const Stat&) const = default;
  std::vector<uint16_t> mu1, mu2;
  std::vector<uint32_t> xx, yy, xy;
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

// Every tier's kernels against the scalar ones: random widths (odd ones, and around the vector
// widths), every depth and scale, extreme samples, and guard samples around every output.
TEST(IntegerVif, KernelTiersEqualScalar) {
  const vif::Kernels ref = vif::scalar_kernels();
  std::mt19937 rng(test::base_seed());
  for (const auto& [tier, flags] : test::tiers()) {
    SCOPED_TRACE(tier);
    const vif::Kernels k = vif::kernels_for(flags);
    for (int iter = 0; iter < 400; ++iter) {
      const int w = iter < 40 ? 1 + iter : 1 + int(rng() % 300);
      const int scale = int(rng() % 4);
      const int depth = scale == 0 ? 8 + int(rng() % 9) : 16;
      const int taps = vif::kTaps[scale];
      SCOPED_TRACE("w=" + std::to_string(w) + " scale=" + std::to_string(scale) +
                   " depth=" + std::to_string(depth));
      const Rows src = random_rows(rng, taps, w, depth);
      const std::vector<uint8_t> r8(src.ref.begin(), src.ref.end()),
          d8(src.dis.begin(), src.dis.end());
      const uint8_t* rr8[17];
      const uint8_t* dr8[17];
      const uint16_t* rr16[17];
      const uint16_t* dr16[17];
      for (int t = 0; t < taps; ++t) {  // rows repeat, as mirrored taps give them
        const size_t row = size_t(rng() % uint32_t(taps)) * size_t(w);
        rr8[t] = r8.data() + row;
        dr8[t] = d8.data() + row;
        rr16[t] = src.ref.data() + row;
        dr16[t] = src.dis.data() + row;
      }
      Stat a(w), b(w);
      if (depth == 8 && scale == 0) {
        ref.stat_v8(rr8, dr8, w, a.row());
        k.stat_v8(rr8, dr8, w, b.row());
      } else {
        const int shift_mu = scale == 0 ? depth : 16, shift_sq = scale == 0 ? 2 * (depth - 8) : 16;
        ref.stat_v16(rr16, dr16, w, scale, shift_mu, shift_sq, a.row());
        k.stat_v16(rr16, dr16, w, scale, shift_mu, shift_sq, b.row());
      }
      ASSERT_TRUE(a == b) << "vertical statistics";

      // The horizontal terms of that row, mirrored as the scorer mirrors it, where it can be.
      if (w > taps / 2) {
        vif::StatRow s = a.row();
        for (auto* p : {s.mu1, s.mu2})
          mirror(p, w, taps / 2);
        for (auto* p : {s.xx, s.yy, s.xy})
          mirror(p, w, taps / 2);
        // One to four gain limits around the gains of these rows (near 1 where the distorted
        // row is the reference's with noise), duplicates and the first above or below the rest.
        vif::GainLimits limits;
        limits.count = 1 + int(rng() % vif::kMaxGainLimits);
        for (int l = 0; l < limits.count; ++l) {
          const int pick = int(rng() % 4);
          limits.limit[l] = pick == 0   ? 100.0
                            : pick == 1 ? 1.0
                                        : 0.75 + double(rng() % 128) / 256.0;
        }
        vif::Sums sa[vif::kMaxGainLimits], sb[vif::kMaxGainLimits];
        ref.stat_h(s, w, scale, limits, sa);
        k.stat_h(s, w, scale, limits, sb);
        for (int l = 0; l < limits.count; ++l) {
          SCOPED_TRACE("limit " + std::to_string(limits.limit[l]) + " of " +
                       std::to_string(limits.count));
          // Each limit's sums are those of a pass at that limit alone.
          vif::Sums alone;
          ref.stat_h(s, w, scale, {1, {limits.limit[l]}}, &alone);
          EXPECT_EQ(sums(sa[l]), sums(alone));
          EXPECT_EQ(sums(sa[l]), sums(sb[l]));
        }
      }

      if (scale == 3) continue;
      const int next = scale + 1, ntaps = vif::kTaps[next];
      std::vector<uint16_t> ca(size_t(w + 2 * (kGuard + vif::kPad)), 0x7777), cb(ca), da(ca),
          db(ca);
      uint16_t* pa = ca.data() + kGuard + vif::kPad;
      uint16_t* pb = cb.data() + kGuard + vif::kPad;
      uint16_t* qa = da.data() + kGuard + vif::kPad;
      uint16_t* qb = db.data() + kGuard + vif::kPad;
      if (depth == 8 && scale == 0) {
        ref.sub_v8(rr8, dr8, w, pa, qa);
        k.sub_v8(rr8, dr8, w, pb, qb);
      } else {
        const int shift = scale == 0 ? depth : 16;
        ref.sub_v16(rr16, dr16, w, next, shift, pa, qa);
        k.sub_v16(rr16, dr16, w, next, shift, pb, qb);
      }
      ASSERT_EQ(ca, cb) << "vertical subsampling";
      ASSERT_EQ(da, db) << "vertical subsampling";
      if (w <= ntaps / 2 || w < 2) continue;
      for (auto* p : {pa, qa})
        mirror(p, w, ntaps / 2);
      const int n = w / 2;
      std::vector<uint16_t> oa(size_t(n + 2 * kGuard), 0x3333), ob(oa), ea(oa), eb(oa);
      ref.sub_h(pa, qa, n, next, oa.data() + kGuard, ea.data() + kGuard);
      k.sub_h(pa, qa, n, next, ob.data() + kGuard, eb.data() + kGuard);
      ASSERT_EQ(oa, ob) << "horizontal subsampling";
      ASSERT_EQ(ea, eb) << "horizontal subsampling";
    }
  }
}

// Whole pictures at random sizes (odd ones, the smallest), every depth, stored top-down, with
// wide pitches and bottom-up (negative pitches): every tier's result equals the scalar one.
TEST(IntegerVif, ScorerTiersEqualScalarForAnyPitch) {
  std::mt19937 rng(test::base_seed() + 1);
  for (int iter = 0; iter < 30; ++iter) {
    const int w = vif::kMinSize + int(rng() % 90), h = vif::kMinSize + int(rng() % 60);
    const int depth = iter % 3 == 0 ? 8 : 9 + int(rng() % 8);
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " depth " + std::to_string(depth));
    const Rows src = random_rows(rng, h, w, depth);
    // Top-down with padding, and bottom-up.
    const test::Stored ref[2] = {test::store(src.ref, w, h, depth, 14),
                                 test::store(src.ref, w, h, depth, 14, true)};
    const test::Stored dis[2] = {test::store(src.dis, w, h, depth, 14),
                                 test::store(src.dis, w, h, depth, 14, true)};
    vif::Params p;
    p.gain.limit[0] = iter % 2 ? 100.0 : 1.0;
    vif::Result want;
    vif::Scorer(w, h, depth, p, vif::scalar_kernels())
        .score({ref[0].top(), ref[0].pitch, depth}, {dis[0].top(), dis[0].pitch, depth}, &want);
    for (const auto& [tier, flags] : test::tiers()) {
      SCOPED_TRACE(tier);
      vif::Scorer s(w, h, depth, p, vif::kernels_for(flags));
      for (const int up : {0, 1}) {
        vif::Result got;
        s.score({ref[up].top(), ref[up].pitch, depth}, {dis[up].top(), dis[up].pitch, depth}, &got);
        for (int k = 0; k < 4; ++k) {
          EXPECT_EQ(got.num[k], want.num[k]) << "scale " << k << (up ? " bottom up" : "");
          EXPECT_EQ(got.den[k], want.den[k]) << "scale " << k << (up ? " bottom up" : "");
        }
      }
    }
  }
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
