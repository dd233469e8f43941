// A file from an independent writer, FFmpeg's command line, in layouts the end-to-end tests do
// not reach: the video as stream 1 after an audio stream, found through the idx1 index and, with
// the index cut off, by a walk. Every frame must be the picture FFmpeg decodes from the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "avi/reader.h"

namespace vq {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(FfmpegFiles, VideoAfterAudioWithAndWithoutItsIndex) {
  if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  const std::string avi = ::testing::TempDir() + "vq_ffmpeg_" + std::to_string(::getpid());
  // 32 x 20 BGR24, top-down: rows of 96 bytes need no padding, so a frame's pixels are exactly
  // what FFmpeg decodes to packed BGR24.
  const std::string ffmpeg = "ffmpeg -nostdin -v error -y ";
  const std::string make = ffmpeg + "-f lavfi -i sine=sample_rate=8000 -f lavfi -i " +
                           "testsrc=size=32x20:rate=5 -map 0:a -map 1:v -c:a pcm_s16le " +
                           "-c:v rawvideo -pix_fmt bgr24 -frames:v 4 -t 0.8 " + avi + ".avi";
  const std::string decode = "-i " + avi + ".avi -map 0:v -f rawvideo -pix_fmt bgr24 " + avi;
  ASSERT_EQ(0, std::system((make + " && " + ffmpeg + decode + ".bgr").c_str()));
  Bytes file = slurp(avi + ".avi");
  const Bytes bgr = slurp(avi + ".bgr");
  ASSERT_EQ(0, std::system(("rm " + avi + ".avi " + avi + ".bgr").c_str()));
  const size_t kFrame = 32 * 20 * 3;
  ASSERT_EQ(4 * kFrame, bgr.size());
  for (IndexKind kind : {IndexKind::kIdx1, IndexKind::kWalk}) {
    // The index, and all after it, cut off.
    if (kind == IndexKind::kWalk) file.resize(std::string(file.begin(), file.end()).find("idx1"));
    AviReader r;
    ASSERT_EQ(1, r.open(memory_source(file.data(), file.size())));
    EXPECT_EQ(kind, r.index_kind());
    AviVideoSource src;
    ASSERT_EQ(1, src.open_memory(file.data(), file.size()));
    for (int32_t i = 0; i < 4; ++i) {
      Frame frame;
      ASSERT_EQ(Fetch::kFrame, src.get_frame(i, &frame));
      ASSERT_FALSE(frame.is_picture());  // raw frames stay packed DIB frames
      const DibFrame& f = frame.dib;
      EXPECT_TRUE(std::equal(f.data + 40, f.data + f.size, bgr.begin() + i * kFrame,
                             bgr.begin() + (i + 1) * kFrame))
          << i;
    }
  }
}

}  // namespace
}  // namespace vq
