// The real binary on files made by FFmpeg's CLI the way people make them: the same pictures in
// every container score the ceiling against each other, and encodes score what FFmpeg's psnr
// and ssim filters score (with setpts=N on both inputs, so pictures pair by their order). On a
// ladder (a 720p source against encodes of smaller sizes), --scale scores what those filters
// score after FFmpeg's scale filter, to the digits both print; without it the pair is refused.
// Skipped, visibly, without the ffmpeg CLI or an encoder; cases that need FFmpeg's libraries in
// the tool are skipped in a build without them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/ffmpeg_cli.h"
#include "tests/run_binary.h"

namespace {

namespace fs = std::filesystem;

using vq::test::have_encoder;
using vq::test::shell;

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
  std::string testsrc(const std::string& size, int frames) const {
    return "-f lavfi -i testsrc2=size=" + size + ":rate=25 -frames:v " + std::to_string(frames);
  }

  // FFmpeg's per-frame values for the pair in `format`, pictures paired by their order.
  std::vector<std::map<std::string, std::string>> reference(const std::string& a,
                                                            const std::string& b,
                                                            const std::string& filter,
                                                            const std::string& format,
                                                            const std::string& widen_a = "") {
    const std::string by_order = "settb=1/25,setpts=N,format=" + format;
    return ffmpeg_stats(a, b, filter, by_order + widen_a, by_order);
  }
};

