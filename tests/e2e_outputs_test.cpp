// The output files and stdout of the real binary: what a refused or failed run leaves behind, a
// stdout that cannot be written, the wait for ENTER in a script, and the JSON document read back
// by a JSON parser and checked against the verbose lines and the per-frame file. Campaigns:
// twelve pairs run as an indexed job array (four tasks at a time, one killed part way, some
// outputs lost), then run again; two campaigns of one manifest at once; refused manifests and
// failed lines (skipped, visibly, without FFmpeg's CLI to make the pairs).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#ifdef VQ_HAVE_JSON
#include <nlohmann/json.hpp>
#endif

#include "app/app.h"
#include "report/report.h"
#include "tests/avi_writer.h"
#include "tests/frames.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

// The inputs and the outputs are in a data folder of the test's own; stdout and stderr beside it.
class Outputs : public BinaryTest {
 protected:
  void SetUp() override {
    BinaryTest::SetUp();
    fs::create_directories(dir_ / "data");
    a_ = path("a.avi");
    b_ = path("b.avi");
    EXPECT_TRUE(test::write_avi(a_, yv12_video(6)));
    EXPECT_TRUE(
        test::write_avi(b_, yv12_video(6, 8, 4, 50, {1, 3, 0, 2, 1, 1}, {0, 1, 2, 0, 0, 0})));
  }

  std::string path(const std::string& name) const { return (dir_ / "data" / name).string(); }

  // Every file of the data folder and its folders, and its bytes.
  std::map<std::string, std::string> data() const {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "data"))
      files[e.path().lexically_relative(dir_ / "data").string()] =
          fs::is_symlink(e) ? "link" : slurp(e.path());
    return files;
  }

  std::string a_, b_;
};

// Refused before anything is opened for writing, failed to write, or stopped before anything is
// compared: every file stays as it was and no temporary file is left behind. One refusal of a
// value stands for them all: app_test checks each value's own message.
TEST_F(Outputs, RefusedAndFailedRunsLeaveEveryFileAsItWas) {
  std::ofstream(path("old.csv")) << "keep\n";
  fs::create_symlink(a_, path("link.avi"));
  fs::create_directories(path("sub"));
  fs::create_symlink("nowhere", path("dangling"));
  const std::string missing = path("missing.avi"), old = "--csv=" + path("old.csv");
  // Outputs that land on one another or on a file read, through patterns and links.
  for (const char* dir : {"o0", "real"})
    fs::create_directories(path(dir));
  fs::create_directory_symlink("o0", path("o1"));
  fs::create_directory_symlink("real", path("link"));
  fs::copy_file(a_, path("1.avi"));
  fs::create_symlink(a_, path("1.mp4"));
  fs::create_symlink(b_, path("0.mp4"));
  fs::copy_file(std::string(VQ_SOURCE_DIR) + "/tests/reference/models/vmaf_v0.6.1neg.json",
                path("m.json"));
  const std::string line = a_ + " " + b_ + " ";
  const std::string manifest[] = {"self.txt", "links.txt", "named.txt", "chain.txt"};
  std::ofstream(path(manifest[0])) << line << "--csv=" << path("self.txt") << "\n";
  std::ofstream(path(manifest[1])) << line << "--csv=" << path("real/r.csv") << "\n"
                                   << line << "--csv=" << path("link/r.csv") << "\n";
  std::ofstream(path(manifest[2])) << line << "\n";
  std::ofstream(path(manifest[3])) << line << "--csv=" << path("c.avi") << "\n"
                                   << a_ << " " << path("c.avi") << " --csv=x\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{a_, b_, "--csv=" + a_}, 1, "the output [" + a_ + "] is the input [" + a_ + "]"},
      {{a_, b_, "--csv=" + path("link.avi")}, 1, "is the input [" + a_ + "]"},
      {{a_, b_, "--csv=" + path("o"), "--json=" + path("./o")}, 1, "are one file"},
      {{a_, b_, "--xml=" + path("o"), "--csv=" + path("o")}, 1, "are one file"},
      {{a_, b_, "--xml=/dev/full"}, 2, "can't write [/dev/full]: No space left on device"},
      {{a_, b_, "--csv=" + path("o"), "--html=" + path("sub/../o")}, 1, "are one file"},
      {{a_, b_, "--csv=" + path("dangling"), "--html=" + path("nowhere")}, 1, "are one file"},
      {{a_, b_, "--csv", path("old.csv")}, 1, "[--csv]: --csv needs a value: --csv=FILE"},
      {{a_, b_, "--csv=" + path("none/x.csv")}, 2, "can't write [" + path("none/x.csv") + "]"},
      {{a_, b_, "--csv=/dev/full"}, 2, "can't write [/dev/full]: No space left on device"},
      {{missing, b_, old, "--json=" + path("new.json")}, 2, ""},
      {{a_, missing, old}, 2, ""},
      {{a_, b_, old, "--metric=vmaf_nope"}, 1, "named 'vmaf_nope' (--help lists them)\n"},
      {{a_, b_, old, "--metric=psnr=enable_msee=true"}, 1, "has no option 'enable_msee'"},
      {{a_, b_, old, "--threads=0"}, 1, "[--threads=0]: not a number"},
      {{a_, "--vs=" + a_, "--vs=" + b_, "--csv=" + path("o{index}/r.csv")},
       1,
       "[" + path("o0/r.csv") + "] and [" + path("o1/r.csv") + "] are one file"},
      {{a_, "--vs=" + path("1.mp4"), "--vs=" + path("0.mp4"), "--xml=" + path("{name}.out"),
        "--csv=" + path("{index}.out")},
       1,
       "[" + path("1.mp4") + "] and [" + path("0.mp4") + "] would both write"},
      {{a_, "--vs=" + path("1.avi"), "--vs=" + b_, "--csv=" + path("{index}.avi")},
       1,
       "the output [" + path("1.avi") + "] is the input [" + path("1.avi") + "]"},
      {{a_, b_, "--metric=vmaf=model=path:" + path("m.json"), "--csv=" + path("m.json")},
       1,
       "the output [" + path("m.json") + "] is the model file [" + path("m.json") + "]"},
      {{"--manifest=" + path("self.txt")}, 1, "(index 0): the output [" + path("self.txt")},
      {{"--manifest=" + path("links.txt")}, 1, "(index 1): [" + path("link/r.csv") + "] is wr"},
      {{"--manifest=" + path("named.txt"), "--csv=" + path("{name}.avi")},
       1,
       "(index 0): the output [" + b_ + "] is the input [" + b_ + "]"},
      {{"--manifest=" + path("chain.txt")}, 1, "(index 0): the output [" + path("c.avi")},
  };
  const auto before = data();
  for (const auto& c : cases) {
    const bool model = c.args.back() == "--csv=" + path("m.json");
    if (!json_available() && (c.args.back().starts_with("--json") || model)) continue;
    const Outcome r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.args.back();
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    // A refused metric shows the usage, as any refused command line does.
    if (c.args.back().starts_with("--metric")) {
      EXPECT_NE(std::string::npos, r.out.find("USAGE:")) << r.out;
    }
    EXPECT_EQ(before, data()) << c.args.back();
  }
  // A file grown past the size limit (ulimit -f) is a failed write too, not a killed process.
  if (json_available()) {
    const std::string big = path("big.json");
    const Outcome r = run_command("ulimit -f 1; " + quote(VIDQUAL_BINARY) + " " + quote(a_) + " " +
                                  quote(b_) + " " + quote("--json=" + big));
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("can't write [" + big + "]: File too large")) << r.err;
    EXPECT_EQ(before, data());
  }
}

