// The output files and stdout of the real binary: what a refused or failed run leaves behind, a
// stdout that cannot be written, the wait for ENTER in a script, and the JSON document read back
// by a JSON parser and checked against the verbose lines and the per-frame file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>
#ifdef VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

#include "report/report.h"
#include "tests/avi_writer.h"
#include "tests/frames.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

// YV12 frames of 8 x 4: luma 50 plus the frame index plus `dy[i]`, chroma 60 plus `du[i]`.
test::AviVideo video(int n, const std::vector<int>& dy = {}, const std::vector<int>& du = {}) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < n; ++i) {
    const int y = 50 + i + (dy.empty() ? 0 : dy[i]), u = 60 + (du.empty() ? 0 : du[i]);
    frames.push_back(test::yv12_frame(8, 4, std::vector<uint8_t>(32, uint8_t(y)),
                                      std::vector<uint8_t>(8, uint8_t(u)),
                                      std::vector<uint8_t>(8, 70)));
  }
  return test::video_from_frames(frames);
}

// The inputs and the outputs are in a data folder of the test's own; stdout and stderr beside it.
class Outputs : public BinaryTest {
 protected:
  void SetUp() override {
    BinaryTest::SetUp();
    fs::create_directories(dir_ / "data");
    a_ = path("a.avi");
    b_ = path("b.avi");
    EXPECT_TRUE(test::write_avi(a_, video(6)));
    EXPECT_TRUE(test::write_avi(b_, video(6, {1, 3, 0, 2, 1, 1}, {0, 1, 2, 0, 0, 0})));
  }

  std::string path(const std::string& name) const { return (dir_ / "data" / name).string(); }

  // Every file of the data folder and its bytes.
  std::map<std::string, std::string> data() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir_ / "data"))
      files[e.path().filename().string()] = fs::is_symlink(e) ? "link" : slurp(e.path());
    return files;
  }

  std::string a_, b_;
};

// Refused before anything is opened for writing, failed to write, or stopped before anything is
// compared: every file stays as it was and no temporary file is left behind.
TEST_F(Outputs, RefusedAndFailedRunsLeaveEveryFileAsItWas) {
  std::ofstream(path("old.csv")) << "keep\n";
  fs::create_symlink(a_, path("link.avi"));
  fs::create_directories(path("sub"));
  fs::create_symlink("nowhere", path("dangling"));
  const std::string missing = path("missing.avi");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{a_, b_, "--csv=" + a_}, 1, "the output [" + a_ + "] is the input [" + a_ + "]"},
      {{a_, b_, "--csv=" + path("link.avi")}, 1, "is the input [" + a_ + "]"},
      {{a_, b_, "--csv=" + path("o"), "--json=" + path("./o")}, 1, "are one file"},
      {{a_, b_, "--xml=" + path("link.avi")}, 1, "is the input [" + a_ + "]"},
      {{a_, b_, "--xml=" + path("o"), "--csv=" + path("o")}, 1, "are one file"},
      {{a_, b_, "--xml=/dev/full"}, 2, "can't write [/dev/full]: No space left on device"},
      {{a_, b_, "--csv=" + path("o"), "--html=" + path("sub/../o")}, 1, "are one file"},
      {{a_, b_, "--csv=" + path("dangling"), "--html=" + path("nowhere")}, 1, "are one file"},
      {{a_, b_, "--csv", path("old.csv")}, 1, "[--csv]: --csv needs a value: --csv=FILE"},
      {{a_, b_, "--csv=" + path("none/x.csv")}, 2, "can't write [" + path("none/x.csv") + "]"},
      {{a_, b_, "--csv=/dev/full"}, 2, "can't write [/dev/full]: No space left on device"},
      {{missing, b_, "--csv=" + path("old.csv"), "--json=" + path("new.json")}, 2, ""},
      {{a_, missing, "--csv=" + path("old.csv")}, 2, ""},
      {{a_, b_, "--csv=" + path("old.csv"), "--metric=vmaf_nope"},
       1,
       "vidqual: [--metric=vmaf_nope]: no metric is named 'vmaf_nope' (--help lists them)\n"},
      {{a_, b_, "--csv=" + path("old.csv"), "--metric=psnr=enable_msee=true"},
       1,
       "metric psnr has no option 'enable_msee'"},
      {{a_, b_, "--csv=" + path("old.csv"), "--metric=psnr=min_sse=x"},
       1,
       "metric psnr: option min_sse takes a number, not 'x'"},
      {{a_, b_, "--csv=" + path("old.csv"), "--threads=0"}, 1, "[--threads=0]: not a number"},
  };
  const auto before = data();
  for (const auto& c : cases) {
    if (!json_available() && c.args.back().starts_with("--json")) continue;
    const Outcome r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.args[2];
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    // A refused metric shows the usage, as any refused command line does.
    if (c.args.back().starts_with("--metric")) {
      EXPECT_NE(std::string::npos, r.out.find("USAGE:")) << r.out;
    }
    EXPECT_EQ(before, data()) << c.args[2];
  }
}

