// Runs the real binary as a script would: stdin from /dev/null, stdout and stderr captured, exit
// status checked. Each test gets a directory of its own for the files it writes. The including
// target defines VIDQUAL_BINARY, the binary's path.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/avi_writer.h"
#include "tests/ffmpeg_cli.h"
#include "tests/frames.h"

namespace vq {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// A YV12 stream of `n` frames of w x h: frame i's luma is y + i + dy[i], its U 60 + du[i], its
// V 70 (`dy` and `du` empty: no offsets).
inline test::AviVideo yv12_video(int n, int w = 8, int h = 4, int y = 50,
                                 const std::vector<int>& dy = {}, const std::vector<int>& du = {}) {
  std::vector<std::vector<uint8_t>> frames;
  const size_t k = size_t(w / 2) * (h / 2);
  for (int i = 0; i < n; ++i) {
    const int luma = y + i + (dy.empty() ? 0 : dy[size_t(i)]);
    const int u = 60 + (du.empty() ? 0 : du[size_t(i)]);
    frames.push_back(test::yv12_frame(w, h, std::vector<uint8_t>(size_t(w) * h, uint8_t(luma)),
                                      std::vector<uint8_t>(k, uint8_t(u)),
                                      std::vector<uint8_t>(k, 70)));
  }
  return test::video_from_frames(frames);
}

inline std::string slurp(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The verbose lines' values as printed ("  1: \t41.14 \t38.85 \t38.62[ \t0.981234 ...]"), one
// row per pair: PSNR of Y, U, V, then SSIM of Y, U, V, All when asked for.
inline std::vector<std::vector<std::string>> verbose_rows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    int n;
    const size_t colon = line.find(':');
    if (std::sscanf(line.c_str(), "%d:", &n) != 1 || colon == std::string::npos) continue;
    std::istringstream values(line.substr(colon + 1));
    std::vector<std::string> v;
    for (std::string word; values >> word;)
      v.push_back(word);
    if (v.size() >= 3) rows.push_back(v);
  }
  return rows;
}

// FFmpeg's stats file: "key:value" fields per line, the values as printed ("inf" for identical
// planes).
inline std::vector<std::map<std::string, std::string>> stats_fields(const std::string& text) {
  std::vector<std::map<std::string, std::string>> lines;
  std::istringstream in(text);
  std::string line, field;
  while (std::getline(in, line)) {
    std::map<std::string, std::string> m;
    std::istringstream fields(line);
    while (fields >> field) {
      const size_t colon = field.find(':');
      if (colon != std::string::npos) m[field.substr(0, colon)] = field.substr(colon + 1);
    }
    lines.push_back(m);
  }
  return lines;
}

// A per-frame file's lines split at their commas: the header first, then one row per pair.
inline std::vector<std::vector<std::string>> csv_cells(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream cells(line);
    rows.emplace_back();
    for (std::string cell; std::getline(cells, cell, ',');)
      rows.back().push_back(cell);
  }
  return rows;
}

// Starts the binary with `args` as a script would: stdin from /dev/null, stdout onto descriptor
// `out`, stderr into the file `err`, and `env` ("NAME=value", or none) set for it alone. The
// child's id.
inline pid_t spawn(std::vector<std::string> args, int out, const std::string& err,
                   std::string env = "") {
  args.insert(args.begin(), VIDQUAL_BINARY);
  std::vector<char*> argv;
  for (std::string& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!env.empty()) ::putenv(env.data());
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(out, 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

class BinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vidqual-e2e-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  std::string write(const std::string& name, const test::AviVideo& v,
                    const test::AviLayout& l = {}) {
    EXPECT_TRUE(test::write_avi(path(name), v, l));
    return path(name);
  }

  // Runs a shell command line, stdout and stderr captured.
  Outcome run_command(const std::string& line) const {
    return outcome(line + " < /dev/null > " + quote(path("stdout")) + " 2> " +
                   quote(path("stderr")));
  }

  // `stdout_to`: a redirection of stdout in place of the capture ("> /dev/full", ">&-").
  Outcome run(const std::vector<std::string>& args, const std::string& stdout_to = "") const {
    std::string cmd = quote(VIDQUAL_BINARY);
    for (const auto& a : args) {
      cmd += ' ';
      cmd += quote(a);
    }
    std::filesystem::remove(path("stdout"));
    return outcome(cmd + " < /dev/null " +
                   (stdout_to.empty() ? "> " + quote(path("stdout")) : stdout_to) + " 2> " +
                   quote(path("stderr")));
  }

  Outcome outcome(const std::string& cmd) const {
    Outcome r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(path("stdout"));
    r.err = slurp(path("stderr"));
    return r;
  }

  std::filesystem::path dir_;
};

// A BinaryTest whose inputs FFmpeg's CLI makes: skipped where there is none.
class FfmpegTest : public BinaryTest {
 protected:
  void SetUp() override {
    if (test::shell("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg CLI";
    BinaryTest::SetUp();
  }

  // Makes `name` in the test's folder: FFmpeg's CLI reading `input`, writing with `args`.
  void ffmpeg(const std::string& name, const std::string& input, const std::string& args) const {
    const std::string cmd = test::kFfmpeg + "-y " + input + " " + args + " " + quote(path(name));
    ASSERT_EQ(0, test::shell(cmd)) << cmd;
  }

  // FFmpeg's CLI reading `name` of the test's folder.
  std::string from(const std::string& name) const { return "-i " + quote(path(name)); }

  // FFmpeg's per-frame values of `filter` (psnr, ssim) for the files `a` and `b` of the test's
  // folder, each through its filter chain `via_a`, `via_b` first; `extra`: output options.
  std::vector<std::map<std::string, std::string>> ffmpeg_stats(
      const std::string& a, const std::string& b, const std::string& filter,
      const std::string& via_a, const std::string& via_b, const std::string& extra = "") const {
    const std::string s = path(filter + ".stats");
    const std::string cmd = test::kFfmpeg + "-i " + quote(path(a)) + " -i " + quote(path(b)) +
                            " -lavfi \"[0:v]" + via_a + "[a];[1:v]" + via_b + "[b];[a][b]" +
                            filter + "=stats_file='" + s + "'\" " + extra + " -f null -";
    EXPECT_EQ(0, test::shell(cmd)) << cmd;
    return stats_fields(slurp(s));
  }
};

}  // namespace vq