// A run stopped part way: by a signal (it ends as the signal ends a process), or by the reader
// of its stdout going away (status 2, a failed write). The stop comes at a fixed point: the run's
// verbose lines overfill the pipe, so it is still running, blocked on it, when the first of them
// has been read. Every temporary file is gone and the old outputs are as they were.
TEST_F(Outputs, InterruptedRunsLeaveNothingBehind) {
  ASSERT_TRUE(test::write_avi(a_, yv12_video(5000)));
  ASSERT_TRUE(test::write_avi(b_, yv12_video(5000)));
  std::ofstream(path("keep.csv")) << "old csv\n";
  std::ofstream(path("keep.json")) << "old json\n";
  const auto before = data();
  const struct {
    int signal;  // 0: the reader closes the pipe
    std::string err;
    bool ends_by_signal = true;  // or with status 2
  } cases[] = {{SIGINT, "vidqual: interrupted; no output file was written\n"},
               {SIGTERM, "vidqual: interrupted; no output file was written\n"},
               {SIGHUP, "vidqual: interrupted; no output file was written\n"},
               {0, "vidqual: can't write: the reader of a pipe has gone\n", false},
               // What reading a mapped input that another program cut short raises.
               {SIGBUS,
                "vidqual: an input file was cut short while it was read; no output file was "
                "written\n",
                false}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {a_, b_, "-v", "--csv=" + path("keep.csv")};
    if (json_available()) args.push_back("--json=" + path("keep.json"));
    int out[2];  // closed on exec: the child holds the write end as its stdout alone
    ASSERT_EQ(0, ::pipe2(out, O_CLOEXEC));
    const pid_t pid = spawn(args, out[1], (dir_ / "stderr").string());
    ASSERT_GE(pid, 0);
    ::close(out[1]);
    char first[64];
    ASSERT_GT(::read(out[0], first, sizeof first), 0);
    // A signal is let end the child before the pipe closes: with both pending, the lower
    // number is taken first, and SIGPIPE (13) would come before SIGTERM (15).
    if (c.signal) {
      ASSERT_EQ(0, ::kill(pid, c.signal));
    } else {
      ::close(out[0]);
    }
    int raw = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &raw, 0));
    if (c.signal) ::close(out[0]);
    if (c.ends_by_signal) {
      EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == c.signal) << c.signal << " " << raw;
    } else {
      EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 2) << raw;
    }
    EXPECT_EQ(c.err, slurp(dir_ / "stderr")) << c.signal;
    EXPECT_EQ(before, data()) << c.signal;
  }
}

// More outputs open at once than any fixed count: a run stopped while every comparison waits for
// its input (a pipe nobody writes), all of them open, leaves no temporary file behind.
TEST_F(Outputs, InterruptedRunWithManyOutputsLeavesNoTemporaryFile) {
  fs::create_directories(path("in"));
  std::vector<std::string> args = {a_, "--csv=" + path("{index}.csv"),
                                   "--xml=" + path("{index}.xml")};
  for (int k = 0; k < 20; ++k) {
    const std::string fifo = path("in/" + std::to_string(k));
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
    args.push_back("--vs=" + fifo);
  }
  const auto temporary = [&] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "data"))
      n += e.path().filename().string().starts_with(".");
    return n;
  };
  const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawn(args, out, (dir_ / "stderr").string());
  ::close(out);
  ASSERT_GE(pid, 0);
  for (int tries = 0; tries < 1000 && temporary() < 40; ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(40, temporary());
  // SIGTERM: a shell's background job (the test run as one) has SIGINT ignored, kept ignored.
  ASSERT_EQ(0, ::kill(pid, SIGTERM));
  int raw = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &raw, 0));
  EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << raw;
  EXPECT_EQ(0, temporary());
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
  // A file whose bits forbid writing is replaced all the same, as mv replaces it, and keeps its
  // bits; a name as long as a directory holds is written too (the temporary name is cut to fit).
  std::ofstream(path("readonly.csv")) << "old\n";
  ::chmod(path("readonly.csv").c_str(), 0444);
  const std::string longest = path(std::string(251, 'n') + ".csv");
  for (const std::string& out : {path("readonly.csv"), longest}) {
    ASSERT_EQ(0, run({a_, b_, "--csv=" + out}).status) << out;
    EXPECT_EQ(0u, slurp(out).find("pair,y_psnr")) << out;
  }
  ASSERT_EQ(0, ::stat(path("readonly.csv").c_str(), &st));
  EXPECT_EQ(0444u, st.st_mode & 07777);

  // A copy in place that cannot be written whole (past the size limit, as on a full disk)
  // leaves every name of the file with its old contents.
  const pid_t pid = ::fork();
  if (pid == 0) {
    OutputFile f;
    const std::string text(200000, 'x');
    if (!f.open(path("linked.csv")) || std::fputs(text.c_str(), f.stream()) < 0 ||
        std::fflush(f.stream()) != 0)
      ::_exit(3);
    const struct rlimit limit = {65536, 65536};  // the temporary file is whole already
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(f.commit() ? 0 : f.error() == EFBIG ? 1 : 2);
  }
  int raw = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &raw, 0));
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
  EXPECT_EQ(rows, slurp(path("linked.csv")));
  EXPECT_EQ(rows, slurp(path("other-name.csv")));
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
  RunDescription described;
  described.columns = {"y_psnr", "y_ssim", "nowhere"};
  const std::unique_ptr<Report> csv = make_csv_report(described);
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
  RunResult result;
  result.table = &t;
  result.compared = 2;
  csv->on_end(result);
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
  test::AviVideo shorter = yv12_video(4, 8, 4, 50, {1, 3, 0, 2}, {0, 1, 2, 0});
  shorter.length = 6;
  ASSERT_TRUE(test::write_avi(path("short.avi"), shorter));
  const struct {
    std::string second;
    int status;
    const char* frames;
  } cases[] = {{b_, 0, "8x4 6 frames apsnr_cb apsnr_cr apsnr_y\n"},
               {path("short.avi"), 2, "8x4 4 frames apsnr_cb apsnr_cr apsnr_y\n"}};
  const std::string reader = std::string(VQ_SOURCE_DIR) + "/tests/xml/framework_reader.py";
  for (const auto& c : cases) {
    const Outcome r = run({a_, c.second, "--metric=psnr=enable_apsnr=true", "--metric=ssim",
                           "--xml=" + path("f.xml"), "--csv=" + path("f.csv")});
    EXPECT_EQ(c.status, r.status) << r.err;
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
  // A score named unusually, as the outputs allow, is read back under its name.
  ASSERT_TRUE(test::write_avi(path("a64.avi"), yv12_video(3, 64, 64)));
  ASSERT_TRUE(test::write_avi(path("b64.avi"), yv12_video(3, 64, 64, 50, {1, 3, 0})));
  const Outcome named = run({path("a64.avi"), path("b64.avi"), "--metric=vmaf=name=_vmaf.v2-b",
                             "--xml=" + path("n.xml"), "--csv=" + path("n.csv")});
  EXPECT_EQ(0, named.status) << named.err;
  const Outcome read = run_command("python3 " + quote(reader) + " " + quote(path("n.xml")) + " " +
                                   quote(path("n.csv")) + " _vmaf.v2-b");
  EXPECT_EQ(0, read.status) << read.err;
  EXPECT_EQ("64x64 3 frames \n", read.out);
}

