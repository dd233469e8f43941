// The manifest in memory: how lines split into arguments, and one line's options laid over the
// command line's.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "app/app.h"

namespace vq {
namespace {

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

// Settings in one line: the files, maxframes, verbose, the text options and the metrics.
std::string described(const Settings& s) {
  std::string r = std::string(s.file1) + " " + s.file2 + " " + std::to_string(s.maxframes);
  if (s.verbose) r += " verbose";
  for (const LongOption& o : std::span(kLongOptions, kLongOptionCount))
    if (o.text && s.*o.text) r += std::string(" ") + o.name + "=" + s.*o.text;
  for (const char* m : s.metrics)
    r += std::string(" metric:") + m;
  return r;
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
      {{"--metric=vmaf"}, {"r", "d", "--ssim"}, "r d 0 metric:ssim"},
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
