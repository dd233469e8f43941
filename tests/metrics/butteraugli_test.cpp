// butteraugli's scores of synthetic RGB pairs against libjxl's butteraugli_main on PNGs of the
// same pictures (tests/reference/butteraugli_pictures.py makes both and prints these rows), and
// its vector tiers' maps against the plain loops'.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metrics/butteraugli/butteraugli.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

int noise(uint32_t x, uint32_t y, uint32_t c, uint32_t seed) {
  uint32_t h = (x * 73856093u) ^ (y * 19349663u) ^ ((c + 1) * 83492791u) ^ (seed * 2654435761u);
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return int(h % 17) - 8;
}

// A sample of the pair's reference (a checkered gradient) or its distorted twin (seeded noise).
uint16_t sample(int x, int y, int c, int depth, int seed, bool distorted) {
  int v = (x * 9 + y * 5 + c * 70 + ((x / 4 + y / 4) % 2) * 60) % 256;
  const int n = distorted ? noise(uint32_t(x), uint32_t(y), uint32_t(c), uint32_t(seed)) : 0;
  if (depth == 16)
    return uint16_t(std::clamp(v * 257 + (x * 31 + y * 17) % 257 + n * 200, 0, 65535));
  return uint16_t(std::clamp(v + n, 0, 255));
}

struct Rgb {
  test::Stored plane[3];
  Picture picture() const {
    Picture p = plane[0].luma();
    p.layout = ChromaLayout::k444;
    p.full_range = true;
    p.chroma_width = p.width;
    p.chroma_height = p.height;
    for (int c = 1; c < 3; ++c) {
      p.plane[c] = plane[c].top();
      p.pitch[c] = plane[c].pitch;
    }
    return p;
  }
};

Rgb make_rgb(int w, int h, int depth, int seed, bool distorted, bool up) {
  Rgb r;
  for (int c = 0; c < 3; ++c) {
    std::vector<uint16_t> s(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        s[size_t(y * w + x)] = sample(x, y, c, depth, seed, distorted);
    r.plane[c] = test::store(s, w, h, depth, 5, up);
  }
  return r;
}

// Scores pair 0 of `ref` and `dist` with `request`: {max norm, p-norm}.
std::vector<double> scores(const std::string& request, const Rgb& ref, const Rgb& dist, int w,
                           int h, int depth) {
  MetricRequest r;
  std::string why;
  EXPECT_TRUE(parse_metric_request(request, &r, &why)) << why;
  std::unique_ptr<Metric> m;
  EXPECT_EQ(r.row->make(test::form(w, h, depth, ChromaLayout::k444), r.options, 0, &m, &why),
            MetricStatus::kOk)
      << why;
  if (!m) return {};
  ScoreTable t;
  EXPECT_EQ(m->score(0, ref.picture(), dist.picture(), &t), MetricStatus::kOk);
  std::vector<double> v;
  for (const std::string& name : r.row->scores(r.options)) {
    double x = -1;
    EXPECT_TRUE(t.get(t.find(name), 0, &x)) << name;
    v.push_back(x);
  }
  return v;
}

// The tool's printed values; ours are float pipelines that fuse and round some steps other than
// it does, within 2e-5 of them.
TEST(Butteraugli, ScoresAsButteraugliMain) {
  const struct {
    int w, h, depth, seed, nits;
    double p, max_norm, norm;
  } cases[] = {
      {64, 48, 8, 1, 80, 3, 0.8587878346, 0.543172},    // half-resolution pass included
      {64, 48, 8, 1, 250, 3, 1.1190407276, 0.686125},   // a brighter display
      {40, 30, 16, 2, 80, 3, 0.6038075686, 0.399400},   // 16-bit samples
      {23, 17, 8, 3, 80, 3, 0.7742092609, 0.527398},    // odd sizes: the last half row counts twice
      {9, 12, 8, 4, 80, 3, 0.6951655149, 0.546608},     // too small for the half-resolution pass
      {8, 8, 8, 5, 80, 3, 0.5840263963, 0.437078},      // the smallest picture scored
      {64, 48, 8, 1, 80, 2.5, 0.8587878346, 0.533132},  // another norm
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " depth " << c.depth << " " << c.nits
                                    << " nits, p " << c.p);
    const std::string request =
        "butteraugli=intensity_target=" + std::to_string(c.nits) + ":pnorm=" + std::to_string(c.p);
    // Stored bottom up for one picture: rows are read through their pitch either way.
    const Rgb ref = make_rgb(c.w, c.h, c.depth, c.seed, false, false);
    const Rgb dist = make_rgb(c.w, c.h, c.depth, c.seed, true, true);
    const std::vector<double> v = scores(request, ref, dist, c.w, c.h, c.depth);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NEAR(v[0], c.max_norm, 1e-4);
    EXPECT_NEAR(v[1], c.norm, 1e-4);
    // Equal pictures are no distance at all.
    const std::vector<double> same = scores(request, ref, ref, c.w, c.h, c.depth);
    EXPECT_EQ(same, (std::vector<double>{0.0, 0.0}));
  }
}

// Every tier's map is the plain loops' to the bit: random pictures of sizes around the filters'
// reaches and the vectors' widths, with and without the half-resolution pass. The tier's
// comparator has scored another pair first: nothing of it may stay in the next map.
TEST(Butteraugli, TiersMapAsThePlainLoops) {
  test::every_tier(
      38, 10, [](uint32_t flags) { return flags; },
      [](const uint32_t(&flags)[2], test::Rng& rng, int round) {
        const int w = test::sweep(rng, round, butteraugli::kMinSide, 70);
        const int h = butteraugli::kMinSide + int(rng.below(40));
        butteraugli::Params params;
        params.intensity_target = 80.0f + float(rng.below(200));
        std::vector<float> planes[6];
        for (std::vector<float>& p : planes) {
          p.resize(size_t(w) * size_t(h));
          for (float& v : p)
            v = float(rng.below(1u << 16)) / 65535.0f;
        }
        std::vector<float> maps[2];
        for (int k = 0; k < 2; ++k) {
          butteraugli::Comparator c(w, h, params, flags[k]);
          for (int pass = k; pass >= 0; --pass) {
            for (int i = 0; i < 3; ++i) {
              const std::vector<float>& r = planes[pass == 0 ? i : 3 + i];
              const std::vector<float>& d = planes[pass == 0 ? 3 + i : i];
              c.reference()[i].data.assign(r.begin(), r.end());
              c.distorted()[i].data.assign(d.begin(), d.end());
            }
            // The tier's half-resolution rows partly made as the planes are filled, the rest by
            // diffmap().
            if (k == 1) c.rows_filled(int32_t(rng.below(uint32_t(h) + 1)));
            const butteraugli::Samples& map = c.diffmap().data;
            maps[k].assign(map.begin(), map.end());
          }
        }
        ASSERT_EQ(maps[0].size(), maps[1].size());
        EXPECT_EQ(std::memcmp(maps[0].data(), maps[1].data(), maps[0].size() * sizeof(float)), 0)
            << w << "x" << h;
      });
}

}  // namespace
}  // namespace vq