// The same 4:2:0 pictures stored raw in every form the tool reads score the ceiling in every
// pairing, in either order: 98.13 at 8 bits, 110.20 at 10. FFmpeg's libraries are loaded only
// for a file that needs them: the dynamic loader's own log (LD_DEBUG=files) names the module and
// libavcodec for a pair with a container, none of them for raw AVI, Y4M and YUV.
TEST_F(Inputs, SamePicturesInEveryContainerScoreTheCeiling) {
  for (const bool deep : {false, true}) {
    const std::string fmt = deep ? "yuv420p10le" : "yuv420p";
    const std::string src = testsrc("176x144", 5) + " -pix_fmt " + fmt + " -strict -1";
    const std::string n = deep ? "10" : "8";
    ASSERT_NO_FATAL_FAILURE(ffmpeg("same" + n + ".y4m", src, ""));
    ASSERT_NO_FATAL_FAILURE(ffmpeg("same" + n + ".yuv", src, "-f rawvideo"));
    std::vector<std::vector<std::string>> files = {
        {path("same" + n + ".y4m")},
        {path("same" + n + ".yuv"), "--size=176x144", "--pix-fmt=" + fmt}};
    if (!deep) {
      // YV12 stores V before U: the planes are swapped so that the file holds true YV12.
      ASSERT_NO_FATAL_FAILURE(
          ffmpeg("same8.avi", src, "-vf shuffleplanes=0:2:1 -c:v rawvideo -vtag YV12"));
      files.push_back({path("same8.avi")});
    }
    if (VQ_WITH_FFMPEG && have_encoder("ffv1")) {
      ASSERT_NO_FATAL_FAILURE(ffmpeg("same" + n + ".mkv", src, "-c:v ffv1"));
      files.push_back({path("same" + n + ".mkv")});
    }
    const std::string ceiling = deep ? "110.20" : "98.13";
    for (size_t i = 0; i < files.size(); ++i) {
      std::vector<std::string> args = files[i];
      const auto& b = files[(i + 1) % files.size()];
      args.insert(args.end(), b.begin(), b.end());
      std::string line = "LD_DEBUG=files " + vq::quote(VIDQUAL_BINARY) + " -v";
      for (const std::string& a : args) {
        line += ' ';
        line += vq::quote(a);
      }
      const vq::Outcome r = run_command(line);
      SCOPED_TRACE(args[0] + " " + b[0]);
      ASSERT_EQ(0, r.status);
      const bool coded = args[0].ends_with(".mkv") || b[0].ends_with(".mkv");
      EXPECT_EQ(coded, r.err.find("libavcodec") != std::string::npos);
      EXPECT_EQ(coded,
                r.err.find(coded ? "vidqual-ffmpeg.so" : "vidqual-ffmpeg") != std::string::npos);
      const auto rows = verbose_rows(r.out);
      ASSERT_EQ(5u, rows.size()) << r.out;
      for (const auto& row : rows)
        EXPECT_EQ((std::vector<std::string>{ceiling, ceiling, ceiling}),
                  std::vector<std::string>(row.begin(), row.begin() + 3));
    }
  }
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
      {"VP9 in WebM", "libvpx-vp9", "vp9.webm",
       "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 200k", "320x240", "yuv420p", false},
      {"AV1 in WebM", "libsvtav1", "av1.webm", "-c:v libsvtav1 -preset 12 -crf 45", "320x240",
       "yuv420p", false},
      {"10-bit x265 in MKV", "libx265", "hevc10.mkv",
       "-c:v libx265 -preset ultrafast -crf 30 -pix_fmt yuv420p10le -x265-params log-level=error",
       "320x240", "yuv420p10le", true},
      {"4:4:4 x264 in MKV", "libx264", "h264_444.mkv",
       "-c:v libx264 -preset veryfast -crf 30 -pix_fmt yuv444p", "320x240", "yuv444p", true},
      {"8-bit source against its 10-bit x265 encode", "libx265", "hevc10_of_8.mkv",
       "-c:v libx265 -preset ultrafast -crf 30 -pix_fmt yuv420p10le -x265-params log-level=error",
       "320x240", "yuv420p10le", false, "yuv420p"},
      // Full-range pictures against a studio-range source are brought to studio range first,
      // as FFmpeg's format filter does (in MOV: FullRangeIsKeptOrConvertedAsFfmpegDoes).
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
          ffmpeg(src, testsrc(c.size, 12), std::string("-pix_fmt ") + c.format + " -strict -1"));
    }
    ASSERT_NO_FATAL_FAILURE(ffmpeg(c.file, from(src), c.args));
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
  ASSERT_NO_FATAL_FAILURE(ffmpeg("src.y4m", testsrc("320x240", 6), "-pix_fmt yuv420p"));
  ASSERT_NO_FATAL_FAILURE(
      ffmpeg("full.mov", from("src.y4m"), "-c:v mjpeg -pix_fmt yuvj420p -q:v 8"));
  ASSERT_NO_FATAL_FAILURE(ffmpeg("full.y4m", from("full.mov"), "-strict -1"));
  ASSERT_NE(std::string::npos, vq::slurp(path("full.y4m")).substr(0, 100).find("XCOLORRANGE=FULL"));
  const vq::Outcome mov = run({path("src.y4m"), path("full.mov"), "-v"});
  const vq::Outcome y4m = run({path("src.y4m"), path("full.y4m"), "-v"});
  ASSERT_EQ(0, y4m.status) << y4m.err;
  EXPECT_EQ(mov.out, y4m.out);
  expect_psnr_as_ffmpeg(verbose_rows(y4m.out), reference("src.y4m", "full.mov", "psnr", "yuv420p"));

  ASSERT_NO_FATAL_FAILURE(
      ffmpeg("full422.mov", from("full.y4m"), "-c:v mjpeg -pix_fmt yuvj422p -q:v 8"));
  const vq::Outcome both = run({path("full.y4m"), path("full422.mov"), "-v"});
  ASSERT_EQ(0, both.status) << both.err;
  expect_psnr_as_ffmpeg(verbose_rows(both.out),
                        reference("full.y4m", "full422.mov", "psnr", "yuvj420p"));

  if (!have_encoder("libx264")) GTEST_SKIP() << "no libx264 encoder";
  ASSERT_NO_FATAL_FAILURE(ffmpeg("full10.avi", from("src.y4m"),
                                 "-vf scale=out_range=pc,format=yuv420p10le -c:v libx264 -preset "
                                 "ultrafast -qp 0 -color_range pc"));
  ASSERT_NO_FATAL_FAILURE(
      ffmpeg("studio8.y4m", from("full10.avi"),
             "-vf scale=out_range=tv:flags=bicubic+accurate_rnd+bitexact,format=yuv420p"));
  const vq::Outcome avi = run({path("studio8.y4m"), path("full10.avi")});
  ASSERT_EQ(0, avi.status) << avi.err;
  EXPECT_NE(std::string::npos, avi.out.find("PsnrY   \t98.13\nPsnrU   \t98.13\nPsnrV   \t98.13\n"))
      << avi.out;
}

