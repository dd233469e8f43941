// BD-rate: each method against the values of the scripts and package it follows, AOM's rules,
// the RD table reader's refusals, and the mode from its command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/app.h"
#include "bdrate/bdrate.h"

namespace vq {
namespace {

const std::string kDir = VQ_BDRATE_DIR;

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);)
    parts.push_back(part);
  return parts;
}

std::vector<RdPoint> curve(const std::string& text) {
  std::vector<RdPoint> points;
  for (const std::string& p : split(text, ';')) {
    const auto rq = split(p, ',');
    points.push_back({std::stod(rq[0]), std::stod(rq[1])});
  }
  return points;
}

// methods.txt: the bjontegaard package's PCHIP and Akima, its least-squares cubic solved exactly,
// and AWCY's arithmetic, on curves from plain PSNR to saturated VMAF (a sixth field, the package's
// own cubic where it strays, is for people).
TEST(BdRate, MethodsEqualTheirReferences) {
  const std::vector<std::string> lines = split(slurp(kDir + "/methods.txt"), '\n');
  ASSERT_GE(lines.size(), 20u);
  for (const std::string& line : lines) {
    const auto f = split(line, '|');
    ASSERT_GE(f.size(), 5u) << line;
    BdMethod method;
    ASSERT_TRUE(parse_bd_method(f[1], &method)) << line;
    const BdValue v = bd_rate(method, curve(f[2]), curve(f[3]), false);
    if (f[4] == "none") {
      EXPECT_FALSE(v.percent) << line;
      EXPECT_FALSE(v.why.empty()) << line;
    } else {
      ASSERT_TRUE(v.percent) << line << ": " << v.why;
      EXPECT_NEAR(*v.percent, std::stod(f[4]), 1e-9) << line;
    }
  }
}

// AOM's rules: each curve pair gives the value of the pair written without the points the rule
// drops, or no value.
TEST(BdRate, AomRules) {
  const std::vector<RdPoint> anchor = {{500, 70.2}, {1000, 82.5}, {2000, 91.0}, {4000, 96.4}};
  const struct {
    const char* what;
    std::vector<RdPoint> test, same_as;  // same_as empty: no value
    bool saturates;
  } cases[] = {
      {"VMAF turning down past 99.5 ends the curve",
       {{450, 71.0}, {900, 83.9}, {1900, 92.2}, {3800, 99.6}, {7600, 99.55}},
       {{450, 71.0}, {900, 83.9}, {1900, 92.2}, {3800, 99.6}},
       true},
      {"below 99.5 the same turn is non-monotonic",
       {{450, 71.0}, {900, 83.9}, {1900, 92.2}, {3800, 97.6}, {7600, 97.5}},
       {},
       true},
      {"of equal qualities the lowest rate counts",
       {{450, 71.0}, {900, 83.9}, {1900, 92.2}, {2500, 92.2}, {3800, 97.6}},
       {{450, 71.0}, {900, 83.9}, {1900, 92.2}, {3800, 97.6}},
       false},
      {"rate falling as quality rises", {{450, 71.0}, {400, 83.9}, {1900, 92.2}}, {}, false},
      {"qualities apart", {{450, 10.0}, {900, 20.0}}, {}, false},
      {"a rate of 0", {{0, 71.0}, {900, 83.9}, {1900, 92.2}}, {}, false},
      {"a quality not a number", {{450, NAN}, {900, 83.9}, {1900, 92.2}}, {}, true},
      {"a lossless point counts as 100",
       {{450, 71.0}, {900, 83.9}, {1900, INFINITY}},
       {{450, 71.0}, {900, 83.9}, {1900, 100.0}},
       false},
      {"no points", {}, {}, false},
  };
  for (const auto& c : cases) {
    const BdValue v = bd_rate(BdMethod::kAom, anchor, c.test, c.saturates);
    if (c.same_as.empty()) {
      EXPECT_FALSE(v.percent) << c.what;
      EXPECT_FALSE(v.why.empty()) << c.what;
      continue;
    }
    const BdValue want = bd_rate(BdMethod::kAom, anchor, c.same_as, false);
    ASSERT_TRUE(v.percent && want.percent) << c.what << ": " << v.why;
    EXPECT_EQ(*v.percent, *want.percent) << c.what;
  }
}

