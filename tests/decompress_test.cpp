// Decoding compressed streams through FFmpeg's libraries. The fixtures are made by FFmpeg's CLI
// during the run (the tests skip without it or without an encoder): FFmpeg's 176x144 test
// pattern stored raw as YV12 and as 24-bit RGB, and those encoded with each codec.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "avi/avi.h"
#include "compare/compare.h"
#include "tests/ffmpeg_cli.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::capture;
using test::kFfmpeg;

struct Codec {
  const char* name;      // the fixture is name.avi
  const Codec* source;   // what is encoded; null: the test pattern
  const char* options;   // "-c:v ENCODER ..."; the test skips without that encoder
  double tolerance = 0;  // per plane against FFmpeg's psnr, which prints two decimals
};
const Codec kYuv{"src_yuv", nullptr, "-c:v rawvideo -pix_fmt yuv420p -vtag YV12"};
const Codec kRgb{"src_rgb", nullptr, "-c:v rawvideo -pix_fmt bgr24"};

// The fixture `c` describes, made once; empty when FFmpeg's CLI or the encoder is missing.
std::string encoded(const Codec& c) {
  static const test::FixtureDir fixtures("vq_decompress");
  const size_t length = std::strcspn(c.options + 5, " ");  // the encoder's name after "-c:v "
  if (!test::have_encoder(std::string(c.options + 5, length))) return {};
  const std::string out = fixtures.path + "/" + c.name + ".avi";
  if (std::filesystem::exists(out)) return out;
  const std::string input = c.source != nullptr ? "-i " + encoded(*c.source)
                                                : "-f lavfi -i testsrc2=size=176x144 -frames:v 24";
  EXPECT_EQ(std::system((kFfmpeg + "-y " + input + " " + c.options + " " + out).c_str()), 0);
  return out;
}

// Y, U and V PSNR of one pair.
struct PlanePsnr {
  double psnr[3] = {0, 0, 0};
};

// FFmpeg's psnr filter per frame. setpts=N pairs the n-th pictures of both files: FFmpeg's CLI
// times an AVI picture by its chunk, so it shows every picture of a stream with B-frames one
// frame late.
std::vector<PlanePsnr> ffmpeg_scores(const std::string& a, const std::string& b) {
  const std::string out =
      capture(kFfmpeg + "-i " + a + " -i " + b +
              " -lavfi \"[0:v]setpts=N,format=yuv420p[a];[1:v]setpts=N,format=yuv420p[b];"
              "[a][b]psnr=stats_file=-:shortest=1\" -f null - 2>/dev/null");
  std::vector<PlanePsnr> scores;
  for (size_t at = 0; (at = out.find("psnr_y:", at)) != std::string::npos; ++at) {
    double* psnr = scores.emplace_back().psnr;
    std::sscanf(&out[at], "psnr_y:%lf psnr_u:%lf psnr_v:%lf", psnr, psnr + 1, psnr + 2);
  }
  return scores;
}

// The frames a source hands out for the indexes in `order`, as packed DIB frames (a picture
// packed as YV12), copied; empty for a fetch that fails.
std::vector<std::vector<uint8_t>> fetch(const std::string& path, const std::vector<int>& order) {
  std::vector<std::vector<uint8_t>> frames;
  AviVideoSource s;
  EXPECT_EQ(s.open(path.c_str()), 1) << path;
  for (int i : order) {
    std::vector<uint8_t>& out = frames.emplace_back();
    Frame f;
    if (s.get_frame(i, &f) != Fetch::kFrame) continue;
    if (!f.is_picture()) {
      out.assign(f.dib.data, f.dib.data + f.dib.size);
      continue;
    }
    const Picture& p = f.picture;
    EXPECT_EQ(std::tuple(p.layout, p.depth, p.full_range),
              std::tuple(ChromaLayout::k420, 8, false));
    EXPECT_EQ(std::tuple(p.chroma_width, p.chroma_height), std::tuple(p.width / 2, p.height / 2));
    const auto planes = test::packed<std::vector<uint8_t>>(p);
    const auto u = planes.begin() + p.width * p.height, v = u + p.chroma_width * p.chroma_height;
    out = test::yv12_frame(p.width, p.height, {planes.begin(), u}, {u, v}, {v, planes.end()});
  }
  return frames;
}

class CodecTest : public ::testing::TestWithParam<Codec> {};
const auto kName = [](const auto& info) { return std::string(info.param.name); };

