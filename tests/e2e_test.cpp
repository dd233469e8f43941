// The real binary, run as a script would run it: stdin from /dev/null, stdout and stderr
// captured, exit status checked. AVI files are written by the test writer, damaged and unusual
// ones (a preallocated file of zeros, bit-field pixels) against plain files of the same pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/avi_writer.h"
#include "tests/frames.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

const char kBanner[] =
    "VIDQUAL v1.3.1.4, PSNR and SSIM of the Y, U and V planes of two video files\n\n";
const char kWait[] = "Press ENTER to continue...\n";

class EndToEnd : public BinaryTest {};

std::string report(const char* y, const char* u, const char* v) {
  return std::string("[PSNR]\nPsnrY   \t") + y + "\nPsnrU   \t" + u + "\nPsnrV   \t" + v + "\n";
}

// The stdout of a verbose run of `pairs` pairs that each score y, u and v.
std::string verbose_run(int pairs, const char* y, const char* u, const char* v) {
  std::string s = kBanner;
  for (int i = 1; i <= pairs; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%3d: \t%s \t%s \t%s\n", i, y, u, v);
    s += line;
  }
  return s + report(y, u, v);
}

TEST_F(EndToEnd, UsageAndWait) {
  for (auto args : {std::vector<std::string>{}, {"only.avi"}, {"a.avi", "-v"}}) {
    const Outcome r = run(args);
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(0u, r.out.find(kBanner));
    const std::string usage = r.out.substr(sizeof kBanner - 1);
    EXPECT_EQ(0u, usage.find("VIDQUAL is a command line tool to calculate PSNR (Peak Signal to "
                             "Noise Ratio)\nbetween 2 AVI files"));
    EXPECT_NE(std::string::npos,
              usage.find("\t\nUSAGE:\n\tVIDQUAL <avifile1> <avifile2> [maxframes] [-v[erbose]]\n"));
    EXPECT_EQ(22, std::count(usage.begin(), usage.end(), '\n'));
    EXPECT_EQ(std::string(kWait), usage.substr(usage.size() - sizeof kWait + 1));
    EXPECT_EQ("", r.err);
  }
}

