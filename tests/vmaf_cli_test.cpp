// vidqual-vmaf against libvmaf's own program: each command line of reference/vmaf_cli.sh (the
// two frameworks' calls as they are written, and the options besides) run as the frameworks run
// it, its exit status, standard output, first line of standard error and written file compared
// with libvmaf's, kept under reference/vmaf_cli/: the same file line by line but for the version
// and the speed, numbers within one unit of the sixth decimal; XML files also read by the AOM
// framework's line-by-line expressions (xml/line_reader.py), which must find the same values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/run_binary.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

const fs::path kReference = fs::path(VQ_SOURCE_DIR) / "tests/reference";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// A line with each decimal number (digits, a point, digits) replaced by '#' and the numbers
// kept; the version and the speed are dropped, as they are the program's own.
std::string skeleton(const std::string& line, std::vector<double>* numbers) {
  for (const char* own : {"version", "fps"})
    if (line.find(own) != std::string::npos) return own;
  std::string out;
  for (size_t i = 0; i < line.size();) {
    size_t j = i + (line[i] == '-' ? 1 : 0);
    const size_t digits = j;
    while (j < line.size() && std::isdigit(static_cast<unsigned char>(line[j])))
      ++j;
    if (j > digits && j + 1 < line.size() && line[j] == '.' &&
        std::isdigit(static_cast<unsigned char>(line[j + 1]))) {
      for (++j; j < line.size() && std::isdigit(static_cast<unsigned char>(line[j]));)
        ++j;
      numbers->push_back(std::stod(line.substr(i, j - i)));
      out += '#';
      i = j;
    } else {
      out += line[i++];
    }
  }
  return out;
}

// The same layout line by line, every number within one unit of the sixth decimal.
void expect_same_file(const std::string& want, const std::string& got) {
  const auto a = lines_of(want), b = lines_of(got);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    std::vector<double> x, y;
    ASSERT_EQ(skeleton(a[i], &x), skeleton(b[i], &y)) << "line " << i + 1 << "\n" << b[i];
    for (size_t k = 0; k < x.size(); ++k)
      EXPECT_NEAR(x[k], y[k], 1.0000001e-6) << "line " << i + 1 << " number " << k + 1;
  }
}

// The results kept in CASE.status: exit status, stdout and the first line of stderr that is
// neither empty nor a warning of libvmaf's own arithmetic (SpEED's singular fits), which this tool
// does not echo.
struct Status {
  std::string status, out, first_err;
};
Status read_status(const fs::path& file) {
  const auto lines = lines_of(slurp(file));
  Status s;
  size_t i = 0;
  if (i < lines.size()) s.status = lines[i++];
  for (; i < lines.size() && lines[i] != "--"; ++i)
    s.out += lines[i] + "\n";
  for (++i; i < lines.size() && (lines[i].empty() || lines[i].starts_with("libvmaf WARNING"));)
    ++i;
  if (i < lines.size()) s.first_err = lines[i];
  return s;
}

using VmafCli = BinaryTest;

TEST_F(VmafCli, EveryCommandLineAsLibvmafsProgram) {
  if (run_command("command -v ffmpeg >/dev/null").status != 0)
    GTEST_SKIP() << "no ffmpeg to make the inputs";
  const std::string script = quote((kReference / "vmaf_cli.sh").string());
  const Outcome listed = run_command("bash " + script + " --list");
  ASSERT_EQ(0, listed.status) << listed.err;
  const auto cases = lines_of(listed.out);
  ASSERT_GE(cases.size(), 14u);
  for (const std::string& name : cases) {
    SCOPED_TRACE(name);
    const fs::path dir = dir_ / "cases" / name;
    const Outcome ran = run_command("bash " + script + " --run " + quote(VIDQUAL_BINARY) + " " +
                                    name + " " + quote(dir.string()));
    ASSERT_EQ(0, ran.status) << ran.err;
    const fs::path want = kReference / "vmaf_cli" / name, got = dir / name;
    const Status a = read_status(want.string() + ".status"),
                 b = read_status(got.string() + ".status");
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.out, b.out);
    if (!a.first_err.empty()) {
      EXPECT_EQ(a.first_err, b.first_err);
    }
    const fs::path want_file = want.string() + ".file", got_file = got.string() + ".file";
    ASSERT_EQ(fs::exists(want_file), fs::exists(got_file));
    if (!fs::exists(want_file)) continue;
    expect_same_file(slurp(want_file), slurp(got_file));
    if (slurp(want_file).starts_with("<VMAF")) {
      const Outcome read =
          run_command("python3 " + quote((kReference / "../xml/line_reader.py").string()) + " " +
                      quote(want_file.string()) + " " + quote(got_file.string()));
      EXPECT_EQ(0, read.status) << read.err;
    }
  }
}

}  // namespace
}  // namespace vq
