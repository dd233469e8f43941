// Campaigns through the real binary: twelve pairs run as an indexed job array (four tasks at a
// time, one killed part way, some outputs lost), then run again; refused manifests and failed
// lines. Skipped, visibly, without FFmpeg's CLI to make the pairs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "app/app.h"
#include "report/report.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

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

class Campaign : public BinaryTest {
 protected:
  void SetUp() override {
    BinaryTest::SetUp();
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg CLI";
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
    std::vector<std::string> args = {VIDQUAL_BINARY, "--manifest=" + manifest,
                                     "--manifest-index=env:JOB_COMPLETION_INDEX"};
    args.insert(args.end(), shared_.begin(), shared_.end());
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string index = std::to_string(k), out = log(k, "out"), err = log(k, "err");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("JOB_COMPLETION_INDEX", index.c_str(), 1);
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
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

  // Every file of the output folder, hidden ones (temporary files) included.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "out"))
      names.insert(e.path().filename().string());
    return names;
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
  const auto check_files = [&](int k) {
    for (const auto& [kind, file] : outputs(k))
      EXPECT_EQ(want_files[k][kind], slurp(file)) << k << " " << kind;
  };

  // The whole manifest in one process: stdout and stderr those of each line in turn.
  std::vector<std::string> all = {"--manifest=" + manifest};
  all.insert(all.end(), shared_.begin(), shared_.end());
  Outcome r = run(all);
  ASSERT_EQ(0, r.status) << r.err;
  std::string texts = banner, notes;
  for (int k = 0; k < 12; ++k)
    texts += want_out[k].substr(banner.size()), notes += want_err[k], check_files(k);
  EXPECT_EQ(texts, r.out);
  EXPECT_EQ(notes, r.err);
  fs::remove_all(dir_ / "out");
  fs::create_directories(dir_ / "out");

  // The job array; task 11 is killed while it waits for its distorted file (a pipe nobody
  // writes), its outputs open.
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
  ASSERT_EQ(0, ::kill(stuck, SIGTERM));
  int raw = 0;
  ASSERT_EQ(stuck, ::waitpid(stuck, &raw, 0));
  EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << raw;
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

  // The whole array again: the unfinished lines run, the others are skipped untouched.
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

// A refused manifest or command line runs nothing and writes nothing; a line that fails is told
// of by its index, the lines after it run, and the worst status is the campaign's.
TEST_F(Campaign, RefusalsAndFailedLines) {
  const std::string ref = quoted(path("ref.y4m")), d0 = quoted(path("d00.y4m"));
  const std::string two = ref + " " + d0 + "\n" + ref + " " + quoted(path("d01.y4m")) + "\n";
  std::ofstream(path("big.txt")) << std::string(size_t(kManifestMaxBytes) + 1, '#');
  fs::create_directories(path("folder"));
  const std::string csv = "--csv=" + path("out/{index}.csv");
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
      {two + ref + " " + d0 + " --colour=red", "", 1, "[--colour=red]: not an option", ""},
      {two, "--csv=" + path("out/all.csv"), 1, "all.csv] is written by index 0 too", ""},
      {two, "--threads=1", 1, "(index 0): names no output", ""},
      {two, "--manifest-index=2", 1, "index 2 is out of range: the manifest has 2 lines (0 to", ""},
      {two, "--manifest-index=env:VQ_NOT_SET", 1, "VQ_NOT_SET is not set\n", ""},
      {two, "--manifest-index=-1", 1, "[--manifest-index=-1]: not an index (a number from 0)\n",
       ""},
      {two, path("ref.y4m"), 1, "with --manifest the files come from the manifest\n", ""},
      {ref + " " + quoted(path("gone.y4m")) + "\n" + two, "", 2,
       "vidqual: line 0 failed (manifest line 1, [" + path("ref.y4m") + "] and [" +
           path("gone.y4m") + "]): status 2\n",
       "1.csv 2.csv "},
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
