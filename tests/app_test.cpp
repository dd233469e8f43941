// The front end in memory: how command lines and manifest lines are read, and what --help lists.
#include <gtest/gtest.h>

#include <climits>
#include <span>
#include <string>
#include <vector>

#include "app/app.h"
#include "metrics/metric.h"

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

// Settings in one line: the slots, maxframes, verbose, the switches and the metrics.
std::string described(const Settings& s) {
  std::string r = std::string(s.file1 ? s.file1 : "-") + " " + (s.file2 ? s.file2 : "-") + " " +
                  std::to_string(s.maxframes);
  if (s.verbose) r += " verbose";
  for (const LongOption& o : std::span(kLongOptions, kLongOptionCount)) {
    if (o.text && s.*o.text) r += std::string(" ") + o.name + "=" + s.*o.text;
    if (o.flag && s.*o.flag) r += std::string(" ") + o.name;
  }
  for (const char* m : s.metrics)
    r += std::string(" metric:") + m;
  return r;
}

// What a scan read, then its notes; or the refusal.
std::string scanned(std::vector<const char*> args) {
  args.insert(args.begin(), "vidqual");
  Settings s;
  ScanNotes n;
  if (!scan_arguments(int(args.size()), args.data(), &s, &n)) return "refused " + n.error;
  std::string r = described(s);
  for (const std::string& note : n.notes)
    r += " | " + note;
  return r;
}

