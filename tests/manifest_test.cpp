// The manifest in memory: how lines split into arguments, which manifests are refused, the
// index from the environment, output patterns, and one line's options over the command line's.
#include <gtest/gtest.h>

#include <cstring>
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
    std::string text;
    std::string want;
  } cases[] = {
      {"a b\n", "0@1: a|b\n"},
      {"a b", "0@1: a|b\n"},  // no newline at the end
      {"# campaign\n\n  \t\na\tb  --json=x\r\n  # indented comment\nc d\n",
       "0@4: a|b|--json=x\n1@6: c|d\n"},
      {"\"my ref.y4m\" dist.y4m \"--json=out dir/{index}.json\"\n",
       "0@1: my ref.y4m|dist.y4m|--json=out dir/{index}.json\n"},
      {"a --json=\"x y\".json\n", "0@1: a|--json=x y.json\n"},  // quotes inside an argument
      {"\"say \\\"hi\\\"\" \"back\\\\slash\" \"\\n\"\n", "0@1: say \"hi\"|back\\slash|\\n\n"},
      {"a\\b c#d\n", "0@1: a\\b|c#d\n"},  // backslash and '#' are plain outside quotes
      {"\"\" b\n", "0@1: |b\n"},
      {"a \"b\n", "refused manifest line 1: a double quote is not closed"},
      {"ok ok\na \"b\\\"\n", "refused manifest line 2: a double quote is not closed"},
      {std::string("a b\nc\0d e\n", 10), "refused manifest line 2: holds a NUL byte"},
      {"", "refused the manifest has no comparison lines"},
      {"# only\n\n", "refused the manifest has no comparison lines"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, parsed(c.text)) << c.text;
}

TEST(Manifest, SizeIsBounded) {
  EXPECT_EQ("refused the manifest is larger than 16 MiB",
            parsed(std::string(size_t(kManifestMaxBytes) + 1, '#')));
  std::string many;
  for (int64_t i = 0; i <= kManifestMaxLines; ++i)
    many += "\n";
  EXPECT_EQ("refused the manifest has more than 100000 lines", parsed(many));
  many.resize(size_t(kManifestMaxLines) - 1);  // the last line allowed is the one comparison
  many += "a b";
  EXPECT_EQ("0@100000: a|b\n", parsed(many));
}

const char* fake_env(const char* name) {
  if (std::strcmp(name, "JOB_COMPLETION_INDEX") == 0) return "7";
  if (std::strcmp(name, "EMPTY") == 0) return "";
  if (std::strcmp(name, "WORD") == 0) return "seven";
  return nullptr;
}

TEST(Manifest, IndexFromTheCommandLineOrTheEnvironment) {
  const struct {
    const char* text;
    std::string want;
  } cases[] = {
      {"0", "0"},
      {"11", "11"},
      {"env:JOB_COMPLETION_INDEX", "7"},
      {"env:SLURM_ARRAY_TASK_ID",
       "refused [--manifest-index=env:SLURM_ARRAY_TASK_ID]: the "
       "environment variable SLURM_ARRAY_TASK_ID is not set"},
      {"env:EMPTY",
       "refused [--manifest-index=env:EMPTY]: the environment variable EMPTY is not "
       "set"},
      {"env:", "refused [--manifest-index=env:]: env: needs a variable's name"},
      {"env:WORD",
       "refused [--manifest-index=env:WORD] (WORD=seven): not an index (a number from "
       "0)"},
      {"-1", "refused [--manifest-index=-1]: not an index (a number from 0)"},
      {"+1", "refused [--manifest-index=+1]: not an index (a number from 0)"},
      {"1 ", "refused [--manifest-index=1 ]: not an index (a number from 0)"},
      {"99999999999999999999",
       "refused [--manifest-index=99999999999999999999]: not an index "
       "(a number from 0)"},
  };
  for (const auto& c : cases) {
    int64_t k = -1;
    std::string why;
    const std::string got =
        parse_manifest_index(c.text, fake_env, &k, &why) ? std::to_string(k) : "refused " + why;
    EXPECT_EQ(c.want, got) << c.text;
  }
}

