// Campaigns through the real binary: a manifest of twelve pairs run as an indexed job array (four
// tasks at a time, one killed part way, some outputs lost), then run again; and the manifests and
// command lines that are refused. Skipped, visibly, without FFmpeg's CLI to make the pairs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "report/report.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

// One line of the campaign: the distorted file, what the line adds after the two files, the
// same as arguments of the two-file command, and the per-pair file the line names itself.
struct Line {
  std::string distorted;
  std::string text;
  std::vector<std::string> args;
  std::string own_csv;
};

const Line kLines[12] = {
    {"d00.y4m", "", {}, ""},
    {"d01.y4m", "", {}, ""},
    {"d02.y4m", "", {}, ""},
    {"d03.y4m", "--metric=ssim", {"--metric=ssim"}, ""},
    {"d04.y4m", "", {}, ""},
    {"d05.y4m", "2", {"2"}, ""},
    {"d06.y4m", "", {}, ""},
    {"d 07.y4m", "-v", {"-v"}, ""},
    {"d08.y4m", "--metric=psnr=enable_apsnr=true", {"--metric=psnr=enable_apsnr=true"}, ""},
    {"d09.y4m", "\"--csv=OUT/line nine.csv\"", {}, "line nine.csv"},
    {"d10.y4m", "\t--ssim  ", {"--ssim"}, ""},
    {"d11.y4m", "", {}, ""},
};

class Campaign : public BinaryTest {
 protected:
  void SetUp() override {
    BinaryTest::SetUp();
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg CLI";
    // One source, twelve noisier copies of it: 64 x 48, 3 frames each.
    std::string cmd = "cd " + quote(dir_.string()) +
                      " && ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
                      "testsrc=size=64x48:rate=25 -frames:v 3 -pix_fmt yuv420p ref.y4m";
    for (int k = 0; k < 12; ++k)
      cmd += " -frames:v 3 -pix_fmt yuv420p -vf noise=alls=" + std::to_string(2 + 3 * k) +
             ":allf=t " + quote(kLines[k].distorted);
    ASSERT_EQ(0, std::system(cmd.c_str())) << cmd;
    fs::create_directories(dir_ / "out");
    fs::create_directories(dir_ / "logs");
  }

  // The manifest: the twelve lines between comments and blank lines.
  std::string write_manifest() {
    std::string text = "# twelve encodes of one source\n\n";
    for (int k = 0; k < 12; ++k) {
      if (k == 4) text += "   \n";
      if (k == 8) text += "  # the second half\n";
      std::string own = kLines[k].text;
      if (const size_t at = own.find("OUT/"); at != std::string::npos)
        own.replace(at, 4, path("out/"));
      text += quote_manifest(path("ref.y4m")) + " " + quote_manifest(path(kLines[k].distorted)) +
              " " + own + "\n";
    }
    std::ofstream(path("campaign.txt")) << text;
    return path("campaign.txt");
  }
  static std::string quote_manifest(const std::string& s) { return "\"" + s + "\""; }

  // The options of the command line that apply to every line.
  std::vector<std::string> shared() const {
    std::vector<std::string> a = {"--csv=" + path("out/{index}.csv")};
    if (json_available()) a.push_back("--json=" + path("out/{name}.json"));
    return a;
  }

  // The files line `k` writes, by kind.
  std::map<std::string, std::string> outputs(int k) const {
    std::map<std::string, std::string> o;
    o["csv"] =
        path("out/" + (kLines[k].own_csv.empty() ? std::to_string(k) + ".csv" : kLines[k].own_csv));
    if (json_available())
      o["json"] = path("out/" + fs::path(kLines[k].distorted).stem().string() + ".json");
    return o;
  }

