// Decoding compressed streams through FFmpeg's libraries. The fixtures are made by FFmpeg's CLI
// during the run (the tests skip without it), from a 176x144 test pattern of 24 frames:
//   ffmpeg -f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 24 -pix_fmt yuv420p
//          -c:v rawvideo -vtag YV12 src_yuv.avi              (and -pix_fmt bgr24 for src_rgb.avi)
//   ffmpeg -i src_yuv.avi <codec options> enc.avi
// Lossy results are checked against FFmpeg's own psnr filter on the same two files:
//   ffmpeg -i src -i enc -lavfi "[0:v]setpts=N,format=yuv420p[a];[1:v]setpts=N,format=yuv420p[b];
//          [a][b]psnr=stats_file=-:shortest=1" -f null -
// setpts=N pairs the n-th pictures of both files: FFmpeg's CLI times an AVI picture by its
// chunk, so it shows every picture of a stream with B-frames one frame late and pairs it with
// the source picture after its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "avi/avi.h"
#include "avi/decompress.h"
#include "compare/compare.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

std::string capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  return out;
}

bool have_ffmpeg() {
  return std::system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
}

bool have_encoder(const std::string& name) {
  static const std::string list = capture("ffmpeg -hide_banner -encoders 2>/dev/null");
  return list.find(" " + name + " ") != std::string::npos;
}

// The fixture folder, made once per run and removed at its end.
class Fixtures : public ::testing::Environment {
 public:
  static fs::path dir;
  void SetUp() override {
    if (!have_ffmpeg()) return;
    char tmpl[] = "/tmp/vq_decompress_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir = tmpl;
    const std::string pattern =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=176x144:rate=25 "
        "-frames:v 24 -c:v rawvideo ";
    if (std::system(
            (pattern + "-pix_fmt yuv420p -vtag YV12 " + (dir / "src_yuv.avi").string()).c_str()) !=
            0 ||
        std::system((pattern + "-pix_fmt bgr24 " + (dir / "src_rgb.avi").string()).c_str()) != 0) {
      dir.clear();
    }
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }
};
fs::path Fixtures::dir;
[[maybe_unused]] const auto* const g_env = ::testing::AddGlobalTestEnvironment(new Fixtures);

// Encodes `source` (a file in the fixture folder) with `options` into `name`; empty on failure.
std::string encode(const std::string& source, const std::string& options, const std::string& name) {
  const fs::path out = Fixtures::dir / name;
  if (fs::exists(out)) return out.string();
  const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -i " +
                          (Fixtures::dir / source).string() + " " + options + " " + out.string();
  return std::system(cmd.c_str()) == 0 ? out.string() : std::string();
}

#define REQUIRE_FIXTURES()                                              \
  do {                                                                  \
    if (Fixtures::dir.empty()) GTEST_SKIP() << "ffmpeg is not on PATH"; \
  } while (0)

// Every frame pair of two files, scored the way the comparison run scores them.
std::vector<FrameScore> score_files(const std::string& a, const std::string& b) {
  std::vector<FrameScore> scores;
  AviVideoSource sa, sb;
  EXPECT_EQ(sa.open(a.c_str()), 1) << a;
  EXPECT_EQ(sb.open(b.c_str()), 1) << b;
  const int32_t n = std::min(sa.length(), sb.length());
  for (int32_t i = 0; i < n; ++i) {
    DibFrame fa, fb;
    EXPECT_EQ(sa.get_frame(i, &fa), 1) << a << " frame " << i;
    EXPECT_EQ(sb.get_frame(i, &fb), 1) << b << " frame " << i;
    FrameScore s;
    EXPECT_EQ(frame_score(fa, fb, &s), 1) << "frame " << i;
    scores.push_back(s);
  }
  return scores;
}

// FFmpeg's psnr filter per frame: Y, U, V (an "inf" plane, identical, reads as our 98.13).
std::vector<FrameScore> ffmpeg_scores(const std::string& a, const std::string& b) {
  const std::string out =
      capture("ffmpeg -hide_banner -loglevel error -i " + a + " -i " + b +
              " -lavfi \"[0:v]setpts=N,format=yuv420p[a];[1:v]setpts=N,format=yuv420p[b];"
              "[a][b]psnr=stats_file=-:shortest=1\" -f null - 2>/dev/null");
  std::vector<FrameScore> scores;
  size_t pos = 0;
  while ((pos = out.find("psnr_y:", pos)) != std::string::npos) {
    FrameScore s;
    const char* keys[3] = {"psnr_y:", "psnr_u:", "psnr_v:"};
    for (int p = 0; p < 3; ++p) {
      const size_t at = out.find(keys[p], pos) + 7;
      s.psnr[p] = out.compare(at, 3, "inf") == 0 ? psnr_from_mse(0) : std::atof(&out[at]);
    }
    scores.push_back(s);
    pos = out.find('\n', pos);
  }
  return scores;
}

