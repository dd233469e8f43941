// The real binary on files made by FFmpeg's CLI the way people make them: the same pictures in
// every container score the ceiling against each other, and encodes score what FFmpeg's psnr
// and ssim filters score (with setpts=N on both inputs, so pictures pair by their order).
// Skipped, visibly, without the ffmpeg CLI or an encoder; cases that need FFmpeg's libraries in
// the tool are skipped in a build without them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ffmpeg_cli.h"
#include "tests/run_binary.h"

namespace {

namespace fs = std::filesystem;

using vq::test::have_encoder;
using vq::test::shell;

using vq::stats_fields;
using vq::verbose_rows;

// A printed value as a number ("inf" too).
double num(const std::string& s) {
  return std::strtod(s.c_str(), nullptr);
}

// Each pair's PSNR of every plane within the tool's two printed decimals of FFmpeg's (whose inf
// is the tool's ceiling, above 98).
void expect_psnr_as_ffmpeg(const std::vector<std::vector<std::string>>& rows,
                           const std::vector<std::map<std::string, std::string>>& psnr) {
  ASSERT_EQ(psnr.size(), rows.size());
  ASSERT_FALSE(rows.empty());
  for (size_t i = 0; i < rows.size(); ++i) {
    const char* planes[] = {"psnr_y", "psnr_u", "psnr_v"};
    for (int p = 0; p < 3; ++p) {
      const double theirs = num(psnr[i].at(planes[p])), ours = num(rows[i][size_t(p)]);
      if (std::isinf(theirs)) {
        EXPECT_GT(ours, 98.0) << "pair " << i + 1 << " " << planes[p];
      } else {
        EXPECT_NEAR(theirs, ours, 0.0151) << "pair " << i + 1 << " " << planes[p];
      }
    }
  }
}

class Inputs : public vq::FfmpegTest {
 protected:
  // Makes `name` from `input` with the given output arguments.
  void make(const std::string& name, const std::string& args, const std::string& input) const {
    ffmpeg(name, input, args);
  }
  std::string testsrc(const std::string& size, int frames) const {
    return "-f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v " + std::to_string(frames);
  }

