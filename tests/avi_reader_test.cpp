// The AVI reader and its video source on files built in memory: chunks, indexes, formats, damage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "avi/avi.h"
#include "avi/frame_size.h"
#include "avi/reader.h"
#include "tests/avi_writer.h"
#include "tests/frames.h"

namespace vq {
namespace {

// The reader's bytes over an input in memory, or over a file.
std::unique_ptr<ByteSource> memory_bytes(const std::vector<uint8_t>& file) {
  return std::make_unique<ByteSource>(
      std::make_unique<InputFile>("memory", file.data(), file.size()));
}
std::unique_ptr<ByteSource> file_bytes(const std::string& path) {
  std::unique_ptr<InputFile> input;
  std::string why;
  if (open_input_file(path.c_str(), &input, &why) != OpenStatus::kOpened) return nullptr;
  return std::make_unique<ByteSource>(std::move(input));
}

using enum test::AviIndex;
using Bytes = std::vector<uint8_t>;
using test::put32;

// `n` frames of w x h pixels with packed rows, each a different colour.
test::AviVideo sample_video(int n, int w, int h, int bits = 24) {
  std::vector<Bytes> frames;
  for (int i = 0; i < n; ++i) {
    const test::Picture p = test::solid(w, h, {uint8_t(20 * i), uint8_t(100 + i), 200});
    frames.push_back(test::rgb_frame(p, bits, test::Rows::kPacked));
  }
  return test::video_from_frames(frames);
}

// Where `tag` first (or last) occurs in `b`.
size_t find_tag(const Bytes& b, const char* tag, bool last = false) {
  const auto at = last ? std::find_end(b.begin(), b.end(), tag, tag + 4)
                       : std::search(b.begin(), b.end(), tag, tag + 4);
  return size_t(at - b.begin());
}

// Frame i from `src`: when `delivered`, `header` followed by the pixels frame i of `v` shows:
// its chunk; for a dropped (empty) chunk the last picture before it, and before any picture
// `black` zero bytes. Else nothing at all.
void expect_frame(AviVideoSource& src, const test::AviVideo& v, int32_t i, bool delivered,
                  Bytes header, size_t black) {
  DibFrame f;
  ASSERT_EQ(delivered, src.get_frame(i, &f)) << "frame " << i;
  int32_t k = std::min(i, int32_t(v.chunks.size()) - 1);
  while (k >= 0 && v.chunks[size_t(k)].empty())
    --k;
  const Bytes pixels = k >= 0 ? v.chunks[size_t(k)] : Bytes(black, 0);
  header.insert(header.end(), pixels.begin(), pixels.end());
  EXPECT_EQ(delivered ? header : Bytes(), Bytes(f.data, f.data + f.size)) << "frame " << i;
}

// Through the source seam every raw frame is a picture: converted (the last column of an odd
// width and the last row of an odd height are 0, as the run has always compared them), and a
// frame nothing converts is handed out refused with its reason and the size its header states,
// which the pair's refusal names.
TEST(AviSource, HandsOutPictures) {
  const struct {
    int bits, w, h;
    const char* refused;
  } cases[] = {
      {24, 5, 3, ""}, {32, 6, 4, ""}, {16, 6, 3, ""}, {8, 6, 4, "pixel format not supported"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.w) + "x" +
                 std::to_string(c.h));
    const Bytes file = test::avi_bytes(sample_video(2, c.w, c.h, c.bits));
    AviVideoSource src;
    ASSERT_EQ(1, src.open_memory(file.data(), file.size()));
    Bytes first;
    for (int32_t i = 0; i < 2; ++i) {
      Frame f;
      ASSERT_EQ(Fetch::kFrame, src.get_frame(i, &f));
      EXPECT_EQ(c.refused, f.refused);
      if (*c.refused) {
        EXPECT_FALSE(f.is_picture());
        EXPECT_EQ(std::tuple(int64_t(c.w), int64_t(c.h)),
                  std::tuple(f.stated_width, f.stated_height));
        continue;
      }
      const Picture& p = f.picture;
      ASSERT_EQ(std::tuple(c.w, c.h, c.w / 2, c.h / 2),
                std::tuple(p.width, p.height, p.chroma_width, p.chroma_height));
      const Bytes planes = test::packed<Bytes>(p);
      for (int32_t y = 0; y < c.h; ++y) {
        for (int32_t x = 0; x < c.w; ++x) {
          if ((c.w & 1 && x == c.w - 1) || (c.h & 1 && y == c.h - 1)) {
            EXPECT_EQ(0, planes[size_t(y * c.w + x)]) << x << "," << y;
          }
        }
      }
      if (i == 0) first = planes;
      if (i == 1) {
        EXPECT_NE(first, planes);  // each fetch shows its own frame
      }
    }
  }
}

// The 32-bit value `at` bytes past the first occurrence of a tag.
using Patch = std::tuple<const char*, int, uint32_t>;

// A file laid out and damaged as a writer, a crash or a hostile author would leave it.
struct FileCase {
  const char* name;
  test::AviLayout layout;
  std::vector<Patch> patches = {};
  int32_t length = 5;                 // the length the source reports; 0: the file does not open
  unsigned delivered = 0x1F;          // bit i: frame i is delivered, the others are not
  size_t cut = 0;                     // bytes cut off the file's end
  int64_t stored_length = -1;         // the stream header's length (-1: the number of chunks)
  IndexKind kind = IndexKind::kNone;  // where the frames are found (kNone: the index written)
  int32_t walked_from = 0;            // kWalk: the first chunk the walk found (after the index)
  size_t zeros = 0;                   // zero bytes added at the end (after any cut)
};

TEST(AviReader, FilesOfEveryLayoutAndDamage) {
  using K = IndexKind;
  const test::AviLayout walk{.index = kNone}, odml_only{.index = kOpenDmlOnly};
  const test::AviLayout odml{.index = kOpenDml, .frames_per_segment = 2};  // three segments
  const FileCase cases[] = {
      {"idx1 relative to movi", {}},
      {"absolute idx1, audio first", {.index = kIdx1Absolute, .audio_first = true}},
      {"idx1, palette changes, no JUNK", {.junk = false, .palette_changes = true}},
      {"audio first, LIST rec", {.index = kNone, .audio_first = true, .rec_lists = true}},
      {"palette changes, no index", {.index = kNone, .palette_changes = true}},
      {"OpenDML", odml},
      // Not an index of indexes: idx1 covers the first segment, a walk finds every one.
      {"super index unreadable", odml, {{"indx", 8, 0x07000004}}, 5, 0x1F, 0, -1, K::kWalk, 2},
      {"unfinished: RIFF and movi sizes 0", walk, {{"RIFF", 4, 0}, {"movi", -4, 0}}},
      {"picture far larger than the file", {}, {{"strf", 12, 1 << 20}, {"strf", 16, 99}}},
      {"idx1 entry of 4 GB", {}, {{"idx1", 8 + 16 * 3 + 12, ~0u}}, 5, 0b10111},
      {"idx1 entry past the end", {}, {{"idx1", 8 + 16 + 8, 0x7FFFFFF0}}, 5, 0b11001},
      {"RIFF larger than the file", {}, {{"RIFF", 4, ~0u}}},
      {"movi larger than the file", walk, {{"movi", -4, ~0u}}},
      {"ix based past 2^64", odml_only, {{"ix00", 20, ~0u}, {"ix00", 24, ~0u}}, 5, 0b1},
      {"not RIFF", {}, {{"RIFF", 0, fourcc('R', 'I', 'F', 'X')}}, 0},
      {"no video stream", {}, {{"vids", 0, fourcc('a', 'u', 'd', 's')}}, 0},
      {"format shorter than 40 bytes", {}, {{"strf", 4, 36}}, 0},
      // A stream header of 20 bytes, then an unknown chunk up to the stream format.
      {"stream header too short", {}, {{"strh", 4, 20}, {"strh", 32, 28}}, 0},
      {"length short of the chunks", {}, {}, 3, 0b111, 0, 3},
      // A length of 0 or of 2^31 and more states nothing: the frames found are the length.
      {"length 0", {}, {}, 5, 0x1F, 0, 0},
      {"length 0, no index", walk, {}, 5, 0x1F, 0, 0},
      {"length 2^31", {}, {}, 5, 0x1F, 0, 0x80000000},
      {"length 2^32 - 1, OpenDML", odml, {}, 5, 0x1F, 0, 0xFFFFFFFF},
      // The file ends inside idx1 (two entries left): the other chunks are walked.
      {"cut in idx1", {.junk = false}, {}, 5, 0x1F, 40, -1, K::kWalk, 2},
      // Zeros after the last chunk (a preallocated file) end the list they are in.
      {"zeros after RIFF", {}, {}, 5, 0x1F, 0, -1, K::kNone, 0, 4096},
      {"zeros in unsized RIFF", {}, {{"RIFF", 4, 0}}, 5, 0x1F, 0, 0, K::kNone, 0, 4096},
      {.name = "zeros in unsized movi",
       .layout = walk,
       .patches = {{"RIFF", 4, 0}, {"movi", -4, 0}},
       .stored_length = 0,
       .zeros = 4096},
      {"cut in the last chunk", {.index = kNone, .junk = false}, {}, 5, 0xF, 20},
      // The last segment's standard index is lost with the cut: its chunks are walked.
      {"cut in the last segment", odml, {}, 5, 0xF, 20 + 48, -1, K::kWalk, 4},
  };
  const IndexKind written[] = {K::kIdx1, K::kIdx1, K::kWalk, K::kOpenDml, K::kOpenDml};
  for (const FileCase& c : cases) {
    for (int bits : {24, 16}) {
      // 5 x 3 packed rows (odd-sized chunks at 24 bits); frames 0 and 2 dropped, frame 3 larger
      // than the picture; Windows tags ('db') at 16 bits.
      test::AviVideo v = sample_video(5, 5, 3, bits);
      v.chunks[0].clear();
      v.chunks[2].clear();
      v.chunks[3].resize(301, 0x44);
      v.delta = {false, false, true, true, true};
      v.tag_db = bits == 16;
      v.length = c.stored_length;
      Bytes file = test::avi_bytes(v, c.layout);
      file.resize(file.size() - c.cut);
      file.resize(file.size() + c.zeros, 0);
      for (const auto& [tag, at, value] : c.patches)
        put32(&file, find_tag(file, tag) + at, value);
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(bits) + " bits");
      const IndexKind kind = c.kind != K::kNone ? c.kind : written[int(c.layout.index)];

      AviReader r;
      ASSERT_EQ(c.length != 0, r.open(memory_bytes(file)));
      AviVideoSource src;
      ASSERT_EQ(c.length != 0, src.open_memory(file.data(), file.size()));
      EXPECT_EQ(c.length, src.length());
      if (c.length == 0) continue;
      EXPECT_EQ(kind, r.index_kind());
      for (int32_t i = -1; i <= r.packet_count(); ++i) {
        // Keyframes as the index says; a walk finds nothing that says otherwise.
        const bool in_range = i >= 0 && i < r.packet_count();
        const bool walked = kind == K::kWalk && i >= c.walked_from;
        EXPECT_EQ(in_range && (walked || !v.delta[size_t(i)]), r.is_keyframe(i)) << i;
        Bytes packet;  // a packet read is exactly the stored chunk
        EXPECT_TRUE(!r.read_packet(i, &packet) || (in_range && packet == v.chunks[size_t(i)])) << i;
      }
      // Each frame: the file's format header, then its pixels; black is the whole picture the
      // header calls for, but never more than the file could hold.
      const size_t strf = find_tag(file, "strf", true) + 8;  // the video's is the last format
      const Bytes header(file.begin() + strf, file.begin() + strf + 40);
      const size_t black = std::min<size_t>(frame_pixel_bytes(header.data(), 40), file.size());
      // Out of order: what a frame shows does not depend on the fetch before it.
      for (int32_t i : {4, 0, 1, 2, 3, 4, 5, 6, -1})
        expect_frame(src, v, i, i >= 0 && (c.delivered >> i & 1), header, black);
    }
  }
}