// The packed frames a source hands out for the indexes in `order`, copied.
std::vector<std::vector<uint8_t>> fetch(const std::string& path, const std::vector<int>& order) {
  std::vector<std::vector<uint8_t>> frames;
  AviVideoSource s;
  EXPECT_EQ(s.open(path.c_str()), 1);
  for (int i : order) {
    DibFrame f;
    EXPECT_EQ(s.get_frame(i, &f), 1) << "frame " << i;
    frames.emplace_back(f.data, f.data + f.size);
  }
  return frames;
}

struct Lossless {
  const char* name;
  const char* source;
  const char* encoder;
  const char* options;
};

class LosslessTest : public ::testing::TestWithParam<Lossless> {};

// Lossless encodes, and raw streams the decoder unpacks, hand out their source's pictures.
TEST_P(LosslessTest, MatchesItsSourceExactly) {
  REQUIRE_FIXTURES();
  const Lossless& c = GetParam();
  if (!have_encoder(c.encoder)) GTEST_SKIP() << c.encoder << " is not available";
  const std::string enc = encode(c.source, c.options, std::string(c.name) + ".avi");
  ASSERT_FALSE(enc.empty());
  const std::vector<FrameScore> s = score_files((Fixtures::dir / c.source).string(), enc);
  ASSERT_EQ(s.size(), 24u);
  for (size_t i = 0; i < s.size(); ++i) {
    for (int p = 0; p < 3; ++p)
      EXPECT_EQ(s[i].psnr[p], psnr_from_mse(0)) << i << "/" << p;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LosslessTest,
    ::testing::Values(
        Lossless{"ffv1", "src_yuv.avi", "ffv1", "-c:v ffv1"},
        Lossless{"ffvhuff", "src_yuv.avi", "ffvhuff", "-c:v ffvhuff"},
        Lossless{"utvideo", "src_yuv.avi", "utvideo", "-c:v utvideo -pix_fmt yuv420p"},
        Lossless{"i420", "src_yuv.avi", "rawvideo", "-c:v rawvideo -pix_fmt yuv420p -vtag I420"},
        Lossless{"huffyuv_rgb", "src_rgb.avi", "huffyuv", "-c:v huffyuv -pix_fmt rgb24"},
        Lossless{"utvideo_rgb", "src_rgb.avi", "utvideo", "-c:v utvideo -pix_fmt gbrp"},
        Lossless{"ffv1_rgb", "src_rgb.avi", "ffv1", "-c:v ffv1 -pix_fmt bgr0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Lossy {
  const char* name;
  const char* encoder;
  const char* options;
};

const Lossy kLossy[] = {
    {"mpeg4_bframes", "mpeg4", "-c:v mpeg4 -q:v 4 -bf 2 -g 7"},
    {"mjpeg", "mjpeg", "-c:v mjpeg -q:v 4"},
    {"x264_bframes", "libx264", "-c:v libx264 -crf 28 -bf 3 -g 9 -keyint_min 9"},
    // Packed bitstream: each B-frame stored in the chunk after its own, an N-VOP after the
    // last. setts numbers the chunks so that the muxer writes no empty ones for the encoder's
    // start-up delay.
    {"xvid_packed", "libxvid", "-c:v libxvid -q:v 4 -bf 2 -g 9 -bsf:v setts=pts=N:dts=N"},
};

class LossyTest : public ::testing::TestWithParam<Lossy> {};

TEST_P(LossyTest, AgreesWithFfmpegFrameByFrame) {
  REQUIRE_FIXTURES();
  const Lossy& c = GetParam();
  if (!have_encoder(c.encoder)) GTEST_SKIP() << c.encoder << " is not available";
  const std::string src = (Fixtures::dir / "src_yuv.avi").string();
  const std::string enc = encode("src_yuv.avi", c.options, std::string(c.name) + ".avi");
  ASSERT_FALSE(enc.empty());
  const std::vector<FrameScore> ours = score_files(src, enc);
  const std::vector<FrameScore> theirs = ffmpeg_scores(src, enc);
  ASSERT_GE(ours.size(), 22u);  // the xvid wrapper drops its last delayed pictures
  ASSERT_EQ(theirs.size(), ours.size());
  for (size_t i = 0; i < ours.size(); ++i) {
    for (int p = 0; p < 3; ++p) {
      // FFmpeg prints two decimals.
      EXPECT_NEAR(ours[i].psnr[p], theirs[i].psnr[p], 0.015) << "frame " << i << " plane " << p;
    }
  }
}

// Jumps backwards and forwards give the pictures that reading in order gives.
TEST_P(LossyTest, RandomAccessMatchesSequentialReading) {
  REQUIRE_FIXTURES();
  const Lossy& c = GetParam();
  if (!have_encoder(c.encoder)) GTEST_SKIP() << c.encoder << " is not available";
  const std::string enc = encode("src_yuv.avi", c.options, std::string(c.name) + ".avi");
  ASSERT_FALSE(enc.empty());
  std::vector<int> all(22);
  for (int i = 0; i < 22; ++i)
    all[size_t(i)] = i;
  const auto sequential = fetch(enc, all);
  const std::vector<int> jumps = {5, 2, 9, 21, 0, 8, 8, 16, 7, 20, 1, 10};
  const auto jumped = fetch(enc, jumps);
  for (size_t k = 0; k < jumps.size(); ++k) {
    EXPECT_TRUE(jumped[k] == sequential[size_t(jumps[k])]) << "frame " << jumps[k];
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, LossyTest, ::testing::ValuesIn(kLossy),
                         [](const auto& info) { return std::string(info.param.name); });

// A stream given to the decoder packet by packet, as libavformat reads it, with chunks that the
// test empties or spoils.
class DemuxedPackets : public PacketSource {
 public:
  int open(const std::string& path, StreamFormat* format) {
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, path.c_str(), nullptr, nullptr) < 0) return 0;
    const AVCodecParameters* par = fc->streams[0]->codecpar;
    BitmapInfoHeader h;
    h.biWidth = par->width;
    h.biHeight = par->height;
    h.biBitCount = uint16_t(par->bits_per_coded_sample);
    h.biCompression = par->codec_tag;
    format->format.assign(kBitmapInfoHeaderSize, 0);
    write_bitmap_info_header(h, format->format.data());
    format->format.insert(format->format.end(), par->extradata,
                          par->extradata + par->extradata_size);
    format->fcc_handler = 0;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fc, pkt) >= 0) {
      if (pkt->stream_index == 0) {
        packets_.emplace_back(pkt->data, pkt->data + pkt->size);
        keys_.push_back((pkt->flags & AV_PKT_FLAG_KEY) != 0);
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fc);
    format->length = packet_count();
    return 1;
  }
  int32_t packet_count() const override { return int32_t(packets_.size()); }
  bool is_keyframe(int32_t i) const override { return keys_[size_t(i)]; }
  int read_packet(int32_t i, std::vector<uint8_t>* out) override {
    *out = packets_[size_t(i)];
    return 1;
  }
  std::vector<std::vector<uint8_t>> packets_;
  std::vector<bool> keys_;
};

std::vector<uint8_t> decoded(Decompressor* d, int32_t index) {
  FrameBuffer fb;
  if (d->get_frame(index, &fb) != 1) return {};
  const DibFrame f = fb.frame();
  return std::vector<uint8_t>(f.data, f.data + f.size);
}

TEST(DecompressTest, EmptyChunkRepeatsThePictureBeforeIt) {
  REQUIRE_FIXTURES();
  const std::string enc = encode("src_yuv.avi", "-c:v mjpeg -q:v 4", "mjpeg.avi");
  ASSERT_FALSE(enc.empty());
  DemuxedPackets packets;
  StreamFormat format;
  ASSERT_EQ(packets.open(enc, &format), 1);
  auto whole = open_decompressor(format, &packets);
  ASSERT_TRUE(whole);
  const auto third = decoded(whole.get(), 3);
  const auto fourth = decoded(whole.get(), 4);
  const auto fifth = decoded(whole.get(), 5);
  ASSERT_FALSE(fourth.empty());

  packets.packets_[4].clear();
  auto dropped = open_decompressor(format, &packets);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(decoded(dropped.get(), 3), third);
  EXPECT_EQ(decoded(dropped.get(), 4), third);
  EXPECT_EQ(decoded(dropped.get(), 5), fifth);
  EXPECT_EQ(decoded(dropped.get(), 4), third);  // and again after a jump back
}

TEST(DecompressTest, UndecodablePictureIsAFailedFetch) {
  REQUIRE_FIXTURES();
  const std::string enc = encode("src_yuv.avi", "-c:v mjpeg -q:v 4", "mjpeg.avi");
  ASSERT_FALSE(enc.empty());
  DemuxedPackets packets;
  StreamFormat format;
  ASSERT_EQ(packets.open(enc, &format), 1);
  packets.packets_[6].assign(packets.packets_[6].size(), 0x5A);
  auto d = open_decompressor(format, &packets);
  ASSERT_TRUE(d);
  EXPECT_FALSE(decoded(d.get(), 5).empty());
  EXPECT_TRUE(decoded(d.get(), 6).empty());
  EXPECT_FALSE(decoded(d.get(), 7).empty());  // the stream stays usable
  EXPECT_TRUE(decoded(d.get(), 24).empty());  // past the end
}

// An odd-sized 4:2:2 picture goes through libswscale and is handed out as YV12 whose chroma
// planes hold the whole 2x2 blocks only; its luma passes unchanged.
TEST(DecompressTest, OddSizedPictureBecomesYv12) {
  REQUIRE_FIXTURES();
  const fs::path odd = Fixtures::dir / "odd422.avi";
  const fs::path planes = Fixtures::dir / "odd422.yuv";
  ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                         "testsrc2=size=176x144,format=yuv444p,crop=175:143:0:0 -frames:v 3 "
                         "-pix_fmt yuv422p -c:v ffv1 " +
                         odd.string() + " && ffmpeg -hide_banner -loglevel error -y -i " +
                         odd.string() + " -f rawvideo " + planes.string())
                            .c_str()),
            0);
  const std::string yuv = capture("cat " + planes.string());
  const size_t frame_bytes = 175 * 143 + 2 * 88 * 143;  // 4:2:2 chroma rounds its width up
  ASSERT_EQ(yuv.size(), 3 * frame_bytes);
  DemuxedPackets packets;
  StreamFormat format;
  ASSERT_EQ(packets.open(odd.string(), &format), 1);
  auto d = open_decompressor(format, &packets);
  ASSERT_TRUE(d);
  for (int32_t i = 0; i < 3; ++i) {
    const auto f = decoded(d.get(), i);
    BitmapInfoHeader h;
    ASSERT_EQ(read_bitmap_info_header(f.data(), f.size(), &h), 1);
    EXPECT_EQ(h.biCompression, kFourccYV12);
    EXPECT_EQ(h.biWidth, 175);
    EXPECT_EQ(h.biHeight, 143);
    ASSERT_EQ(h.biSizeImage, 175u * 143 + 2u * 87 * 71);
    ASSERT_EQ(f.size(), kBitmapInfoHeaderSize + h.biSizeImage);
    EXPECT_EQ(
        std::memcmp(f.data() + kBitmapInfoHeaderSize, yuv.data() + i * frame_bytes, 175 * 143), 0)
        << "frame " << i;
  }
}