BdSummary summary_of(const std::string& anchor, const std::string& test, BdMethod method) {
  RdTable t[2];
  BdSummary s;
  std::string why;
  EXPECT_TRUE(read_rd_table(anchor, &t[0], &why)) << why;
  EXPECT_TRUE(read_rd_table(test, &t[1], &why)) << why;
  EXPECT_TRUE(bd_summary(t[0], t[1], method, &s, &why)) << why;
  return s;
}

// Rows of AOM's published summary (rounded to four decimals) from its published RD tables: random
// access, and adaptive streaming, whose ladders are compared by their hulls.
TEST(BdRate, AomPublishedSummary) {
  for (const std::string cfg : {"RA", "AS"}) {
    const BdSummary s = summary_of(kDir + "/aom/anchor_" + cfg + ".csv",
                                   kDir + "/aom/test_" + cfg + ".csv", BdMethod::kAom);
    const std::vector<std::string> lines =
        split(slurp(kDir + "/aom/summary_" + cfg + ".csv"), '\n');
    ASSERT_EQ(s.sequences.size() + 1, lines.size()) << cfg;
    for (size_t i = 0; i < s.sequences.size(); ++i) {
      const auto cells = split(lines[i + 1], ',');
      const BdRow& row = s.sequences[i];
      EXPECT_EQ(cells[3], row.video);
      for (int m = 0; m < kBdMetrics; ++m) {
        ASSERT_TRUE(row.value[m].percent) << row.video << " " << kBdMetricNames[m];
        EXPECT_NEAR(*row.value[m].percent, std::stod(cells[size_t(4 + m)]), 1e-4 + 1e-9)
            << row.video << " " << kBdMetricNames[m];
      }
    }
  }
  // RA: A1's two sequences, A2's one, then all three.
  const BdSummary s =
      summary_of(kDir + "/aom/anchor_RA.csv", kDir + "/aom/test_RA.csv", BdMethod::kAom);
  ASSERT_EQ(s.averages.size(), 3u);
  EXPECT_EQ(s.averages[0].sequences, 2);
  EXPECT_EQ(s.averages[2].cls, "all");
  EXPECT_DOUBLE_EQ(*s.averages[2].value[0].percent,
                   (*s.sequences[0].value[0].percent + *s.sequences[1].value[0].percent +
                    *s.sequences[2].value[0].percent) /
                       3);
}

// What a bad table is told by: file, line and the fault.
TEST(BdRate, BadTablesAreNamed) {
  const std::string head = "TestCfg,Class,Name,CodedRes,QP,Bitrate(kbps),PSNR_Y\n";
  const struct {
    std::string text, why;
  } cases[] = {
      {"TestCfg,Class,Name,CodedRes,Bitrate(kbps)\n", "[t.csv] line 1: no column QP in the header"},
      {"", "[t.csv] line 1: no header (an RD table begins with TestCfg,...)"},
      {head + "RA,A,s,64x64,20,100,30\nRA,A,s,64x64,25,abc,31\n",
       "[t.csv] line 3: Bitrate(kbps) [abc] is not a number"},
      {head + "RA,A,s,64x64,20,100,3O.5\n", "[t.csv] line 2: PSNR_Y [3O.5] is not a number"},
      {head + "RA,A,s,64x64,20,100\n", "[t.csv] line 2: 6 cells where the header has 7"},
      {head + "RA,A,s,64x64,20,100,30\n\nRA,A,s,64x64,20,90,29\n",
       "[t.csv] line 4: a second row of s at 64x64 QP 20 (the first is on line 2)"},
      {head + "RA,A,s,64x64,20,100,30\nLD,A,s,64x64,25,90,29\n",
       "[t.csv] line 3: configuration LD where line 2 has RA: one configuration per table"},
  };
  for (const auto& c : cases) {
    RdTable t;
    std::string why;
    EXPECT_EQ(parse_rd_table(c.text, "t.csv", &t, &why), 0) << c.why;
    EXPECT_EQ(why, c.why);
  }
  // Cells may be quoted and empty (no value), and numbers signed.
  RdTable t;
  std::string why;
  ASSERT_TRUE(parse_rd_table(head + "RA,A,\"s, 2\",64x64,20,+100,\nRA,A,s,64x64,20,1e2,inf\n",
                             "t.csv", &t, &why))
      << why;
  EXPECT_EQ(t.rows[0].video, "s, 2");
  EXPECT_FALSE(t.rows[0].quality[0]);
  EXPECT_EQ(*t.rows[1].quality[0], INFINITY);
  EXPECT_TRUE(t.has[0] && !t.has[1]);
}