// A super index whose entries all name one standard index that claims the rest of the file:
// the index holds no more entries than the file has room for chunks.
TEST(AviReader, IndexGrowthIsBoundedByTheFile) {
  test::AviVideo v = sample_video(1, 2, 2);
  v.chunks.resize(100);  // a segment each
  v.length = 0x7FFFFFFF;
  Bytes file = test::avi_bytes(v, {.index = kOpenDmlOnly, .frames_per_segment = 1});
  const size_t ix = find_tag(file, "ix00");
  put32(&file, ix + 4, 0xFFFFFFF0u);
  put32(&file, ix + 12, 0xFFFFFFF0u);
  for (size_t k = 0; k < 100; ++k)
    put32(&file, find_tag(file, "indx") + 32 + 16 * k, uint32_t(ix));
  AviReader r;
  ASSERT_EQ(1, r.open(memory_bytes(file)));
  EXPECT_EQ(IndexKind::kOpenDml, r.index_kind());
  EXPECT_EQ(int32_t(file.size() / 8 + 1), r.packet_count());
}

// The pixel bytes a frame of the format needs.
TEST(AviFrameSize, PixelBytesFromTheFormat) {
  auto bytes = [](int32_t w, int32_t h, uint16_t bits, uint32_t compression, uint32_t size) {
    uint8_t raw[40];
    write_bitmap_info_header({40, w, h, 1, bits, compression, size}, raw);
    return frame_pixel_bytes(raw, sizeof raw);
  };
  EXPECT_EQ(80u, bytes(6, -4, 24, kBiRgb, 72));                      // rows padded to 4 bytes
  EXPECT_EQ(15u + 2 * 2, bytes(5, 3, 12, kFourccYV12, 0));           // YV12: quarter chroma planes
  EXPECT_EQ(1000u, bytes(-3, 2, 32, kBiRgb, 1000));                  // never below biSizeImage
  EXPECT_EQ(~0ull, bytes(INT32_MIN, INT32_MIN, 0xFFFF, kBiRgb, 0));  // saturates, no overflow
}