TEST_F(EndToEnd, FilesThatCannotBeOpened) {
  const std::string good = write("good.avi", yv12_video(2));
  const std::string not_avi = path("text.avi");
  std::ofstream(not_avi) << "hello";
  const struct {
    std::string a, b, named;
  } cases[] = {{path("missing.avi"), good, path("missing.avi")},
               {good, path("missing.avi"), path("missing.avi")},
               {not_avi, good, not_avi}};
  for (const auto& c : cases) {
    const Outcome r = run({c.a, c.b, "-v"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string(kBanner) + "ERROR: can't open AVI file [" + c.named + "]\n" + kWait,
              r.out);
  }
}

// How each argument is read (maxframes as atol reads it, stray words, switches): app_test.
TEST_F(EndToEnd, PairCountsAndVerboseLines) {
  const std::string a = write("a.avi", yv12_video(10));
  const std::string b = write("b.avi", yv12_video(8, 8, 4, 51));
  const struct {
    std::vector<std::string> args;
    int pairs;
  } cases[] = {{{a, b, "-v"}, 8}, {{a, b, "5", "-v"}, 5}, {{"-verbose", a, b, "500"}, 8}};
  for (const auto& c : cases) {
    const Outcome r = run(c.args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(verbose_run(c.pairs, "48.13", "98.13", "98.13"), r.out) << c.args[2];
  }
  // Not verbose: the report alone. -V is not the verbose switch.
  EXPECT_EQ(std::string(kBanner) + report("48.13", "98.13", "98.13"), run({a, b, "-V", "-"}).out);
}

TEST_F(EndToEnd, EmptyStreamAndUnsupportedPairs) {
  test::AviVideo none = yv12_video(1);
  none.chunks.clear();
  const std::string empty = write("empty.avi", none);
  const std::string small = write("small.avi", yv12_video(3, 8, 4));
  const std::string taller = write("taller.avi", yv12_video(3, 8, 6));
  auto palette_frame = test::rgb_frame(test::solid(8, 4, {}), 24);
  palette_frame[14] = 8;
  const std::string palette = write("palette.avi", test::video_from_frames({palette_frame}));

  Outcome r = run({empty, small});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string(kBanner) + report("0.00", "0.00", "0.00"), r.out);

  for (const std::string& other : {taller, palette}) {
    r = run({small, other, "-v"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(
        std::string(kBanner) + "ERROR: unsupported AVI format\n" + report("0.00", "0.00", "0.00"),
        r.out);
  }
}

// Uncompressed frames are read as they are, whatever codec the stream header's handler names.
TEST_F(EndToEnd, RawFramesStayRawWhateverTheHandlerSays) {
  const auto f = test::rgb_frame(test::solid(8, 4, {10, 20, 30}), 24);
  const std::string plain = write("plain.avi", test::video_from_frames({f, f}));
  const std::string xvid =
      write("xvid.avi", test::video_from_frames({f, f}, fourcc('X', 'V', 'I', 'D'), true));
  const Outcome r = run({plain, xvid});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(std::string(kBanner) + report("98.13", "98.13", "98.13"), r.out);
}

TEST_F(EndToEnd, NoticesGoToStderrOnly) {
  const std::string a = write("a.avi", yv12_video(10));
  const std::string b = write("b.avi", yv12_video(8));
  Outcome r = run({a, b});
  EXPECT_EQ(std::string(kBanner) + report("98.13", "98.13", "98.13"), r.out);
  EXPECT_EQ("note: the streams differ in length: 10 frames in [" + a + "], 8 in [" + b +
                "]; 8 pairs compared\n",
            r.err);
  r = run({b, b, "3"});
  EXPECT_EQ(
      "note: maxframes 3 stops the comparison before the streams end (8 and 8 frames); 3 "
      "pairs compared\n",
      r.err);
  EXPECT_EQ("", run({b, b}).err);
}

// Headerless YUV is read with the layout given for each input, and a layout that does not fit the
// file is refused instead of scored: a size that is not a whole number of frames before any pair,
// samples above the stated depth's peak at the frame that holds them.
TEST_F(EndToEnd, RawYuvLayoutsPerInputAndChecked) {
  // Four 8x4 4:2:0 frames, 8-bit, and the same pictures at 10 bits (each sample shifted left).
  std::string bytes8, bytes10;
  for (int i = 0; i < 4 * 48; ++i) {
    const int v = 16 + (i * 7) % 200;
    bytes8 += char(v);
    bytes10 += char((v << 2) & 0xff);
    bytes10 += char(v >> 6);
  }
  std::ofstream(path("a.yuv"), std::ios::binary) << bytes8;
  std::ofstream(path("b10.yuv"), std::ios::binary) << bytes10;
  const std::string a = path("a.yuv"), b = path("b10.yuv");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // err: a part of stderr
  } cases[] = {
      {{a, b, "--size=8x4", "--pix-fmt=yuv420p:yuv420p10le"},
       0,
       std::string(kBanner) + report("110.20", "110.20", "110.20"),
       "widened by a left shift"},
      {{a, b, "--size=8x4:8x4", "--pix-fmt=yuv420p10le"},
       2,
       std::string(kBanner) + "ERROR: can't read frame 1 of AVI file [" + a + "]\n" +
           report("0.00", "0.00", "0.00"),
       "raw YUV frame 1 has samples above 1023, the peak of 10-bit samples"},
      {{a, a, "--size=16x3"},
       2,
       std::string(kBanner) + "ERROR: can't open AVI file [" + a + "]\n",
       "the file's 192 bytes are not a whole number of 16x3 yuv420p frames of 80 bytes (32 bytes "
       "over)"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.args);
    EXPECT_EQ(c.status, r.status) << c.args.back();
    if (!c.out.empty()) {
      EXPECT_EQ(0u, r.out.find(c.out)) << r.out;
    }
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
  }
}

// Two streams of unknown length (FIFOs): a note says which ended first only when the other still
// had a frame to give.
TEST_F(EndToEnd, EndedNotesOnlyWhenOneStreamIsLonger) {
  auto y4m = [&](const std::string& name, int frames) {
    std::string bytes = "YUV4MPEG2 W8 H4 F25:1 C420\n";
    for (int i = 0; i < frames; ++i)
      bytes += "FRAME\n" + std::string(48, char(40 + i));
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  };
  const struct {
    int first, second;
    std::string err;
  } cases[] = {
      {3, 3, ""},
      {3, 2, "note: [f2] ended after 2 frames, before [f1]; 2 pairs compared\n"},
      {1, 3, "note: [f1] ended after 1 frame, before [f2]; 1 pair compared\n"},
  };
  for (const auto& c : cases) {
    y4m("a.y4m", c.first);
    y4m("b.y4m", c.second);
    const std::string cmd =
        "cd " + quote(path("")) +
        " && rm -f f1 f2 && mkfifo f1 f2 && { cat a.y4m > f1 & cat b.y4m > f2 & " +
        quote(VIDQUAL_BINARY) + " f1 f2 > out 2> err; wait; }";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    EXPECT_EQ(c.err, slurp(path("err"))) << c.first << " " << c.second;
  }
}

// A frame the file does not hold ends the loop with its own error line and status 2; the report
// and the per-frame file cover the pairs before it. The --csv switch may stand anywhere.
TEST_F(EndToEnd, UnreadableFrameAndPerFrameFile) {
  const std::string a = write("a.avi", yv12_video(6));
  test::AviVideo shorter = yv12_video(4, 8, 4, 52);
  shorter.length = 6;  // the header promises more frames than the file holds
  const std::string b = write("b.avi", shorter);
  const std::string csv = path("frames.csv");
  const Outcome r = run({a, "--csv=" + csv, b, "6", "-v"});
  EXPECT_EQ(2, r.status);
  std::string verbose, rows = "pair,y_psnr,u_psnr,v_psnr,y_mse,u_mse,v_mse,depth,chroma\n";
  const std::string psnr = "42.110203695399477,98.130803608679088,98.130803608679088";
  for (int i = 1; i <= 4; ++i) {
    verbose += "  " + std::to_string(i) + ": \t42.11 \t98.13 \t98.13\n";
    rows += std::to_string(i) + "," + psnr + ",4,0,0,8,4:2:0\n";
  }
  EXPECT_EQ(kBanner + verbose + "ERROR: can't read frame 5 of AVI file [" + b + "]\n" +
                report("42.11", "98.13", "98.13"),
            r.out);
  EXPECT_EQ(rows, slurp(csv));
}

TEST_F(EndToEnd, ProgressOnATerminalOnly) {
  if (std::system("command -v script > /dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1)";
  const std::string a = write("a.avi", yv12_video(30));
  // Under a pseudo-terminal the progress line appears and is wiped before the report.
  const std::string cmd =
      "script -qec " +
      quote(quote(VIDQUAL_BINARY) + " " + quote(a) + " " + quote(a) + " < /dev/null") +
      " /dev/null > " + quote(path("tty"));
  ASSERT_EQ(0, std::system(cmd.c_str()));
  const std::string tty = slurp(path("tty"));
  const size_t progress = tty.find("frame 30/30");
  ASSERT_NE(std::string::npos, progress) << tty;
  const size_t wiped = tty.find("\r\033[K[PSNR]");
  EXPECT_NE(std::string::npos, wiped) << tty;
  EXPECT_LT(progress, wiped);
  // Not a terminal: nothing on stderr.
  EXPECT_EQ("", run({a, a}).err);
}

// `n` frames of 8 x 4 pixels, each different, whose values 5-6-5 holds exactly.
std::vector<std::vector<uint8_t>> rgb_frames(int n, int bits = 24, uint32_t header = 40) {
  std::vector<std::vector<uint8_t>> out;
  for (int i = 0; i < n; ++i) {
    test::Picture p = test::solid(8, 4, {});
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x)
        p.at(x, y) = {uint8_t(8 * (x + 3 * i)), uint8_t(4 * (x * y + 7 * i)), uint8_t(8 * y + 40)};
    out.push_back(header > 40 ? test::bitfield_frame(p, bits, header) : test::rgb_frame(p, bits));
  }
  return out;
}

// A recording left unfinished in a preallocated file, read from disk: RIFF size 0, then zeros up
// to 1 GiB; every frame it holds is compared. (Index cut short and lengths that state nothing:
// avi_reader_test, on the reader itself.)
TEST_F(EndToEnd, UnfinishedPreallocatedFile) {
  const std::string plain6 = write("plain6.avi", test::video_from_frames(rgb_frames(6)));
  std::vector<uint8_t> head =
      test::avi_bytes(test::video_from_frames(rgb_frames(4)), {.index = test::AviIndex::kNone});
  test::put32(&head, 4, 0);
  const std::string sparse = path("sparse.avi");
  std::ofstream(sparse, std::ios::binary)
      .write(reinterpret_cast<const char*>(head.data()), std::streamsize(head.size()));
  if (::truncate(sparse.c_str(), off_t(1) << 30) != 0) GTEST_SKIP() << "no sparse file here";
  const Outcome r = run({sparse, plain6, "-v"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(verbose_run(4, "98.13", "98.13", "98.13"), r.out);
}

// Bit-field frames (masks after a 40-byte header, or inside a longer one) against plain frames
// of the same pictures (each mask form on the converter itself: convert_test); masks of any
// other form are refused.
TEST_F(EndToEnd, BitFieldsAgainstPlainFiles) {
  const struct {
    const char* name;
    int bits, plain_bits;
    uint32_t header;  // 52: masks after a 40-byte header; more: inside the header
  } cases[] = {{"5-6-5", test::kBits565, 24, 52},
               {"5-6-5 in a 108-byte header", test::kBits565, 32, 108}};
  for (const auto& c : cases) {
    test::AviVideo v = test::video_from_frames(rgb_frames(3, c.bits, c.header));
    if (c.header == 52) v = test::masks_after_header(v);
    const std::string fields = write("fields.avi", v);
    const std::string plain =
        write("plain.avi", test::video_from_frames(rgb_frames(3, c.plain_bits)));
    const Outcome r = run({plain, fields, "-v"});
    EXPECT_EQ(0, r.status) << c.name;
    EXPECT_EQ(verbose_run(3, "98.13", "98.13", "98.13"), r.out) << c.name;
  }
  test::AviVideo odd = test::masks_after_header(test::video_from_frames(rgb_frames(3, 16, 52)));
  odd.format[41] = 0x7E;  // red 7E00: six bits
  const Outcome r =
      run({write("plain.avi", test::video_from_frames(rgb_frames(3, 16))), write("odd.avi", odd)});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.out.find("ERROR: unsupported AVI format\n")) << r.out;
}

}  // namespace
}  // namespace vq
