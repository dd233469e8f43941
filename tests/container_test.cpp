// The container source against FFmpeg's CLI: files the CLI makes during the run (skipped without
// it or without the encoder), read picture by picture, must give the CLI's own decode byte for
// byte, pictures paired by their order (setpts=N), whatever the timestamps say.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "tests/ffmpeg_cli.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::capture;
using test::kFfmpeg;

// `file` made by the CLI from `input` with `options`; empty when the CLI or the encoder is
// missing (the encoder is the word after "-c:v ").
std::string make(const std::string& file, const std::string& input, const std::string& options) {
  static const test::FixtureDir fixtures("vq_container");
  const size_t at = options.find("-c:v ");
  std::string encoder = at == std::string::npos ? "png" : options.substr(at + 5);
  encoder.resize(std::min(encoder.find(' '), encoder.size()));
  if (!test::have_encoder(encoder)) return {};
  const std::string out = fixtures.path + "/" + file;
  const std::string cmd = kFfmpeg + "-y -f lavfi -i " + input + " " + options + " " + out;
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return out;
}

struct Case {
  const char* file;
  const char* input;    // a lavfi source
  const char* options;  // the encoding
  const char* stream;   // the stream's pixel format
  const char* native;   // the pixel format the pictures are handed out in
  int frames;
};

const Case kCases[] = {
    // Plain encodes in containers (x264, x265, VP9, AV1, 4:4:4) are scored against FFmpeg's psnr
    // filter
    // end to end (e2e_inputs_test); here, what the container source does besides decoding.
    // Odd sizes: chroma planes rounded up.
    {"ffv1.mkv", "testsrc2=size=99x67", "-frames:v 5 -c:v ffv1", "yuv420p", "yuv420p", 5},
    {"ffv1_10bit.mkv", "testsrc2=size=96x64", "-frames:v 5 -pix_fmt yuv420p10le -c:v ffv1",
     "yuv420p10le", "yuv420p10le", 5},
    // Timestamps that jump (frames 5 on held three times as long): pictures pair by order.
    {"vfr.mp4", "testsrc2=size=96x64",
     "-frames:v 12 -vf setpts='(N+2*max(N-5\\,0))/25/TB' -fps_mode passthrough "
     "-c:v libx264 -preset veryfast",
     "yuv420p", "yuv420p", 12},
    // Converted: semi-planar 4:2:0 to planar, RGB to 4:2:0.
    {"nv12.mkv", "testsrc2=size=96x64", "-frames:v 3 -pix_fmt nv12 -c:v rawvideo", "nv12",
     "yuv420p", 3},
    {"image.png", "testsrc2=size=99x67", "-frames:v 1", "rgb24", "yuv420p", 1},
};

class ContainerTest : public ::testing::TestWithParam<Case> {};

// Every picture as the CLI decodes it, the count, kEnd after the last, from the file and from
// memory, and a jump back after the end gives the first picture again.
TEST_P(ContainerTest, PicturesAsFfmpegDecodesThem) {
  const Case& c = GetParam();
  const std::string file = make(c.file, c.input, c.options);
  if (file.empty()) GTEST_SKIP() << "no FFmpeg CLI or encoder";
  const std::string ref =
      capture(kFfmpeg + "-i " + file + " -vf setpts=N -fps_mode passthrough " +
              "-sws_flags bicubic+bitexact+accurate_rnd -f rawvideo -pix_fmt " + c.native + " -");
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  for (bool memory : {false, true}) {
    std::string why;
    const std::unique_ptr<VideoSource> s =
        memory ? open_container_memory(bytes.data(), bytes.size(), &why)
               : open_container(file.c_str(), &why);
    ASSERT_TRUE(s) << why;
    EXPECT_FALSE(s->info().length_known);
    EXPECT_EQ(s->info().pixel_format, c.stream);
    size_t at = 0;
    int32_t i = 0;
    Frame f;
    std::string first;
    for (; s->get_frame(i, &f) == Fetch::kFrame; ++i) {
      const Picture& p = f.picture;
      ASSERT_TRUE(f.is_picture());
      ASSERT_EQ(p.width, s->info().width);
      ASSERT_EQ(p.height, s->info().height);
      const PlaneSize cs = chroma_size(p.layout, p.width, p.height);
      ASSERT_EQ(p.chroma_width, cs.width);
      ASSERT_EQ(p.chroma_height, cs.height);
      const std::string got = test::packed(p);
      ASSERT_TRUE(ref.compare(at, got.size(), got) == 0) << "picture " << i;
      at += got.size();
      if (i == 0) first = got;
    }
    EXPECT_EQ(i, c.frames);
    EXPECT_EQ(at, ref.size());
    EXPECT_EQ(s->get_frame(i + 1, &f), Fetch::kEnd);
    ASSERT_EQ(s->get_frame(0, &f), Fetch::kFrame);
    EXPECT_TRUE(test::packed(f.picture) == first);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ContainerTest, ::testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.file;
  for (char& ch : name)
    if (!std::isalnum(uint8_t(ch))) ch = '_';
  return name;
});

