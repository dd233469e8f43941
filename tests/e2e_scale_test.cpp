// The real binary on a ladder: a 720p source against encodes of smaller sizes made by FFmpeg's
// CLI. With --scale each pair scores what FFmpeg's psnr and ssim filters score after its scale
// filter brings the encode to the source's size, to the digits both print; without it the pair
// is refused with a reason that names the option. Skipped, visibly, without the ffmpeg CLI or an
// encoder; the scoring cases need FFmpeg's libraries in the tool.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ffmpeg_cli.h"
#include "tests/run_binary.h"

namespace {

using vq::test::have_encoder;
using vq::test::shell;

using vq::stats_fields;
using vq::verbose_rows;

class Scale : public vq::FfmpegTest {
 protected:
  // The 720p source in `format`, made once per test.
  std::string source(const std::string& format, int frames) {
    const std::string name = "src_" + format + ".y4m";
    if (!std::filesystem::exists(path(name))) {
      ffmpeg(name, "-f lavfi -i testsrc2=size=1280x720:rate=25 -frames:v " + std::to_string(frames),
             "-pix_fmt " + format + " -strict -1");
    }
    return name;
  }

  // FFmpeg's per-frame values for the source against the encode scaled to 1280x720.
  std::vector<std::map<std::string, std::string>> reference(const std::string& src,
                                                            const std::string& enc,
                                                            const std::string& filter,
                                                            const std::string& flags, int frames) {
    const std::string s = path(filter + "_" + flags + ".stats");
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -i '" + path(src) +
                            "' -i '" + path(enc) + "' -lavfi \"[1:v]scale=1280:720:flags=" + flags +
                            "[s];[0:v][s]" + filter + "=stats_file='" + s + "'\" -frames:v " +
                            std::to_string(frames) + " -f null -";
    EXPECT_EQ(0, shell(cmd)) << cmd;
    return stats_fields(vq::slurp(s));
  }
};

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
  } cases[] = {
      {"x264 640x360 in MP4", "libx264", "360.mp4",
       "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30", "bicubic", "yuv420p", 3},
      {"MPEG-4 960x540 in MKV", "mpeg4", "540.mkv", "-vf scale=960:540 -c:v mpeg4 -q:v 6",
       "bicubic", "yuv420p", 3},
      {"bilinear", "libx264", "360.mp4", "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30",
       "bilinear", "yuv420p", 1},
      {"lanczos", "mpeg4", "540.mkv", "-vf scale=960:540 -c:v mpeg4 -q:v 6", "lanczos", "yuv420p",
       1},
      {"neighbor", "libx264", "360.mp4", "-vf scale=640:360 -c:v libx264 -preset veryfast -crf 30",
       "neighbor", "yuv420p", 1},
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
        ffmpeg(c.file, "-i '" + path(src) + "' -frames:v " + std::to_string(c.frames), c.args));
    const vq::Outcome r = run({path(src), path(c.file), "-v", "--ssim",
                               std::string("--scale=") + c.filter, std::to_string(c.frames)});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const auto rows = verbose_rows(r.out);
    const auto psnr = reference(src, c.file, "psnr", c.filter, c.frames);
    const auto ssim = reference(src, c.file, "ssim", c.filter, c.frames);
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
  ASSERT_NO_FATAL_FAILURE(ffmpeg("360.y4m", "-i '" + path(src) + "'", "-vf scale=640:360"));
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
       "vidqual: [--scale=cubic]: not a scale filter (bicubic, bilinear, lanczos, neighbor)\n"},
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
  ASSERT_NO_FATAL_FAILURE(ffmpeg("540.y4m", "-i '" + path(src) + "'", "-vf scale=960:540"));
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

}  // namespace