  // FFmpeg's per-frame values for the pair, at the given sample format.
  std::vector<std::map<std::string, std::string>> reference(const std::string& a,
                                                            const std::string& b,
                                                            const std::string& filter,
                                                            const std::string& format,
                                                            const std::string& widen_a = "") {
    const std::string s = path(filter + ".stats");
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -i '" + path(a) +
                            "' -i '" + path(b) +
                            "' -lavfi \"[0:v]settb=1/25,setpts=N,format=" + format + widen_a +
                            "[a];[1:v]settb=1/25,setpts=N,format=" + format + "[b];[a][b]" +
                            filter + "=stats_file='" + s + "'\" -f null -";
    EXPECT_EQ(0, shell(cmd)) << cmd;
    return stats_fields(vq::slurp(s));
  }
};

// The same 4:2:0 pictures stored raw in every form the tool reads score the ceiling in every
// pairing, in either order: 98.13 at 8 bits, 110.20 at 10.
TEST_F(Inputs, SamePicturesInEveryContainerScoreTheCeiling) {
  for (const bool deep : {false, true}) {
    const std::string fmt = deep ? "yuv420p10le" : "yuv420p";
    const std::string src = testsrc("176x144", 5) + " -pix_fmt " + fmt + " -strict -1";
    const std::string n = deep ? "10" : "8";
    ASSERT_NO_FATAL_FAILURE(make("same" + n + ".y4m", "", src));
    ASSERT_NO_FATAL_FAILURE(make("same" + n + ".yuv", "-f rawvideo", src));
    std::vector<std::vector<std::string>> files = {
        {path("same" + n + ".y4m")},
        {path("same" + n + ".yuv"), "--size=176x144", "--pix-fmt=" + fmt}};
    if (!deep) {
      // YV12 stores V before U: the planes are swapped so that the file holds true YV12.
      ASSERT_NO_FATAL_FAILURE(
          make("same8.avi", "-vf shuffleplanes=0:2:1 -c:v rawvideo -vtag YV12", src));
      files.push_back({path("same8.avi")});
    }
    if (VQ_WITH_FFMPEG && have_encoder("ffv1")) {
      ASSERT_NO_FATAL_FAILURE(make("same" + n + ".mkv", "-c:v ffv1", src));
      files.push_back({path("same" + n + ".mkv")});
    }
    const std::string ceiling = deep ? "110.20" : "98.13";
    for (size_t i = 0; i < files.size(); ++i) {
      std::vector<std::string> args = files[i];
      const auto& b = files[(i + 1) % files.size()];
      args.insert(args.end(), b.begin(), b.end());
      args.push_back("-v");
      const vq::Outcome r = run(args);
      ASSERT_EQ(0, r.status) << args[0] << " " << b[0] << r.err;
      const auto rows = verbose_rows(r.out);
      ASSERT_EQ(5u, rows.size()) << args[0] << " " << b[0] << r.out;
      for (const auto& row : rows)
        EXPECT_EQ((std::vector<std::string>{ceiling, ceiling, ceiling}),
                  std::vector<std::string>(row.begin(), row.begin() + 3))
            << args[0] << b[0];
    }
  }
}

// FFmpeg's libraries are loaded only for a file that needs them: the dynamic loader's own log
// (LD_DEBUG=files) names none of them for raw AVI, Y4M and YUV, and names the module and
// libavcodec for a container.
TEST_F(Inputs, FfmpegIsLoadedOnlyForFilesThatNeedIt) {
  const std::string src = testsrc("64x48", 2) + " -pix_fmt yuv420p";
  ASSERT_NO_FATAL_FAILURE(make("raw.y4m", "", src));
  ASSERT_NO_FATAL_FAILURE(make("raw.yuv", "-f rawvideo", src));
  ASSERT_NO_FATAL_FAILURE(make("raw.avi", "-vf shuffleplanes=0:2:1 -c:v rawvideo -vtag YV12", src));
  const auto loads = [&](const std::string& a, const std::string& b) {
    const vq::Outcome r = run_command("LD_DEBUG=files " + vq::quote(VIDQUAL_BINARY) + " " +
                                      vq::quote(path(a)) + " " + b);
    EXPECT_EQ(0, r.status) << a << r.err;
    return r.err;
  };
  for (const char* f : {"raw.y4m", "raw.avi"}) {
    const std::string log = loads(f, vq::quote(path("raw.yuv")) + " --size=64x48");
    EXPECT_EQ(std::string::npos, log.find("libavcodec")) << f;
    EXPECT_EQ(std::string::npos, log.find("vidqual-ffmpeg")) << f;
  }
  if (!VQ_WITH_FFMPEG || !have_encoder("ffv1")) return;
  ASSERT_NO_FATAL_FAILURE(make("coded.mkv", "-c:v ffv1", src));
  const std::string log = loads("coded.mkv", vq::quote(path("raw.y4m")));
  EXPECT_NE(std::string::npos, log.find("vidqual-ffmpeg.so"));
  EXPECT_NE(std::string::npos, log.find("libavcodec"));
}

// Encodes against their source: every pair within FFmpeg's printed value, the same pair count.
TEST_F(Inputs, EncodesScoreWhatFfmpegScores) {
  if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build reads no compressed containers";
  const struct {
    const char* name;
    const char* encoder;
    const char* file;
    const char* args;  // encoder arguments
    const char* size;
    const char* format;  // the sample format both are scored in
    bool ssim;
    const char* source = nullptr;  // the source's format, when it is not `format`
  } cases[] = {
      {"x264 B-frames in MP4", "libx264", "h264.mp4", "-c:v libx264 -preset veryfast -bf 3 -crf 32",
       "320x240", "yuv420p", true},
      {"x264 odd size in MKV", "libx264", "odd.mkv", "-c:v libx264 -preset veryfast -bf 2 -crf 30",
       "641x361", "yuv420p", true},
      {"MPEG-4 odd size in AVI", "mpeg4", "mpeg4.avi", "-c:v mpeg4 -q:v 8 -bf 1", "641x361",
       "yuv420p", true},
      {"x265 in MP4", "libx265", "hevc.mp4",
       "-c:v libx265 -preset ultrafast -crf 32 -x265-params log-level=error", "320x240", "yuv420p",
       false},
      {"VP9 in WebM", "libvpx-vp9", "vp9.webm",
       "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 200k", "320x240", "yuv420p", false},
      {"AV1 in WebM", "libsvtav1", "av1.webm", "-c:v libsvtav1 -preset 12 -crf 45", "320x240",
       "yuv420p", false},
      {"10-bit x265 in MKV", "libx265", "hevc10.mkv",
       "-c:v libx265 -preset ultrafast -crf 30 -pix_fmt yuv420p10le -x265-params log-level=error",
       "320x240", "yuv420p10le", true},
      {"4:4:4 x264 in MKV", "libx264", "h264_444.mkv",
       "-c:v libx264 -preset veryfast -crf 30 -pix_fmt yuv444p", "320x240", "yuv444p", true},
      {"10-bit AV1 in WebM", "libsvtav1", "av1_10.webm",
       "-c:v libsvtav1 -preset 12 -crf 45 -pix_fmt yuv420p10le", "320x240", "yuv420p10le", true},
      {"8-bit source against its 10-bit x265 encode", "libx265", "hevc10_of_8.mkv",
       "-c:v libx265 -preset ultrafast -crf 30 -pix_fmt yuv420p10le -x265-params log-level=error",
       "320x240", "yuv420p10le", false, "yuv420p"},
      // Full-range pictures against a studio-range source are brought to studio range first,
      // as FFmpeg's format filter does, in every container.
      {"full-range MJPEG in MOV", "mjpeg", "mjpeg_full.mov", "-c:v mjpeg -pix_fmt yuvj420p -q:v 8",
       "320x240", "yuv420p", false},
      {"full-range MJPEG in MKV", "mjpeg", "mjpeg_full.mkv", "-c:v mjpeg -pix_fmt yuvj420p -q:v 8",
       "320x240", "yuv420p", false},
      {"full-range MJPEG in AVI", "mjpeg", "mjpeg_full.avi", "-c:v mjpeg -pix_fmt yuvj420p -q:v 8",
       "320x240", "yuv420p", false},
      {"4:2:2 10-bit x264 in MKV", "libx264", "h264_422.mkv",
       "-c:v libx264 -preset veryfast -crf 30 -pix_fmt yuv422p10le", "320x240", "yuv422p10le",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!have_encoder(c.encoder)) {
      std::printf("[ SKIPPED  ] %s: no %s encoder\n", c.name, c.encoder);
      continue;
    }
    // The source is stored at the depth and layout of the encode, as a Y4M file.
    const std::string src = std::string("src_") + c.size + c.format + ".y4m";
    if (!fs::exists(path(src))) {
      ASSERT_NO_FATAL_FAILURE(
          make(src, std::string("-pix_fmt ") + c.format + " -strict -1", testsrc(c.size, 12)));
    }
    ASSERT_NO_FATAL_FAILURE(make(c.file, c.args, "-i '" + path(src) + "'"));
    std::vector<std::string> args = {path(src), path(c.file), "-v"};
    if (c.ssim) args.push_back("--ssim");
    const vq::Outcome r = run(args);
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const std::string& out = r.out;
    const auto rows = verbose_rows(out);
    // An 8-bit source meets a deeper encode with its samples shifted left: FFmpeg's format filter
    // also fills the new low bits from the high ones, which the mask takes off again.
    std::string widen;
    if (c.source) {
      widen = ",lutyuv=y='bitand(val,1020)':u='bitand(val,1020)':v='bitand(val,1020)'";
    }
    ASSERT_NO_FATAL_FAILURE(
        expect_psnr_as_ffmpeg(rows, reference(src, c.file, "psnr", c.format, widen)))
        << out;
    if (!c.ssim) continue;
    const auto ssim = reference(src, c.file, "ssim", c.format, widen);
    for (size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(7u, rows[i].size()) << out;
      const char* keys[] = {"Y", "U", "V", "All"};
      for (int p = 0; p < 4; ++p) {
        EXPECT_NEAR(num(ssim[i].at(keys[p])), num(rows[i][size_t(3 + p)]), 0.0000111)
            << "pair " << i + 1 << " SSIM " << keys[p];
      }
    }
  }
}

// A full-range Y4M (XCOLORRANGE=FULL) holds the pictures of the full-range MJPEG it was made
// from, and both score what FFmpeg scores against a studio-range source once the MJPEG's
// pictures are in studio range. Full range met with full range stays full range, whatever the
// two layouts: the pair scores what FFmpeg scores with both in yuvj420p. A full-range 10-bit
// H.264 in AVI (a plain format with the range flag) is reduced by the AVI path to the
// studio-range 8-bit pictures FFmpeg makes of it.
TEST_F(Inputs, FullRangeIsKeptOrConvertedAsFfmpegDoes) {
  if (!VQ_WITH_FFMPEG || !have_encoder("mjpeg"))
    GTEST_SKIP() << "no MJPEG encoder or FFmpeg's libraries";
  ASSERT_NO_FATAL_FAILURE(make("src.y4m", "-pix_fmt yuv420p", testsrc("320x240", 6)));
  ASSERT_NO_FATAL_FAILURE(
      make("full.mov", "-c:v mjpeg -pix_fmt yuvj420p -q:v 8", "-i '" + path("src.y4m") + "'"));
  ASSERT_NO_FATAL_FAILURE(make("full.y4m", "-strict -1", "-i '" + path("full.mov") + "'"));
  ASSERT_NE(std::string::npos, vq::slurp(path("full.y4m")).substr(0, 100).find("XCOLORRANGE=FULL"));
  const vq::Outcome mov = run({path("src.y4m"), path("full.mov"), "-v"});
  const vq::Outcome y4m = run({path("src.y4m"), path("full.y4m"), "-v"});
  ASSERT_EQ(0, y4m.status) << y4m.err;
  EXPECT_EQ(mov.out, y4m.out);
  expect_psnr_as_ffmpeg(verbose_rows(y4m.out), reference("src.y4m", "full.mov", "psnr", "yuv420p"));

  ASSERT_NO_FATAL_FAILURE(
      make("full422.mov", "-c:v mjpeg -pix_fmt yuvj422p -q:v 8", "-i '" + path("full.y4m") + "'"));
  const vq::Outcome both = run({path("full.y4m"), path("full422.mov"), "-v"});
  ASSERT_EQ(0, both.status) << both.err;
  expect_psnr_as_ffmpeg(verbose_rows(both.out),
                        reference("full.y4m", "full422.mov", "psnr", "yuvj420p"));

  if (!have_encoder("libx264")) GTEST_SKIP() << "no libx264 encoder";
  ASSERT_NO_FATAL_FAILURE(make("full10.avi",
                               "-vf scale=out_range=pc,format=yuv420p10le -c:v libx264 -preset "
                               "ultrafast -qp 0 -color_range pc",
                               "-i '" + path("src.y4m") + "'"));
  ASSERT_NO_FATAL_FAILURE(make(
      "studio8.y4m", "-vf scale=out_range=tv:flags=bicubic+accurate_rnd+bitexact,format=yuv420p",
      "-i '" + path("full10.avi") + "'"));
  const vq::Outcome avi = run({path("studio8.y4m"), path("full10.avi")});
  ASSERT_EQ(0, avi.status) << avi.err;
  EXPECT_NE(std::string::npos, avi.out.find("PsnrY   \t98.13\nPsnrU   \t98.13\nPsnrV   \t98.13\n"))
      << avi.out;
}

// An MP4 cut before its index (written last) is named for what it is, not "not a video file".
TEST_F(Inputs, Mp4CutBeforeItsIndex) {
  if (!VQ_WITH_FFMPEG || !have_encoder("mpeg4"))
    GTEST_SKIP() << "no MPEG-4 encoder or FFmpeg's libraries";
  ASSERT_NO_FATAL_FAILURE(make("whole.mp4", "-c:v mpeg4", testsrc("160x120", 20)));
  ASSERT_EQ(0, shell("head -c 4000 '" + path("whole.mp4") + "' > '" + path("cut.mp4") + "'"));
  const vq::Outcome r = run({path("whole.mp4"), path("cut.mp4")});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos,
            r.out.find("ERROR: can't open AVI file [" + path("cut.mp4") + "]\n"));
  EXPECT_NE(std::string::npos,
            r.err.find("vidqual: [" + path("cut.mp4") +
                       "]: its index (moov) is missing: the file was cut or is still being "
                       "written\n"))
      << r.err;
}

