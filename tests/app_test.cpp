// The front end in memory: how command lines and manifest lines are read and their values checked,
// alike in every mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "app/options.h"

namespace vq {
namespace {

// Arguments in one line: the slots, maxframes, verbose, every option given and the metrics.
std::string described(const Arguments& a) {
  std::string r =
      a.file1.value_or("-") + " " + a.file2.value_or("-") + " " + std::to_string(a.maxframes);
  if (a.verbose) r += " verbose";
  for (size_t i = 0; i < a.outputs.size(); ++i)
    if (a.outputs[i]) r += std::string(" ") + output_table()[i].option + "=" + *a.outputs[i];
  for (const LongOption& o : long_options()) {
    if (o.text && a.*o.text) r += std::string(" ") + o.name + "=" + *(a.*o.text);
    if (o.flag && a.*o.flag) r += std::string(" ") + o.name;
  }
  for (const std::string& m : a.metrics)
    r += " metric:" + m;
  return r;
}

// What a scan read, then its notes; or the refusal.
std::string scanned(const std::vector<std::string>& args) {
  Arguments a;
  if (const Refusal r = scan_arguments(args, &a)) return "refused " + r.why;
  std::string r = described(a);
  for (const std::string& note : a.notes)
    r += " | " + note;
  return r;
}

TEST(FrontEnd, CommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"a.avi", "-verbose", "b.avi"}, "a.avi b.avi 0 verbose"},
      {{"-vanything", "a.avi", "b.avi", "10"}, "a.avi b.avi 10 verbose"},
      {{"a.avi", "-v"}, "a.avi - 0 verbose"},
      {{"a.avi", "b.avi", " -5"}, "a.avi b.avi -5"},
      // maxframes follows atol, saturating at the limits of a 32-bit number.
      {{"a.avi", "b.avi", "99999999999"}, "a.avi b.avi 2147483647"},
      {{"a.avi", "b.avi", " -2147483649"}, "a.avi b.avi -2147483648"},
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
      {{"--json="}, "refused [--json=]: --json needs a value: --json=FILE"},
      {{"--ssim=1"}, "refused [--ssim=1]: --ssim takes no value"},
      {{"--verbose"}, "refused [--verbose]: not an option vidqual knows (--help lists them)"},
      {{"--"}, "refused [--]: not an option vidqual knows (--help lists them)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, scanned(c.args)) << c.args[0];
}

// The typed values, or the first refusal with its stage.
std::string checked(const Settings& s, const Refusal& r) {
  if (r) return (r.stage == RefusalStage::kMetrics ? "metrics: " : "values: ") + r.why;
  return "threads=" + (s.threads ? std::to_string(*s.threads) : "all") +
         " html-worst=" + std::to_string(s.html_worst) +
         " worst-pairs=" + std::to_string(s.worst_pairs) + " skip=" + std::to_string(s.skip[0]) +
         ":" + std::to_string(s.skip[1]) + " cpu=" + std::to_string(s.cpu_flags) +
         (s.open[0].cpu_flags == s.cpu_flags && s.open[1].cpu_flags == s.cpu_flags
              ? ""
              : " readers-differ") +
         (s.pair_by_time ? " by-time" : "") + (s.align ? " align" : "") +
         " max-pixels=" + std::to_string(s.open[1].max_pixels) + " ranked=" + s.ranked;
}

// One check of every value, whatever the mode: two files, one reference --vs another, and a
// manifest line (the command line's options under the line's), each with the same options.
TEST(FrontEnd, ValuesAreCheckedAlikeInEveryMode) {
  const std::string fine =
      "threads=all html-worst=3 worst-pairs=0 skip=0:0 cpu=" + std::to_string(detect_cpu_flags()) +
      " max-pixels=67108864";
  const struct {
    std::vector<std::string> options;
    std::string want;  // what `checked` says; a refusal only needs to begin so
  } cases[] = {
      {{}, fine + " ranked=y_psnr"},
      {{"--threads=64", "--html-worst=0", "--worst-pairs=2147483647", "--skip=007:2147483647",
        "--cpumask=0xF", "--pair=timestamps", "--max-pixels=10", "--metric=vmaf"},
       "threads=64 html-worst=0 worst-pairs=2147483647 skip=7:2147483647 cpu=0 by-time "
       "max-pixels=10 ranked=vmaf"},
      {{"--threads= 3", "--cpumask=4294967295", "--pair=order", "--align"},
       "threads=3 html-worst=3 worst-pairs=0 skip=0:0 cpu=0 align "
       "max-pixels=67108864 ranked=y_psnr"},
      {{"--metric=nope"}, "metrics: [--metric=nope]: no metric is named 'nope'"},
      {{"--preset=nope"}, "metrics: [--preset=nope]: no preset is named so"},
      {{"--metric=psnr=min_sse=x"}, "metrics: [--metric=psnr=min_sse=x]: metric psnr: option"},
      {{"--metric=cambi=eotf=foo"}, "metrics: [--metric=cambi=eotf=foo]: cambi: eotf is bt1886"},
      {{"--metric=vmaf=name=frameNum"},
       "metrics: [--metric=vmaf=name=frameNum]: vmaf: option name: 'frameNum' is taken"},
      {{"--threads=abc"}, "values: [--threads=abc]: not a number from 1 to 64"},
      {{"--threads=0"}, "values: [--threads=0]: not a number from 1 to 64"},
      {{"--threads=65"}, "values: [--threads=65]: not a number from 1 to 64"},
      {{"--bit-depth=7"}, "values: [--bit-depth=7]: not a depth from 8 to 16 bits"},
      {{"--html-worst=51"}, "values: [--html-worst=51]: not a number from 0 to 50"},
      {{"--worst-pairs=-1"}, "values: [--worst-pairs=-1]: not a number of pairs from 0"},
      // As maxframes, a count past the largest is read as the largest.
      {{"--worst-pairs=9999999999"}, "threads=all html-worst=3 worst-pairs=2147483647"},
      {{"--skip=1:0", "--align"}, "values: --align and --skip cannot both be given"},
      {{"--scale=cubic"}, "values: [--scale=cubic]: not a scale filter (bicubic, bilinear"},
      {{"--pair=time"}, "values: [--pair=time]: not a pairing (order or timestamps)"},
      {{"--cpumask=x"},
       "values: [--cpumask=x]: not a number (its set bits turn off instruction sets: 1 MMX, 2 "
       "SSE2, 4 AVX2, 8 AVX-512)"},
      {{"--cpumask=0x"}, "values: [--cpumask=0x]: not a number"},
      {{"--cpumask=0x100000000"}, "values: [--cpumask=0x100000000]: not a number"},
      {{"--cpumask= 1"}, "values: [--cpumask= 1]: not a number"},
      {{"--size=x"}, "values: [--size=x]: not a picture size (WxH"},
      {{"--pix-fmt=yuv420p:rgb"}, "values: [--pix-fmt=yuv420p:rgb]: rgb is not a layout"},
      {{"--max-pixels=0"}, "values: [--max-pixels=0]: not a positive number of samples"},
      // --skip=A:B: two whole decimal numbers from 0, nothing else.
      {{"--skip=2147483648:0"}, "values: [--skip=2147483648:0]: not two frame counts A:B"},
      {{"--skip=1"}, "values: [--skip=1]: not two frame counts A:B"},
      {{"--skip=+1:0"}, "values: [--skip=+1:0]: not two frame counts A:B"},
      {{"--skip=1:2:3"}, "values: [--skip=1:2:3]: not two frame counts A:B"},
      {{"--skip=0x1:0"}, "values: [--skip=0x1:0]: not two frame counts A:B"},
      {{"--skip= 1:0"}, "values: [--skip= 1:0]: not two frame counts A:B"},
      // Where two refusals compete, the one the tool has always told first.
      {{"--threads=abc", "--metric=nope"}, "metrics: [--metric=nope]"},
      {{"--html-worst=99", "--max-pixels=0"}, "values: [--max-pixels=0]"},
      {{"--threads=abc", "--skip=1"}, "values: [--skip=1]"},
      {{"--cpumask=x", "--pair=x", "--scale=x"}, "values: [--scale=x]"},
  };
  Arguments base;
  ASSERT_FALSE(scan_arguments({"--csv=o{index}.csv"}, &base));
  for (const auto& c : cases) {
    std::vector<std::string> two = {"a.y4m", "b.y4m"}, versus = {"a.y4m", "--vs=b.y4m"};
    two.insert(two.end(), c.options.begin(), c.options.end());
    versus.insert(versus.end(), c.options.begin(), c.options.end());
    for (const auto& args : {two, versus}) {
      const CommandLine cl = parse_command_line(args);
      EXPECT_EQ(c.want, checked(cl.settings, cl.refusal).substr(0, c.want.size())) << args[1];
    }
    ManifestLine line;
    line.args = two;
    Arguments a;
    Settings s;
    std::string why;
    ASSERT_EQ(1, line_arguments(base, line, &a, &why)) << why;
    const Refusal r = check_arguments(a, &s);
    EXPECT_EQ(c.want, checked(s, r).substr(0, c.want.size())) << "manifest line";
  }
}

// The inputs' names against the options: one standard input, a size for headerless YUV.
TEST(FrontEnd, InputsNeedWhatTheyLack) {
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-", "-"}, "standard input (-) can be only one of the two files"},
      {{"-", "--vs=b.y4m", "--vs=-"}, "standard input (-) can be only one of the two files"},
      {{"a.y4m", "b.yuv", "--pix-fmt=bad"}, "[--pix-fmt=bad]: bad is not a layout vidqual reads"},
      {{"a.y4m", "b.yuv"}, "[b.yuv] is headerless YUV: give its size with --size=WxH"},
      {{"a.y4m", "--vs=b.y4m", "--vs=c.yuv"}, "[c.yuv] is headerless YUV: give its size"},
      {{"a.y4m", "b.yuv", "--size=8x8"}, ""},
      {{"a.y4m", "2", "--vs=b.y4m"}, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, parse_command_line(c.args).refusal.why.substr(0, c.want.size())) << c.args[1];
  // With --vs a number as the second argument is maxframes.
  EXPECT_EQ(2, parse_command_line({"a.y4m", "2", "--vs=b.y4m"}).settings.maxframes);
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
      {"\xEF\xBB\xBF# c\na b\n", "0@2: a|b\n"},
      {"\xEF\xBB\xBF"
       "a b\n",
       "0@1: a|b\n"},
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
    std::vector<std::string> base, line;
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
      {{}, {"r", "d", "--threads"}, "refused [--threads]: --threads needs a value: --threads=N"},
      {{},
       {"r", "d", "--manifest=m"},
       "refused --manifest, --manifest-index, --help and --version "
       "belong on the command line"},
      {{}, {"-", "d"}, "refused standard input (-) cannot be an input of a manifest line"},
      {{},
       {"r", "d", "--vs=e"},
       "refused --vs is not for a manifest line: each line names its own two files"},
  };
  for (const auto& c : cases) {
    Arguments base, a;
    ASSERT_FALSE(scan_arguments(c.base, &base));
    ManifestLine line;
    line.args = c.line;
    std::string why;
    EXPECT_EQ(c.want, line_arguments(base, line, &a, &why) ? described(a) : "refused " + why);
  }
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// libvmaf's command line read: the models (label/name and flags), the features as requests, the
// numbers; or the refusal; or "version".
std::string vmaf_read(std::vector<std::string> args) {
  args.insert(args.begin(), "vidqual-vmaf");
  VmafCommandLine c;
  std::string why;
  switch (parse_vmaf_command_line(args, &c, &why)) {
    case VmafParse::kVersion:
      return "version";
    case VmafParse::kRefused:
      return "refused " + why;
    case VmafParse::kRun:
      break;
  }
  std::string r = *c.reference + " " + *c.distorted;
  for (const VmafModelOption& m : c.models) {
    r += " m:" + m.version + m.path + "/" + m.name + (m.disable_clip ? "/noclip" : "") +
         (m.enable_transform ? "/transform" : "");
    for (const std::string& o : m.overrides)
      r += "/" + o;
  }
  for (const VmafFeature& f : c.features)
    r += " f:" + f.name + ">" + f.request;
  r += " t" + std::to_string(c.threads) + " s" + std::to_string(c.subsample) + " n" +
       std::to_string(c.frame_cnt) + " skip" + std::to_string(c.skip_ref) + ":" +
       std::to_string(c.skip_dist) + (c.common_bitdepth ? " common" : "") +
       (c.no_prediction ? " -n" : "");
  return r;
}

TEST(VmafCommandLine, ReadAsLibvmafsProgramReadsIt) {
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-r", "a", "-d", "b"}, "a b m:vmaf_v0.6.1/vmaf t0 s0 n0 skip0:0"},
      // A preset's models by version and name, its features in order; v6.0 on scores at one depth.
      {{"--aom_ctc", "v6.0", "-r", "a", "-d", "b"},
       "a b m:vmaf_v0.6.1/vmaf m:vmaf_v0.6.1neg/vmaf_neg "
       "f:psnr>psnr=reduced_hbd_peak=true:enable_apsnr=true:min_sse=0.5 f:ciede>ciede "
       "f:float_ssim>float_ssim=enable_db=true:clip_db=true "
       "f:float_ms_ssim>float_ms_ssim=enable_db=true:clip_db=true f:psnr_hvs>psnr_hvs "
       "f:cambi>cambi t0 s0 n0 skip0:0 common"},
      // Flags without values, a model's feature option kept as written; libvmaf's feature
      // names as this tool's metrics, one it lacks with none; strtoul's bases; -c ignored.
      {{"-r", "a", "-d", "b", "-m", "path=m.json:name=x:disable_clip:adm.adm_enhn_gain_limit=1",
        "--feature", "adm=adm_enhn_gain_limit=1.0", "--feature", "float_vif", "--threads", "0x10",
        "--subs=2", "-c", "7", "--frame_cnt", "010", "--frame_skip_ref=3", "-n"},
       "a b m:m.json/x/noclip/adm.adm_enhn_gain_limit=1 "
       "f:adm>integer_adm=adm_enhn_gain_limit=1.0 f:float_vif> t16 s2 n8 skip3:0 -n"},
      {{"-r", "a", "-d", "b", "-v", "-w", "x"}, "version"},
      {{"-w", "x", "-v"},
       "refused Invalid argument \"x\" for option -w/--width; should be an integer"},
      {{"-r", "a", "-d", "b", "-p", "411"},
       "refused Invalid argument \"411\" for option -p/--pixel_format; should be a valid pixel "
       "format (420/422/444)"},
      {{"-r", "a", "-d", "b", "--aom_ctc", "v8.0"}, "refused bad aom_ctc version \"v8.0\""},
      {{"-r", "a", "-d", "b", "-m", "version"},
       "refused Problem parsing model, bad option string \"version\"."},
      {{"-r", "a", "-d", "b", "--feature", "psnr=enable_chroma"},
       "refused Problem parsing feature \"psnr\", bad option string \"enable_chroma\".\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.want, vmaf_read(c.args)) << c.args.front();
}

}  // namespace
}  // namespace vq