// A run stopped part way: by a signal (it ends as the signal ends a process), or by the reader
// of its stdout going away (status 2, a failed write). The stop comes at a fixed point: the run's
// verbose lines overfill the pipe, so it is still running, blocked on it, when the first of them
// has been read. Every temporary file is gone and the old outputs are as they were.
TEST_F(Outputs, InterruptedRunsLeaveNothingBehind) {
  ASSERT_TRUE(test::write_avi(a_, video(5000)));
  ASSERT_TRUE(test::write_avi(b_, video(5000)));
  std::ofstream(path("keep.csv")) << "old csv\n";
  std::ofstream(path("keep.json")) << "old json\n";
  const auto before = data();
  const struct {
    int signal;  // 0: the reader closes the pipe
    std::string err;
  } cases[] = {{SIGINT, "vidqual: interrupted; no output file was written\n"},
               {SIGTERM, "vidqual: interrupted; no output file was written\n"},
               {SIGHUP, "vidqual: interrupted; no output file was written\n"},
               {0, "vidqual: can't write: the reader of a pipe has gone\n"}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {VIDQUAL_BINARY, a_, b_, "-v", "--csv=" + path("keep.csv")};
    if (json_available()) args.push_back("--json=" + path("keep.json"));
    int out[2];
    ASSERT_EQ(0, ::pipe(out));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::vector<char*> argv;
      for (auto& a : args)
        argv.push_back(a.data());
      argv.push_back(nullptr);
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::close(out[1]);
      const int err = ::open((dir_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      const int in = ::open("/dev/null", O_RDONLY);
      ::dup2(in, 0);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    char first[64];
    ASSERT_GT(::read(out[0], first, sizeof first), 0);
    if (c.signal) {
      ASSERT_EQ(0, ::kill(pid, c.signal));
    }
    ::close(out[0]);
    int raw = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &raw, 0));
    if (c.signal) {
      EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == c.signal) << c.signal << " " << raw;
    } else {
      EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << raw;
    }
    EXPECT_EQ(c.err, slurp(dir_ / "stderr")) << c.signal;
    EXPECT_EQ(before, data()) << c.signal;
  }
}

