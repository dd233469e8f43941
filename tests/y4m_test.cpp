// The Y4M and headerless YUV readers on files built in memory: headers, layouts, limits, damage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/frames.h"
#include "y4m/y4m.h"

// The largest block asked of operator new since it was last set to 0 (tests/largest_new.cpp).
extern std::atomic<size_t> g_largest_new;

namespace vq {
namespace {

using Bytes = std::vector<uint8_t>;
using Ptr = std::unique_ptr<VideoSource>;

std::unique_ptr<InputFile> regular_file(const Bytes& bytes) {
  const int fd = memfd_create("y4m_test", 0);
  if (::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) std::abort();
  return std::make_unique<InputFile>("t.y4m", fd, true, bytes.size());
}

// A pipe whose writer (a thread, finished when the test's source is done) sends `bytes`; its
// first bytes already peeked, as the reader picker leaves them.
struct PipeFile {
  std::unique_ptr<InputFile> file;
  std::thread writer;
  explicit PipeFile(Bytes bytes) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    file = std::make_unique<InputFile>("-", fds[0], false, 0);
    writer = std::thread([fd = fds[1], b = std::move(bytes)] {
      for (size_t at = 0; at < b.size();) {
        const ssize_t r = ::write(fd, b.data() + at, b.size() - at);
        if (r <= 0) break;
        at += size_t(r);
      }
      ::close(fd);
    });
    (void)file->peek(64);
  }
  ~PipeFile() { writer.join(); }
};

struct Format {
  const char* tag;  // Y4M colour space tag, "" for none
  ChromaLayout layout;
  int depth;
  const char* pix_fmt;
};
const Format kFormats[] = {{"", ChromaLayout::k420, 8, "yuv420p"},
                           {" C420jpeg", ChromaLayout::k420, 8, "yuv420p"},
                           {" C420p10", ChromaLayout::k420, 10, "yuv420p10le"},
                           {" C422", ChromaLayout::k422, 8, "yuv422p"},
                           {" C422p12", ChromaLayout::k422, 12, "yuv422p12le"},
                           {" C444", ChromaLayout::k444, 8, "yuv444p"},
                           {" C444p16", ChromaLayout::k444, 16, "yuv444p16le"},
                           {" Cmono", ChromaLayout::kGray, 8, "gray"},
                           {" Cmono10", ChromaLayout::kGray, 10, "gray10le"}};

// The planes of one frame of random samples below 2^depth, as a file stores them.
Bytes random_frame(const Format& f, int w, int h, std::mt19937& rng) {
  const PlaneSize c = chroma_size(f.layout, w, h);
  Bytes b((size_t(w) * h + 2 * size_t(c.width) * c.height) * size_t(sample_bytes(f.depth)));
  for (size_t i = 0; i < b.size(); ++i)
    b[i] = uint8_t(f.depth > 8 && i % 2 ? rng() & ((1u << (f.depth - 8)) - 1) : rng());
  return b;
}

// Fetches frames `order` of `src` and checks each against `frames` (an index past them: kEnd).
void expect_frames(VideoSource& src, const std::vector<Bytes>& frames, std::vector<int> order,
                   const Format& f) {
  for (int i : order) {
    Frame out;
    const Fetch got = src.get_frame(i, &out);
    if (size_t(i) >= frames.size()) {
      EXPECT_EQ(Fetch::kEnd, got) << i;
      continue;
    }
    ASSERT_EQ(Fetch::kFrame, got) << f.pix_fmt << " frame " << i << ": " << src.reason();
    EXPECT_EQ(frames[size_t(i)], test::packed<Bytes>(out.picture)) << f.pix_fmt << " frame " << i;
  }
}

TEST(Y4mHeader, ParsesEveryTagOrRefusesWithItsReason) {
  const struct {
    std::string line;
    const char* result;  // "WxH layout/depth rate range" or the reason
  } kCases[] = {
      {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg\n", "64x48 yuv420p 25/1 tv"},
      {"YUV4MPEG2 C444p12 XYSCSS=444P12 F30000:1001 H3 W5 XCOLORRANGE=FULL\n",
       "5x3 yuv444p12le 30000/1001 pc"},
      {"YUV4MPEG2  W1  H1 C420paldv It A0:0 F0:0 Zfuture\n", "1x1 yuv420p 0/0 tv"},
      {"YUV4MPEG2 W2 H2 C420mpeg2 C422p10\n", "2x2 yuv422p10le 0/0 tv"},
      {"YUV4MPEG2 W2 H2 Cmono12 XCOLORRANGE=LIMITED\n", "2x2 gray12le 0/0 tv"},
      {"YUV4MPEG2 W16384 H16384\n", "16384x16384 yuv420p 0/0 tv"},
      {"YUV4MPEG W2 H2\n", "Y4M header: no YUV4MPEG2 mark"},
      {"YUV4MPEG2W2 H2\n", "Y4M header: no space after YUV4MPEG2"},
      {"YUV4MPEG2 W2 H2", "Y4M header: cut short"},
      {"YUV4MPEG2 W2 H2 X" + std::string(kY4mMaxLine, 'x'),
       "Y4M header: no end of line in 4096 bytes"},
      {"YUV4MPEG2 H2\n", "Y4M header: no W"},
      {"YUV4MPEG2 W2\n", "Y4M header: no H"},
      {"YUV4MPEG2 W0 H2\n", "Y4M header: bad W"},
      {"YUV4MPEG2 W2 H1234567890\n", "Y4M header: bad H"},
      {"YUV4MPEG2 W2 H2 F25\n", "Y4M header: bad F"},
      {"YUV4MPEG2 W2 H2 F25:0\n", "Y4M header: bad F"},
      {"YUV4MPEG2 W2 H2 A1\n", "Y4M header: bad A"},
      {"YUV4MPEG2 W2 H2 Ix\n", "Y4M header: bad I"},
      {"YUV4MPEG2 W2 H2 C411\n", "Y4M header: colour space C411 is not read"},
      {"YUV4MPEG2 W2 H2 C420p\n", "Y4M header: colour space C420p is not read"},
      {"YUV4MPEG2 W100000 H100000\n",
       "Y4M header: 100000x100000 is larger than the largest picture read"},
  };
  for (const auto& c : kCases) {
    Y4mHeader h;
    std::string why, result;
    if (parse_y4m_header(c.line.data(), c.line.size(), &h, &why)) {
      result = std::to_string(h.format.width) + "x" + std::to_string(h.format.height) + " " +
               pix_fmt_name(h.format.layout, h.format.depth) + " " +
               std::to_string(h.format.rate_num) + "/" + std::to_string(h.format.rate_den) +
               (h.full_range ? " pc" : " tv");
      EXPECT_EQ(c.line.find('\n') + 1, h.line_size) << c.line;
    } else {
      result = why;
    }
    EXPECT_EQ(c.result, result) << c.line;
  }
}

TEST(RawYuvFormat, NamesAndSizes) {
  for (const Format& f : kFormats) {
    RawYuvFormat r;
    ASSERT_TRUE(parse_pix_fmt(f.pix_fmt, &r)) << f.pix_fmt;
    EXPECT_EQ(f.pix_fmt, pix_fmt_name(r.layout, r.depth));
  }
  RawYuvFormat r;
  for (const char* bad :
       {"yuv420p10be", "yuv420p10", "yuv420p11le", "yuv420p010le", "rgb24", "yuv411p", "gray8", ""})
    EXPECT_FALSE(parse_pix_fmt(bad, &r)) << bad;
  int32_t w = 0, h = 0;
  EXPECT_TRUE(parse_frame_size("1920x1080", &w, &h));
  EXPECT_EQ(1920, w);
  EXPECT_EQ(1080, h);
  for (const char* bad : {"1920", "1920x", "x1080", "0x10", "1920X1080", "-1x5", "16385x16385"})
    EXPECT_FALSE(parse_frame_size(bad, &w, &h)) << bad;
}

// Every layout and depth, written as Y4M (FRAME lines with and without parameters) and as raw
// YUV, read back equal from a regular file in any order and from a pipe in order. A header of
// odd length puts a deep file's samples at odd offsets, which are read into blocks rather than
// from the file's mapped pages.
TEST(YuvSource, ReadsBackWhatWasWritten) {
  std::mt19937 rng(7);
  const int w = 7, h = 5;
  for (const Format& f : kFormats) {
    for (const char* pad : {"", " Xa"}) {
      std::vector<Bytes> frames;
      std::string head = "YUV4MPEG2 W7 H5 F25:1" + std::string(f.tag) + pad + "\n";
      Bytes y4m(head.begin(), head.end()), raw;
      for (int i = 0; i < 3; ++i) {
        frames.push_back(random_frame(f, w, h, rng));
        const std::string line =
            i == 1 ? "FRAME Ip XNOTE=" + std::string(300, 'n') + "\n" : "FRAME\n";
        y4m.insert(y4m.end(), line.begin(), line.end());
        y4m.insert(y4m.end(), frames.back().begin(), frames.back().end());
        raw.insert(raw.end(), frames.back().begin(), frames.back().end());
      }
      RawYuvFormat format{w, h, f.layout, f.depth, 25, 1};
      std::string why;
      for (bool is_y4m : {true, false}) {
        const Bytes& bytes = is_y4m ? y4m : raw;
        auto open = [&](std::unique_ptr<InputFile> file) {
          return is_y4m ? open_y4m(std::move(file), &why)
                        : open_raw_yuv(std::move(file), format, &why);
        };
        Ptr src = open(regular_file(bytes));
        ASSERT_TRUE(src) << why;
        EXPECT_EQ(f.pix_fmt, src->info().pixel_format);
        EXPECT_EQ(is_y4m ? "Y4M" : "raw YUV", src->info().container);
        EXPECT_EQ(25, src->info().rate_num);
        EXPECT_EQ(3, src->info().length);
        EXPECT_TRUE(src->info().length_known);
        expect_frames(*src, frames, {2, 0, 1, 1}, f);
        Frame out;
        EXPECT_EQ(Fetch::kError, src->get_frame(3, &out));
        // Kept through the next two fetches, each frame still holds its samples then.
        ASSERT_EQ(3, src->keep_frames(3));
        const int order[] = {1, 2, 0, 1};
        Frame held[4];
        for (int k = 0; k < 4; ++k) {
          ASSERT_EQ(Fetch::kFrame, src->get_frame(order[k], &held[k]));
          if (k >= 2) {
            EXPECT_EQ(frames[size_t(order[k - 2])], test::packed<Bytes>(held[k - 2].picture))
                << f.pix_fmt;
          }
        }
        PipeFile pipe(bytes);
        src = open(std::move(pipe.file));
        ASSERT_TRUE(src) << why;
        EXPECT_EQ(1, src->keep_frames(3));  // a stream's frame lasts until the next fetch
        EXPECT_FALSE(src->info().length_known);
        expect_frames(*src, frames, {0, 0, 2, 3, 4}, f);
        EXPECT_EQ(Fetch::kError, src->get_frame(1, &out));  // a stream does not go back
        src.reset();
      }
    }
  }
}

// A cut last frame, bytes that are no FRAME line, and a header that claims far more than the
// file holds: each an unreadable frame at its index, with nothing allocated for the claim.
TEST(YuvSource, UnreadableFramesWhereTheBytesEnd) {
  const Format& f = kFormats[0];
  const std::string head = "YUV4MPEG2 W4 H2\n";
  const Bytes frame(12, 0x55);
  const struct {
    std::string tail;  // after the header and two whole frames
    int32_t length;
    const char* reason;
  } kCases[] = {
      {"", 2, ""},
      {"FRAME\nabc", 3, "Y4M frame 3 is cut short: 3 of 12 bytes"},
      {"FRAME\n", 3, "Y4M frame 3 is cut short: 0 of 12 bytes"},
      {"FRAM", 3, "Y4M frame 3"},
      {"\n", 3, "Y4M frame 3"},
      {"FRAMES\n" + std::string(12, 'x'), 3, "Y4M frame 3"},
      {"FRAME " + std::string(kY4mMaxLine, 'x') + "\n" + std::string(12, 'x'), 3, "Y4M frame 3"},
  };
  for (const auto& c : kCases) {
    Bytes bytes(head.begin(), head.end());
    for (int i = 0; i < 2; ++i) {
      bytes.insert(bytes.end(), {'F', 'R', 'A', 'M', 'E', '\n'});
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
    std::string why;
    for (bool regular : {true, false}) {
      PipeFile pipe(regular ? Bytes() : bytes);
      Ptr src = open_y4m(regular ? regular_file(bytes) : std::move(pipe.file), &why);
      ASSERT_TRUE(src) << why;
      if (regular) {
        EXPECT_EQ(c.length, src->info().length) << c.tail;
      }
      expect_frames(*src, {frame, frame}, {0, 1}, f);
      Frame out;
      // A regular file's length is known: no frame past it; a stream ends there.
      const bool end = c.length == 2 && !regular;
      EXPECT_EQ(end ? Fetch::kEnd : Fetch::kError, src->get_frame(2, &out)) << c.tail;
      EXPECT_EQ(0u, src->reason().find(c.reason)) << src->reason();
      src.reset();
    }
  }
  // A file cut short once opened (its writer started again) within the pages of its second
  // frame: that frame is read as the file was, or refused, never a fault on reading it.
  {
    const std::string big_head = "YUV4MPEG2 W64 H64\n";
    const Bytes big(64 * 64 * 3 / 2, 0x55);
    Bytes bytes(big_head.begin(), big_head.end());
    for (int i = 0; i < 2; ++i) {
      bytes.insert(bytes.end(), {'F', 'R', 'A', 'M', 'E', '\n'});
      bytes.insert(bytes.end(), big.begin(), big.end());
    }
    std::unique_ptr<InputFile> file = regular_file(bytes);
    const int fd = file->fd();
    std::string why;
    Ptr src = open_y4m(std::move(file), &why);
    ASSERT_TRUE(src) << why;
    ASSERT_EQ(0, ::ftruncate(fd, off_t(bytes.size() - big.size() + 100)));
    Frame out;
    if (src->get_frame(1, &out) == Fetch::kFrame) {
      EXPECT_EQ(big, test::packed<Bytes>(out.picture));
    }
  }
  // Raw YUV: a file with bytes short of a whole frame is refused at open, its layout named.
  Bytes raw(12 * 2 + 5, 1);
  std::string why;
  EXPECT_FALSE(open_raw_yuv(regular_file(raw), RawYuvFormat{4, 2}, &why));
  EXPECT_EQ(
      "raw YUV: the file's 29 bytes are not a whole number of 4x2 yuv420p frames of 12 bytes (5 "
      "bytes over): are --size and --pix-fmt right for this file?",
      why);
  // Endless bytes that are no header, and a directory: refused at once.
  for (const char* path : {"/dev/zero", "/"}) {
    std::string why;
    EXPECT_FALSE(
        open_y4m(std::make_unique<InputFile>(path, ::open(path, O_RDONLY), false, 0), &why));
    EXPECT_EQ(path[1] == 'd' ? "Y4M header: no YUV4MPEG2 mark" : "Y4M header: read error", why);
  }
  // A 16384x16384 4:4:4 16-bit header (1.5 GiB a frame) on a 1 KiB file, regular and piped.
  std::string lie = "YUV4MPEG2 W16384 H16384 C444p16\nFRAME\n";
  lie.resize(1024, 'x');
  for (bool regular : {true, false}) {
    PipeFile pipe(regular ? Bytes() : Bytes(lie.begin(), lie.end()));
    g_largest_new = 0;
    Ptr src = open_y4m(regular ? regular_file(Bytes(lie.begin(), lie.end())) : std::move(pipe.file),
                       nullptr);
    ASSERT_TRUE(src);
    Frame out;
    EXPECT_EQ(Fetch::kError, src->get_frame(0, &out));
    EXPECT_LT(g_largest_new.load(), size_t(1) << 20) << src->reason();
    src.reset();
  }
}

}  // namespace
}  // namespace vq
