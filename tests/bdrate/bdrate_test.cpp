// BD-rate: each method against the values of the scripts and package it follows, AOM's rules,
// the RD table reader's refusals, and the mode from its command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "app/app.h"
#include "bdrate/bdrate.h"
#include "tests/ffmpeg_cli.h"

namespace vq {
namespace {

const std::string kDir = VQ_BDRATE_DIR;
#ifdef VQ_HAVE_JSON
constexpr bool kJson = true;  // the build reads and writes JSON documents
#else
constexpr bool kJson = false;
#endif

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
  // The overall metrics weigh Y, U and V by the chroma the sequence's name gives, as AOM's.
  const std::string yuv =
      "TestCfg,Class,Name,CodedRes,QP,Bitrate(kbps),PSNR_Y,PSNR_U,PSNR_V,"
      "APSNR_Y,APSNR_U,APSNR_V\n";
  ASSERT_TRUE(parse_rd_table(yuv + "RA,A,s_420,8x8,1,9,30,40,40,30,40,40\n"
                                   "RA,A,s_yuv422p10,8x8,1,9,30,40,40,30,40,40\n"
                                   "RA,A,s_gbrp,8x8,1,9,30,40,40,30,40,40\n",
                             "t.csv", &t, &why))
      << why;
  const double mse_411 = 10 * std::log10(6 / (4e-3 + 2e-4));
  const double want[3][2] = {
      {31.25, mse_411}, {32, 10 * std::log10(10 / (8e-3 + 2e-4))}, {(4 * 30 + 80) / 6.0, mse_411}};
  for (int r = 0; r < 3; ++r) {
    EXPECT_DOUBLE_EQ(*t.rows[size_t(r)].quality[3], want[r][0]) << r;
    EXPECT_NEAR(*t.rows[size_t(r)].quality[13], want[r][1], 1e-12) << r;
  }
}

// What a document that is no RD point is told by; and what one gives.
TEST(BdRate, Documents) {
  if (!kJson) {
    RdRow row;
    std::string source, why;
    EXPECT_EQ(parse_rd_document("{}", "d.json", &row, &source, &why), 0);
    EXPECT_NE(why.find("this build reads no JSON"), std::string::npos) << why;
    return;
  }
  const std::string head =
      R"({"tool":"vidqual","inputs":[{"path":"src/park.y4m"},{"path":"e.mp4","width":64,)";
  const struct {
    std::string text, why;
  } cases[] = {
      {"{", "[d.json] is not a JSON document"},
      {R"({"tool":"other","inputs":[{},{}]})", "[d.json] is not a --json document of vidqual"},
      {head + R"("height":48,"bitrate_kbps":9}],"outcome":"read_failed"})",
       "[d.json] is the document of a run that did not end well (read_failed)"},
      {head + R"("height":48,"bitrate_kbps":null}],"outcome":"ok"})",
       "[d.json] has no rate for its encode (inputs[1].bitrate_kbps is null"},
      {head + R"("height":null,"bitrate_kbps":9}],"outcome":"ok"})",
       "[d.json] has no size for its encode"},
  };
  for (const auto& c : cases) {
    RdRow row;
    std::string source, why;
    EXPECT_EQ(parse_rd_document(c.text, "d.json", &row, &source, &why), 0) << c.why;
    EXPECT_EQ(why.substr(0, c.why.size()), c.why);
  }
  // 4:4:4 weighs Y, U and V 4:1:1 in both overall metrics; a metric the run lacks has no value.
  RdRow row;
  std::string source, why;
  ASSERT_TRUE(parse_rd_document(
      head + R"("height":48,"bitrate_kbps":250.5}],"outcome":"ok","pooled_metrics":{"psnr_y":)"
             R"({"mean":40},"psnr_cb":{"mean":46},"psnr_cr":{"mean":46},"vmaf":{"mean":null}},)"
             R"("aggregate_metrics":{"apsnr_y":40,"apsnr_cb":40,"apsnr_cr":40},)"
             R"("pairs":[{"chroma":"4:4:4"}]})",
      "d.json", &row, &source, &why))
      << why;
  EXPECT_EQ(source, "src/park.y4m");
  EXPECT_EQ(row.video, "park");
  EXPECT_EQ(row.coded_res, "64x48");
  EXPECT_EQ(row.rate, 250.5);
  EXPECT_DOUBLE_EQ(*row.quality[3], 42.0);  // 4:2:0 would give 40.75
  EXPECT_DOUBLE_EQ(*row.quality[13], 40.0);
  EXPECT_FALSE(row.quality[4] || row.quality[6]);
}

// Our own campaign: libx264 at four CRFs, a fast anchor and a slower test, one sequence of one
// size and one a ladder of two, scored by the tool into --json documents; --bd-rate over the two
// folders equals --bd-rate over the same points written as AOM's CSV, with FFmpeg's stated rate.
TEST(BdRate, OwnCampaign) {
  if (test::shell("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null") != 0 ||
      !test::have_encoder("libx264"))
    GTEST_SKIP() << "no ffmpeg CLI with libx264";
  const test::FixtureDir dir("vq_bd_campaign");
  const std::string d = dir.path, vq = VIDQUAL_BINARY;
  std::string manifest, csv[2];
  std::map<std::string, double> rates;  // by encode: its size over its duration, as ffprobe says
  for (std::string& c : csv)
    c = "TestCfg,Class,Name,CodedRes,QP,Bitrate(kbps),PSNR_Y,PSNR_U,PSNR_V\n";
  const struct {
    const char *name, *source, *size;
  } rungs[] = {{"flat", "testsrc2", "320x240"},
               {"ladder", "mandelbrot", "320x240"},
               {"ladder", "mandelbrot", "160x120"}};
  for (const auto& r : rungs) {
    const std::string src = d + "/" + r.name + ".y4m";
    ASSERT_EQ(0, test::shell(test::kFfmpeg + "-y -f lavfi -i " + r.source +
                             "=size=320x240:rate=25 -frames:v 6 -pix_fmt yuv420p " + src));
    for (const std::string crf : {"24", "30", "36", "42"}) {
      for (int t = 0; t < 2; ++t) {
        const std::string enc = d + "/" + r.name + r.size + "_" + crf + (t ? "t" : "a") + ".mp4";
        ASSERT_EQ(0, test::shell(test::kFfmpeg + "-i " + src + " -s " + r.size +
                                 " -c:v libx264 -preset " + (t ? "medium" : "ultrafast") +
                                 " -crf " + crf + " " + enc));
        const std::string json = d + (t ? "/test/" : "/anchor/") + r.name + r.size + crf + ".json";
        manifest += src + " " + enc + " --json=" + json + "\n";
        const auto stated = split(
            test::capture("ffprobe -v error -show_entries format=size,duration -of csv=p=0 " + enc),
            ',');
        rates[enc] = std::stod(stated.at(1)) * 8 / std::stod(stated.at(0)) / 1000;
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.17g", rates[enc]);
        csv[t] += std::string("-,-,") + r.name + "," + r.size + "," + crf + "," + rate + ",{" +
                  json + "}\n";
      }
    }
  }
  std::filesystem::create_directories(d + "/anchor");
  std::filesystem::create_directories(d + "/test");
  std::ofstream(d + "/m.txt") << manifest;
  ASSERT_EQ(0,
            test::shell(vq + " --manifest=" + d +
                        "/m.txt --scale=lanczos:param0=5:accurate_rnd:full_chroma_int >/dev/null"));
  // The CSV's quality cells from each document's pooled PSNR.
  for (std::string& c : csv) {
    for (size_t at; (at = c.find('{')) != std::string::npos;) {
      const size_t end = c.find('}', at);
      const std::string text = slurp(c.substr(at + 1, end - at - 1));
      std::string cells;
      for (const char* name : {"\"psnr_y\"", "\"psnr_cb\"", "\"psnr_cr\""}) {
        const size_t mean = text.find("\"mean\": ", text.find(name, text.find("pooled_metrics")));
        cells +=
            (cells.empty() ? "" : ",") + text.substr(mean + 8, text.find(',', mean) - mean - 8);
      }
      c.replace(at, end - at + 1, cells);
    }
  }
  RdTable tables[4];
  std::string why;
  ASSERT_TRUE(read_rd_table(d + "/anchor", &tables[0], &why)) << why;
  ASSERT_TRUE(read_rd_table(d + "/test", &tables[1], &why)) << why;
  ASSERT_TRUE(parse_rd_table(csv[0], "a.csv", &tables[2], &why)) << why;
  ASSERT_TRUE(parse_rd_table(csv[1], "t.csv", &tables[3], &why)) << why;
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(tables[t].rows.size(), 12u);
    for (const RdRow& row : tables[t].rows)
      EXPECT_NEAR(row.rate, rates.at(row.qp), 1e-9) << row.file;
  }
  BdSummary ours, theirs;
  ASSERT_TRUE(bd_summary(tables[0], tables[1], BdMethod::kAom, &ours, &why)) << why;
  ASSERT_TRUE(bd_summary(tables[2], tables[3], BdMethod::kAom, &theirs, &why)) << why;
  ASSERT_EQ(ours.sequences.size(), 2u);
  ASSERT_EQ(ours.averages.size(), 1u);  // documents have no classes: the average over all
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(ours.sequences[i].video, theirs.sequences[i].video);
    for (int m : {0, 1, 2, 3}) {
      ASSERT_TRUE(ours.sequences[i].value[m].percent) << ours.sequences[i].value[m].why;
      EXPECT_NEAR(*ours.sequences[i].value[m].percent, *theirs.sequences[i].value[m].percent, 1e-9);
      EXPECT_LT(*ours.sequences[i].value[m].percent, 0);  // the slower preset saves
    }
  }
  // No output lands on a document read.
  const std::string doc = d + "/test/flat320x24024.json", before = slurp(doc);
  EXPECT_EQ(1, test::shell(vq + " --bd-rate " + d + "/anchor " + d + "/test --json=" + doc +
                           " >/dev/null 2>&1"));
  EXPECT_EQ(slurp(doc), before);
  // A list names documents relative to its folder; a sequence one table lacks is named.
  std::ofstream(d + "/list.txt") << "# anchor, the flat sequence only\nanchor/flat320x24024.json\n";
  ASSERT_TRUE(read_rd_table(d + "/list.txt", &tables[0], &why)) << why;
  EXPECT_FALSE(bd_summary(tables[0], tables[1], BdMethod::kAom, &ours, &why));
  EXPECT_NE(why.find("]: sequence ladder is not in [" + d + "/list.txt]"), std::string::npos)
      << why;
}