// A packet garbled mid-stream is a failed fetch; the pictures around it are delivered.
TEST(ContainerSource, GarbledPacketIsAnError) {
  const std::string file = make("garbled.mkv", "testsrc2=size=96x64",
                                "-frames:v 10 -bsf:v 'noise=amount=eq(n\\,6)' -c:v mjpeg");
  if (file.empty()) GTEST_SKIP() << "no FFmpeg CLI or mjpeg encoder";
  std::string why;
  const auto s = open_container(file.c_str(), &why);
  ASSERT_TRUE(s) << why;
  Frame f;
  for (int32_t i = 0; i < 10; ++i)
    EXPECT_EQ(s->get_frame(i, &f), i == 6 ? Fetch::kError : Fetch::kFrame) << i;
  EXPECT_EQ(s->get_frame(10, &f), Fetch::kEnd);
}

TEST(ContainerSource, WhyItCannotBeRead) {
  const std::string wav = make("sine.wav", "sine", "-t 0.1");
  if (wav.empty()) GTEST_SKIP() << "no FFmpeg CLI";
  const std::string text = std::filesystem::path(wav).parent_path() / "text.mp4";
  std::ofstream(text) << "hello, not a video";
  const struct {
    std::string path, why;
  } cases[] = {
      {wav + ".missing", "no such file"},
      {text,
       "not a video file: neither AVI nor Y4M, nor a container or image FFmpeg's libraries "
       "recognise"},
      {wav, "no video stream: a wav file of 1 stream, none of them video"}};
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(open_container(c.path.c_str(), &why));
    EXPECT_EQ(why, c.why) << c.path;
  }
}

// The run's conversions: to 8-bit studio 4:2:0 as FFmpeg's scale filter makes it, and no copy
// for a picture already in that form.
TEST(ConvertPicture, AsFfmpegScalesIt) {
  const std::string file =
      make("conv.mkv", "testsrc2=size=99x67", "-frames:v 1 -pix_fmt yuvj444p -c:v mjpeg");
  if (file.empty()) GTEST_SKIP() << "no FFmpeg CLI or mjpeg encoder";
  const std::string ref =
      capture(kFfmpeg + "-i " + file + " -sws_flags bicubic+bitexact+accurate_rnd -f rawvideo " +
              "-pix_fmt yuv420p -");
  std::string why;
  const auto s = open_container(file.c_str(), &why);
  ASSERT_TRUE(s) << why;
  Frame f;
  ASSERT_EQ(s->get_frame(0, &f), Fetch::kFrame);
  ASSERT_TRUE(f.picture.full_range);
  PictureBuffer out;
  ASSERT_EQ(convert_picture(f.picture, ChromaLayout::k420, 8, &out, &why), 1) << why;
  const Picture& p = out.picture;
  EXPECT_FALSE(p.full_range);
  EXPECT_TRUE(test::packed(p) == ref);
  PictureBuffer same;
  ASSERT_EQ(convert_picture(p, ChromaLayout::k420, 8, &same), 1);
  EXPECT_EQ(same.picture.plane[1], p.plane[1]);
}

}  // namespace
}  // namespace vq