// An XML report without its first and third lines: the version and the speed.
std::string xml_body(const std::string& xml) {
  std::string kept;
  std::istringstream lines(xml);
  int n = 0;
  for (std::string line; std::getline(lines, line);)
    if (++n != 1 && n != 3) kept += line + "\n";
  return kept;
}

// The same metrics as libvmaf's files in tests/reference were made with.
const std::vector<std::string> kCtcMetrics = {
    "--metric=psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5",
    "--metric=float_ssim=scale=1:enable_db=true:clip_db=true", "--metric=psnr_hvs"};

// The XML report is libvmaf's file byte for byte for the same pair and scores, in its order,
// but for the version and the speed: the scores one by one, and AOM's conditions (libvmaf's
// --aom_ctc v7.0 with threads, its file kept by reference/vmaf_cli.sh).
TEST_F(Outputs, XmlReportIsLibvmafsFile) {
  const std::string reference = std::string(VQ_SOURCE_DIR) + "/tests/reference";
  const std::string inputs = (fs::temp_directory_path() / "vidqual-reference-inputs").string();
  const struct {
    const char* pair;
    std::string file;
    std::vector<std::string> metrics;
  } cases[] = {
      {"p8_176x144", "libvmaf/p8_176x144.ctc_xml.xml", kCtcMetrics},
      {"p10_176x144", "libvmaf/p10_176x144.ctc_xml.xml", kCtcMetrics},
      {"p8_scaled_352x288", "vmaf_cli/aom_avm.file", {"--preset=aom-ctc-v7.0"}},
  };
  for (const auto& c : cases) {
    const std::string make = "command -v ffmpeg >/dev/null && bash " +
                             quote(reference + "/inputs.sh") + " " + quote(inputs) + " " + c.pair;
    if (run_command(make).status != 0) GTEST_SKIP() << "no ffmpeg to make the pairs";
    std::vector<std::string> args = {inputs + "/" + c.pair + ".ref.y4m",
                                     inputs + "/" + c.pair + ".dist.y4m", "--xml=" + path("o.xml")};
    args.insert(args.end(), c.metrics.begin(), c.metrics.end());
    const Outcome r = run(args);
    EXPECT_EQ(0, r.status) << r.err;
    const std::string want = xml_body(slurp(reference + "/" + c.file));
    ASSERT_NE(std::string::npos, want.find("psnr_hvs=")) << c.pair;
    EXPECT_EQ(want, xml_body(slurp(path("o.xml")))) << c.pair;
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
  const auto report = [&](const std::string& a, const std::string& b) {
    std::vector<std::string> args = {path(a), path(b), "--xml=" + path("o.xml")};
    args.insert(args.end(), kCtcMetrics.begin(), kCtcMetrics.end());
    EXPECT_EQ(0, run(args).status) << a << " " << b;
    return xml_body(slurp(path("o.xml")));
  };
  const std::string widened = report("a10.y4m", "b10.y4m");
  EXPECT_NE(std::string::npos, widened.find("psnr_hvs=")) << widened;
  EXPECT_EQ(widened, report("a10.y4m", "b8.y4m"));
  EXPECT_EQ(report("b10.y4m", "a10.y4m"), report("b8.y4m", "a10.y4m"));
}

#ifdef VQ_HAVE_JSON
// The per-frame file's score columns by name (pair, depth and chroma left out), the names in
// file order in *names.
std::map<std::string, std::vector<double>> csv_columns(const std::string& text,
                                                       std::vector<std::string>* names) {
  const auto cells = csv_cells(text);
  names->assign(cells.at(0).begin() + 1, cells.at(0).end() - 2);
  std::map<std::string, std::vector<double>> columns;
  for (size_t i = 1; i < cells.size(); ++i)
    for (size_t k = 0; k < names->size(); ++k)
      columns[(*names)[k]].push_back(std::stod(cells[i].at(k + 1)));
  return columns;
}

// The document agrees with the per-frame file: each pair's scores (in "metrics" and in the
// fields it has always had), each score pooled (min, max, both means, the nearest-rank 1st, 5th
// and 50th percentiles), each plane's summary of the report's PSNR and MSE, and the `worst`
// lowest pairs of every score (none: no list), lowest first, ties in pair order, by their index
// in "pairs" (from 0).
void expect_document_agrees(const nlohmann::json& doc,
                            const std::map<std::string, std::vector<double>>& columns,
                            size_t worst) {
  for (const auto& [name, values] : columns) {
    SCOPED_TRACE(name);
    const size_t n = values.size();
    ASSERT_EQ(n, doc["pairs"].size());
    double sum = 0, inverse = 0;
    for (size_t i = 0; i < n; ++i) {
      sum += values[i], inverse += 1 / (values[i] + 1);
      const auto& pair = doc["pairs"][i];
      EXPECT_EQ(values[i], pair["metrics"][name].get<double>()) << i;
      if (pair.contains(name)) {
        EXPECT_EQ(values[i], pair[name].get<double>()) << i;
      }
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const auto& pooled = doc["pooled_metrics"][name];
    EXPECT_NEAR(sum / double(n), pooled["mean"].get<double>(), 1e-12);
    EXPECT_NEAR(double(n) / inverse - 1, pooled["harmonic_mean"].get<double>(), 1e-9);
    EXPECT_EQ(sorted.front(), pooled["min"].get<double>());
    EXPECT_EQ(sorted.back(), pooled["max"].get<double>());
    for (const auto& [key, percent] : {std::pair{"p1", 1u}, {"p5", 5u}, {"p50", 50u}})
      EXPECT_EQ(sorted[std::max<size_t>(1, (percent * n + 99) / 100) - 1],
                pooled[key].get<double>())
          << key;
    if (worst == 0) continue;
    const auto& list = doc["worst_pairs"][name];
    ASSERT_EQ(worst, list.size());
    for (size_t k = 0; k < worst; ++k) {
      const int frame = list[k]["frame"];
      EXPECT_EQ(values.at(size_t(frame)), list[k]["value"].get<double>()) << k;
      EXPECT_EQ(sorted[k], list[k]["value"].get<double>()) << k;
      if (k > 0 && list[k]["value"] == list[k - 1]["value"]) {
        EXPECT_LT(list[k - 1]["frame"].get<int>(), frame) << k;
      }
    }
  }
  ASSERT_EQ(worst > 0, doc.contains("worst_pairs"));
  if (worst > 0) {
    EXPECT_EQ(doc["pooled_metrics"].size(), doc["worst_pairs"].size());
  }
  // Each plane's summary is the pooling of the report's columns.
  for (const std::string p : {"y", "u", "v"}) {
    const auto &plane = doc["planes"][p], &psnr = doc["pooled_metrics"][p + "_psnr"];
    const double mse = doc["pooled_metrics"][p + "_mse"]["mean"].get<double>();
    EXPECT_EQ(psnr["mean"], plane["mean_psnr"]) << p;
    EXPECT_EQ(psnr["min"], plane["min_psnr"]) << p;
    EXPECT_EQ(psnr["max"], plane["max_psnr"]) << p;
    EXPECT_EQ(mse, plane["mean_mse"].get<double>()) << p;
    // An error of 0 counts as 1e-05, as for a pair.
    EXPECT_NEAR(10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-5)),
                plane["psnr_of_mean_mse"].get<double>(), 1e-9)
        << p;
    const std::vector<double>& v = columns.at(p + "_psnr");
    EXPECT_EQ(std::min_element(v.begin(), v.end()) - v.begin() + 1, plane["worst_pair"]) << p;
  }
}

