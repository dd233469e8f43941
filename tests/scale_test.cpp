// Scaling a picture to another size against FFmpeg's CLI: the pictures of a file the CLI makes,
// scaled by scale_picture, must be byte for byte what `-vf scale=W:H:flags=NAME` writes for the
// same file in the same pixel format, at every depth and chroma layout, up and down, to odd
// sizes too. Likewise the RGB pictures of rgb_picture and the PNGs of `-vf format=rgb24`.
// Skipped, visibly, without the CLI or the encoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "source/source.h"
#include "tests/ffmpeg_cli.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::capture;
using test::have_encoder;
using test::kFfmpeg;

const test::FixtureDir& fixtures() {
  static const test::FixtureDir f("vq_scale");
  return f;
}

// The first differing byte of two pictures' samples, as a place people can look at.
std::string first_difference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i])
    ++i;
  return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
         ", first difference at byte " + std::to_string(i);
}

struct Case {
  const char* name;
  const char* pix_fmt;    // the stream's and the scaled pictures' pixel format
  const char* size;       // the stored pictures' size
  const char* encoding;   // how the CLI stores them
  int32_t width, height;  // scaled to this
  ScaleFilter filter;
  int frames;
  // Scaled into another form in the same pass: FFmpeg's pixel format of it, the layout and the
  // range; nullptr: the picture's own form.
  const char* to_fmt = nullptr;
  ChromaLayout to_layout = ChromaLayout::k420;
  bool to_full = false;
  // The CLI's scale options where they are not flags=NAME.
  const char* cli = nullptr;
};

// The filter a --scale value spells.
ScaleFilter spelled(const char* text) {
  ScaleFilter f;
  EXPECT_TRUE(parse_scale_filter(text, &f)) << text;
  return f;
}

// The adaptive-streaming upscaler as AWCY configures FFmpeg's scale filter.
constexpr const char* kAwcyCli =
    "flags=lanczos+accurate_rnd+full_chroma_int:sws_dither=none:param0=5";
constexpr const char* kAwcy = "lanczos:param0=5:accurate_rnd:full_chroma_int";

