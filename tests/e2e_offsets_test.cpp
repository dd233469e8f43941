// Frame offsets through the real binary: --skip makes the numbers of the pair trimmed beforehand
// by FFmpeg (from a file and from a pipe, a temporal metric included), --align finds the offset
// of a moving sequence either way and none in a still one, --pair=timestamps pairs inputs of two
// frame rates as FFmpeg's psnr filter does. (Malformed values: e2e_outputs_test, refused before
// anything is opened.) Inputs are made with FFmpeg's CLI; without it the tests are skipped,
// visibly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>
#ifdef VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

#include "tests/run_binary.h"

namespace vq {
namespace {

// A moving picture (testsrc2) and a lightly distorted copy of it, 176x144, and the same two
// trimmed of their first frames; a still gray picture and its distorted copy.
class Offsets : public BinaryTest {
 protected:
  // The inputs are made once for every test process: in a folder of this process's own,
  // renamed into place when complete (a process that finds it there uses it).
  static void SetUpTestSuite() {
    const auto tmp = std::filesystem::temp_directory_path();
    dir() = tmp / "vidqual-offsets-inputs-4";  // a new name when the inputs change
    if (std::filesystem::exists(dir() / "done")) {
      have_ffmpeg() = true;
      return;
    }
    const auto made = dir();
    dir() = tmp / ("vidqual-offsets-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir());
    bool ok = std::system("command -v ffmpeg > /dev/null 2>&1") == 0 &&
              make("-f lavfi -i testsrc2=size=176x144:rate=25 -frames:v 48", "ref") &&
              make("-i " + input("ref") + " -vf noise=alls=5:allf=t", "dist") &&
              make("-f lavfi -i color=c=gray:size=176x144:rate=25 -frames:v 48", "gray") &&
              make("-i " + input("gray") + " -vf noise=alls=5:allf=t", "gray_dist");
    for (const char* name : {"ref", "dist"}) {
      for (int n : {1, 2, 5}) {
        ok = ok && make("-i " + input(name) + " -vf trim=start_frame=" + std::to_string(n) +
                            ",setpts=PTS-STARTPTS",
                        std::string(name) + "_trim" + std::to_string(n));
      }
    }
    // A 50 fps source and its 25 fps copy, lightly distorted (FFmpeg's fps filter keeps the
    // frame shown at each new time).
    ok = ok && make("-f lavfi -i testsrc2=size=176x144:rate=50 -frames:v 24", "s50") &&
         make("-i " + input("s50") + " -vf fps=25,noise=alls=5:allf=t", "e25");
    // An encode of a ladder's lower rung: the trimmed copy at half the size.
    ok = ok && make("-i " + input("dist_trim2") + " -vf scale=88:72", "dist_half_trim2");
    // The source in an AVI file (raw YV12: its planes swapped so that the file holds true YV12)
    // and in a container.
    ok = ok && ffmpeg("-i " + input("ref") + " -vf shuffleplanes=0:2:1 -c:v rawvideo -vtag YV12",
                      "ref.avi");
    ok = ok && ffmpeg("-i " + input("ref") + " -c:v ffv1", "ref.mkv");
    std::error_code e;
    if (ok) std::ofstream(dir() / "done") << "inputs for vidqual's offset tests\n";
    if (ok) std::filesystem::rename(dir(), made, e);
    std::filesystem::remove_all(dir(), e);
    dir() = made;
    have_ffmpeg() = std::filesystem::exists(dir() / "done");
  }

  void SetUp() override {
    if (!have_ffmpeg()) GTEST_SKIP() << "no ffmpeg CLI to make the inputs";
    BinaryTest::SetUp();
  }

  static std::filesystem::path& dir() {
    static std::filesystem::path d;
    return d;
  }
  static bool& have_ffmpeg() {
    static bool have = false;
    return have;
  }
  static std::string input(const std::string& name) { return (dir() / (name + ".y4m")).string(); }
  static bool make(const std::string& args, const std::string& name) {
    return ffmpeg(args + " -pix_fmt yuv420p", name + ".y4m");
  }
  static bool ffmpeg(const std::string& args, const std::string& file) {
    const std::string cmd =
        "ffmpeg -hide_banner -loglevel error -nostdin -y " + args + " " + quote(dir() / file);
    return std::system(cmd.c_str()) == 0;
  }

  // The per-frame file and stdout of a run, with its status and stderr.
  struct Scored {
    Outcome outcome;
    std::string csv;
  };
  Scored score(std::vector<std::string> args, const std::string& feed = "") {
    args.push_back("-v");
    args.push_back("--metric=integer_motion");
    args.push_back("--metric=psnr");
    args.push_back("--csv=" + path("o.csv"));
    std::filesystem::remove(path("o.csv"));
    Scored s;
    if (feed.empty()) {
      s.outcome = run(args);
    } else {
      // In a subshell: its stdin, not the reader's, is the one run_command points elsewhere.
      std::string line = "(cat " + quote(input(feed)) + " | " + quote(VIDQUAL_BINARY);
      for (const std::string& a : args) {
        line += ' ';
        line += quote(a);
      }
      s.outcome = run_command(line + ")");
    }
    s.csv = slurp(path("o.csv"));
    return s;
  }
};

// Dropping N frames of one input scores the pairs the trimmed file makes, number for number:
// the same per-pair lines and report on stdout and the same per-frame file, integer_motion
// included (it sees the paired pictures alone, from the first). So does a pipe, read once.
TEST_F(Offsets, SkipScoresAsThePreTrimmedFile) {
  const struct {
    int input;  // the input whose first frames are dropped
    int frames;
  } cases[] = {{2, 1}, {2, 2}, {2, 5}, {1, 1}, {1, 2}, {1, 5}};
  for (const auto& c : cases) {
    const std::string n = std::to_string(c.frames);
    SCOPED_TRACE("input " + std::to_string(c.input) + ", " + n + " frames");
    const bool first = c.input == 1;
    const Scored want = score({first ? input("ref_trim" + n) : input("ref"),
                               first ? input("dist") : input("dist_trim" + n)});
    ASSERT_EQ(0, want.outcome.status) << want.outcome.err;
    ASSERT_NE(std::string::npos, want.csv.find("integer_motion")) << want.csv;
    const std::string skip = "--skip=" + (first ? n + ":0" : "0:" + n);
    const Scored got = score({input("ref"), input("dist"), skip});
    EXPECT_EQ(0, got.outcome.status) << got.outcome.err;
    EXPECT_TRUE(want.outcome.out == got.outcome.out) << "the outputs differ";
    EXPECT_TRUE(want.csv == got.csv) << "the outputs differ";
    const Scored piped =
        first ? score({"-", input("dist"), skip}, "ref") : score({input("ref"), "-", skip}, "dist");
    EXPECT_EQ(0, piped.outcome.status) << piped.outcome.err;
    EXPECT_TRUE(want.csv == piped.csv) << "the outputs differ";
  }
}

// --align finds the offset of a moving sequence either way (a positive offset drops frames of
// the second input, a negative one of the first) and none in a still one, says so in one line
// and scores as --skip would; a pipe is read once, its first frames replayed into the run.
TEST_F(Offsets, AlignFindsTheOffsetOfAMovingSequence) {
  const struct {
    std::string a, b;
    int offset;
    std::string note;
    std::string scale = "";  // the option pairs of two sizes need
  } cases[] = {
      {"ref_trim1", "dist", 1, "offset chosen: 1: the first 1 frame of ["},
      {"ref_trim2", "dist", 2, "offset chosen: 2: the first 2 frames of ["},
      {"ref", "dist_trim1", -1, "offset chosen: -1: the first 1 frame of ["},
      {"ref", "dist_trim2", -2, "offset chosen: -2: the first 2 frames of ["},
      {"ref", "dist", 0, "offset chosen: 0: no frame is dropped"},
      // A still scene pairs every shift alike: no offset stands out and none is taken.
      {"gray", "gray_dist", 0, "no clear offset; keeping 0 ("},
      {"gray", "gray", 0, "no clear offset; keeping 0 ("},
      // The search scores the pairs as the run does: scaled, where they are.
      {"ref", "dist_half_trim2", -2, "offset chosen: -2: the first 2 frames of [",
       "--scale=bicubic"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " " + c.b);
    const std::string skip = "--skip=" + std::to_string(c.offset < 0 ? -c.offset : 0) + ":" +
                             std::to_string(c.offset > 0 ? c.offset : 0);
    std::vector<std::string> args = {input(c.a), input(c.b), skip};
    if (!c.scale.empty()) args.push_back(c.scale);
    const Scored want = score(args);
    if (want.outcome.err.find("--scale is unavailable") != std::string::npos) continue;
    ASSERT_EQ(0, want.outcome.status) << want.outcome.err;
    args[2] = "--align";
    const Scored got = score(args);
    EXPECT_EQ(0, got.outcome.status) << got.outcome.err;
    EXPECT_NE(std::string::npos, got.outcome.err.find("note: " + c.note)) << got.outcome.err;
    if (c.offset != 0) {
      const std::string dropped = c.offset > 0 ? input(c.b) : input(c.a);
      EXPECT_NE(std::string::npos, got.outcome.err.find("[" + dropped + "] ")) << got.outcome.err;
    }
    EXPECT_TRUE(want.outcome.out == got.outcome.out) << "the outputs differ";
    EXPECT_TRUE(want.csv == got.csv) << "the outputs differ";
    args[1] = "-";
    const Scored piped = score(args, c.b);
    EXPECT_EQ(0, piped.outcome.status) << piped.outcome.err;
    EXPECT_TRUE(want.csv == piped.csv) << "the outputs differ";
  }
}

// One reference against an input (--vs) finds the offset that two files find and scores the
// same pairs, whatever the file the reference is in.
TEST_F(Offsets, AlignAgainstOneReferenceAsForTwoFiles) {
  for (const std::string ref : {"ref.y4m", "ref.avi", "ref.mkv"}) {
    SCOPED_TRACE(ref);
    const std::string reference = (dir() / ref).string();
    const Scored want = score({reference, input("dist_trim2"), "--align"});
    if (want.outcome.err.find("not a video file") != std::string::npos) continue;  // no FFmpeg
    ASSERT_EQ(0, want.outcome.status) << want.outcome.err;
    const Scored got = score({reference, "--vs=" + input("dist_trim2"), "--align"});
    EXPECT_EQ(0, got.outcome.status) << got.outcome.err;
    EXPECT_NE(std::string::npos, got.outcome.err.find("note: offset chosen: -2: the first 2 "))
        << got.outcome.err;
    EXPECT_TRUE(want.csv == got.csv) << "the outputs differ";
  }
}

#ifdef VQ_HAVE_JSON
// The document tells the skip right after max_frames, and the search when there was one.
TEST_F(Offsets, JsonTellsTheSkipAndTheSearch) {
  ASSERT_EQ(0,
            run({input("ref"), input("dist_trim2"), "--align", "--json=" + path("a.json")}).status);
  const std::string text = slurp(path("a.json"));
  EXPECT_LT(text.find("\"max_frames\""), text.find("\"skip\""));
  EXPECT_LT(text.find("\"skip\""), text.find("\"align\""));
  EXPECT_LT(text.find("\"align\""), text.find("\"pairs_asked\""));
  const auto doc = nlohmann::json::parse(text);
  EXPECT_EQ(nlohmann::json::array({2, 0}), doc["skip"]);
  EXPECT_EQ(-2, doc["align"]["offset"]);
  EXPECT_EQ(true, doc["align"]["clear"]);
  EXPECT_EQ(21u, doc["align"]["shifts"].size());
  EXPECT_EQ(46, doc["pairs_compared"]);

  ASSERT_EQ(
      0, run({input("ref"), input("dist"), "--skip=3:1", "8", "--json=" + path("s.json")}).status);
  const auto skipped = nlohmann::json::parse(slurp(path("s.json")));
  EXPECT_EQ(nlohmann::json::array({3, 1}), skipped["skip"]);
  EXPECT_FALSE(skipped.contains("align"));
  EXPECT_EQ(8, skipped["pairs_compared"]);  // maxframes counts pairs after the skip
  EXPECT_EQ(1, skipped["pairs"][0]["pair"]);
}
#endif

// A skip beyond the end of an input leaves no pair, and says so.
TEST_F(Offsets, SkipBeyondTheEndComparesNothing) {
  for (const std::string& feed : {std::string(), std::string("dist")}) {
    SCOPED_TRACE(feed.empty() ? "file" : "pipe");
    const Scored s = score({input("ref"), feed.empty() ? input("dist") : "-", "--skip=0:60"}, feed);
    EXPECT_EQ(0, s.outcome.status) << s.outcome.err;
    EXPECT_NE(std::string::npos, s.outcome.err.find("has 48 frames, none after the 60 skipped"))
        << s.outcome.err;
    EXPECT_NE(std::string::npos, s.outcome.out.find("PsnrY   \t0.00\n")) << s.outcome.out;
  }
}

// Paired by time, a 50 fps source and its 25 fps copy make the pairs FFmpeg's frame sync makes
// (each frame of the first with the second's frame shown at its time), either way round; the
// squared errors per pair equal those its psnr filter prints.
TEST_F(Offsets, PairByTimeMatchesFfmpegsFrameSync) {
  for (const auto& [a, b] : {std::pair<std::string, std::string>{"s50", "e25"}, {"e25", "s50"}}) {
    SCOPED_TRACE(a + " " + b);
    const std::string stats = path("stats.txt");
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -i " + quote(input(a)) +
                            " -i " + quote(input(b)) +
                            " -lavfi \"[0:v][1:v]psnr=stats_file=" + stats + "\" -f null -";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    std::vector<std::string> want;
    for (const auto& fields : stats_fields(slurp(stats)))
      want.push_back(fields.at("mse_y"));
    const Scored got = score({input(a), input(b), "--pair=timestamps"});
    ASSERT_EQ(0, got.outcome.status) << got.outcome.err;
    EXPECT_NE(std::string::npos, got.outcome.err.find("frames are paired by time"));
    // pair,y_psnr,u_psnr,v_psnr,y_mse,...: the luma error to FFmpeg's two decimals.
    std::vector<std::string> mine;
    const auto cells = csv_cells(got.csv);
    for (size_t i = 1; i < cells.size(); ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "%.2f", std::stod(cells[i].at(4)));
      mine.push_back(text);
    }
    // When the first input ends before the second, FFmpeg's frame sync adds one pair more: the
    // first's last frame repeated beside the second's next. There is no such pair by time.
    if (want.size() == mine.size() + 1 && a == "e25") want.pop_back();
    EXPECT_EQ(mine, want);
    // In order, the pairs are as many as the shorter input's frames, and most are different
    // pictures.
    const Scored ordered = score({input(a), input(b), "--pair=order"});
    EXPECT_NE(std::string::npos, ordered.outcome.err.find("--pair=timestamps pairs them by time"));
    EXPECT_NE(ordered.csv, got.csv);
  }
}

}  // namespace
}  // namespace vq