// The document read back by a JSON parser agrees with the banner and the per-frame file, also
// when the run stops early.
TEST_F(Outputs, JsonDocumentAgreesWithTheRunAndThePerFrameFile) {
  test::AviVideo shorter = yv12_video(4, 8, 4, 50, {1, 3, 0, 2}, {0, 1, 2, 0});
  shorter.length = 6;  // the header promises more frames than the file holds
  ASSERT_TRUE(test::write_avi(b_, shorter));
  const Outcome r = run(
      {a_, b_, "6", "-v", "--csv=" + path("f.csv"), "--json=" + path("f.json"), "--worst-pairs=2"});
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

  // The stdout and the per-frame file of such a run, byte for byte: e2e_test's
  // UnreadableFrameAndPerFrameFile; the file's columns: the test below.
  std::vector<std::string> names;
  auto columns = csv_columns(slurp(path("f.csv")), &names);
  ASSERT_EQ(4u, columns["y_psnr"].size());
  expect_document_agrees(doc, columns, 2);

  // A run that compares every pair: "ok", no limit, no list of worst pairs for 0, and the
  // document is written again.
  EXPECT_EQ(0, run({a_, a_, "--json=" + path("f.json"), "--worst-pairs=0"}).status);
  const auto ok = nlohmann::json::parse(slurp(path("f.json")));
  EXPECT_EQ("ok", ok["outcome"]);
  EXPECT_FALSE(ok.contains("worst_pairs"));
  EXPECT_TRUE(ok["max_frames"].is_null());
  EXPECT_EQ(6u, ok["pairs"].size());
}