// A rotated stream is scored as stored, and says so; its rotation and colour description reach
// the JSON document.
TEST_F(Inputs, RotationAndColourAreReported) {
  if (!VQ_WITH_FFMPEG || !have_encoder("libx264")) GTEST_SKIP() << "no x264 or FFmpeg's libraries";
  ASSERT_NO_FATAL_FAILURE(make("src.y4m", "-pix_fmt yuv420p", testsrc("160x120", 4)));
  ASSERT_NO_FATAL_FAILURE(make("plain.mp4",
                               "-c:v libx264 -preset veryfast -color_primaries bt709 "
                               "-color_trc bt709 -color_range tv",
                               "-i '" + path("src.y4m") + "'"));
  ASSERT_NO_FATAL_FAILURE(
      make("turned.mp4", "-c copy -metadata:s:v rotate=90", "-i '" + path("plain.mp4") + "'"));
  const vq::Outcome plain = run({path("src.y4m"), path("plain.mp4"), "-v"});
  const vq::Outcome turned = run({path("src.y4m"), path("turned.mp4"), "-v"});
  EXPECT_EQ(plain.out, turned.out);  // the same pictures, scored as stored
  EXPECT_NE(std::string::npos,
            turned.err.find("note: [" + path("turned.mp4") +
                            "] has a display rotation of 90 degrees; its pictures are scored as "
                            "stored"))
      << turned.err;
  // (A build without a JSON library refuses --json: nothing more to check there.)
  if (run({path("src.y4m"), path("turned.mp4"), "--json=" + path("r.json")}).status == 0) {
    const std::string doc = vq::slurp(path("r.json"));
    for (const char* field : {"\"rotation\": 90", "\"color_primaries\": \"bt709\"",
                              "\"color_transfer\": \"bt709\"", "\"color_range\": \"tv\""})
      EXPECT_NE(std::string::npos, doc.find(field)) << field;
  }
}