TEST(FrontEnd, CommandLines) {
  const struct {
    std::vector<const char*> args;
    std::string want;
  } cases[] = {
      {{"a.avi", "-verbose", "b.avi"}, "a.avi b.avi 0 verbose"},
      {{"-vanything", "a.avi", "b.avi", "10"}, "a.avi b.avi 10 verbose"},
      {{"a.avi", "-v"}, "a.avi - 0 verbose"},
      {{"a.avi", "b.avi", " -5"}, "a.avi b.avi -5"},
      {{"a.avi", "b.avi", "3x"}, "a.avi b.avi 3 | note: maxframes [3x] is not a number; read as 3"},
      {{"a.avi", "b.avi", "abc"},
       "a.avi b.avi 0 | note: maxframes [abc] is not a number; read as 0 (no limit)"},
      {{"a.avi", "b.avi", "-5", "-V"},
       "a.avi b.avi 0 | note: [-5] begins with '-', so it is read as a switch, not as maxframes, "
       "and ignored | note: [-V] is not a switch vidqual knows; ignored"},
      {{"-", "b.avi", "-v"}, "- b.avi 0 verbose"},
      {{"a.avi", "b.avi", "3", "20"},
       "a.avi b.avi 3 | note: [20] ignored: vidqual reads two files and maxframes"},
      {{"--csv=o.csv", "a.avi", "--json=o.json", "b.avi", "--ssim", "--ssim", "--help",
        "--version"},
       "a.avi b.avi 0 csv=o.csv json=o.json ssim help version metric:ssim metric:ssim"},
      {{"--csv=a=b", "x"}, "x - 0 csv=a=b"},
      // --metric may be given again; --ssim stands for --metric=ssim where it is given.
      {{"--metric=psnr=enable_mse=true", "--ssim", "--metric=psnr", "--threads=2"},
       "- - 0 ssim threads=2 metric:psnr=enable_mse=true metric:ssim metric:psnr"},
      {{"--metric"}, "refused [--metric]: --metric needs a value: --metric=NAME"},
      {{"--threads=1", "--threads=2"}, "refused [--threads=2]: --threads is given twice"},
      // Long options are refused unless known and well formed.
      {{"a.avi", "b.avi", "--csv", "out.csv"}, "refused [--csv]: --csv needs a value: --csv=FILE"},
      {{"--json="}, "refused [--json=]: --json needs a value: --json=FILE"},
      {{"--ssim=1"}, "refused [--ssim=1]: --ssim takes no value"},
      {{"--csv=a", "--csv=b"}, "refused [--csv=b]: --csv is given twice"},
      {{"--verbose"}, "refused [--verbose]: not an option vidqual knows (--help lists them)"},
      {{"--CSV=x"}, "refused [--CSV=x]: not an option vidqual knows (--help lists them)"},
      {{"--"}, "refused [--]: not an option vidqual knows (--help lists them)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, scanned(c.args)) << c.args[0];
}

// --skip=A:B takes two whole decimal numbers from 0 and nothing else; a refusal names the option.
TEST(FrontEnd, SkipTakesTwoFrameCounts) {
  const struct {
    const char* text;
    int32_t a, b;  // -1: refused
  } cases[] = {
      {"0:0", 0, 0},
      {"1:0", 1, 0},
      {"0:5", 0, 5},
      {"007:12", 7, 12},
      {"2147483647:0", INT32_MAX, 0},
      {"2147483648:0", -1, -1},
      {"99999999999:1", -1, -1},
      {"1", -1, -1},
      {"1:", -1, -1},
      {":1", -1, -1},
      {":", -1, -1},
      {"-1:0", -1, -1},
      {"0:-2", -1, -1},
      {"+1:0", -1, -1},
      {"1:2:3", -1, -1},
      {"a:b", -1, -1},
      {"1.5:0", -1, -1},
      {" 1:0", -1, -1},
      {"1 :0", -1, -1},
      {"1:0x", -1, -1},
      {"0x1:0", -1, -1},
  };
  for (const auto& c : cases) {
    int32_t got[2] = {-7, -7};
    std::string why;
    const int ok = parse_skip(c.text, got, &why);
    if (c.a < 0) {
      EXPECT_EQ(0, ok) << c.text;
      EXPECT_EQ(-7, got[0]) << c.text;
      EXPECT_EQ(0u, why.find(std::string("[--skip=") + c.text + "]: not two frame counts A:B"))
          << why;
    } else {
      EXPECT_EQ(1, ok) << c.text << " " << why;
      EXPECT_EQ(c.a, got[0]) << c.text;
      EXPECT_EQ(c.b, got[1]) << c.text;
    }
  }
}

// --help lists every long option, one line each, and returns without waiting.
TEST(FrontEnd, HelpListsEveryLongOption) {
  std::FILE* out = std::tmpfile();
  const char* argv[] = {"vidqual", "--help"};
  EXPECT_EQ(kExitOk, vidqual_main(2, argv, Console{out, stdin, stderr, false, true},
                                  read_own_product_version));
  std::string text(size_t(std::ftell(out)), '\0');
  std::rewind(out);
  ASSERT_EQ(text.size(), std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  EXPECT_EQ(std::string::npos, text.find("Press ENTER"));
  EXPECT_EQ(0u, text.find("VIDQUAL v"));
  EXPECT_NE(std::string::npos, text.find("of two video files\n"));
  for (const char* kind : {"video files", "AVI", "Y4M", "headerless\n\tYUV", "FFmpeg"})
    EXPECT_NE(std::string::npos, text.find(kind)) << kind;
  for (const LongOption& o : std::span(kLongOptions, kLongOptionCount)) {
    const std::string line = std::string("\t--") + o.name;
    EXPECT_NE(std::string::npos, text.find(line)) << o.name;
    EXPECT_NE(std::string::npos, text.find(std::string(o.help) + ";\n")) << o.name;
  }
  // Every metric, with each of its options and its default.
  for (const MetricRow& m : metric_registry()) {
    EXPECT_NE(std::string::npos, text.find(std::string("  ") + m.name + " ")) << m.name;
    for (const MetricOption& o : m.options)
      EXPECT_NE(std::string::npos, text.find(std::string(o.name) + "=" + o.default_value))
          << m.name << " " << o.name;
  }
}

// The lines read, one "index@line: arg|arg" each, or the refusal.
std::string parsed(std::string_view text) {
  std::vector<ManifestLine> lines;
  std::string why;
  if (!parse_manifest(text, &lines, &why)) return "refused " + why;
  std::string r;
  for (const ManifestLine& l : lines) {
    r += std::to_string(l.index) + "@" + std::to_string(l.line_number) + ":";
    for (size_t i = 0; i < l.args.size(); ++i)
      r += (i ? "|" : " ") + l.args[i];
    r += "\n";
  }
  return r;
}

TEST(Manifest, LinesSplitIntoArguments) {
  const struct {
    std::string text, want;
  } cases[] = {
      {"a b", "0@1: a|b\n"},
      {"# c\n\n \t\na\tb  --json=x\r\n  # c\nc d\n", "0@4: a|b|--json=x\n1@6: c|d\n"},
      {"\"my ref\" d \"--json=o d/{index}\"\n", "0@1: my ref|d|--json=o d/{index}\n"},
      {"a --json=\"x y\".json\n", "0@1: a|--json=x y.json\n"},
      {"\"say \\\"hi\\\"\" \"back\\\\slash\" \"\\n\"\n", "0@1: say \"hi\"|back\\slash|\\n\n"},
      {"a\\b c#d \"\"\n", "0@1: a\\b|c#d|\n"},
      {"ok ok\na \"b\\\"\n", "refused manifest line 2: a double quote is not closed"},
      {std::string("a b\nc\0d e\n", 10), "refused manifest line 2: holds a NUL byte"},
      {"# only\n\n", "refused the manifest has no comparison lines"},
      {std::string(kManifestMaxLines - 1, '\n') + "a b", "0@100000: a|b\n"},
      {std::string(kManifestMaxLines, '\n') + "a b",
       "refused the manifest has more than 100000 lines"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, parsed(c.text)) << c.text.substr(0, 40);
}

TEST(Manifest, LineOptionsOverTheCommandLines) {
  const struct {
    std::vector<const char*> base;
    std::vector<std::string> line;
    std::string want;
  } cases[] = {
      {{"--json=a", "--metric=vmaf", "--threads=2"},
       {"r", "d"},
       "r d 0 json=a threads=2 metric:vmaf"},
      {{"--json=a", "--metric=vmaf", "--metric=ssim", "-v"},
       {"r", "d", "5", "--json=b", "--metric=psnr_hvs"},
       "r d 5 verbose json=b metric:psnr_hvs"},
      {{"--metric=vmaf"}, {"r", "d", "--ssim"}, "r d 0 ssim metric:ssim"},
      {{"--preset=aom-ctc-v7.0", "--csv=c"},
       {"r", "d", "--metric=cambi", "--preset=nflx-ctc-v1.0", "-v"},
       "r d 0 verbose csv=c preset=nflx-ctc-v1.0 metric:cambi"},
      // What the command line lets pass with a note, or is no comparison, a line is refused for.
      {{}, {"r"}, "refused a line names the reference and the distorted file first"},
      {{}, {"r", "d", "3", "4"}, "refused [4] ignored: vidqual reads two files and maxframes"},
      {{}, {"r", "d", "-x"}, "refused [-x] is not a switch vidqual knows; ignored"},
      {{}, {"r", "d", "ten"}, "refused maxframes [ten] is not a number; read as 0 (no limit)"},
      {{},
       {"r", "d", "--manifest=m"},
       "refused --manifest, --manifest-index, --help and --version "
       "belong on the command line"},
      {{}, {"-", "d"}, "refused standard input (-) cannot be an input of a manifest line"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> args = c.base;
    args.insert(args.begin(), "vidqual");
    Settings base, s;
    ScanNotes notes;
    ASSERT_EQ(1, scan_arguments(int(args.size()), args.data(), &base, &notes));
    ManifestLine line;
    line.args = c.line;
    std::string why;
    EXPECT_EQ(c.want, line_settings(base, line, &s, &why) ? described(s) : "refused " + why);
  }
}

}  // namespace
}  // namespace vq
