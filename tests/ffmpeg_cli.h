// FFmpeg's CLI as the tests call it: to make fixtures, to print what a peer computes, and to ask
// which encoders this machine has (a test whose encoder is missing skips).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace vq::test {

inline const std::string kFfmpeg = "ffmpeg -hide_banner -loglevel error -nostdin ";

// A shell command's exit status; -1 when it did not exit normally.
inline int shell(const std::string& cmd) {
  const int raw = std::system(cmd.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// What `command` prints on stdout.
inline std::string capture(const std::string& command) {
  const std::unique_ptr<FILE, int (*)(FILE*)> p(popen(command.c_str(), "r"), &pclose);
  std::string out;
  char buf[1 << 16];
  for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p.get())) > 0;)
    out.append(buf, n);
  return out;
}

// Whether FFmpeg's CLI is here with the encoder `name` ("libx264", "ffv1").
inline bool have_encoder(const std::string& name) {
  static const std::string encoders = capture(kFfmpeg + "-encoders 2>/dev/null");
  return encoders.find(" " + name + " ") != std::string::npos;
}

// A folder for one test binary's fixtures, made on first use and removed at exit.
struct FixtureDir {
  std::string path;
  explicit FixtureDir(const std::string& name) {
    std::string t = "/tmp/" + name + "_XXXXXX";
    EXPECT_NE(mkdtemp(t.data()), nullptr);
    path = t;
  }
  ~FixtureDir() { std::filesystem::remove_all(path); }
  FixtureDir(const FixtureDir&) = delete;
  FixtureDir& operator=(const FixtureDir&) = delete;
};

}  // namespace vq::test