// The first 22 pairs (a packed xvid stream loses its last delayed pictures) score as FFmpeg's
// psnr filter scores them, and jumps backwards and forwards after them give the pictures that
// reading in order gave.
TEST_P(CodecTest, ScoresAsFfmpegInAnyOrder) {
  const std::string enc = encoded(GetParam());
  if (enc.empty()) GTEST_SKIP() << "no FFmpeg CLI or encoder";
  const std::vector<int> order = {0,  1,  2,  3,  4,  5, 6, 7, 8,  9, 10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 5, 2, 9, 21, 0, 8,  8,  16, 7,  20, 1,  10};
  const auto source = fetch(encoded(*GetParam().source), order);
  const auto frames = fetch(enc, order);
  // Lossless codecs give identical planes, 98.13 exactly. FFmpeg's CLI is no reference for
  // them: its RGB to 4:2:0 conversion rounds differently for each RGB layout.
  std::vector<PlanePsnr> theirs(22, {{psnr_from_mse(0), psnr_from_mse(0), psnr_from_mse(0)}});
  if (GetParam().tolerance > 0) theirs = ffmpeg_scores(encoded(*GetParam().source), enc);
  ASSERT_GE(theirs.size(), 22u);
  for (size_t i = 0; i < 22; ++i) {
    PlanePsnr s;
    const DibFrame a{source[i].data(), source[i].size()}, b{frames[i].data(), frames[i].size()};
    ASSERT_EQ(frame_psnr(a, b, &s.psnr[0], &s.psnr[1], &s.psnr[2]), 1) << "frame " << i;
    for (int p = 0; p < 3; ++p)
      EXPECT_NEAR(s.psnr[p], theirs[i].psnr[p], GetParam().tolerance) << "frame " << i << "/" << p;
  }
  for (size_t k = 22; k < order.size(); ++k)
    EXPECT_TRUE(frames[k] == frames[size_t(order[k])]) << "jump to frame " << order[k];
}

// One codec per way a picture leaves the decoder: 4:2:0 in the decoder's planes (against the
// YV12 source, which also catches swapped chroma planes), planar RGB repacked.
const Codec kLossless[] = {
    {"ffv1", &kYuv, "-c:v ffv1"},
    {"utvideo_rgb", &kRgb, "-c:v utvideo -pix_fmt gbrp"},
};
INSTANTIATE_TEST_SUITE_P(Lossless, CodecTest, ::testing::ValuesIn(kLossless), kName);

// B-frames held back two pictures (x264's pyramid; MPEG-4 held back one is scored end to end in
// e2e_inputs_test); the packed bitstream, each B-frame stored in the chunk after its own and an
// N-VOP after the last (setts numbers the chunks so that the muxer writes no empty ones for the
// encoder's start-up delay); full-range 4:2:0 resampled to studio range (mjpeg).
const Codec kLossy[] = {
    {"x264_bframes", &kYuv, "-c:v libx264 -crf 28 -bf 3 -g 9 -keyint_min 9", 0.015},
    {"xvid_packed", &kYuv, "-c:v libxvid -q:v 4 -bf 2 -g 9 -bsf:v setts=pts=N:dts=N", 0.015},
    {"mjpeg", &kYuv, "-c:v mjpeg -q:v 4", 0.015},
};
INSTANTIATE_TEST_SUITE_P(Lossy, CodecTest, ::testing::ValuesIn(kLossy), kName);

// Frame 4 dropped, for which the muxer stores an empty chunk, and chunk 6 garbled: the empty
// chunk shows the picture before it, also after a jump back; the garbled one is a failed fetch
// and the stream goes on after it.
TEST(DecompressTest, EmptyAndGarbledChunks) {
  const std::string path = encoded(
      {"mjpeg_spoiled", &kYuv, "-c:v mjpeg -bsf:v 'noise=amount=eq(n\\,6):drop=eq(n\\,4)'"});
  if (path.empty()) GTEST_SKIP() << "no FFmpeg CLI or mjpeg encoder";
  const auto f = fetch(path, {3, 4, 5, 4, 6, 7});
  EXPECT_FALSE(f[0].empty());
  EXPECT_EQ(f[1], f[0]);
  EXPECT_EQ(f[3], f[0]);
  EXPECT_TRUE(f[4].empty());
  EXPECT_FALSE(f[5].empty());
}

// An odd-sized 4:2:2 picture goes through libswscale and is handed out as 4:2:0 whose chroma
// planes hold the whole 2x2 blocks only; its luma passes unchanged.
TEST(DecompressTest, OddSizedPictureBecomes420) {
  const std::string odd =
      encoded({"odd422", &kYuv, "-c:v ffv1 -vf scale=175:143 -frames:v 3 -pix_fmt yuv422p"});
  if (odd.empty()) GTEST_SKIP() << "no FFmpeg CLI or ffv1 encoder";
  const std::string luma = capture(kFfmpeg + "-i " + odd + " -vf extractplanes=y -f rawvideo -");
  constexpr size_t kLuma = 175 * 143;
  ASSERT_EQ(luma.size(), 3 * kLuma);
  const auto frames = fetch(odd, {0, 1, 2});
  for (size_t i = 0; i < frames.size(); ++i) {
    BitmapInfoHeader h;
    ASSERT_EQ(read_bitmap_info_header(frames[i].data(), frames[i].size(), &h), 1);
    EXPECT_EQ(std::tuple(h.biCompression, h.biWidth, h.biHeight),
              std::tuple(kFourccYV12, 175, 143));
    ASSERT_EQ(frames[i].size(), kBitmapInfoHeaderSize + kLuma + 2 * 87 * 71);
    EXPECT_EQ(std::memcmp(&frames[i][kBitmapInfoHeaderSize], &luma[i * kLuma], kLuma), 0) << i;
  }
}

}  // namespace
}  // namespace vq