// The mode from its command line: the exit status, and what stdout and stderr hold.
TEST(BdRate, Mode) {
  const std::string a = kDir + "/aom/anchor_RA.csv", t = kDir + "/aom/test_RA.csv";
  const std::string csv = ::testing::TempDir() + "bd_mode.csv";
  const std::string json = ::testing::TempDir() + "bd_mode.json";
  const std::string html = ::testing::TempDir() + "bd_mode.html";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // each found in its stream
  } cases[] = {
      {kJson ? std::vector<std::string>{"--bd-rate", a, t, "--csv=" + csv, "--json=" + json,
                                        "--html=" + html}
             : std::vector<std::string>{"--bd-rate", a, t, "--csv=" + csv, "--html=" + html},
       0, "RA   all    average of 3", ""},
      {{"--bd-rate", a, t, "--bd-method=awcy"}, 0, "(awcy)", ""},
      {{"--bd-rate", a, "--bd-method=bogus"}, 1, "", "[--bd-method=bogus]: not a method"},
      {{a, t, "--bd-method=pchip"}, 1, "", "--bd-method applies to --bd-rate"},
      {{"--bd-rate", a}, 1, "", "vidqual --bd-rate ANCHOR TEST"},
      {{"--bd-rate", a, t, "5"}, 1, "", "vidqual --bd-rate ANCHOR TEST"},
      {{"--bd-rate", a, t, "--xml=x.xml"}, 1, "", "--xml does not apply to --bd-rate"},
      {{"--bd-rate", a, t, "--json=" + json, "--html=" + json},
       1,
       "",
       kJson ? "are one file" : "--json is unavailable"},
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
  // The JSON document and the page: every sequence, a chart for each metric of each.
  const std::string page = slurp(html);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  const auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count(page, "<svg class=\"rd\""), 3u * kBdMetrics);
  if (kJson) {
    const std::string doc = slurp(json);
    EXPECT_NE(doc.find("\"video\": \"BoxingPractice_3840x2160_5994fps_10bit_420.y4m\""),
              std::string::npos);
    EXPECT_EQ(count(doc, "\"video\": "), 3u);
    EXPECT_EQ(count(doc, "\"class\": "), 3u + 3u);  // three sequences, two classes, all
  }
  for (const std::string& f : {csv, json, html})
    std::remove(f.c_str());
}

}  // namespace
}  // namespace vq