// A stream whose length is known only at its end: FFmpeg's decode piped in as Y4M.
TEST_F(Inputs, Y4mFromAPipe) {
  ASSERT_NO_FATAL_FAILURE(make("src.y4m", "-pix_fmt yuv420p", testsrc("160x120", 7)));
  const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -i '" + path("src.y4m") +
                          "' -f yuv4mpegpipe - | " + VIDQUAL_BINARY + " - '" + path("src.y4m") +
                          "' -v > '" + path("stdout") + "' 2> '" + path("stderr") + "'";
  ASSERT_EQ(0, shell(cmd)) << vq::slurp(path("stderr"));
  const auto rows = verbose_rows(vq::slurp(path("stdout")));
  ASSERT_EQ(7u, rows.size());
  EXPECT_EQ("98.13", rows.back()[0]);
}

// A PNG that declares `w` x `h` RGBA pictures at 16 bits and holds almost nothing: a few hundred
// bytes that a decoder would grow into gigabytes.
std::string png_bomb(uint32_t w, uint32_t h) {
  auto be32 = [](uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  };
  auto chunk = [&](const std::string& type, const std::string& data) {
    uint32_t crc = 0xffffffffu;
    for (unsigned char c : type + data) {
      crc ^= c;
      for (int k = 0; k < 8; ++k)
        crc = crc & 1 ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
    }
    return be32(uint32_t(data.size())) + type + data + be32(crc ^ 0xffffffffu);
  };
  const std::string ihdr = be32(w) + be32(h) + std::string("\x10\x06\0\0\0", 5);
  const std::string idat("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);
  return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) +
         chunk("IEND", "");
}