// Every output file is the same for every thread count, and the document agrees with the
// per-frame file (--worst-pairs beyond the pairs lists them all); the page charts each column.
TEST_F(Outputs, EveryThreadCountWritesTheSameFilesAndTheyAgree) {
  std::map<std::string, std::string> first;
  for (const char* threads : {"1", "2", "3"}) {
    const Outcome r =
        run({a_, b_, "--ssim", "--metric=psnr=enable_mse=true:enable_apsnr=true",
             std::string("--threads=") + threads, "--csv=" + path("t.csv"),
             "--json=" + path("t.json"), "--html=" + path("t.html"), "--worst-pairs=99"});
    ASSERT_EQ(0, r.status) << r.err;
    std::map<std::string, std::string> files = data();
    files["stdout"] = r.out;
    if (first.empty()) {
      first = files;
    } else {
      EXPECT_EQ(first, files) << threads << " threads";
    }
  }
  std::vector<std::string> names;
  auto columns = csv_columns(first["t.csv"], &names);
  EXPECT_EQ(std::vector<std::string>({"y_psnr", "u_psnr", "v_psnr", "y_mse", "u_mse", "v_mse",
                                      "psnr_y", "mse_y", "psnr_cb", "mse_cb", "psnr_cr", "mse_cr",
                                      "y_ssim", "u_ssim", "v_ssim", "all_ssim"}),
            names);
  ASSERT_EQ(6u, columns["psnr_y"].size());
  const auto doc = nlohmann::json::parse(first["t.json"]);
  expect_document_agrees(doc, columns, 6);
  // The page draws every column once, a point per pair.
  size_t series = 0;
  for (size_t at = 0; (at = first["t.html"].find("data-pairs=\"6\"", at)) != std::string::npos;
       ++at)
    ++series;
  EXPECT_EQ(columns.size(), series);
  // A chart per family as the metrics describe their scores: y_psnr and psnr_cb are both PSNR.
  std::string charts;
  for (size_t at = 0; (at = first["t.html"].find("data-chart=\"", at)) != std::string::npos; ++at)
    charts += first["t.html"].substr(at + 12, first["t.html"].find('"', at + 12) - at - 12) + " ";
  EXPECT_EQ("PSNR MSE SSIM ", charts);
  // libvmaf's APSNR is the PSNR of the summed error: from the mean MSE at peak 255, capped.
  for (const auto& [plane, mse] : {std::pair{"y", "mse_y"}, {"cb", "mse_cb"}, {"cr", "mse_cr"}}) {
    double mean = 0;
    for (double v : columns[mse])
      mean += v / 6;
    if (mean > 0) {
      EXPECT_NEAR(10 * std::log10(65025 / mean),
                  doc["aggregate_metrics"][std::string("apsnr_") + plane].get<double>(), 1e-9);
    }
  }
}
// Each metric asked for adds a block after [PSNR] and [SSIM], headed by its family, a line per
// score with its pooled values as the document has them, and its scores on every -v line; a
// metric asked twice shows once, the report's own scores and --ssim's are not repeated, and with
// no metric asked stdout has the written blocks alone.
TEST_F(Outputs, ConsoleShowsTheMetricsAskedFor) {
  write_y4m(path("a.y4m"), 3, 1, 0, 8);
  write_y4m(path("b.y4m"), 3, 2, 0, 8);
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> headings;  // every heading of stdout, in order
    size_t scores;                      // lines in the blocks of the metrics
  } cases[] = {
      {{}, {"[PSNR]"}, 0},
      {{"--metric=float_ssim", "--metric=psnr_hvs"}, {"[PSNR]", "[FLOAT_SSIM]", "[PSNR_HVS]"}, 5},
      {{"--metric=float_ssim", "--ssim", "--metric=float_ssim"},
       {"[PSNR]", "[SSIM]", "[FLOAT_SSIM]"},
       1},
      {{"--metric=psnr=enable_mse=true"}, {"[PSNR]", "[PSNR]"}, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args = {path("a.y4m"), path("b.y4m"), "-v",
                                     "--json=" + path("c.json")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run(args);
    ASSERT_EQ(0, r.status) << r.err;
    const auto doc = nlohmann::json::parse(slurp(path("c.json")));
    EXPECT_FALSE(doc.contains("worst_pairs"));  // not asked for
    std::vector<std::string> headings, names;
    std::istringstream lines(r.out);
    int pair = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("[")) {
        headings.push_back(line);
      } else if (headings.size() > 1 && headings.back() != "[SSIM]") {
        std::istringstream words(line);
        std::string name, mean, min, max, harmonic;
        words >> name >> mean >> mean >> min >> min >> max >> max >> harmonic >> harmonic;
        names.push_back(name);
        char want[256];
        const auto& p = doc["pooled_metrics"][name];
        std::snprintf(want, sizeof want, "%.6f %.6f %.6f %.6f", p["mean"].get<double>(),
                      p["min"].get<double>(), p["max"].get<double>(),
                      p["harmonic_mean"].get<double>());
        EXPECT_EQ(want, mean + " " + min + " " + max + " " + harmonic) << line;
      } else if (line.find(": \t") == 3) {
        ++pair;
      }
    }
    EXPECT_EQ(c.headings, headings);
    EXPECT_EQ(c.scores, names.size());
    EXPECT_EQ(3, pair);
    for (const std::string& name : names) {
      for (int i = 0; i < 3; ++i) {
        char want[128];
        std::snprintf(want, sizeof want, " \t%s %.6f", name.c_str(),
                      doc["pairs"][i]["metrics"][name].get<double>());
        EXPECT_NE(std::string::npos, r.out.find(want)) << want;
      }
    }
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
  ASSERT_TRUE(test::write_avi(c, yv12_video(6, 8, 4, 50, {2, 2, 2, 0, 0, 5}, {1, 0, 0, 3, 0, 0})));
  ASSERT_TRUE(test::write_avi(d, yv12_video(4, 8, 4, 50, {0, 0, 1, 1}, {4, 4, 0, 0})));
  // Stdout after the version line and the blank after it.
  const auto after_banner = [](const std::string& out) { return out.substr(out.find("\n\n") + 2); };
  std::string want_out;
  std::map<std::string, std::string> want_csv;
  for (const auto& [name, file] : {std::pair{"b", b_}, {"c", c}, {"d", d}}) {
    std::vector<std::string> args = {a_, file, "-v",
                                     "--csv=" + path(std::string("one_") + name + ".csv")};
    if (json_available()) args.push_back("--json=" + path(std::string("one_") + name + ".json"));
    const Outcome one = run(args);
    ASSERT_EQ(0, one.status) << one.err;
    want_out += std::string(want_out.empty() ? "" : "\n") + "against [" + file + "]\n" +
                after_banner(one.out);
    want_csv[name] = slurp(path(std::string("one_") + name + ".csv"));
  }
  for (const char* threads : {"--threads=1", "--threads=2", "--threads=3"}) {
    SCOPED_TRACE(threads);
    std::vector<std::string> args = {a_, "--vs=" + b_, "--vs=" + c, "--vs=" + d, "-v", threads};
    args.push_back("--csv=" + path("all_{name}.csv"));
    if (json_available()) args.push_back("--json=" + path("all_{name}.json"));
    const Outcome all = run(args);
    ASSERT_EQ(0, all.status) << all.err;
    EXPECT_EQ(after_banner(all.out), want_out);
    for (const auto& [name, csv] : want_csv) {
      EXPECT_EQ(slurp(path("all_" + name + ".csv")), csv) << name;
      EXPECT_EQ(slurp(path("all_" + name + ".json")), slurp(path("one_" + name + ".json"))) << name;
    }
  }

  // maxframes is the one other positional argument.
  const Outcome three = run({a_, b_, "3", "-v"}), three_vs = run({a_, "3", "--vs=" + b_, "-v"});
  ASSERT_EQ(0, three_vs.status) << three_vs.err;
  EXPECT_EQ(after_banner(three_vs.out), "against [" + b_ + "]\n" + after_banner(three.out));

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

// What a line adds after its two files, and the same as arguments of the two-file command.
struct Extra {
  std::string text;
  std::vector<std::string> args;
};
const std::map<int, Extra> kExtras = {
    {3, {"--metric=ssim", {"--metric=ssim"}}},
    {5, {"2", {"2"}}},
    {7, {"-v", {"-v"}}},
    {8, {"--metric=psnr=enable_apsnr=true", {"--metric=psnr=enable_apsnr=true"}}},
    {9, {"\"--csv=OUT/line nine.csv\"", {}}},
    {10, {"\t--ssim  ", {"--ssim"}}}};

std::string distorted(int k) {
  return (k == 7 ? "d " : "d") + std::to_string(100 + k).substr(1) + ".y4m";
}
std::string quoted(const std::string& s) {
  return "\"" + s + "\"";
}

class Campaign : public FfmpegTest {
 protected:
  void SetUp() override {
    FfmpegTest::SetUp();
    if (IsSkipped()) return;
    // One source of 64 x 48 and twelve noisier copies of it, 3 frames each.
    std::string cmd = "cd " + quote(dir_.string()) +
                      " && ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                      "testsrc=size=64x48:rate=25 -frames:v 3 -pix_fmt yuv420p ref.y4m";
    for (int k = 0; k < 12; ++k)
      cmd += " -frames:v 3 -pix_fmt yuv420p -vf noise=alls=" + std::to_string(2 + 3 * k) +
             ":allf=t " + quote(distorted(k));
    ASSERT_EQ(0, std::system(cmd.c_str())) << cmd;
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "logs");
    shared_ = {"--csv=" + path("out/{index}.csv")};
    if (json_available()) shared_.push_back("--json=" + path("out/{name}.json"));
  }

  // The files line `k` writes, by kind.
  std::map<std::string, std::string> outputs(int k) const {
    std::map<std::string, std::string> o = {
        {"csv", path(k == 9 ? "out/line nine.csv" : "out/" + std::to_string(k) + ".csv")}};
    if (json_available())
      o["json"] = path("out/" + fs::path(distorted(k)).stem().string() + ".json");
    return o;
  }

  // Starts task `k` of the job array, its index in JOB_COMPLETION_INDEX as the scheduler sets it.
  pid_t spawn(int k, const std::string& manifest) const {
    std::vector<std::string> args = {"--manifest=" + manifest,
                                     "--manifest-index=env:JOB_COMPLETION_INDEX"};
    args.insert(args.end(), shared_.begin(), shared_.end());
    const int out = ::open(log(k, "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid =
        vq::spawn(args, out, log(k, "err"), "JOB_COMPLETION_INDEX=" + std::to_string(k));
    ::close(out);
    return pid;
  }
  std::string log(int k, const char* which) const {
    return (dir_ / "logs" / (std::to_string(k) + "." + which)).string();
  }

  // Runs the tasks `first` to `last`, four at a time; the exit status of each.
  std::map<int, int> run_array(int first, int last, const std::string& manifest) const {
    std::map<pid_t, int> running;
    std::map<int, int> status;
    for (int next = first; next <= last || !running.empty();) {
      while (next <= last && running.size() < 4)
        running[spawn(next, manifest)] = next, ++next;
      int raw = 0;
      const pid_t done = ::waitpid(-1, &raw, 0);
      if (done < 0) break;
      if (!running.count(done)) continue;
      status[running[done]] = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
      running.erase(done);
    }
    return status;
  }

  // Every file of the output folder, hidden ones (temporary files) included; the lock files,
  // which stay, left out.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "out")) {
      const std::string name = e.path().filename().string();
      if (!(name.starts_with(".") && name.ends_with(".lock"))) names.insert(name);
    }
    return names;
  }

  // Checks the files of line `k` against `want`: by kind, the two-file command's bytes (the
  // JSON document's own index left out).
  void check_files(int k, std::map<std::string, std::string>& want) const {
    for (const auto& [kind, file] : outputs(k)) {
      if (kind != "json") {
        EXPECT_EQ(want[kind], slurp(file)) << k << " " << kind;
        continue;
      }
#ifdef VQ_HAVE_JSON
      nlohmann::ordered_json got = nlohmann::ordered_json::parse(slurp(file));
      EXPECT_EQ(k, got.value("manifest_index", -1)) << file;
      nlohmann::ordered_json wanted = nlohmann::ordered_json::parse(want[kind]);
      got.erase("manifest_index");
      wanted.erase("manifest_index");
      EXPECT_EQ(wanted, got) << k << " " << kind;
#endif
    }
  }

  std::vector<std::string> shared_;  // the options of the command line, for every line
};

