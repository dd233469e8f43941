// Files written by an independent writer, FFmpeg's command line: the frames the reader hands
// out must show the pictures FFmpeg itself decodes from the same files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "avi/byte_source.h"
#include "avi/reader.h"
#include "convert/convert.h"

namespace vq {
namespace {

constexpr int kW = 30, kH = 20, kFrames = 4;  // 30 x 3 bytes: rows padded from 90 to 92

bool have_ffmpeg() {
  return std::system("ffmpeg -version >/dev/null 2>&1") == 0;
}

int run(const std::string& cmd) {
  const int status = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class FfmpegFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not on PATH";
    char tmpl[] = "/tmp/vq_avi_ffmpeg_XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    if (!dir_.empty()) run("rm -rf '" + dir_ + "'");
  }

  // Writes `name` with FFmpeg from a moving test picture, and decodes the file FFmpeg wrote
  // back to packed top-down BGR24, frame after frame.
  void make(const std::string& name, const std::string& args, std::vector<uint8_t>* bgr) {
    const std::string path = dir_ + "/" + name;
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(kW) +
                     "x" + std::to_string(kH) + ":rate=5 " + args + " -frames:v " +
                     std::to_string(kFrames) + " '" + path + "'"))
        << args;
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -i '" + path +
                     "' -map 0:v -f rawvideo -pix_fmt bgr24 '" + path + ".bgr'"));
    *bgr = slurp(path + ".bgr");
    ASSERT_EQ(size_t(kW) * kH * 3 * kFrames, bgr->size());
  }

  std::string dir_;
};

// The colour of pixel (x, y), y = 0 at the top, in a packed DIB frame of 16 (5-5-5), 24 or
// 32 bits, rows padded to 4 bytes when the frame holds enough bytes for that.
bool pixel(const DibFrame& f, int x, int y, uint8_t bgr[3]) {
  BitmapInfoHeader h;
  if (!read_bitmap_info_header(f.data, f.size, &h)) return false;
  const int bpp = h.biBitCount / 8;
  const int rows = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  const size_t packed = size_t(h.biWidth) * bpp, padded = (packed + 3) & ~size_t(3);
  const size_t pixels = f.size - h.biSize;
  const size_t pitch = pixels >= padded * rows ? padded : packed;
  if (pixels < pitch * rows) return false;
  const int stored = h.biHeight < 0 ? y : rows - 1 - y;
  const uint8_t* p = f.data + h.biSize + size_t(stored) * pitch + size_t(x) * bpp;
  if (bpp == 2) {
    const int v = p[0] | p[1] << 8;
    bgr[0] = uint8_t((v & 31) << 3);
    bgr[1] = uint8_t((v >> 5 & 31) << 3);
    bgr[2] = uint8_t((v >> 10 & 31) << 3);
  } else {
    bgr[0] = p[0], bgr[1] = p[1], bgr[2] = p[2];
  }
  return true;
}

// Every frame of `path` against FFmpeg's own decode; 5-5-5 compares the top 5 bits.
void expect_same_pictures(const std::string& path, const std::vector<uint8_t>& bgr, int bits,
                          bool top_down) {
  AviVideoSource src;
  ASSERT_EQ(1, src.open(path.c_str())) << path;
  ASSERT_EQ(kFrames, src.length());
  const uint8_t mask = bits == 16 ? 0xF8 : 0xFF;
  for (int32_t i = 0; i < kFrames; ++i) {
    DibFrame f;
    ASSERT_EQ(1, src.get_frame(i, &f)) << i;
    BitmapInfoHeader h;
    ASSERT_EQ(1, read_bitmap_info_header(f.data, f.size, &h));
    EXPECT_EQ(kW, h.biWidth);
    EXPECT_EQ(top_down ? -kH : kH, h.biHeight);
    EXPECT_EQ(bits, h.biBitCount);
    int wrong = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        uint8_t got[3];
        ASSERT_TRUE(pixel(f, x, y, got));
        const uint8_t* want = bgr.data() + ((size_t(i) * kH + y) * kW + x) * 3;
        for (int c = 0; c < 3; ++c)
          wrong += (got[c] & mask) != (want[c] & mask);
      }
    }
    EXPECT_EQ(0, wrong) << path << " frame " << i;
    // And the pixel pipeline takes it as it is.
    std::vector<uint8_t> planes(size_t(kW) * kH * 3 / 2);
    EXPECT_EQ(1, convert_to_planar(f, planes.data(), planes.data() + kW * kH,
                                   planes.data() + kW * kH + kW * kH / 4));
  }
}

