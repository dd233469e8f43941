// Forming a pair of two sizes: only the second picture is scaled, to the first's size, into the
// form the pair is scored in; without a filter the pair is refused. Pictures are made in memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compare/compare.h"

namespace vq {
namespace {

// A picture of `w` x `h` in `layout` at `depth`, every sample `value`, owning its samples.
struct TestPicture {
  std::vector<uint8_t> samples;
  Frame frame;

  TestPicture(int32_t w, int32_t h, ChromaLayout layout, int depth, bool full, unsigned value) {
    const PlaneSize c = chroma_size(layout, w, h);
    const size_t bytes = size_t(sample_bytes(depth));
    const size_t luma = size_t(w) * size_t(h),
                 chroma = size_t(c.width) * size_t(c.height);
    samples.resize((luma + 2 * chroma) * bytes);
    for (size_t i = 0; i < samples.size(); i += bytes) {
      samples[i] = uint8_t(value);
      if (bytes == 2) samples[i + 1] = uint8_t(value >> 8);
    }
    Picture& p = frame.picture;
    p.layout = layout;
    p.depth = depth;
    p.full_range = full;
    p.width = w;
    p.height = h;
    p.chroma_width = c.width;
    p.chroma_height = c.height;
    p.plane[0] = samples.data();
    p.plane[1] = samples.data() + luma * bytes;
    p.plane[2] = p.plane[1] + chroma * bytes;
    p.pitch[0] = ptrdiff_t(size_t(w) * bytes);
    p.pitch[1] = p.pitch[2] = ptrdiff_t(size_t(c.width) * bytes);
  }
};

TEST(FormPair, ScalesTheSecondToTheFirstsSize) {
  constexpr auto k420 = ChromaLayout::k420, k444 = ChromaLayout::k444, kGray = ChromaLayout::kGray;
  // When formed: the scored form, what was done to each side (bits as in FormedPair) and the
  // second's flat luma as scored (0: not checked).
  struct Want {
    int32_t width, height;
    ChromaLayout layout;
    int depth;
    uint8_t widened, resampled;
    unsigned sample;
  };
  const struct {
    const char* name;
    TestPicture a, b;
    ScaleFilter scale;
    PairStatus status;
    Want want;
  } cases[] = {
      {"no filter",
       {64, 36, k420, 8, false, 100},
       {32, 18, k420, 8, false, 100},
       ScaleFilter::kNone,
       PairStatus::kSizeMismatch,
       {}},
      {"up",
       {64, 36, k420, 8, false, 100},
       {32, 18, k420, 8, false, 100},
       ScaleFilter::kBicubic,
       PairStatus::kFormed,
       {64, 36, k420, 8, 0, 0, 100}},
      {"down",
       {32, 18, k420, 8, false, 100},
       {64, 36, k420, 8, false, 100},
       ScaleFilter::kLanczos,
       PairStatus::kFormed,
       {32, 18, k420, 8, 0, 0, 100}},
      {"into the first's layout",
       {64, 36, k420, 8, false, 100},
       {32, 18, k444, 8, false, 100},
       ScaleFilter::kBicubic,
       PairStatus::kFormed,
       {64, 36, k420, 8, 0, 2, 100}},
      {"the first brought to the second's layout",
       {64, 36, k444, 8, false, 100},
       {32, 18, k420, 8, false, 100},
       ScaleFilter::kBicubic,
       PairStatus::kFormed,
       {64, 36, k420, 8, 0, 1, 100}},
      {"into studio range",
       {64, 36, k420, 8, false, 100},
       {32, 18, k420, 8, true, 100},
       ScaleFilter::kBilinear,
       PairStatus::kFormed,
       {64, 36, k420, 8, 0, 2, 0}},
      {"then widened",
       {64, 36, k420, 10, false, 400},
       {32, 18, k420, 8, false, 100},
       ScaleFilter::kNeighbor,
       PairStatus::kFormed,
       {64, 36, k420, 10, 2, 0, 400}},
      {"a gray first",
       {64, 36, kGray, 8, false, 100},
       {32, 18, k420, 8, false, 100},
       ScaleFilter::kBicubic,
       PairStatus::kFormed,
       {64, 36, kGray, 8, 0, 0, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PairWork work;
    FormedPair formed;
    std::string why;
    const PairStatus s =
        form_pair(g_converter_table, c.a.frame, c.b.frame, &work, &formed, &why, c.scale);
    if (c.status == PairStatus::kFormed && !have_ffmpeg()) {
      EXPECT_EQ(PairStatus::kUnsupported, s);
      EXPECT_NE(std::string::npos, why.find("needs FFmpeg's libraries")) << why;
      continue;
    }
    ASSERT_EQ(c.status, s) << why;
    if (s != PairStatus::kFormed) {
      EXPECT_EQ(0u, why.find("frame sizes differ (64x36 against 32x18); --scale=bicubic")) << why;
      continue;
    }
    EXPECT_TRUE(formed.scaled);
    EXPECT_EQ(c.want.width, formed.form.width);
    EXPECT_EQ(c.want.height, formed.form.height);
    EXPECT_EQ(c.want.layout, formed.form.layout);
    EXPECT_EQ(c.want.depth, formed.form.depth);
    EXPECT_EQ(c.want.widened, formed.widened);
    EXPECT_EQ(c.want.resampled, formed.resampled);
    for (const Picture& p : formed.picture) {
      EXPECT_EQ(c.want.width, p.width);
      EXPECT_EQ(c.want.height, p.height);
      EXPECT_FALSE(p.full_range);
    }
    // A flat picture stays flat through every filter: the first sample of each plane is kept.
    const Picture& b = formed.picture[1];
    const unsigned first =
        c.want.depth > 8 ? unsigned(b.plane[0][0] | b.plane[0][1] << 8) : b.plane[0][0];
    if (c.want.sample != 0) {
      EXPECT_EQ(c.want.sample, first);
    }
  }
}

// Pictures of one size are never scaled, whatever the filter.
TEST(FormPair, OneSizeIsNotScaled) {
  const TestPicture a(64, 36, ChromaLayout::k420, 8, false, 100);
  const TestPicture b(64, 36, ChromaLayout::k420, 8, false, 90);
  PairWork work;
  FormedPair formed;
  std::string why;
  ASSERT_EQ(PairStatus::kFormed, form_pair(g_converter_table, a.frame, b.frame, &work, &formed,
                                           &why, ScaleFilter::kBicubic));
  EXPECT_FALSE(formed.scaled);
  EXPECT_EQ(b.frame.picture.plane[0], formed.picture[1].plane[0]);
}

}  // namespace
}  // namespace vq