TEST(ScalePicture, EqualsFfmpegScaleFilter) {
  if (!have_ffmpeg()) GTEST_SKIP() << "this build has no FFmpeg's libraries";
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg CLI";
  const Case cases[] = {
      {"x264 360p up to 720p", "yuv420p", "640x360", "-c:v libx264 -preset veryfast -crf 30", 1280,
       720, ScaleFilter::kBicubic, 3},
      {"mpeg4 540p up to 720p", "yuv420p", "960x540", "-c:v mpeg4 -q:v 6", 1280, 720,
       ScaleFilter::kBicubic, 2},
      {"bilinear", "yuv420p", "640x360", "-c:v ffv1", 1280, 720, ScaleFilter::kBilinear, 1},
      {"lanczos", "yuv420p", "640x360", "-c:v ffv1", 1280, 720, ScaleFilter::kLanczos, 1},
      {"neighbor", "yuv420p", "640x360", "-c:v ffv1", 1280, 720, ScaleFilter::kNeighbor, 1},
      {"down to an odd size", "yuv420p", "320x240", "-c:v ffv1", 161, 121, ScaleFilter::kBicubic,
       1},
      {"10-bit 4:2:0", "yuv420p10le", "640x360", "-c:v ffv1", 1280, 720, ScaleFilter::kBicubic, 2},
      {"10-bit 4:2:0 lanczos", "yuv420p10le", "320x180", "-c:v ffv1", 640, 360,
       ScaleFilter::kLanczos, 1},
      {"12-bit 4:2:2", "yuv422p12le", "320x180", "-c:v ffv1", 480, 270, ScaleFilter::kBicubic, 1},
      {"4:2:2", "yuv422p", "320x180", "-c:v ffv1", 640, 360, ScaleFilter::kBicubic, 1},
      {"4:4:4", "yuv444p", "320x180", "-c:v ffv1", 640, 360, ScaleFilter::kBicubic, 1},
      {"16-bit 4:4:4", "yuv444p16le", "320x180", "-c:v ffv1", 640, 360, ScaleFilter::kBilinear, 1},
      {"gray", "gray", "320x180", "-c:v ffv1", 640, 360, ScaleFilter::kBicubic, 1},
      {"10-bit gray", "gray10le", "320x180", "-c:v ffv1", 640, 360, ScaleFilter::kBicubic, 1},
      {"4:4:4 into 4:2:0", "yuv444p", "640x360", "-c:v libx264 -preset veryfast -crf 30", 1280, 720,
       ScaleFilter::kBicubic, 2, "yuv420p", ChromaLayout::k420, false},
      {"10-bit 4:2:2 into 4:2:0", "yuv422p10le", "320x180", "-c:v ffv1", 640, 360,
       ScaleFilter::kLanczos, 1, "yuv420p10le", ChromaLayout::k420, false},
      {"full range into studio range", "yuvj420p", "640x360", "-c:v mjpeg -q:v 8", 1280, 720,
       ScaleFilter::kBicubic, 2, "yuv420p", ChromaLayout::k420, false},
      {"full range kept", "yuvj420p", "640x360", "-c:v mjpeg -q:v 8", 1280, 720,
       ScaleFilter::kBicubic, 1, "yuvj420p", ChromaLayout::k420, true},
      {"full range 4:2:2 into studio 4:2:0", "yuvj422p", "640x360", "-c:v mjpeg -q:v 8", 960, 540,
       ScaleFilter::kBilinear, 1, "yuv420p", ChromaLayout::k420, false},
      {"AWCY's upscaler", "yuv420p", "640x360", "-c:v libx264 -preset veryfast -crf 30", 1920, 1080,
       spelled(kAwcy), 2, nullptr, ChromaLayout::k420, false, kAwcyCli},
      {"AWCY's upscaler, 10-bit", "yuv420p10le", "320x180", "-c:v ffv1", 960, 540, spelled(kAwcy),
       1, nullptr, ChromaLayout::k420, false, kAwcyCli},
      {"AWCY's upscaler, down to an odd size", "yuv444p", "320x240", "-c:v ffv1", 161, 121,
       spelled(kAwcy), 1, nullptr, ChromaLayout::k420, false, kAwcyCli},
      {"lanczos of width 2, bit-exact, 4:2:2 into 4:2:0", "yuv422p", "320x180", "-c:v ffv1", 640,
       360, spelled("lanczos:param0=2:bitexact"), 1, "yuv420p", ChromaLayout::k420, false,
       "flags=lanczos+bitexact:param0=2"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string encoder = std::string(c.encoding + 5);  // after "-c:v "
    if (!have_encoder(encoder.substr(0, encoder.find(' ')))) {
      std::printf("[ SKIPPED  ] %s: no encoder\n", c.name);
      continue;
    }
    const std::string file = fixtures().path + "/in" + std::to_string(index++) + ".mkv";
    const std::string make = kFfmpeg + "-y -f lavfi -i testsrc2=size=" + c.size +
                             ":rate=25 -frames:v " + std::to_string(c.frames) + " -pix_fmt " +
                             c.pix_fmt + " " + c.encoding + " " + file;
    ASSERT_EQ(0, std::system(make.c_str())) << make;
    const std::string theirs =
        capture(kFfmpeg + "-i " + file + " -vf scale=" + std::to_string(c.width) + ":" +
                std::to_string(c.height) + ":" +
                (c.cli ? std::string(c.cli) : "flags=" + scale_filter_name(c.filter)) +
                " -pix_fmt " + (c.to_fmt ? c.to_fmt : c.pix_fmt) + " -f rawvideo -");
    std::string why;
    const std::unique_ptr<VideoSource> source = open_container(file.c_str(), &why);
    ASSERT_TRUE(source) << why;
    PictureBuffer scaled;
    size_t at = 0;
    for (int32_t i = 0; i < c.frames; ++i) {
      Frame f;
      ASSERT_EQ(Fetch::kFrame, source->get_frame(i, &f)) << "frame " << i;
      ASSERT_TRUE(f.is_picture());
      const ChromaLayout layout = c.to_fmt ? c.to_layout : f.picture.layout;
      const bool full = c.to_fmt ? c.to_full : f.picture.full_range;
      ASSERT_EQ(1,
                scale_picture(f.picture, c.width, c.height, layout, full, c.filter, &scaled, &why))
          << why;
      const Picture& p = scaled.picture;
      EXPECT_EQ(c.width, p.width);
      EXPECT_EQ(c.height, p.height);
      EXPECT_EQ(layout, p.layout);
      EXPECT_EQ(full, p.full_range);
      EXPECT_EQ(f.picture.depth, p.depth);
      const PlaneSize chroma = chroma_size(p.layout, c.width, c.height);
      EXPECT_EQ(chroma.width, p.chroma_width);
      EXPECT_EQ(chroma.height, p.chroma_height);
      const std::string ours = test::packed(p);
      ASSERT_LE(at + ours.size(), theirs.size()) << "frame " << i;
      EXPECT_TRUE(theirs.compare(at, ours.size(), ours) == 0)
          << "frame " << i << ": " << first_difference(ours, theirs.substr(at, ours.size()));
      at += ours.size();
    }
    EXPECT_EQ(theirs.size(), at);
  }
}

// The RGB planes of rgb_picture interleaved as FFmpeg's rawvideo rgb24 or rgb48le holds them.
std::string interleaved(const Picture& p) {
  const size_t bytes = size_t(sample_bytes(p.depth));
  std::string out;
  out.reserve(size_t(p.width) * size_t(p.height) * 3 * bytes);
  for (int32_t y = 0; y < p.height; ++y)
    for (int32_t x = 0; x < p.width; ++x)
      for (int c = 0; c < 3; ++c)
        out.append(reinterpret_cast<const char*>(p.plane[c] + y * p.pitch[c]) + x * bytes, bytes);
  return out;
}

// Each picture of a file, read by the reader the picker chooses and converted by rgb_picture,
// is the PNG FFmpeg's CLI writes of it with `-vf format=rgb24` (rgb48be above 8 bits), by the
// stream's matrix and range. One 8-bit file is also asked for 16-bit RGB: the PNG's samples
// times 257.
TEST(RgbPicture, EqualsFfmpegPng) {
  if (!have_ffmpeg()) GTEST_SKIP() << "this build has no FFmpeg's libraries";
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg CLI";
  const struct {
    const char* name;
    const char* file;  // its name says the reader: .y4m, or FFmpeg's containers
    const char* make;  // how the CLI makes it from testsrc2
    const char* size;
    int depth;  // asked of rgb_picture
    int matrix;
  } cases[] = {
      {"8-bit 4:2:0", "a.y4m", "-pix_fmt yuv420p", "320x240", 8, 2},
      {"10-bit 4:2:0", "b.y4m", "-pix_fmt yuv420p10le -strict -1", "320x240", 16, 2},
      {"8-bit 4:4:4", "c.y4m", "-pix_fmt yuv444p", "320x240", 8, 2},
      {"8-bit 4:2:2", "d.y4m", "-pix_fmt yuv422p", "320x240", 8, 2},
      {"odd size", "e.y4m", "-pix_fmt yuv420p", "161x121", 8, 2},
      {"10-bit odd size", "f.y4m", "-pix_fmt yuv420p10le -strict -1", "161x121", 16, 2},
      {"full range Y4M", "g.y4m", "-pix_fmt yuv420p -color_range pc", "320x240", 8, 2},
      {"full range x264", "h.mp4", "-pix_fmt yuvj420p -c:v libx264 -preset veryfast", "320x240", 8,
       2},
      {"x264 tagged bt709", "i.mp4",
       "-pix_fmt yuv420p -c:v libx264 -preset veryfast -colorspace bt709", "320x240", 8, 1},
      {"8-bit at 16 bits", "a.y4m", "", "", 16, 2},
  };
  if (!have_encoder("libx264")) GTEST_SKIP() << "no libx264";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = fixtures().path + "/" + c.file;
    if (*c.size != 0) {
      const std::string make = kFfmpeg + "-y -f lavfi -i testsrc2=size=" + c.size +
                               ":rate=25 -frames:v 2 " + c.make + " " + file;
      ASSERT_EQ(0, std::system(make.c_str())) << make;
    }
    std::string why;
    std::unique_ptr<VideoSource> source;
    ASSERT_EQ(OpenStatus::kOpened, open_video(file.c_str(), OpenOptions(), &source, &why)) << why;
    const std::string pngs = fixtures().path + "/png";
    std::filesystem::remove_all(pngs);
    std::filesystem::create_directory(pngs);
    Frame first;
    ASSERT_EQ(Fetch::kFrame, source->get_frame(0, &first));
    const bool deep = first.picture.depth > 8;
    const std::string write = kFfmpeg + "-i " + file +
                              " -vf format=" + (deep ? "rgb48be" : "rgb24") + " " + pngs +
                              "/f%d.png";
    ASSERT_EQ(0, std::system(write.c_str())) << write;
    const std::string theirs = capture(kFfmpeg + "-i " + pngs + "/f%d.png -f rawvideo -pix_fmt " +
                                       (deep ? "rgb48le" : "rgb24") + " -");
    PictureBuffer rgb;
    size_t at = 0;
    for (int32_t i = 0; i < 2; ++i) {
      Frame f;
      ASSERT_EQ(Fetch::kFrame, source->get_frame(i, &f)) << "frame " << i;
      EXPECT_EQ(c.matrix, f.picture.matrix);
      ASSERT_EQ(1, rgb_picture(f.picture, c.depth, &rgb, &why)) << why;
      const Picture& p = rgb.picture;
      EXPECT_EQ(ChromaLayout::k444, p.layout);
      EXPECT_EQ(c.depth, p.depth);
      EXPECT_EQ(f.picture.width, p.width);
      EXPECT_EQ(f.picture.height, p.height);
      std::string ours = interleaved(p);
      if (c.depth > 8 && !deep) {
        // Words of v * 257 have both bytes v: each PNG sample twice.
        std::string wide;
        for (const char b : theirs.substr(at, ours.size() / 2))
          wide.append(2, b);
        EXPECT_TRUE(ours == wide) << "frame " << i << ": " << first_difference(ours, wide);
        at += ours.size() / 2;
        continue;
      }
      ASSERT_LE(at + ours.size(), theirs.size()) << "frame " << i;
      EXPECT_TRUE(theirs.compare(at, ours.size(), ours) == 0)
          << "frame " << i << ": " << first_difference(ours, theirs.substr(at, ours.size()));
      at += ours.size();
    }
    EXPECT_EQ(theirs.size(), at);
  }
}

