// ciede's 4:2:2 upsampling, its colour converter, and its vector rows against the plain loop
// (its libvmaf logs: logs_test).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "metrics/ciede/ciede.h"
#include "tests/metrics/requests.h"
#include "tests/twin.h"

namespace vq {
namespace {

// A picture's samples (row-major per plane), stored in padded rows, bottom up when `flip`.
struct Planes {
  PictureForm form;
  std::vector<uint16_t> sample[3];
  test::Stored stored[3];

  int width(int p) const { return p ? form.chroma_width : form.width; }
  int height(int p) const { return p ? form.chroma_height : form.height; }

  Picture picture(bool flip) {
    for (int p = 0; p < 3; ++p)
      stored[p] = test::store(sample[p], width(p), height(p), form.depth, 3, flip);
    Picture pic = stored[0].luma();
    pic.layout = form.layout;
    pic.chroma_width = form.chroma_width;
    pic.chroma_height = form.chroma_height;
    for (int p = 1; p < 3; ++p) {
      pic.plane[p] = stored[p].top();
      pic.pitch[p] = stored[p].pitch;
    }
    return pic;
  }
};

double score_of(Planes& ref, Planes& dist, bool flip) {
  const MetricRow* row = find_metric("ciede");
  std::unique_ptr<Metric> m;
  std::string why;
  EXPECT_EQ(row->make(ref.form, MetricOptions(), 0, &m, &why), MetricStatus::kOk) << why;
  if (!m) return 0;
  ScoreTable t;
  const Picture a = ref.picture(flip), b = dist.picture(flip);
  EXPECT_EQ(m->score(0, a, b, &t), MetricStatus::kOk);
  double v = 0;
  EXPECT_TRUE(t.get(t.find("ciede2000"), 0, &v));
  return v;
}

// Subsampled chroma scores as the 4:4:4 picture with each chroma sample repeated over the luma
// samples it covers; for 4:2:2 that is two columns of one row (libvmaf's own 4:2:2 upsampling
// repeats rows and reads the wrong columns; its CLI cannot read 4:2:2 files). Any pitch reads
// the same.
TEST(Ciede, SubsampledChromaScoresAsItsRepeatedSamples) {
  std::mt19937 rng(11);
  const struct {
    ChromaLayout layout;
    int w, h, depth;
  } cases[] = {
      {ChromaLayout::k420, 13, 7, 8}, {ChromaLayout::k420, 16, 10, 10},
      {ChromaLayout::k422, 13, 7, 8}, {ChromaLayout::k422, 10, 5, 12},
      {ChromaLayout::k422, 1, 3, 16}, {ChromaLayout::k420, 1, 1, 8},
  };
  for (const auto& c : cases) {
    Planes sub[2], full[2];
    const int peak = (1 << c.depth) - 1;
    const int sx = 1, sy = c.layout == ChromaLayout::k420 ? 1 : 0;
    for (int k = 0; k < 2; ++k) {
      sub[k].form = test::form(c.w, c.h, c.depth, c.layout);
      full[k].form = test::form(c.w, c.h, c.depth, ChromaLayout::k444);
      for (int p = 0; p < 3; ++p) {
        sub[k].sample[p].resize(size_t(sub[k].width(p) * sub[k].height(p)));
        for (auto& v : sub[k].sample[p])
          v = uint16_t(rng() % uint32_t(peak + 1));
        full[k].sample[p].resize(size_t(c.w * c.h));
        for (int y = 0; y < c.h; ++y)
          for (int x = 0; x < c.w; ++x)
            full[k].sample[p][size_t(y * c.w + x)] =
                p ? sub[k].sample[p][size_t((y >> sy) * sub[k].width(p) + (x >> sx))]
                  : sub[k].sample[p][size_t(y * c.w + x)];
      }
    }
    const double want = score_of(full[0], full[1], false);
    EXPECT_TRUE(std::isfinite(want));
    EXPECT_EQ(score_of(sub[0], sub[1], false), want) << chroma_layout_name(c.layout) << c.w;
    EXPECT_EQ(score_of(sub[0], sub[1], true), want) << chroma_layout_name(c.layout) << c.w;
  }
}

// Equal colours differ by exactly 0 (the scorer skips them on that ground), over the corners
// and middle of the code range at every depth.
TEST(Ciede, EqualColoursDifferByZero) {
  for (const int depth : {8, 10, 12, 16}) {
    const uint32_t peak = (1u << depth) - 1;
    for (const uint32_t y : {0u, 16u << (depth - 8), peak / 2, peak})
      for (const uint32_t u : {0u, peak / 2, peak})
        for (const uint32_t v : {0u, peak / 3, peak}) {
          const ciede::Lab c = ciede::to_lab(y, u, v, depth);
          EXPECT_EQ(ciede::delta_e(c, c), 0.0f) << depth << " " << y << " " << u << " " << v;
        }
  }
}

// The converter's looked-up red and blue give to_lab's colours bit for bit: at 8 bits every
// (Y, Cr) and every (Y, Cb) pair of codes with the third code random, at the other depths
// random triples.
TEST(Ciede, ConverterEqualsToLab) {
  std::mt19937 rng(3);
  const auto same = [](const ciede::Lab& a, const ciede::Lab& b) {
    return std::memcmp(&a.l, &b.l, sizeof(float)) == 0 &&
           std::memcmp(&a.a, &b.a, sizeof(float)) == 0 &&
           std::memcmp(&a.b, &b.b, sizeof(float)) == 0;
  };
  const ciede::LabConverter convert8(8);
  for (uint32_t y = 0; y < 256; ++y)
    for (uint32_t c = 0; c < 256; ++c) {
      const uint32_t r = rng() & 255;
      ASSERT_TRUE(same(convert8(y, r, c), ciede::to_lab(y, r, c, 8))) << y << " " << r << " " << c;
      ASSERT_TRUE(same(convert8(y, c, r), ciede::to_lab(y, c, r, 8))) << y << " " << c << " " << r;
    }
  for (const int depth : {10, 12, 16}) {
    const ciede::LabConverter convert(depth);
    const uint32_t peak = (1u << depth) - 1;
    for (int i = 0; i < 2000; ++i) {
      const uint32_t y = uint32_t(rng()) & peak, u = uint32_t(rng()) & peak,
                     v = uint32_t(rng()) & peak;
      ASSERT_TRUE(same(convert(y, u, v), ciede::to_lab(y, u, v, depth))) << depth << " " << y;
    }
  }
}

// Each SIMD tier's rows equal the plain loop bit for bit: colours of random samples at every
// depth, random Lab values over and past the range colours take, and the edge cases of the hue
// angles (the neutral axis, a or b zero of either sign, equal and opposite hues, equal
// colours), and values at the ends of float's range, where the steps done in float lanes meet
// subnormal results and overflow (each component tiny, subnormal, huge or ordinary), in rows of
// random lengths (odd ones and those short of one vector included); nothing past a row's end is
// written.
TEST(Ciede, SimdRowsEqualThePlainLoop) {
  test::every_tier(
      5, 2000, ciede::delta_e_row_for,
      [](const ciede::DeltaERow(&k)[2], test::Rng& rng, int round) {
        if (k[0] == k[1]) return;  // a tier without a row of its own
        std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
        const float edge[] = {0.0f, -0.0f, 1e-30f, -1e-30f, 1e-7f,
                              0.5f, -0.5f, 80.0f,  -80.0f,  127.0f};
        const int32_t n = test::sweep(rng, round, 0, 699);
        std::vector<float> v[6];
        for (auto& c : v)
          c.resize(size_t(n));
        const int kind = round % 5;
        for (size_t i = 0; i < size_t(n); ++i) {
          if (kind == 0) {  // colours of samples
            static const int kDepths[] = {8, 10, 12, 16};
            const int depth = kDepths[round / 5 % 4];
            const uint32_t peak = (1u << depth) - 1;
            for (int j = 0; j < 2; ++j) {
              const ciede::Lab c = ciede::to_lab(uint32_t(rng()) & peak, uint32_t(rng()) & peak,
                                                 uint32_t(rng()) & peak, depth);
              v[3 * j][i] = c.l;
              v[3 * j + 1][i] = c.a;
              v[3 * j + 2][i] = c.b;
            }
          } else if (kind == 1) {  // near colours: a sample and a small step from it
            const ciede::Lab c = ciede::to_lab(rng() & 255, rng() & 255, rng() & 255, 8);
            v[0][i] = c.l, v[1][i] = c.a, v[2][i] = c.b;
            v[3][i] = c.l + unit(rng), v[4][i] = c.a + unit(rng) * 0.01f;
            v[5][i] = c.b + unit(rng) * (rng() % 2 ? 1e-5f : 3.0f);
          } else if (kind == 2) {  // anywhere, past the colours' range too
            for (int j = 0; j < 2; ++j) {
              v[3 * j][i] = 60 + 80 * unit(rng);
              v[3 * j + 1][i] = 200 * unit(rng);
              v[3 * j + 2][i] = 200 * unit(rng);
            }
          } else if (kind == 4) {  // the ends of float's range
            static const float kScale[] = {1e-41f, 3e-39f, 1e-30f, 1e-19f,
                                           1.0f,   1e18f,  1e36f,  3e38f};
            for (int j = 0; j < 6; ++j)
              v[size_t(j)][i] = unit(rng) * kScale[rng() % 8];
          } else {  // hue edge cases
            for (int j = 0; j < 2; ++j) {
              v[3 * j][i] = 100 * (unit(rng) + 1) / 2;
              v[3 * j + 1][i] = edge[rng() % 10];
              v[3 * j + 2][i] = edge[rng() % 10];
            }
            if (rng() % 3 == 0)
              for (int c = 0; c < 3; ++c)
                v[c + 3][i] = rng() % 2 ? v[c][i] : -v[c][i];
          }
        }
        const ciede::LabRow ref{v[0].data(), v[1].data(), v[2].data()};
        const ciede::LabRow dist{v[3].data(), v[4].data(), v[5].data()};
        test::Twin<float> out(size_t(n), 7.0f);
        for (int i : {0, 1})
          k[i](ref, dist, n, out[i]);
        ASSERT_TRUE(test::same(out));
      });
}

}  // namespace
}  // namespace vq