// The probe, on stream headers alone.
class NoPackets : public PacketSource {
 public:
  int32_t packet_count() const override { return 0; }
  bool is_keyframe(int32_t) const override { return false; }
  int read_packet(int32_t, std::vector<uint8_t>*) override { return 0; }
};

struct Probe {
  const char* name;
  uint32_t handler;
  uint32_t compression;
  uint16_t bit_count;
  bool decodes;
};

TEST(DecompressTest, ProbeFindsDecodersByHandlerThenFormat) {
  const Probe cases[] = {
      {"rgb_raw", 0, kBiRgb, 24, false},
      {"dib_yv12_raw", fourcc('D', 'I', 'B', ' '), kFourccYV12, 12, false},
      {"yv12_handler_raw", kFourccYV12, kFourccYV12, 12, false},
      {"handler_names_codec_over_rgb", fourcc('c', 'v', 'i', 'd'), kBiRgb, 24, false},
      {"no_handler_mpeg4", 0, fourcc('F', 'M', 'P', '4'), 12, true},
      {"lowercase_handler", fourcc('d', 'i', 'v', 'x'), fourcc('X', 'V', 'I', 'D'), 12, true},
      {"junk_handler", fourcc('a', 'b', 'c', 'd'), fourcc('M', 'J', 'P', 'G'), 24, true},
      {"handler_only", fourcc('M', 'J', 'P', 'G'), fourcc('q', 'q', 'q', 'q'), 24, true},
      {"raw_i420", 0, fourcc('I', '4', '2', '0'), 12, true},
      {"raw_yuy2", 0, fourcc('Y', 'U', 'Y', '2'), 16, true},
      {"unknown", fourcc('q', 'q', 'q', 'q'), fourcc('q', 'q', 'q', 'q'), 24, false},
  };
  NoPackets none;
  for (const Probe& c : cases) {
    StreamFormat s;
    s.fcc_handler = c.handler;
    BitmapInfoHeader h;
    h.biWidth = 64;
    h.biHeight = 48;
    h.biBitCount = c.bit_count;
    h.biCompression = c.compression;
    s.format.assign(kBitmapInfoHeaderSize, 0);
    write_bitmap_info_header(h, s.format.data());
    EXPECT_EQ(open_decompressor(s, &none) != nullptr, c.decodes) << c.name;
  }
  StreamFormat short_format;
  short_format.format.assign(39, 0);
  EXPECT_EQ(open_decompressor(short_format, &none), nullptr);
}

}  // namespace
}  // namespace vq