// --scale's spellings: each read back as the command line spells it, or refused.
TEST(ScaleFilter, Spellings) {
  const struct {
    const char *text, *name;  // name nullptr: refused
  } cases[] = {
      {"bicubic", "bicubic"},
      {"lanczos:accurate_rnd:full_chroma_int:param0=5",
       "lanczos:param0=5:accurate_rnd:full_chroma_int"},
      {"bilinear:full_chroma_inp:bitexact", "bilinear:full_chroma_inp:bitexact"},
      {"bicubic:param0=1", nullptr},
      {"lanczos:param0=11", nullptr},
      {"lanczos:param0=2.5", nullptr},
      {"", nullptr},
      {"area", nullptr},
      {"lanczos:", nullptr},
      {"lanczos:accurate_rnd:accurate_rnd", nullptr},
      {"lanczos:param0=", nullptr},
      {"lanczos:param0=5x", nullptr},
      {"lanczos:param0=1:param0=2", nullptr},
      {"lanczos:sws_dither=none", nullptr},
  };
  for (const auto& c : cases) {
    ScaleFilter f = ScaleFilter::kNeighbor;
    EXPECT_EQ(parse_scale_filter(c.text, &f), c.name != nullptr) << c.text;
    EXPECT_EQ(scale_filter_name(f), c.name ? c.name : "neighbor") << c.text;
  }
}