  // Starts one task of the job array, its index in JOB_COMPLETION_INDEX as the scheduler sets it.
  pid_t spawn(int k, const std::string& manifest) const {
    std::vector<std::string> args = {VIDQUAL_BINARY, "--manifest=" + manifest,
                                     "--manifest-index=env:JOB_COMPLETION_INDEX"};
    for (const std::string& a : shared())
      args.push_back(a);
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string index = std::to_string(k);
    const std::string out = log(k, "out"), err = log(k, "err");
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

  // Runs the tasks `indices`, `parallel` at a time; the exit status of each.
  std::map<int, int> run_array(const std::vector<int>& indices, const std::string& manifest,
                               int parallel) const {
    std::map<pid_t, int> running;
    std::map<int, int> status;
    size_t next = 0;
    while (next < indices.size() || !running.empty()) {
      while (next < indices.size() && int(running.size()) < parallel) {
        const int k = indices[next++];
        running[spawn(k, manifest)] = k;
      }
      int raw = 0;
      const pid_t done = ::waitpid(-1, &raw, 0);
      if (done < 0) break;
      const auto it = running.find(done);
      if (it == running.end()) continue;
      status[it->second] = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
      running.erase(it);
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
};

ino_t inode(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(Campaign, JobArrayRerunCompletesEveryLineOnce) {
  // What each line must give: the two-file command's stdout and files for the same pair.
  struct Want {
    std::string out, err;
    std::map<std::string, std::string> files;
  } want[12];
  fs::create_directories(dir_ / "two");
  for (int k = 0; k < 12; ++k) {
    std::vector<std::string> args = {path("ref.y4m"), path(kLines[k].distorted)};
    args.insert(args.end(), kLines[k].args.begin(), kLines[k].args.end());
    args.push_back("--csv=" + path("two/o.csv"));
    if (json_available()) args.push_back("--json=" + path("two/o.json"));
    const Outcome r = run(args);
    ASSERT_EQ(0, r.status) << k << " " << r.err;
    want[k].out = r.out;
    want[k].err = r.err;
    want[k].files["csv"] = slurp(path("two/o.csv"));
    if (json_available()) want[k].files["json"] = slurp(path("two/o.json"));
  }
  const std::string banner = want[0].out.substr(0, want[0].out.find("\n\n") + 2);
  ASSERT_EQ(0u, banner.find("VIDQUAL v"));
  const std::string manifest = write_manifest();
  const auto check_files = [&](int k) {
    for (const auto& [kind, file] : outputs(k))
      EXPECT_EQ(want[k].files[kind], slurp(file)) << k << " " << kind;
  };

  // The whole manifest in one process: every line in turn, stdout each line's report.
  std::vector<std::string> all = {"--manifest=" + manifest};
  for (const std::string& a : shared())
    all.push_back(a);
  Outcome r = run(all);
  ASSERT_EQ(0, r.status) << r.err;
  std::string texts = banner, notes;
  for (int k = 0; k < 12; ++k) {
    texts += want[k].out.substr(banner.size());
    notes += want[k].err;
  }
  EXPECT_EQ(texts, r.out);
  EXPECT_EQ(notes, r.err);
  for (int k = 0; k < 12; ++k)
    check_files(k);
  fs::remove_all(dir_ / "out");
  fs::create_directories(dir_ / "out");

  // The job array, four tasks at a time; task 11 is killed while it waits for its distorted
  // file (a pipe nobody writes yet), its outputs already open.
  const std::string d11 = path(kLines[11].distorted);
  fs::rename(d11, path("d11.real"));
  ASSERT_EQ(0, ::mkfifo(d11.c_str(), 0644));
  const pid_t stuck = spawn(11, manifest);
  std::vector<int> first(11);
  for (int k = 0; k < 11; ++k)
    first[k] = k;
  const std::map<int, int> one = run_array(first, manifest, 4);
  for (int k = 0; k < 11; ++k)
    EXPECT_EQ(0, one.at(k)) << k << " " << slurp(log(k, "err"));
  const auto waiting = [&] {
    for (const std::string& name : listing())
      if (name.starts_with(".11.csv.")) return true;
    return false;
  };
  for (int tries = 0; tries < 500 && !waiting(); ++tries)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(waiting()) << "task 11 never opened its outputs: " << slurp(log(11, "err"));
  ASSERT_EQ(0, ::kill(stuck, SIGTERM));
  int raw = 0;
  ASSERT_EQ(stuck, ::waitpid(stuck, &raw, 0));
  EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << raw;
  fs::remove(d11);
  fs::rename(path("d11.real"), d11);
  for (const auto& [kind, file] : outputs(11))
    EXPECT_FALSE(fs::exists(file)) << kind;

  // Outputs lost since: both of line 2's, one of line 6's.
  for (const auto& [kind, file] : outputs(2))
    fs::remove(file);
  fs::remove(outputs(6).rbegin()->second);
  std::map<std::string, ino_t> kept;
  for (int k = 0; k < 12; ++k)
    for (const auto& [kind, file] : outputs(k))
      kept[file] = inode(file);

  // The whole array again: the unfinished lines run, the others are skipped untouched.
  std::vector<int> every(12);
  for (int k = 0; k < 12; ++k)
    every[k] = k;
  const std::map<int, int> two = run_array(every, manifest, 4);
  const std::set<int> redone = {2, 6, 11};
  std::set<std::string> expected;
  for (int k = 0; k < 12; ++k) {
    const std::string err = slurp(log(k, "err"));
    EXPECT_EQ(0, two.at(k)) << k << " " << err;
    if (redone.count(k)) {
      EXPECT_EQ(want[k].out, slurp(log(k, "out"))) << k;
      EXPECT_EQ(want[k].err, err) << k;
    } else {
      EXPECT_EQ(banner, slurp(log(k, "out"))) << k;
      EXPECT_EQ("vidqual: skipped line " + std::to_string(k) + ": output exists\n", err);
      for (const auto& [kind, file] : outputs(k))
        EXPECT_EQ(kept[file], inode(file)) << k << " " << kind << " was written again";
    }
    check_files(k);
    for (const auto& [kind, file] : outputs(k))
      expected.insert(fs::path(file).filename().string());
  }
  EXPECT_EQ(expected, listing());  // each once, and no temporary file left behind

  // A last run of the whole manifest finds nothing to do.
  r = run(all);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(banner, r.out);
  std::string skipped;
  for (int k = 0; k < 12; ++k)
    skipped += "vidqual: skipped line " + std::to_string(k) + ": output exists\n";
  EXPECT_EQ(skipped, r.err);
}

// Refused manifests and command lines leave the output folder empty and run nothing; a line
// that fails is told of by its index and the lines after it still run.
TEST_F(Campaign, RefusalsAndFailedLines) {
  const std::string ref = quote_manifest(path("ref.y4m"));
  const std::string d0 = quote_manifest(path("d00.y4m")), d1 = quote_manifest(path("d01.y4m"));
  const std::string two = ref + " " + d0 + "\n" + ref + " " + d1 + "\n";
  std::ofstream(path("big.txt")) << std::string(size_t(kManifestMaxBytes) + 1, '#');
  fs::create_directories(path("folder"));
  const std::string csv = "--csv=" + path("out/{index}.csv");
  const struct {
    std::string text;  // the manifest written to m.txt
    std::vector<std::string> args;
    int status;
    std::string err;
    std::set<std::string> written;
  } cases[] = {
      {two,
       {"--manifest=" + path("none.txt"), csv},
       1,
       "vidqual: can't read the manifest [" + path("none.txt") + "]: No such file or directory\n",
       {}},
      {two, {"--manifest=" + path("folder"), csv}, 1, "]: Is a directory\n", {}},
      {two, {"--manifest=" + path("big.txt"), csv}, 1, "the manifest is larger than 16 MiB\n", {}},
      {ref + " " + d0 + "\n" + ref + "\n",
       {csv},
       1,
       "manifest line 2 (index 1): a line names the reference and the distorted file first\n",
       {}},
      {ref + " " + d0 + " --colour=red\n",
       {csv},
       1,
       "manifest line 1 (index 0): [--colour=red]: not an option vidqual knows",
       {}},
      {ref + " \"" + path("d00.y4m") + "\n",
       {csv},
       1,
       "manifest line 1: a double quote is not closed\n",
       {}},
      {two, {"--csv=" + path("out/all.csv")}, 1, "is written by index 0 too", {}},
      {two, {"--threads=1"}, 1, "(index 0): names no output", {}},
      {two,
       {csv, "--manifest-index=2"},
       1,
       "[--manifest-index=2]: index 2 is out of range: the manifest has 2 lines (0 to 1)\n",
       {}},
      {two,
       {csv, "--manifest-index=env:VQ_TEST_NOT_SET"},
       1,
       "the environment variable VQ_TEST_NOT_SET is not set\n",
       {}},
      {two, {csv, path("ref.y4m")}, 1, "with --manifest the files come from the manifest\n", {}},
      // The lines run; the one that fails is named and the worst status is the run's.
      {ref + " " + quote_manifest(path("gone.y4m")) + "\n" + two,
       {csv},
       2,
       "vidqual: line 0 failed (manifest line 1, [" + path("ref.y4m") + "] and [" +
           path("gone.y4m") + "]): status 2\n",
       {"1.csv", "2.csv"}},
      {ref + " " + d0 + "\n" + ref + " " + d1 + " --metric=nope\n" + two,
       {csv},
       1,
       "vidqual: [--metric=nope]: no metric is named 'nope' (--help lists them)\nvidqual: line 1 "
       "failed (manifest line 2, [" +
           path("ref.y4m") + "] and [" + path("d01.y4m") + "]): status 1\n",
       {"0.csv", "2.csv", "3.csv"}},
  };
  for (const auto& c : cases) {
    std::ofstream(path("m.txt")) << c.text;
    std::vector<std::string> args = c.args;
    if (!args[0].starts_with("--manifest="))
      args.insert(args.begin(), "--manifest=" + path("m.txt"));
    const Outcome r = run(args);
    EXPECT_EQ(c.status, r.status) << c.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    if (c.written.empty()) {
      EXPECT_EQ(0u, r.out.find("VIDQUAL v")) << r.out;
    }
    EXPECT_EQ(c.written, listing()) << c.err;
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