ino_t inode(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Campaign, JobArrayRerunCompletesEveryLineOnce) {
  // What each line must give: the two-file command's stdout, stderr and files for its pair.
  std::string want_out[12], want_err[12];
  std::map<std::string, std::string> want_files[12];
  std::string text = "# twelve encodes of one source\n\n";
  for (int k = 0; k < 12; ++k) {
    const Extra extra = kExtras.count(k) ? kExtras.at(k) : Extra{};
    std::vector<std::string> args = {path("ref.y4m"), path(distorted(k)), "--csv=" + path("o.csv")};
    if (json_available()) args.push_back("--json=" + path("o.json"));
    args.insert(args.end(), extra.args.begin(), extra.args.end());
    const Outcome r = run(args);
    ASSERT_EQ(0, r.status) << k << " " << r.err;
    want_out[k] = r.out, want_err[k] = r.err;
    want_files[k]["csv"] = slurp(path("o.csv"));
    if (json_available()) want_files[k]["json"] = slurp(path("o.json"));
    std::string own = extra.text;
    if (const size_t at = own.find("OUT/"); at != std::string::npos)
      own.replace(at, 4, path("out/"));
    text += (k == 8 ? "  # the second half\n" : "") + quoted(path("ref.y4m")) + " " +
            quoted(path(distorted(k))) + " " + own + "\n";
  }
  const std::string manifest = path("campaign.txt");
  std::ofstream(manifest) << text;
  const std::string banner = want_out[0].substr(0, want_out[0].find("\n\n") + 2);
  const auto check_files = [&](int k) { Campaign::check_files(k, want_files[k]); };

  // The whole manifest in one process: stdout and stderr those of each line in turn, each
  // line's block headed by its line, a blank line between blocks.
  std::vector<std::string> all = {"--manifest=" + manifest};
  all.insert(all.end(), shared_.begin(), shared_.end());
  Outcome r = run(all);
  ASSERT_EQ(0, r.status) << r.err;
  std::string texts = banner, notes;
  for (int k = 0; k < 12; ++k) {
    texts += (k ? "\nline " : "line ") + std::to_string(k) + ": [" + path("ref.y4m") + "] [" +
             path(distorted(k)) + "]\n" + want_out[k].substr(banner.size());
    notes += want_err[k], check_files(k);
  }
  EXPECT_EQ(texts, r.out);
  EXPECT_EQ(notes, r.err);
  fs::remove_all(dir_ / "out");
  fs::create_directories(dir_ / "out");

  // The job array; task 11 is killed (SIGKILL, as the kernel kills for memory) while it waits
  // for its distorted file (a pipe nobody writes), its temporary files left behind.
  const std::string d11 = path(distorted(11));
  fs::rename(d11, path("d11.real"));
  ASSERT_EQ(0, ::mkfifo(d11.c_str(), 0644));
  const pid_t stuck = spawn(11, manifest);
  for (const auto& [k, status] : run_array(0, 10, manifest))
    EXPECT_EQ(0, status) << k << " " << slurp(log(k, "err"));
  const auto stuck_open = [&] {
    for (const std::string& name : listing())
      if (name.starts_with(".11.csv.")) return true;
    return false;
  };
  for (int tries = 0; tries < 500 && !stuck_open(); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(stuck_open()) << slurp(log(11, "err"));
  ASSERT_EQ(0, ::kill(stuck, SIGKILL));
  int raw = 0;
  ASSERT_EQ(stuck, ::waitpid(stuck, &raw, 0));
  EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGKILL) << raw;
  EXPECT_TRUE(stuck_open());
  fs::remove(d11);
  fs::rename(path("d11.real"), d11);
  // Outputs lost since: both of line 2's, one of line 6's.
  for (const auto& [kind, file] : outputs(2))
    fs::remove(file);
  fs::remove(outputs(6).rbegin()->second);
  std::map<std::string, ino_t> kept;
  for (int k = 0; k < 12; ++k)
    for (const auto& [kind, file] : outputs(k))
      kept[file] = inode(file);

  // The whole array again: the unfinished lines run (the killed one's leftovers removed), the
  // others are skipped untouched.
  const std::map<int, int> again = run_array(0, 11, manifest);
  std::set<std::string> expected;
  for (int k = 0; k < 12; ++k) {
    const bool redone = k == 2 || k == 6 || k == 11;
    EXPECT_EQ(0, again.at(k)) << k;
    EXPECT_EQ(redone ? want_out[k] : banner, slurp(log(k, "out"))) << k;
    EXPECT_EQ(
        redone ? want_err[k] : "vidqual: skipped line " + std::to_string(k) + ": output exists\n",
        slurp(log(k, "err")));
    for (const auto& [kind, file] : outputs(k)) {
      if (!redone) {
        EXPECT_EQ(kept[file], inode(file)) << k << " " << kind << " written again";
      }
      expected.insert(fs::path(file).filename().string());
    }
    check_files(k);
  }
  EXPECT_EQ(expected, listing());  // each once, and no temporary file left behind

  // A last run of the whole manifest finds nothing to do.
  r = run(all);
  std::string skipped;
  for (int k = 0; k < 12; ++k)
    skipped += "vidqual: skipped line " + std::to_string(k) + ": output exists\n";
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(banner, r.out);
  EXPECT_EQ(skipped, r.err);
}