// Pictures that cannot be scaled are refused with a reason, never read past their planes.
TEST(ScalePicture, RefusesWhatItCannotScale) {
  std::vector<uint8_t> samples(64 * 64 * 2, 128);
  Picture p;
  p.width = p.height = 64;
  p.chroma_width = p.chroma_height = 32;
  for (int k = 0; k < 3; ++k) {
    p.plane[k] = samples.data();
    p.pitch[k] = k ? 32 : 64;
  }
  Picture odd = p;  // the AVI path's odd-sized picture: chroma planes rounded down
  odd.width = odd.height = 63;
  odd.chroma_width = odd.chroma_height = 31;
  Picture eleven = p;  // no pixel format holds 11-bit samples
  eleven.depth = 11;
  Picture missing = p;
  missing.plane[2] = nullptr;
  const struct {
    const char* name;
    Picture in;
    int32_t width, height;
    ScaleFilter filter;
  } cases[] = {
      {"no filter", p, 128, 128, ScaleFilter::kNone},
      {"chroma rounded down", odd, 128, 128, ScaleFilter::kBicubic},
      {"11-bit samples", eleven, 128, 128, ScaleFilter::kBicubic},
      {"a missing plane", missing, 128, 128, ScaleFilter::kBicubic},
      {"an empty target", p, 0, 128, ScaleFilter::kBicubic},
      {"a target too large", p, 1 << 15, 1 << 15, ScaleFilter::kBicubic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PictureBuffer out;
    std::string why;
    EXPECT_EQ(0, scale_picture(c.in, c.width, c.height, c.in.layout, c.in.full_range, c.filter,
                               &out, &why));
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
}  // namespace vq
