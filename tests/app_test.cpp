#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "app/app.h"

namespace vq {
namespace {

TEST(FrontEnd, MaxframesFollowsAtolAndSaturates) {
  const struct {
    const char* text;
    int32_t want;
  } cases[] = {{"10", 10},
               {"12abc", 12},
               {"abc", 0},
               {"", 0},
               {"+7", 7},
               {" \t 42", 42},
               {" -5", -5},
               {"2147483647", INT32_MAX},
               {"2147483648", INT32_MAX},
               {"99999999999999999999999", INT32_MAX},
               {"-2147483648", INT32_MIN},
               {"-2147483649", INT32_MIN},
               {"--5", 0}};
  for (const auto& c : cases)
    EXPECT_EQ(c.want, parse_maxframes(c.text)) << '"' << c.text << '"';
}

TEST(FrontEnd, ArgumentScan) {
  const struct {
    std::vector<const char*> args;
    const char *file1, *file2;
    int32_t maxframes;
    bool verbose;
    const char* csv;
  } cases[] = {
      {{"a.avi", "-verbose", "b.avi"}, "a.avi", "b.avi", 0, true, nullptr},
      {{"a.avi", "b.avi", "10", "-v"}, "a.avi", "b.avi", 10, true, nullptr},
      {{"a.avi", "b.avi", "10", "20"}, "a.avi", "b.avi", 10, false, nullptr},
      {{"a.avi", "b.avi", "-5"}, "a.avi", "b.avi", 0, false, nullptr},
      {{"a.avi", "b.avi", " -5"}, "a.avi", "b.avi", -5, false, nullptr},
      {{"a.avi", "b.avi", "-V", "-"}, "a.avi", "b.avi", 0, false, nullptr},
      {{"-vanything", "a.avi", "b.avi"}, "a.avi", "b.avi", 0, true, nullptr},
      {{"a.avi", "-v"}, "a.avi", nullptr, 0, true, nullptr},
      {{"--csv=out.csv", "a.avi", "b.avi", "7"}, "a.avi", "b.avi", 7, false, "out.csv"},
      {{"a.avi", "b.avi", "--csv=x.csv", "3", "-v"}, "a.avi", "b.avi", 3, true, "x.csv"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv{"vidqual"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Settings s;
    scan_arguments(int(argv.size()), argv.data(), &s);
    const std::string label = std::string(c.args[0]) + " " + c.args[1];
    EXPECT_STREQ(c.file1, s.file1) << label;
    EXPECT_STREQ(c.file2, s.file2) << label;
    EXPECT_EQ(c.maxframes, s.maxframes) << label;
    EXPECT_EQ(c.verbose, s.verbose) << label;
    EXPECT_STREQ(c.csv, s.csv_path) << label;
  }
}

int failing_version(ProductVersion*) {
  return 0;
}

// The banner falls back to 1.2.0.0 when the version cannot be read (the build's own version is
// checked by the end-to-end tests).
TEST(FrontEnd, BannerWithoutAVersion) {
  std::FILE* out = std::tmpfile();
  std::FILE* in = std::tmpfile();
  const char* argv[] = {"vidqual"};
  EXPECT_EQ(kExitUsage, vidqual_main(1, argv, Console{out, in, in, false}, failing_version));
  std::rewind(out);
  char line[128] = {};
  ASSERT_NE(nullptr, std::fgets(line, sizeof line, out));
  EXPECT_STREQ("VIDQUAL v1.2.0.0, PSNR of the Y, U and V planes of two AVI files\n", line);
  std::fclose(out);
  std::fclose(in);
}

}  // namespace
}  // namespace vq