// Two campaigns of one manifest at once (a resubmission while the first still runs): each line
// is computed by one of them, the other skips it, and every result is whole. The last line's
// distorted file is a pipe, so that whichever takes that line first holds it until the pipe is
// fed: the other must skip it as being written.
TEST_F(Campaign, TwoCampaignsAtOnceComputeEachLineOnce) {
  std::string text;
  for (int k = 0; k < 12; ++k)
    text += quoted(path("ref.y4m")) + " " + quoted(path(distorted(k))) + "\n";
  const std::string manifest = path("campaign.txt");
  std::ofstream(manifest) << text;
  std::vector<std::string> args = {"--manifest=" + manifest};
  args.insert(args.end(), shared_.begin(), shared_.end());
  ASSERT_EQ(0, run(args).status);
  std::map<std::string, std::string> want[12];
  for (int k = 0; k < 12; ++k)
    for (const auto& [kind, file] : outputs(k))
      want[k][kind] = slurp(file);
  fs::remove_all(dir_ / "out");
  fs::create_directories(dir_ / "out");

  const std::string d11 = path(distorted(11)), real = slurp(d11);
  fs::remove(d11);
  ASSERT_EQ(0, ::mkfifo(d11.c_str(), 0644));
  std::map<pid_t, int> campaign;
  for (int c = 0; c < 2; ++c) {
    const int out = ::open(log(c, "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    campaign[vq::spawn(args, out, log(c, "err"))] = c;
    ::close(out);
  }
  // The one that did not take the last line ends first (both would wait on the pipe for ever,
  // were the line not locked); then the pipe is fed.
  int raw = 0;
  pid_t first = 0;
  for (int tries = 0; tries < 3000 && first == 0; ++tries) {
    first = ::waitpid(-1, &raw, WNOHANG);
    if (first == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (first <= 0) {
    for (const auto& [pid, c] : campaign)
      ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    FAIL() << "both campaigns wait on line 11";
  }
  ASSERT_TRUE(campaign.count(first));
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
  std::ofstream(d11, std::ios::binary) << real;
  const pid_t second =
      campaign.begin()->first == first ? campaign.rbegin()->first : campaign.begin()->first;
  ASSERT_EQ(second, ::waitpid(second, &raw, 0));
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;

  std::string out[2], err[2];
  for (int c = 0; c < 2; ++c)
    out[c] = slurp(log(c, "out")), err[c] = slurp(log(c, "err"));
  const std::string busy = "vidqual: skipped line 11: another task is writing its outputs\n";
  EXPECT_NE(std::string::npos, err[campaign[first]].find(busy)) << err[campaign[first]];
  for (int k = 0; k < 12; ++k) {
    const std::string head = "line " + std::to_string(k) + ": [";
    const std::string skip = "vidqual: skipped line " + std::to_string(k) + ": ";
    int ran = 0;
    for (int c = 0; c < 2; ++c) {
      const bool here = out[c].find(head) != std::string::npos;
      ran += here;
      EXPECT_NE(here, err[c].find(skip) != std::string::npos) << k << " " << c << err[c];
    }
    EXPECT_EQ(1, ran) << "line " << k << " computed " << ran << " times";
    // Read from a pipe, line 11's input has no length known beforehand: its CSV is compared.
    if (k < 11)
      check_files(k, want[k]);
    else
      EXPECT_EQ(want[k]["csv"], slurp(outputs(k)["csv"]));
  }
  for (const std::string& name : listing())
    EXPECT_FALSE(name.starts_with(".")) << name << " left behind";
}

// Only a line that ended with status 0 counts as done: a cut-short encode fails its line, whose
// outputs are kept apart (a framework would take a partial file for the whole run), and every
// rerun runs it again until it succeeds.
TEST_F(Campaign, FailedLineRunsAgainUntilItSucceeds) {
  const std::string d0 = path(distorted(0)), whole = slurp(d0);
  std::ofstream(d0, std::ios::binary) << whole.substr(0, whole.size() - 100);
  std::ofstream(path("m.txt")) << quoted(path("ref.y4m")) + " " + quoted(d0) + "\n";
  std::vector<std::string> args = {"--manifest=" + path("m.txt"), "--manifest-index=0"};
  args.insert(args.end(), shared_.begin(), shared_.end());
  std::set<std::string> apart;
  for (const auto& [kind, file] : outputs(0))
    apart.insert(fs::path(file).filename().string() + ".failed");
  for (int round = 0; round < 2; ++round) {
    const Outcome r = run(args);
    EXPECT_EQ(2, r.status) << round;
    EXPECT_NE(std::string::npos, r.err.find("0.csv] is kept as [" + path("out/0.csv.failed")))
        << r.err;
    EXPECT_NE(std::string::npos, r.err.find("vidqual: line 0 failed")) << r.err;
    EXPECT_EQ(apart, listing()) << round;
  }
  std::ofstream(d0, std::ios::binary) << whole;
  EXPECT_EQ(0, run(args).status);
  std::set<std::string> done;
  for (const auto& [kind, file] : outputs(0))
    done.insert(fs::path(file).filename().string());
  EXPECT_EQ(done, listing());
  EXPECT_EQ("vidqual: skipped line 0: output exists\n", run(args).err);
}

// A refused manifest or command line runs nothing and writes nothing; a line that fails is told
// of by its index, the lines after it run, and the worst status is the campaign's.
TEST_F(Campaign, RefusalsAndFailedLines) {
  const std::string ref = quoted(path("ref.y4m")), d0 = quoted(path("d00.y4m"));
  const std::string two = ref + " " + d0 + "\n" + ref + " " + quoted(path("d01.y4m")) + "\n";
  std::ofstream(path("big.txt")) << std::string(size_t(kManifestMaxBytes) + 1, '#');
  fs::create_directories(path("folder"));
  const std::string csv = "--csv=" + path("out/{index}.csv");
  ::setenv("VQ_EMPTY", "", 1);
  // The manifest (or "" for --manifest=arg), one more argument, the status, a piece of stderr and
  // the files written.
  const struct {
    std::string text, arg;
    int status;
    std::string err, written;
  } cases[] = {
      {"", path("none.txt"), 1, "none.txt]: No such file or directory\n", ""},
      {"", path("folder"), 1, "folder]: Is a directory\n", ""},
      {"", path("big.txt"), 1, "the manifest is larger than 16 MiB\n", ""},
      {two + ref + "\n", "", 1, "line 3 (index 2): a line names the reference and the", ""},
      {two, "--csv=" + path("out/all.csv"), 1, "all.csv] is written by index 0 too", ""},
      {two, "--threads=1", 1, "(index 0): names no output", ""},
      {two, "--manifest-index=2", 1, "index 2 is out of range: the manifest has 2 lines (0 to", ""},
      {two, "--manifest-index=env:VQ_NOT_SET", 1, "VQ_NOT_SET is not set\n", ""},
      {two, "--manifest-index=env:VQ_EMPTY", 1, "VQ_EMPTY is set but empty\n", ""},
      {two, "--manifest-index=-1", 1, "[--manifest-index=-1]: not an index (a number from 0)\n",
       ""},
      {two, path("ref.y4m"), 1, "with --manifest the files come from the manifest\n", ""},
      {two, "--vs=" + path("d00.y4m"), 1, "--vs and --manifest cannot both be given", ""},
      {ref + " " + quoted(path("gone.y4m")) + "\n" + two, "", 2,
       "vidqual: line 0 failed (manifest line 1, [" + path("ref.y4m") + "] and [" +
           path("gone.y4m") + "]): status 2\n",
       "1.csv 2.csv "},
      {ref + " " + d0 + " --metric=psnr\n" + two, "--ssim", 0,
       "note: line 0 names its own metrics; the command line's --metric does not apply\n",
       "0.csv 1.csv 2.csv "},
      {two + ref + " " + d0 + " --metric=nope\n" + two, "", 1,
       "no metric is named 'nope' (--help lists them)\nvidqual: line 2 failed (manifest line 3",
       "0.csv 1.csv 3.csv 4.csv "},
  };
  for (const auto& c : cases) {
    std::ofstream(path("m.txt")) << c.text;
    std::vector<std::string> args = {"--manifest=" + (c.text.empty() ? c.arg : path("m.txt"))};
    if (!c.arg.starts_with("--csv") && !c.arg.starts_with("--threads")) args.push_back(csv);
    if (!c.text.empty() && !c.arg.empty()) args.push_back(c.arg);
    const Outcome r = run(args);
    EXPECT_EQ(c.status, r.status) << c.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    std::string written;
    for (const std::string& name : listing())
      written += name + " ";
    EXPECT_EQ(c.written, written) << c.err;
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out");
  }
  const Outcome r = run({path("ref.y4m"), path("d00.y4m"), "--manifest-index=0"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("vidqual: --manifest-index picks a line of --manifest=FILE, which is not given\n",
            r.err);
}

}  // namespace
}  // namespace vq
