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
  } cases[] = {
      {"10", 10},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"+7", 7},
      {" \t 42", 42},
      {" -5", -5},
      {"0", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"--5", 0},
      {"+-5", 0},
  };
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

// Runs the front end in-process with stdout captured and stdin at end of file.
std::string run_front_end(std::vector<const char*> args, VersionReader version, int* status) {
  std::FILE* out = std::tmpfile();
  std::FILE* in = std::tmpfile();
  std::FILE* err = std::tmpfile();
  args.insert(args.begin(), "vidqual");
  *status = vidqual_main(int(args.size()), args.data(), Console{out, in, err, false}, version);
  std::fflush(out);
  std::rewind(out);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
    text.append(buf, n);
  std::fclose(out);
  std::fclose(in);
  std::fclose(err);
  return text;
}

int failing_version(ProductVersion*) {
  return 0;
}

TEST(FrontEnd, BannerShowsTheBuildVersionOrTheDefault) {
  ProductVersion v;
  ASSERT_EQ(1, read_own_product_version(&v));
  EXPECT_EQ(1, v.part[0]);
  EXPECT_EQ(3, v.part[1]);
  EXPECT_EQ(1, v.part[2]);
  EXPECT_EQ(4, v.part[3]);

  int status;
  std::string text = run_front_end({}, read_own_product_version, &status);
  EXPECT_EQ(0u, text.find("VIDQUAL v1.3.1.4, ")) << text;
  text = run_front_end({}, failing_version, &status);
  EXPECT_EQ(0u, text.find("VIDQUAL v1.2.0.0, ")) << text;
  const std::string banner = text.substr(0, text.find('\n') + 2);
  EXPECT_EQ(std::string::npos, banner.find('%'));
  EXPECT_EQ("\n\n", banner.substr(banner.size() - 2));
}

TEST(FrontEnd, TooFewFileNamesShowUsageAndWait) {
  for (auto args : {std::vector<const char*>{}, {"a.avi"}, {"a.avi", "-v"}, {"-v", "-x", "a"}}) {
    int status = -1;
    const std::string text = run_front_end(args, read_own_product_version, &status);
    EXPECT_EQ(kExitUsage, status);
    const size_t usage = text.find("VIDQUAL is a command line tool");
    ASSERT_NE(std::string::npos, usage);
    const std::string rest = text.substr(usage);
    EXPECT_EQ(21, std::count(rest.begin(), rest.end(), '\n') - 1);
    EXPECT_EQ("and will output resulting value to the screen.\nPress ENTER to continue...\n",
              rest.substr(rest.size() - 74));
  }
}

}  // namespace
}  // namespace vq
