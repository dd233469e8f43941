// Runs the real binary as a script would: stdin from /dev/null, stdout and stderr captured, exit
// status checked. Each test gets a directory of its own for the files it writes. The including
// target defines VIDQUAL_BINARY, the binary's path.
#pragma once

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

namespace vq {

struct Outcome {
  int status = -1;
  std::string out, err;
};

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
};

}  // namespace vq