// The mode from its command line: the exit status, and what stdout and stderr hold.
TEST(BdRate, Mode) {
  const std::string a = kDir + "/aom/anchor_RA.csv", t = kDir + "/aom/test_RA.csv";
  const std::string csv = ::testing::TempDir() + "bd_mode.csv";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // each found in its stream
  } cases[] = {
      {{"--bd-rate", a, t, "--csv=" + csv}, 0, "RA   all    average of 3", ""},
      {{"--bd-rate", a, t, "--bd-method=awcy"}, 0, "(awcy)", ""},
      {{"--bd-rate", a, "--bd-method=bogus"}, 1, "", "[--bd-method=bogus]: not a method"},
      {{a, t, "--bd-method=pchip"}, 1, "", "--bd-method applies to --bd-rate"},
      {{"--bd-rate", a}, 1, "", "vidqual --bd-rate ANCHOR TEST"},
      {{"--bd-rate", a, t, "5"}, 1, "", "vidqual --bd-rate ANCHOR TEST"},
      {{"--bd-rate", a, t, "--json=x.json"}, 1, "", "--json does not apply to --bd-rate"},
      {{"--bd-rate", a, t, "--ssim"}, 1, "", "--ssim does not apply"},
      {{"--bd-rate", a, t, "--csv=" + t}, 1, "", "is the input"},
      {{"--bd-rate", a, kDir + "/methods.txt"}, 2, "", "methods.txt] line 1: no column TestCfg"},
      {{"--bd-rate", a, kDir + "/aom/summary_RA.csv"}, 2, "", "no column TestCfg"},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"vidqual"};
    for (const std::string& arg : c.args)
      argv.push_back(arg.c_str());
    char *out_text = nullptr, *err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    Console console;
    console.out = open_memstream(&out_text, &out_size);
    console.err = open_memstream(&err_text, &err_size);
    const int status =
        vidqual_main(int(argv.size()), argv.data(), console, [](ProductVersion*) { return 0; });
    std::fclose(console.out);
    std::fclose(console.err);
    const std::string out(out_text, out_size), err(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    EXPECT_EQ(status, c.status) << c.args.back() << "\n" << err;
    EXPECT_NE(out.find(c.out), std::string::npos) << c.args.back() << "\n" << out;
    EXPECT_NE(err.find(c.err), std::string::npos) << c.args.back() << "\n" << err;
  }
  // The CSV: AOM's summary layout, a row per sequence at full precision.
  const std::vector<std::string> rows = split(slurp(csv), '\n');
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].substr(0, 30), "cfg,class,video,psnr_y,psnr_u,");
  EXPECT_EQ(rows[1].substr(0, 55), "RA,A1,BoxingPractice_3840x2160_5994fps_10bit_420.y4m,-2");
  std::remove(csv.c_str());
}

}  // namespace
}  // namespace vq