// Inputs are compared to their real end, whatever they state: a pipe (which states no length)
// and a concatenated MPEG-TS (which states its first half's) paired by time as in order; and
// when fewer pairs are compared than an input holds, a note says how many and why.
TEST_F(Inputs, PairsRunToTheRealEndAndShortfallsAreNoted) {
  if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build reads no compressed containers";
  ASSERT_NO_FATAL_FAILURE(ffmpeg("src.y4m", testsrc("176x144", 20), "-pix_fmt yuv420p"));
  ASSERT_NO_FATAL_FAILURE(ffmpeg("src5.y4m", from("src.y4m"), "-frames:v 5"));
  ASSERT_NO_FATAL_FAILURE(ffmpeg("enc.ts", from("src.y4m"), "-c:v mpeg2video -q:v 2"));
  ASSERT_EQ(
      0, shell("cat '" + path("enc.ts") + "' '" + path("enc.ts") + "' > '" + path("cat.ts") + "'"));
  ASSERT_NO_FATAL_FAILURE(ffmpeg("cat.y4m", from("cat.ts"), "-pix_fmt yuv420p"));
  const std::string ts = path("enc.ts"), src = path("src.y4m"), src5 = path("src5.y4m");
  const struct {
    const char* name;
    std::string feed;  // the file piped to the tool's standard input ("-"), if any
    std::vector<std::string> args;
    size_t pairs;
    std::string note;  // on stderr; empty: no note of an end
  } cases[] = {
      {"a pipe by time", src, {"-", src, "--pair=timestamps"}, 20, ""},
      {"a concatenated MPEG-TS by time",
       "",
       {path("cat.ts"), path("cat.y4m"), "--pair=timestamps"},
       40,
       ""},
      {"a short file, a container",
       "",
       {src5, ts},
       5,
       "note: [" + src5 + "] ended after 5 frames, before [" + ts + "]; 5 pairs compared\n"},
      {"a container, a short file by time",
       "",
       {ts, src5, "--pair=timestamps"},
       5,
       "note: [" + src5 + "] ended after 5 frames, before [" + ts + "]; 5 pairs compared\n"},
      {"a pipe, a short file",
       src,
       {"-", src5},
       5,
       "note: [" + src5 + "] ended after 5 frames, before [-]; 5 pairs compared\n"},
      {"a skip past a file's end",
       "",
       {src, ts, "--skip=25:0"},
       0,
       "note: [" + src + "] has 20 frames, none after the 25 skipped\nnote: [" + src +
           "] ended after 20 frames, before [" + ts + "]; 0 pairs compared\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string line = "(" + (c.feed.empty() ? "" : "cat " + vq::quote(c.feed) + " | ") +
                       vq::quote(VIDQUAL_BINARY) + " -v";
    for (const std::string& a : c.args)
      line += " " + vq::quote(a);
    const vq::Outcome r = run_command(line + ")");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.pairs, verbose_rows(r.out).size()) << r.out;
    if (c.note.empty()) {
      EXPECT_EQ(std::string::npos, r.err.find("ended after")) << r.err;
    } else {
      EXPECT_NE(std::string::npos, r.err.find(c.note)) << r.err;
    }
  }
}

// An MP4 cut before its index (written last) is named for what it is, not "not a video file".
TEST_F(Inputs, Mp4CutBeforeItsIndex) {
  if (!VQ_WITH_FFMPEG || !have_encoder("mpeg4"))
    GTEST_SKIP() << "no MPEG-4 encoder or FFmpeg's libraries";
  ASSERT_NO_FATAL_FAILURE(ffmpeg("whole.mp4", testsrc("160x120", 20), "-c:v mpeg4"));
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
  ASSERT_NO_FATAL_FAILURE(ffmpeg("src.y4m", testsrc("160x120", 4), "-pix_fmt yuv420p"));
  ASSERT_NO_FATAL_FAILURE(ffmpeg("plain.mp4", from("src.y4m"),
                                 "-c:v libx264 -preset veryfast -color_primaries bt709 "
                                 "-color_trc bt709 -color_range tv"));
  ASSERT_NO_FATAL_FAILURE(
      ffmpeg("turned.mp4", from("plain.mp4"), "-c copy -metadata:s:v rotate=90"));
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

class Scale : public Inputs {
 protected:
  // The 720p source in `format`, made once per test.
  std::string source(const std::string& format, int frames) {
    const std::string name = "src_" + format + ".y4m";
    if (!std::filesystem::exists(path(name))) {
      ffmpeg(name, testsrc("1280x720", frames), "-pix_fmt " + format + " -strict -1");
    }
    return name;
  }

  // FFmpeg's per-frame values for the source against the encode scaled to 1280x720.
  std::vector<std::map<std::string, std::string>> scaled(const std::string& src,
                                                         const std::string& enc,
                                                         const std::string& filter,
                                                         const std::string& flags, int frames) {
    return ffmpeg_stats(src, enc, filter, "null", "scale=1280:720:flags=" + flags,
                        "-frames:v " + std::to_string(frames));
  }
};

// Each filter, depth, layout and range is scaled byte for byte as FFmpeg does in scale_test; here
// the binary's road through them: a filter named on the command line, a deeper encode, a layout
// and a range converted in the same pass.
TEST_F(Scale, EncodesScoreWhatFfmpegScoresAfterItsScaleFilter) {
  if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build reads no compressed containers";
  const struct {
    const char* name;
    const char* encoder;
    const char* file;
    const char* args;  // the encoding, from the source
    const char* filter;
    const char* format;  // the source's pixel format
    int frames;
    const char* cli = nullptr;  // the scale filter's flags and options where not the filter's name
  } cases[] = {
      {"x264 640x360 in MP4", "libx264", "360.mp4",
       "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30", "bicubic", "yuv420p", 3},
      {"lanczos", "libx264", "360.mp4", "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30",
       "lanczos", "yuv420p", 1},
      // A ladder's rung upscaled as AWCY's adaptive-streaming path has FFmpeg upscale it.
      {"AWCY's upscaler", "libx264", "360.mp4",
       "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30",
       "lanczos:param0=5:accurate_rnd:full_chroma_int", "yuv420p", 2,
       "lanczos+accurate_rnd+full_chroma_int:sws_dither=none:param0=5"},
      {"AWCY's upscaler, 10-bit", "ffv1", "360_10.mkv", "-vf scale=640:360 -c:v ffv1",
       "lanczos:param0=5:accurate_rnd:full_chroma_int", "yuv420p10le", 1,
       "lanczos+accurate_rnd+full_chroma_int:sws_dither=none:param0=5"},
      {"10-bit FFV1 640x360 in MKV", "ffv1", "360_10.mkv", "-vf scale=640:360 -c:v ffv1", "bicubic",
       "yuv420p10le", 2},
      // Scaled into the source's layout and range in the same pass, as the scale filter in
      // front of the metric scales it.
      {"4:4:4 x264 640x360 in MP4", "libx264", "360_444.mp4",
       "-vf scale=640:360 -pix_fmt yuv444p -c:v libx264 -preset veryfast -crf 30", "bicubic",
       "yuv420p", 2},
      {"full-range MJPEG 640x360 in MOV", "mjpeg", "360_full.mov",
       "-vf scale=640:360 -pix_fmt yuvj420p -c:v mjpeg -q:v 8", "bicubic", "yuv420p", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!have_encoder(c.encoder)) {
      std::printf("[ SKIPPED  ] %s: no %s encoder\n", c.name, c.encoder);
      continue;
    }
    const std::string src = source(c.format, 3);
    ASSERT_NO_FATAL_FAILURE(
        ffmpeg(c.file, from(src) + " -frames:v " + std::to_string(c.frames), c.args));
    const vq::Outcome r = run({path(src), path(c.file), "-v", "--ssim",
                               std::string("--scale=") + c.filter, std::to_string(c.frames)});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const auto rows = verbose_rows(r.out);
    const std::string flags = c.cli ? c.cli : c.filter;
    const auto psnr = scaled(src, c.file, "psnr", flags, c.frames);
    const auto ssim = scaled(src, c.file, "ssim", flags, c.frames);
    ASSERT_EQ(size_t(c.frames), rows.size()) << r.out;
    ASSERT_EQ(rows.size(), psnr.size());
    ASSERT_EQ(rows.size(), ssim.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(7u, rows[i].size()) << r.out;
      const char* keys[] = {"psnr_y", "psnr_u", "psnr_v", "Y", "U", "V", "All"};
      for (size_t k = 0; k < 7; ++k) {
        const auto& theirs = k < 3 ? psnr[i] : ssim[i];
        ASSERT_TRUE(theirs.count(keys[k])) << keys[k];
        EXPECT_EQ(theirs.at(keys[k]), rows[i][k]) << "pair " << i + 1 << " " << keys[k];
      }
    }
  }
}

// Without --scale sizes must match, and the refusal says how to score the pair anyway; a filter
// it does not know is refused before anything is read; a build without FFmpeg's libraries
// refuses the option itself. Y4M files, which every build reads.
TEST_F(Scale, SizesMustMatchWithoutIt) {
  const std::string src = source("yuv420p", 2);
  ASSERT_NO_FATAL_FAILURE(ffmpeg("360.y4m", from(src), "-vf scale=640:360"));
  const struct {
    const char* name;
    std::vector<std::string> options;
    int status;
    std::string err;
  } cases[] = {
      {"no --scale",
       {},
       2,
       std::string("vidqual: pair 1 can't be compared: frame sizes differ (1280x720 against "
                   "640x360); --scale=bicubic scales the second to the first") +
           (VQ_WITH_FFMPEG ? "\n" : " in a build with FFmpeg's libraries\n")},
      {"an unknown filter",
       {"--scale=cubic"},
       1,
       "vidqual: [--scale=cubic]: not a scale filter (bicubic, bilinear, lanczos, neighbor; then "
       "any of :accurate_rnd, :full_chroma_int, :full_chroma_inp, :bitexact, and lanczos's width "
       ":param0=N from 1 to 10)\n"},
      {"an empty filter", {"--scale="}, 1, "[--scale=]"},
      {"bicubic",
       {"--scale=bicubic"},
       VQ_WITH_FFMPEG ? 0 : 1,
       VQ_WITH_FFMPEG ? "note: pairs are scored as 4:2:0 8-bit; [" + path("360.y4m") +
                            "] (yuv420p, 640x360) is scaled to 1280x720 (bicubic)\n"
                      : "vidqual: --scale is unavailable: scaling needs FFmpeg's libraries (this "
                        "build has none)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {path(src), path("360.y4m")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const vq::Outcome r = run(args);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
  }
  // The same pair the other way round is refused too: only the second is ever scaled.
  const vq::Outcome r = run({path("360.y4m"), path(src)});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("frame sizes differ (640x360 against 1280x720); "))
      << r.err;
}

// The size the pairs were scored at, the source's, is in the XML report's params and the JSON
// document; the inputs keep their own sizes.
TEST_F(Scale, ReportsTheScoredSize) {
  if (!VQ_WITH_FFMPEG) GTEST_SKIP() << "this build cannot scale";
  const std::string src = source("yuv420p", 1);
  ASSERT_NO_FATAL_FAILURE(ffmpeg("540.y4m", from(src), "-vf scale=960:540"));
  const vq::Outcome r = run({path(src), path("540.y4m"), "--scale=lanczos",
                             "--xml=" + path("out.xml"), "--json=" + path("out.json")});
  if (r.status == 1 && r.err.find("--json is unavailable") != std::string::npos) {
    GTEST_SKIP() << "this build writes no JSON";
  }
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(
      std::string::npos,
      vq::slurp(path("out.xml")).find("<params qualityWidth=\"1280\" qualityHeight=\"720\" />"));
  const std::string json = vq::slurp(path("out.json"));
  EXPECT_NE(std::string::npos,
            json.find("\"scored\": {\n    \"width\": 1280,\n    \"height\": 720,\n"
                      "    \"scale\": \"lanczos\"\n  }"))
      << json;
  EXPECT_NE(std::string::npos, json.find("\"width\": 960,\n      \"height\": 540")) << json;
  // The page's table of inputs says what was done to the second.
  const vq::Outcome page =
      run({path(src), path("540.y4m"), "--scale=lanczos", "--html=" + path("out.html")});
  if (page.status == 1 && page.err.find("--html is unavailable") != std::string::npos) return;
  ASSERT_EQ(0, page.status) << page.err;
  EXPECT_NE(std::string::npos,
            vq::slurp(path("out.html"))
                .find("960 &times; 540, scaled to 1280 &times; 720 (lanczos)</td>"));
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