// Replacing an output keeps what its user set on it: its permission bits, its owner and group
// (where the process may give them), and the other names of a file with several hard links.
TEST_F(Outputs, ReplacedOutputsKeepModeOwnerAndLinks) {
  std::ofstream(path("kept.csv")) << "old\n";
  ::chmod(path("kept.csv").c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(0, ::chown(path("kept.csv").c_str(), 1234, 4321));
  }
  std::ofstream(path("linked.csv")) << "old\n";
  fs::create_hard_link(path("linked.csv"), path("other-name.csv"));
  ASSERT_EQ(0, run({a_, b_, "--csv=" + path("kept.csv")}).status);
  ASSERT_EQ(0, run({a_, b_, "--csv=" + path("linked.csv")}).status);
  struct stat st;
  ASSERT_EQ(0, ::stat(path("kept.csv").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  if (root) {
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(4321u, st.st_gid);
  }
  const std::string rows = slurp(path("kept.csv"));
  EXPECT_EQ(0u, rows.find("pair,y_psnr"));
  EXPECT_EQ(rows, slurp(path("linked.csv")));
  EXPECT_EQ(rows, slurp(path("other-name.csv")));
  EXPECT_EQ(2u, fs::hard_link_count(path("linked.csv")));
}

TEST_F(Outputs, StdoutThatCannotBeWrittenIsAFailure) {
  const char kFailed[] = "vidqual: can't write to standard output";
  const struct {
    std::vector<std::string> args;
    std::string stdout_to;
  } cases[] = {
      {{a_, b_, "-v"}, "> /dev/full"}, {{"--help"}, "> /dev/full"}, {{a_, b_}, ">&-"}, {{}, ">&-"}};
  for (const auto& c : cases) {
    const Outcome r = run(c.args, c.stdout_to);
    EXPECT_EQ(2, r.status) << c.stdout_to;
    EXPECT_EQ(0u, r.err.find(kFailed)) << r.err;
  }
  // With stdout closed the per-frame file does not take its descriptor: it holds the rows alone.
  ASSERT_EQ(0, run({a_, b_, "--csv=" + path("open.csv")}).status);
  const Outcome r = run({a_, b_, "--csv=" + path("closed.csv")}, ">&-");
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(slurp(path("open.csv")), slurp(path("closed.csv")));
}

// A script that feeds names to a loop keeps every byte of its input: the wait after an
// unopenable file prints its prompt but reads nothing from a file.
TEST_F(Outputs, TheWaitReadsOnlyFromATerminal) {
  std::ofstream(dir_ / "list") << "next.avi\nlast.avi\n";
  for (const std::string& args : {quote(path("missing.avi")) + " " + quote(b_), std::string()}) {
    const std::string cmd = "cd " + quote(dir_.string()) + " && { " + quote(VIDQUAL_BINARY) + " " +
                            args + " > stdout; read -r line; printf %s \"$line\" > got; }" +
                            " < list";
    EXPECT_EQ(0, std::system(cmd.c_str()));
    EXPECT_EQ("next.avi", slurp(dir_ / "got")) << args;
    EXPECT_NE(std::string::npos, slurp(dir_ / "stdout").find("Press ENTER to continue...\n"));
  }
}

// The per-frame file lists the columns it is given in that order, whatever order the table has
// them in; a pair without a value keeps its cell empty, and a column the table lacks stays empty.
TEST_F(Outputs, PerFrameFileListsItsColumns) {
  const std::unique_ptr<Report> csv = make_csv_report({"y_psnr", "y_ssim", "nowhere"});
  ASSERT_EQ(1, csv->open(path("ssim.csv").c_str()));
  ScoreTable t;
  const int ssim = t.declare("y_ssim"), psnr = t.declare("y_psnr");
  t.set(psnr, 0, 40);
  t.set(ssim, 0, 0.5);
  t.set(psnr, 1, 41.25);
  csv->on_start(2, t);
  PairView v;
  v.table = &t;
  for (int32_t i = 0; i < 2; ++i) {
    v.number = i + 1, v.row = i;
    v.depth = 8 + 2 * i, v.layout = i ? ChromaLayout::k444 : ChromaLayout::k420;
    csv->on_pair(v);
  }
  ASSERT_EQ(1, csv->commit());
  EXPECT_EQ(
      "pair,y_psnr,y_ssim,nowhere,depth,chroma\n"
      "1,40,0.5,,8,4:2:0\n2,41.25,,,10,4:4:4\n",
      slurp(path("ssim.csv")));
}

// Numbers as libvmaf's XML report writes them: six decimals, sixteen when six would show only
// zeros of the fraction.
TEST(XmlNumber, SixDecimalsUnlessTheFractionStartsLater) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {27.2273691, "27.227369"},
      {0.0, "0.000000"},
      {90.0, "90.000000"},
      {-3.5, "-3.500000"},
      {0.0000012, "0.000001"},
      {1e-7, "0.0000001000000000"},
      {-2.5e-8, "-0.0000000250000000"},
      {INFINITY, "inf"},
      {5e9 + 0.25, "5000000000.250000"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, xml_number(c.value)) << c.value;
}

// The XML report read as codec test frameworks read it (Python's xml.etree, attributes by
// name) agrees with the per-frame file, also for a run that stops early.
TEST_F(Outputs, XmlReportReadsAsFrameworksReadIt) {
  if (std::system("python3 -c 'import xml.etree.ElementTree' > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "no python3";
  test::AviVideo shorter = video(4, {1, 3, 0, 2}, {0, 1, 2, 0});
  shorter.length = 6;
  ASSERT_TRUE(test::write_avi(path("short.avi"), shorter));
  const struct {
    std::string second;
    int status;
    const char* frames;
  } cases[] = {{b_, 0, "8x4 6 frames apsnr_cb apsnr_cr apsnr_y\n"},
               {path("short.avi"), 2, "8x4 4 frames apsnr_cb apsnr_cr apsnr_y\n"}};
  for (const auto& c : cases) {
    const Outcome r = run({a_, c.second, "--metric=psnr=enable_apsnr=true", "--metric=ssim",
                           "--xml=" + path("f.xml"), "--csv=" + path("f.csv")});
    EXPECT_EQ(c.status, r.status) << r.err;
    const std::string reader = std::string(VQ_SOURCE_DIR) + "/tests/xml/framework_reader.py";
    const Outcome read =
        run_command("python3 " + quote(reader) + " " + quote(path("f.xml")) + " " +
                    quote(path("f.csv")) + " psnr_y psnr_cb psnr_cr y_ssim all_ssim");
    EXPECT_EQ(0, read.status) << read.err;
    EXPECT_EQ(c.frames, read.out);
  }
  // The report's own columns are not libvmaf's scores: they stay out.
  const std::string xml = slurp(path("f.xml"));
  EXPECT_EQ(std::string::npos, xml.find("y_psnr")) << xml;
  EXPECT_EQ(0u, xml.find("<VMAF version=\"")) << xml;
}

// The XML report is libvmaf's file byte for byte for the same pair and scores, but for the
// version and the speed (the first and third lines).
TEST_F(Outputs, XmlReportIsLibvmafsFile) {
  const std::string reference = std::string(VQ_SOURCE_DIR) + "/tests/reference";
  const std::string inputs = (fs::temp_directory_path() / "vidqual-reference-inputs").string();
  for (const std::string pair : {"p8_176x144", "p10_176x144"}) {
    const std::string make = "command -v ffmpeg >/dev/null && bash " +
                             quote(reference + "/inputs.sh") + " " + quote(inputs) + " " + pair;
    if (run_command(make).status != 0) GTEST_SKIP() << "no ffmpeg to make the pairs";
    const Outcome r = run({inputs + "/" + pair + ".ref.y4m", inputs + "/" + pair + ".dist.y4m",
                           "--metric=psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
                           "--metric=float_ssim=scale=1:enable_db=true:clip_db=true",
                           "--metric=psnr_hvs", "--xml=" + path("o.xml")});
    EXPECT_EQ(0, r.status) << r.err;
    const auto body = [](std::string xml) {
      std::string kept;
      std::istringstream lines(xml);
      int n = 0;
      for (std::string line; std::getline(lines, line);)
        if (++n != 1 && n != 3) kept += line + "\n";
      return kept;
    };
    const std::string want = body(slurp(reference + "/libvmaf/" + pair + ".ctc_xml.xml"));
    ASSERT_NE(std::string::npos, want.find("psnr_hvs=")) << pair;
    EXPECT_EQ(want, body(slurp(path("o.xml")))) << pair;
  }
}

// A Y4M file of `frames` 4:2:0 pictures of 64 x 48 from a seeded generator, at 8 bits or, with
// `shift`, as 16-bit words holding the same samples shifted left by it.
void write_y4m(const std::string& path, int frames, unsigned seed, int shift, int depth) {
  std::ofstream f(path, std::ios::binary);
  f << "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C"
    << (depth > 8 ? "420p" + std::to_string(depth) : "420jpeg") << "\n";
  unsigned state = seed;
  for (int i = 0; i < frames; ++i) {
    f << "FRAME\n";
    for (int n = 0; n < 64 * 48 * 3 / 2; ++n) {
      state = state * 1103515245u + 12345u;
      const unsigned v = 16 + (n % 64) * 3 + (state >> 16) % 24;
      if (depth == 8) {
        f.put(char(v));
      } else {
        const unsigned w = v << shift;
        f.put(char(w & 0xff));
        f.put(char(w >> 8));
      }
    }
  }
}

// Inputs of different depth are scored at the greater, the shallower one's samples shifted
// left: the same report as for the pair with the shallower file widened beforehand, whichever
// of the two is the reference.
TEST_F(Outputs, DifferentDepthsScoreAsTheShallowerWidened) {
  write_y4m(path("a10.y4m"), 3, 1, 0, 10);
  write_y4m(path("b8.y4m"), 3, 2, 0, 8);
  write_y4m(path("b10.y4m"), 3, 2, 2, 10);
  const std::vector<std::string> metrics = {
      "--metric=psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
      "--metric=float_ssim=scale=1:enable_db=true:clip_db=true", "--metric=psnr_hvs"};
  const auto report = [&](const std::string& a, const std::string& b) {
    std::vector<std::string> args = {path(a), path(b), "--xml=" + path("o.xml")};
    args.insert(args.end(), metrics.begin(), metrics.end());
    EXPECT_EQ(0, run(args).status) << a << " " << b;
    std::string xml = slurp(path("o.xml"));
    const size_t fyi = xml.find("  <fyi"), end = xml.find('\n', fyi);
    return fyi == std::string::npos ? xml : xml.erase(fyi, end - fyi);
  };
  const std::string widened = report("a10.y4m", "b10.y4m");
  EXPECT_NE(std::string::npos, widened.find("psnr_hvs=")) << widened;
  EXPECT_EQ(widened, report("a10.y4m", "b8.y4m"));
  EXPECT_EQ(report("b10.y4m", "a10.y4m"), report("b8.y4m", "a10.y4m"));
}

#ifdef VQ_HAVE_JSON
// The document read back by a JSON parser agrees with the banner, the verbose lines, the report
// and the per-frame file, also when the run stops early.
TEST_F(Outputs, JsonDocumentAgreesWithTheRunAndThePerFrameFile) {
  test::AviVideo shorter = video(4, {1, 3, 0, 2}, {0, 1, 2, 0});
  shorter.length = 6;  // the header promises more frames than the file holds
  ASSERT_TRUE(test::write_avi(b_, shorter));
  const Outcome r = run({a_, b_, "6", "-v", "--csv=" + path("f.csv"), "--json=" + path("f.json")});
  EXPECT_EQ(2, r.status);
  const auto doc = nlohmann::json::parse(slurp(path("f.json")));
  EXPECT_EQ("vidqual", doc["tool"]);
  EXPECT_EQ(0u, r.out.find("VIDQUAL v" + doc["version"].get<std::string>() + ", "));
  EXPECT_EQ(a_, doc["inputs"][0]["path"]);
  EXPECT_EQ(b_, doc["inputs"][1]["path"]);
  EXPECT_EQ(6, doc["inputs"][1]["length"]);
  EXPECT_EQ(6, doc["max_frames"]);
  EXPECT_EQ(6, doc["pairs_asked"]);
  EXPECT_EQ(4, doc["pairs_compared"]);
  EXPECT_EQ("read_failed", doc["outcome"]);
  EXPECT_EQ(2, doc["failure"]["input"]);
  EXPECT_EQ(5, doc["failure"]["pair"]);

  // The per-frame file's rows, and the pairs of the document, value for value.
  const std::vector<std::string> columns = {"pair",  "y_psnr", "u_psnr", "v_psnr",
                                            "y_mse", "u_mse",  "v_mse"};
  const auto cells = csv_cells(slurp(path("f.csv")));
  ASSERT_EQ(5u, cells.size());
  EXPECT_EQ(columns, std::vector<std::string>(cells[0].begin(), cells[0].begin() + 7));
  std::vector<std::vector<double>> rows;
  for (size_t i = 1; i < cells.size(); ++i) {
    rows.emplace_back();
    for (size_t k = 0; k < columns.size(); ++k)
      rows.back().push_back(std::stod(cells[i].at(k)));
  }
  ASSERT_EQ(4u, doc["pairs"].size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto& pair = doc["pairs"][i];
    for (size_t k = 0; k < columns.size(); ++k)
      EXPECT_EQ(rows[i][k], pair[columns[k]].get<double>()) << i << " " << columns[k];
    char verbose[64];
    std::snprintf(verbose, sizeof verbose, "%3d: \t%3.2f \t%3.2f \t%3.2f\n", int(i + 1), rows[i][1],
                  rows[i][2], rows[i][3]);
    EXPECT_NE(std::string::npos, r.out.find(verbose)) << verbose;
  }

  // Per plane: both averages, the extremes and the worst pair, from the rows.
  const char* names[3] = {"y", "u", "v"};
  for (int p = 0; p < 3; ++p) {
    const auto& plane = doc["planes"][names[p]];
    double psnr_sum = 0, mse_sum = 0, lo = 1e9, hi = -1;
    int worst = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      psnr_sum += rows[i][1 + p];
      mse_sum += rows[i][4 + p];
      if (rows[i][1 + p] < lo) lo = rows[i][1 + p], worst = int(i + 1);
      hi = std::max(hi, rows[i][1 + p]);
    }
    EXPECT_NEAR(psnr_sum / 4, plane["mean_psnr"].get<double>(), 1e-12) << names[p];
    EXPECT_NEAR(mse_sum / 4, plane["mean_mse"].get<double>(), 1e-12) << names[p];
    // An error of 0 counts as 1e-05, as for a pair.
    EXPECT_NEAR(10 * std::log10(255.0 * 255.0 / std::max(mse_sum / 4, 1e-5)),
                plane["psnr_of_mean_mse"].get<double>(), 1e-9)
        << names[p];
    EXPECT_EQ(lo, plane["min_psnr"].get<double>()) << names[p];
    EXPECT_EQ(hi, plane["max_psnr"].get<double>()) << names[p];
    EXPECT_EQ(worst, plane["worst_pair"]) << names[p];
    char report[64];
    std::snprintf(report, sizeof report, "Psnr%c   \t%3.2f\n", "YUV"[p],
                  plane["mean_psnr"].get<double>());
    EXPECT_NE(std::string::npos, r.out.find(report)) << report;
  }

  // A run that compares every pair: "ok", no limit, and the document is written again.
  EXPECT_EQ(0, run({a_, a_, "--json=" + path("f.json")}).status);
  const auto ok = nlohmann::json::parse(slurp(path("f.json")));
  EXPECT_EQ("ok", ok["outcome"]);
  EXPECT_TRUE(ok["max_frames"].is_null());
  EXPECT_EQ(6u, ok["pairs"].size());
}

// Every output file is the same for every thread count; the document's per-pair metrics are the
// per-frame file's cells, its pooled metrics their pooling, and the page charts each column.
TEST_F(Outputs, EveryThreadCountWritesTheSameFilesAndTheyAgree) {
  std::map<std::string, std::string> first;
  for (const char* threads : {"1", "2", "3"}) {
    const Outcome r = run({a_, b_, "--ssim", "--metric=psnr=enable_mse=true:enable_apsnr=true",
                           std::string("--threads=") + threads, "--csv=" + path("t.csv"),
                           "--json=" + path("t.json"), "--html=" + path("t.html")});
    ASSERT_EQ(0, r.status) << r.err;
    std::map<std::string, std::string> files = data();
    files["stdout"] = r.out;
    if (first.empty()) {
      first = files;
    } else {
      EXPECT_EQ(first, files) << threads << " threads";
    }
  }
  const auto cells = csv_cells(first["t.csv"]);
  ASSERT_EQ(7u, cells.size());
  const std::vector<std::string>& names = cells[0];
  ASSERT_EQ("pair", names.front());
  ASSERT_EQ("chroma", names.back());
  EXPECT_EQ(std::vector<std::string>({"y_psnr", "u_psnr", "v_psnr", "y_mse", "u_mse", "v_mse",
                                      "psnr_y", "mse_y", "psnr_cb", "mse_cb", "psnr_cr", "mse_cr",
                                      "y_ssim", "u_ssim", "v_ssim", "all_ssim"}),
            std::vector<std::string>(names.begin() + 1, names.end() - 2));
  const auto doc = nlohmann::json::parse(first["t.json"]);
  std::map<std::string, std::vector<double>> columns;
  for (size_t i = 0; i + 1 < cells.size(); ++i) {
    for (size_t k = 1; k + 2 < names.size(); ++k) {
      const double v = std::stod(cells[i + 1].at(k));
      columns[names[k]].push_back(v);
      EXPECT_EQ(v, doc["pairs"][i]["metrics"][names[k]].get<double>()) << i << " " << names[k];
    }
  }
  ASSERT_EQ(6u, columns["psnr_y"].size());
  for (const auto& [name, values] : columns) {
    double sum = 0, inverse = 0, lo = values[0], hi = values[0];
    for (double v : values) {
      sum += v, inverse += 1 / (v + 1);
      lo = std::min(lo, v), hi = std::max(hi, v);
    }
    const auto& pooled = doc["pooled_metrics"][name];
    EXPECT_NEAR(sum / 6, pooled["mean"].get<double>(), 1e-12) << name;
    EXPECT_NEAR(6 / inverse - 1, pooled["harmonic_mean"].get<double>(), 1e-9) << name;
    EXPECT_EQ(lo, pooled["min"].get<double>()) << name;
    EXPECT_EQ(hi, pooled["max"].get<double>()) << name;
  }
  // The page draws every column once, a point per pair.
  size_t series = 0;
  for (size_t at = 0; (at = first["t.html"].find("data-pairs=\"6\"", at)) != std::string::npos;
       ++at)
    ++series;
  EXPECT_EQ(columns.size(), series);
  // libvmaf's APSNR is the PSNR of the summed error: from the mean MSE at peak 255, capped.
  for (const auto& [plane, mse] : {std::pair{"y", "mse_y"}, {"cb", "mse_cb"}, {"cr", "mse_cr"}}) {
    double mean = 0;
    for (double v : columns[mse])
      mean += v / 6;
    const double want = mean > 0 ? 10 * std::log10(65025 / mean) : 0;
    if (mean > 0) {
      EXPECT_NEAR(want, doc["aggregate_metrics"][std::string("apsnr_") + plane].get<double>(),
                  1e-9);
    }
  }
}
// Beside min, max and the means, each pooled score has its nearest-rank 1st, 5th and 50th
// percentiles; --worst-pairs=N lists the N lowest pairs of every score, lowest first, ties in
// pair order, by their index in "pairs" (from 0).
TEST_F(Outputs, JsonPercentilesAndWorstPairs) {
  // Luma differs by 1, 3, 0, 2, 1, 1: the lowest luma PSNR are pairs 1 and 3, then 0, 4 and 5
  // alike, of which 0 comes first.
  const struct {
    const char* worst;  // --worst-pairs=, or nullptr
    size_t listed;
    std::vector<int> y_psnr;  // the frames listed for y_psnr
  } cases[] = {
      {nullptr, 0, {}}, {"0", 0, {}}, {"4", 4, {1, 3, 0, 4}}, {"99", 6, {1, 3, 0, 4, 5, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.worst ? c.worst : "none");
    std::vector<std::string> args = {a_, b_, "--ssim", "--json=" + path("w.json")};
    if (c.worst) args.push_back(std::string("--worst-pairs=") + c.worst);
    ASSERT_EQ(0, run(args).status);
    const auto doc = nlohmann::json::parse(slurp(path("w.json")));
    EXPECT_EQ(c.listed > 0, doc.contains("worst_pairs"));
    for (const auto& [name, pooled] : doc["pooled_metrics"].items()) {
      std::vector<double> values;
      for (const auto& pair : doc["pairs"])
        values.push_back(pair["metrics"][name].get<double>());
      std::vector<double> sorted = values;
      std::sort(sorted.begin(), sorted.end());
      // Nearest rank of 6 values: p1 and p5 are the lowest, p50 the 3rd.
      EXPECT_EQ(sorted[0], pooled["p1"].get<double>()) << name;
      EXPECT_EQ(sorted[0], pooled["p5"].get<double>()) << name;
      EXPECT_EQ(sorted[2], pooled["p50"].get<double>()) << name;
      if (c.listed == 0) continue;
      const auto& worst = doc["worst_pairs"][name];
      ASSERT_EQ(c.listed, worst.size()) << name;
      for (size_t k = 0; k < worst.size(); ++k) {
        const int frame = worst[k]["frame"];
        EXPECT_EQ(values[size_t(frame)], worst[k]["value"].get<double>()) << name;
        EXPECT_EQ(sorted[k], worst[k]["value"].get<double>()) << name << " " << k;
        if (k > 0 && worst[k]["value"] == worst[k - 1]["value"]) {
          EXPECT_LT(worst[k - 1]["frame"].get<int>(), frame) << name;
        }
      }
    }
    if (c.listed == 0) continue;
    std::vector<int> frames;
    for (const auto& w : doc["worst_pairs"]["y_psnr"])
      frames.push_back(w["frame"]);
    EXPECT_EQ(c.y_psnr, frames);
    EXPECT_EQ(doc["pooled_metrics"].size(), doc["worst_pairs"].size());
  }
}
#else
TEST_F(Outputs, JsonUnavailableInThisBuild) {
  const Outcome r = run({a_, b_, "--json=" + path("f.json")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("vidqual: --json is unavailable: this build has no JSON library\n", r.err);
  EXPECT_FALSE(fs::exists(path("f.json")));
}
#endif

// One reference against several inputs at once (--vs): each block of stdout and each output is
// that of its own two-file run, on any thread count, an input that cannot be read fails its own
// block only, and outputs that would share a file are refused before anything is opened.
TEST_F(Outputs, SeveralInputsAgainstOneReference) {
  const std::string c = path("c.avi"), d = path("d.avi");
  ASSERT_TRUE(test::write_avi(c, video(6, {2, 2, 2, 0, 0, 5}, {1, 0, 0, 3, 0, 0})));
  ASSERT_TRUE(test::write_avi(d, video(4, {0, 0, 1, 1}, {4, 4, 0, 0})));
  const std::string banner_end = "\n\n";  // the version line and the blank after it
  std::string want_out;
  std::map<std::string, std::string> want_csv;
  for (const auto& [name, file] : {std::pair{"b", b_}, {"c", c}, {"d", d}}) {
    std::vector<std::string> args = {a_, file, "-v",
                                     "--csv=" + path(std::string("one_") + name + ".csv")};
#ifdef VQ_HAVE_JSON
    args.push_back("--json=" + path(std::string("one_") + name + ".json"));
#endif
    const Outcome one = run(args);
    ASSERT_EQ(0, one.status) << one.err;
    want_out += std::string(want_out.empty() ? "" : "\n") + "against [" + file + "]\n" +
                one.out.substr(one.out.find(banner_end) + banner_end.size());
    want_csv[name] = slurp(path(std::string("one_") + name + ".csv"));
  }
  for (const char* threads : {"--threads=1", "--threads=2", "--threads=3"}) {
    SCOPED_TRACE(threads);
    std::vector<std::string> args = {a_,
                                     "--vs=" + b_,
                                     "--vs=" + c,
                                     "--vs=" + d,
                                     "-v",
                                     threads,
                                     "--csv=" + path("all_{name}.csv")};
#ifdef VQ_HAVE_JSON
    args.push_back("--json=" + path("all_{name}.json"));
#endif
    const Outcome all = run(args);
    ASSERT_EQ(0, all.status) << all.err;
    EXPECT_EQ(all.out.substr(all.out.find(banner_end) + banner_end.size()), want_out);
    for (const auto& [name, csv] : want_csv) {
      EXPECT_EQ(slurp(path("all_" + name + ".csv")), csv) << name;
#ifdef VQ_HAVE_JSON
      EXPECT_EQ(slurp(path("all_" + name + ".json")), slurp(path("one_" + name + ".json"))) << name;
#endif
    }
  }

  // maxframes is the one other positional argument.
  const Outcome three = run({a_, b_, "3", "-v"}), three_vs = run({a_, "3", "--vs=" + b_, "-v"});
  ASSERT_EQ(0, three_vs.status) << three_vs.err;
  EXPECT_EQ(
      three_vs.out.substr(three_vs.out.find(banner_end) + banner_end.size()),
      "against [" + b_ + "]\n" + three.out.substr(three.out.find(banner_end) + banner_end.size()));

  // An input that is not there fails its own block; the others are as before.
  const Outcome partly = run({a_, "--vs=" + b_, "--vs=" + path("none.avi"), "-v"});
  EXPECT_EQ(2, partly.status);
  EXPECT_NE(partly.out.find("against [" + path("none.avi") + "]"), std::string::npos);
  EXPECT_NE(partly.out.find(want_out.substr(0, want_out.find("\nagainst"))), std::string::npos);

  const std::map<std::string, std::string> before = data();
  const struct {
    std::vector<std::string> args;
    std::string err;
  } refused[] = {
      {{a_, "--vs=" + b_, "--vs=" + c, "--csv=" + path("x.csv")},
       "put {name} or {index} in the path"},
      {{a_, "--vs=" + b_, "--vs=" + b_, "--csv=" + path("{name}.csv")}, "would both write"},
      {{a_, b_, "--vs=" + c}, "with --vs, name the reference alone"},
  };
  for (const auto& r : refused) {
    const Outcome o = run(r.args);
    EXPECT_EQ(1, o.status) << r.err;
    EXPECT_NE(o.err.find(r.err), std::string::npos) << o.err;
  }
  EXPECT_EQ(data(), before);
}

}  // namespace
}  // namespace vq