// OpenDML beyond 4 GiB: the second segment starts past 2^32 (a hole on disk). Found through the
// indexes, and with the super index renamed away, by a walk over both movi lists.
TEST(AviReader, OpenDmlBeyondFourGiB) {
  const test::AviVideo v = sample_video(4, 4, 2);
  const std::string path = ::testing::TempDir() + "vq_big_" + std::to_string(::getpid()) + ".avi";
  auto image = test::make_avi(v, {.index = kOpenDmlOnly, .frames_per_segment = 2, .gap = ~0u});
  ASSERT_GT(image.size, 1ull << 32);
  for (IndexKind kind : {IndexKind::kOpenDml, IndexKind::kWalk}) {
    if (kind == IndexKind::kWalk)
      put32(&image.pieces[0].second, find_tag(image.pieces[0].second, "indx"), 0);
    if (!image.write_file(path)) {
      std::remove(path.c_str());
      GTEST_SKIP() << "no room for a sparse file of 4 GiB here";
    }
    AviReader r;
    ASSERT_EQ(1, r.open(file_bytes(path)));
    EXPECT_EQ(kind, r.index_kind());
    AviVideoSource src;
    ASSERT_EQ(1, src.open(path.c_str()));
    for (int32_t i = 0; i < 4; ++i)
      expect_frame(src, v, i, true, v.format, 0);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vq