TEST(Manifest, OutputPatterns) {
  const struct {
    const char* pattern;
    int index;
    const char* distorted;
    const char* want;
  } cases[] = {
      {"out/{index}.json", 3, "d.y4m", "out/3.json"},
      {"out/{name}.json", 3, "enc/crf 30.mkv", "out/crf 30.json"},
      {"{name}-{index}-{name}", 12, "a.b.c", "a.b-12-a.b"},
      {"{name}.csv", 0, "noext", "noext.csv"},
      {"plain.json", 5, "d.y4m", "plain.json"},
      {"{other}{index", 1, "d.y4m", "{other}{index"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, expand_output_path(c.pattern, c.index, c.distorted)) << c.pattern;
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

// The command line's settings, scanned from `args`.
Settings command_line(std::vector<const char*> args) {
  args.insert(args.begin(), "vidqual");
  Settings s;
  ScanNotes notes;
  EXPECT_EQ(1, scan_arguments(int(args.size()), args.data(), &s, &notes));
  return s;
}

TEST(Manifest, LineOptionsOverTheCommandLines) {
  const struct {
    std::vector<const char*> base;
    std::vector<std::string> line;
    std::string want;
  } cases[] = {
      {{"--json=all.json", "--metric=vmaf", "--threads=2"},
       {"r", "d"},
       "r d 0 json=all.json threads=2 metric:vmaf"},
      {{"--json=all.json", "--metric=vmaf", "--metric=ssim", "-v"},
       {"r", "d", "5", "--json=own.json", "--metric=psnr_hvs"},
       "r d 5 verbose json=own.json metric:psnr_hvs"},
      {{"--metric=vmaf"}, {"r", "d", "--ssim"}, "r d 0 metric:ssim"},
      {{"--preset=aom-ctc-v7.0", "--csv=c"},
       {"r", "d", "--metric=cambi", "--preset=nflx-ctc-v1.0", "-v"},
       "r d 0 verbose csv=c preset=nflx-ctc-v1.0 metric:cambi"},
      {{}, {"r", "d", "--size=64x48", "--pix-fmt=gray"}, "r d 0 size=64x48 pix-fmt=gray"},
      // What the command line lets pass with a note, or is no comparison, a line is refused for.
      {{}, {"r"}, "refused a line names the reference and the distorted file first"},
      {{}, {}, "refused a line names the reference and the distorted file first"},
      {{}, {"r", "d", "3", "4"}, "refused [4] ignored: vidqual reads two files and maxframes"},
      {{}, {"r", "d", "-x"}, "refused [-x] is not a switch vidqual knows; ignored"},
      {{}, {"r", "d", "ten"}, "refused maxframes [ten] is not a number; read as 0 (no limit)"},
      {{},
       {"r", "d", "--bogus=1"},
       "refused [--bogus=1]: not an option vidqual knows (--help "
       "lists them)"},
      {{}, {"r", "d", "--json=a", "--json=b"}, "refused [--json=b]: --json is given twice"},
      {{},
       {"r", "d", "--manifest=m"},
       "refused --manifest, --manifest-index, --help and "
       "--version belong on the command line"},
      {{},
       {"r", "d", "--help"},
       "refused --manifest, --manifest-index, --help and --version "
       "belong on the command line"},
      {{}, {"-", "d"}, "refused standard input (-) cannot be an input of a manifest line"},
  };
  for (const auto& c : cases) {
    const Settings base = command_line(c.base);
    ManifestLine line;
    line.args = c.line;
    Settings s;
    std::string why;
    const std::string got = line_settings(base, line, &s, &why) ? described(s) : "refused " + why;
    EXPECT_EQ(c.want, got) << (c.line.empty() ? "" : c.line.back());
  }
}

// A manifest planned against a command line: every line's outputs, or the refusal.
std::string planned(std::vector<const char*> base_args, std::string_view text) {
  std::vector<ManifestLine> lines;
  std::string why;
  if (!parse_manifest(text, &lines, &why)) return "unparsed " + why;
  if (!plan_campaign(command_line(base_args), &lines, &why)) return "refused " + why;
  std::string r;
  for (const ManifestLine& l : lines) {
    r += std::to_string(l.index) + ":";
    for (const std::string& o : l.outputs)
      r += " " + (o.empty() ? std::string("-") : o);
    r += "\n";
  }
  return r;
}

TEST(Manifest, EveryLineHasOutputsOfItsOwn) {
  const struct {
    std::vector<const char*> base;
    std::string text;
    std::string want;
  } cases[] = {
      {{"--json=out/{name}.json", "--csv=out/{index}.csv"},
       "r a.y4m\nr b.mkv --xml=b.xml\n",
       "0: out/0.csv out/a.json - -\n1: out/1.csv out/b.json b.xml -\n"},
      {{}, "r a --json=a.json\nr b --json=b.json\n", "0: - a.json - -\n1: - b.json - -\n"},
      {{},
       "r a --json=one.json\n# the same file spelled another way\nr b --json=./one.json\n",
       "refused manifest line 3 (index 1): [./one.json] is written by index 0 too (give each "
       "line its own, or use {index} or {name} in the command line's)"},
      {{"--json=all.json"},
       "r a\nr b\n",
       "refused manifest line 2 (index 1): [all.json] is written by index 0 too (give each line "
       "its own, or use {index} or {name} in the command line's)"},
      {{"--json={name}.json"},
       "r x/d.y4m\nr y/d.mkv\n",
       "refused manifest line 2 (index 1): [d.json] is written by index 0 too (give each line "
       "its own, or use {index} or {name} in the command line's)"},
      // A device is written in place by every line.
      {{"--csv=/dev/null"},
       "r a --json=a\nr b --json=b\n",
       "0: /dev/null a - -\n1: /dev/null b - -\n"},
      {{"--threads=2"},
       "r a --json=a\nr b\n",
       "refused manifest line 2 (index 1): names no output (--json=FILE, --csv=FILE, --xml=FILE "
       "or --html=FILE, on the line or, with {index} or {name}, on the command line)"},
      {{},
       "r a --json=a\nr\n",
       "refused manifest line 2 (index 1): a line names the reference and the distorted file "
       "first"},
      {{},
       "r a --json=a --metrik=vmaf\n",
       "refused manifest line 1 (index 0): [--metrik=vmaf]: not an option vidqual knows (--help "
       "lists them)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, planned(c.base, c.text)) << c.text;
}

}  // namespace
}  // namespace vq