TEST_F(FfmpegFiles, RawRgbInEveryFormatAndOrientation) {
  const struct {
    const char* name;
    const char* args;
    int bits;
    bool top_down;
  } cases[] = {
      {"bgr24.avi", "-c:v rawvideo -pix_fmt bgr24", 24, true},
      {"bgra.avi", "-c:v rawvideo -pix_fmt bgra", 32, true},
      {"rgb555.avi", "-c:v rawvideo -pix_fmt rgb555le", 16, true},
      {"bgr24_bottom_up.avi", "-vf vflip -c:v rawvideo -pix_fmt bgr24 -flipped_raw_rgb 1", 24,
       false},
      {"bgra_bottom_up.avi", "-vf vflip -c:v rawvideo -pix_fmt bgra -flipped_raw_rgb 1", 32, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bgr;
    make(c.name, c.args, &bgr);
    if (HasFatalFailure()) return;
    expect_same_pictures(dir_ + "/" + c.name, bgr, c.bits, c.top_down);
  }
}

// Audio as stream 0, video as stream 1: '01dc' chunks between '00wb' ones.
TEST_F(FfmpegFiles, VideoAfterAnAudioStream) {
  const std::string path = dir_ + "/audio_first.avi";
  ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000"
                   " -f lavfi -i testsrc=size=" +
                   std::to_string(kW) + "x" + std::to_string(kH) +
                   ":rate=5 -map 0:a -map 1:v -c:a pcm_s16le -c:v rawvideo -pix_fmt bgr24"
                   " -frames:v " +
                   std::to_string(kFrames) + " -t 0.8 '" + path + "'"));
  ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -i '" + path +
                   "' -map 0:v -f rawvideo -pix_fmt bgr24 '" + path + ".bgr'"));
  const std::vector<uint8_t> bgr = slurp(path + ".bgr");
  ASSERT_EQ(size_t(kW) * kH * 3 * kFrames, bgr.size());
  AviReader r;
  ASSERT_EQ(1, r.open(open_file_source(path.c_str())));
  EXPECT_EQ(1, r.stream_number());
  expect_same_pictures(path, bgr, 24, true);
}

// The same file with its idx1 cut off: the movi list is walked instead.
TEST_F(FfmpegFiles, WithoutItsIndex) {
  std::vector<uint8_t> bgr;
  make("bgr24.avi", "-c:v rawvideo -pix_fmt bgr24", &bgr);
  if (HasFatalFailure()) return;
  const std::string path = dir_ + "/bgr24.avi";
  std::vector<uint8_t> file = slurp(path);
  const uint8_t idx1[] = {'i', 'd', 'x', '1'};
  auto at = std::search(file.begin(), file.end(), std::begin(idx1), std::end(idx1));
  ASSERT_NE(file.end(), at);
  file.erase(at, file.end());
  const std::string cut = dir_ + "/no_index.avi";
  std::ofstream(cut, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  AviReader r;
  ASSERT_EQ(1, r.open(open_file_source(cut.c_str())));
  EXPECT_EQ(IndexKind::kWalk, r.index_kind());
  expect_same_pictures(cut, bgr, 24, true);
}

}  // namespace
}  // namespace vq