// Inputs that declare pictures too large to be decoded safely are refused before anything is
// decoded, naming the option that raises the limit; the limit itself is checked.
class HostileInputs : public vq::BinaryTest {};

TEST_F(HostileInputs, PicturesAboveThePixelLimitAreRefused) {
  const std::string small = "YUV4MPEG2 W64 H48 F25:1 C420jpeg\nFRAME\n" + std::string(4608, '\x50');
  std::ofstream(path("small.y4m"), std::ios::binary) << small;
  std::ofstream(path("huge.y4m"), std::ios::binary)
      << "YUV4MPEG2 W10000 H10000 F25:1 C420jpeg\nFRAME\n"
      << std::string(64, '\0');
  std::ofstream(path("huge.yuv"), std::ios::binary) << std::string(64, '\0');
  std::ofstream(path("bomb.png"), std::ios::binary) << png_bomb(16255, 16255);
  const std::string a = path("small.y4m");
  const struct {
    std::vector<std::string> args;
    bool needs_ffmpeg;
    int status;
    std::string err;
  } cases[] = {
      {{a, path("bomb.png")}, true, 2, "; --max-pixels=N raises the limit)"},
      {{a, path("bomb.png"), "--html=" + path("p.html")}, true, 2, "--max-pixels=N raises"},
      {{a, path("huge.y4m")},
       false,
       2,
       "(10000x10000) are larger than 67108864 samples per plane; --max-pixels=N raises"},
      {{path("huge.yuv"), path("huge.yuv"), "--size=10000x10000"},
       false,
       2,
       "(10000x10000) are larger than 67108864"},
      {{a, a, "--max-pixels=3071"}, false, 2, "(64x48) are larger than 3071 samples per plane"},
      {{a, a, "--max-pixels=3072"}, false, 0, ""},
      {{a, a, "--max-pixels=0"}, false, 1, "[--max-pixels=0]: not a positive number"},
      {{a, a, "--max-pixels=9x"}, false, 1, "[--max-pixels=9x]: not a positive number"},
  };
  for (const auto& c : cases) {
    if (c.needs_ffmpeg && !VQ_WITH_FFMPEG) continue;
    const vq::Outcome r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.args[1] << " " << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
  }
}

}  // namespace
