#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "avi/byte_source.h"
#include "avi/frame_size.h"
#include "avi/reader.h"
#include "tests/avi_writer.h"
#include "tests/frames.h"

namespace vq {
namespace {

using test::AviIndex;
using test::AviLayout;
using test::AviVideo;
using Bytes = std::vector<uint8_t>;

// `n` frames of w x h pixels, each a different picture, as packed DIB frames.
AviVideo sample_video(int n, int w = 6, int h = 4, int bits = 24,
                      test::Rows rows = test::Rows::kPadded,
                      test::Order order = test::Order::kBottomUp) {
  std::vector<Bytes> frames;
  for (int i = 0; i < n; ++i) {
    test::Picture p = test::solid(w, h, {uint8_t(20 * i), uint8_t(100 + i), 200});
    p.at(i % w, i % h) = {1, 2, 3};
    frames.push_back(test::rgb_frame(p, bits, rows, order));
  }
  return test::video_from_frames(frames);
}

size_t find_tag(const Bytes& b, const char* tag, size_t from = 0) {
  for (size_t i = from; i + 4 <= b.size(); ++i) {
    if (std::memcmp(b.data() + i, tag, 4) == 0) return i;
  }
  ADD_FAILURE() << "no " << tag;
  return 0;
}
void put32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    (*b)[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// Frame i handed out by `src` is the stream's header followed by exactly `chunk`.
void expect_frame(AviVideoSource& src, int32_t i, const Bytes& format, const Bytes& chunk,
                  const std::string& what) {
  DibFrame f;
  ASSERT_EQ(1, src.get_frame(i, &f)) << what << " frame " << i;
  ASSERT_EQ(kBitmapInfoHeaderSize + chunk.size(), f.size) << what << " frame " << i;
  EXPECT_EQ(0, std::memcmp(f.data, format.data(), kBitmapInfoHeaderSize)) << what;
  EXPECT_EQ(0, std::memcmp(f.data + kBitmapInfoHeaderSize, chunk.data(), chunk.size()))
      << what << " frame " << i;
}

IndexKind index_kind_of(const Bytes& file) {
  AviReader r;
  if (!r.open(memory_source(file.data(), file.size()))) return IndexKind::kNone;
  return r.index_kind();
}

// Every layout a writer may choose gives the same frames, found through the expected index.
TEST(AviReader, LayoutsDeliverTheStoredFrames) {
  const struct {
    const char* name;
    AviLayout layout;
    bool tag_db;
    IndexKind kind;
    std::function<void(Bytes*)> damage;
  } cases[] = {
      {"idx1 relative to movi", {}, false, IndexKind::kIdx1, nullptr},
      {"idx1 absolute", {.index = AviIndex::kIdx1Absolute}, false, IndexKind::kIdx1, nullptr},
      {"no index", {.index = AviIndex::kNone}, false, IndexKind::kWalk, nullptr},
      {"no JUNK, Windows tags", {.junk = false}, true, IndexKind::kIdx1, nullptr},
      {"audio first", {.audio_first = true}, false, IndexKind::kIdx1, nullptr},
      {"audio first, absolute idx1",
       {.index = AviIndex::kIdx1Absolute, .audio_first = true},
       true,
       IndexKind::kIdx1,
       nullptr},
      {"audio first, LIST rec, no index",
       {.index = AviIndex::kNone, .audio_first = true, .rec_lists = true},
       false,
       IndexKind::kWalk,
       nullptr},
      {"LIST rec with idx1", {.rec_lists = true}, false, IndexKind::kIdx1, nullptr},
      {"palette changes ignored", {.palette_changes = true}, false, IndexKind::kIdx1, nullptr},
      {"palette changes, no index",
       {.index = AviIndex::kNone, .palette_changes = true},
       true,
       IndexKind::kWalk,
       nullptr},
      {"LIST INFO and vprp", {.info = true}, false, IndexKind::kIdx1, nullptr},
      {"OpenDML, one segment", {.index = AviIndex::kOpenDml}, false, IndexKind::kOpenDml, nullptr},
      {"OpenDML, three segments",
       {.index = AviIndex::kOpenDml, .frames_per_segment = 2},
       false,
       IndexKind::kOpenDml,
       nullptr},
      {"OpenDML without idx1, audio first, LIST rec",
       {.index = AviIndex::kOpenDmlOnly,
        .audio_first = true,
        .rec_lists = true,
        .frames_per_segment = 2},
       true,
       IndexKind::kOpenDml,
       nullptr},
      {"OpenDML with an unreadable super index: idx1 and a walk over every segment",
       {.index = AviIndex::kOpenDml, .frames_per_segment = 2},
       false,
       IndexKind::kWalk,
       [](Bytes* b) { (*b)[find_tag(*b, "indx") + 11] = 7; }},  // not an index of indexes
      {"unfinished recording: RIFF and movi sizes 0, no index",
       {.index = AviIndex::kNone},
       false,
       IndexKind::kWalk,
       [](Bytes* b) {
         put32(b, 4, 0);
         put32(b, find_tag(*b, "movi") - 4, 0);
       }},
      {"idx1 whose offsets fit neither origin at first sight",
       {},
       false,
       IndexKind::kIdx1,
       [](Bytes* b) {
         // Same chunks, but the first entry's tag no longer names the chunk it points at.
         const size_t idx1 = find_tag(*b, "idx1");
         std::memcpy(b->data() + idx1 + 8, "00db", 4);
       }},
  };
  for (const auto& c : cases) {
    for (int bits : {24, 16}) {
      // 5 x 3 packed rows: odd-sized chunks, each followed by a pad byte.
      AviVideo v = sample_video(5, 5, 3, bits, test::Rows::kPacked);
      if (c.tag_db) {  // as Windows writers store raw frames
        v.tag_db = true;
        v.fcc_handler = fourcc('D', 'I', 'B', ' ');
      }
      Bytes file = test::avi_bytes(v, c.layout);
      if (c.damage) c.damage(&file);
      const std::string what = std::string(c.name) + ", " + std::to_string(bits) + " bits";
      EXPECT_EQ(c.kind, index_kind_of(file)) << what;
      AviVideoSource src;
      ASSERT_EQ(1, src.open_memory(file.data(), file.size())) << what;
      ASSERT_EQ(5, src.length()) << what;
      for (int32_t i = 0; i < 5; ++i)
        expect_frame(src, i, v.format, v.chunks[size_t(i)], what);
      // Backwards too: every fetch is independent of the one before.
      for (int32_t i = 4; i >= 0; --i)
        expect_frame(src, i, v.format, v.chunks[size_t(i)], what);
      DibFrame f;
      EXPECT_EQ(0, src.get_frame(5, &f)) << what;
      EXPECT_EQ(0, src.get_frame(-1, &f)) << what;
    }
  }
}

// An empty chunk is a dropped frame: the picture before it again, black before any picture.
TEST(AviReader, DroppedFramesRepeatThePreviousPicture) {
  for (AviIndex index : {AviIndex::kIdx1, AviIndex::kNone, AviIndex::kOpenDmlOnly}) {
    AviVideo v = sample_video(6);
    v.chunks[0].clear();
    v.chunks[2].clear();
    v.chunks[4].clear();
    v.chunks[5].clear();
    const Bytes file = test::avi_bytes(v, {.index = index, .frames_per_segment = 4});
    AviVideoSource src;
    ASSERT_EQ(1, src.open_memory(file.data(), file.size()));
    const std::string what = "index " + std::to_string(int(index));
    // Out of order first: what a frame shows does not depend on the fetch before it.
    expect_frame(src, 5, v.format, v.chunks[3], what);
    expect_frame(src, 2, v.format, v.chunks[1], what);
    expect_frame(src, 0, v.format, Bytes(6 * 4 * 3 + 8, 0), what);  // rows of 18 padded to 20
    for (int32_t i = 0; i < 6; ++i) {
      const int32_t shown[] = {-1, 1, 1, 3, 3, 3};
      const Bytes& want = shown[i] < 0 ? Bytes(80, 0) : v.chunks[size_t(shown[i])];
      expect_frame(src, i, v.format, want, what);
    }
  }
}

// dwLength is the length, whatever the chunks say; frames it promises but the file lacks, and
// chunks the file holds only in part, cannot be delivered.
TEST(AviReader, LengthAndMissingChunks) {
  const struct {
    const char* name;
    int64_t length;
    uint64_t cut_from_end;  // bytes cut off the file's end
    AviIndex index;
    int32_t want_length;
    int delivered;  // frames 0..delivered-1 are delivered, the rest of the length is not
  } cases[] = {
      {"length beyond the chunks", 9, 0, AviIndex::kIdx1, 9, 5},
      {"length beyond the chunks, no index", 9, 0, AviIndex::kNone, 9, 5},
      {"length short of the chunks", 3, 0, AviIndex::kIdx1, 3, 3},
      {"length 0", 0, 0, AviIndex::kIdx1, 0, 0},
      {"length past 2^31", 0xFFFFFFFFll, 0, AviIndex::kIdx1, 0x7FFFFFFF, 5},
      // No index after the cut, so the movi list is walked up to the file's end: the last
      // chunk is cut in two.
      {"truncated in the last chunk", -1, 60, AviIndex::kNone, 5, 4},
      {"truncated in the last chunk, index lost", -1, 60 + 16 * 5 + 8, AviIndex::kIdx1, 5, 4},
      // The second segment's index is lost with the cut: its chunks are found by a walk.
      {"truncated in the second segment", -1, 60, AviIndex::kOpenDml, 5, 4},
  };
  for (const auto& c : cases) {
    AviVideo v = sample_video(5);
    v.length = c.length;
    const AviLayout layout{.index = c.index, .junk = false, .frames_per_segment = 3};
    const test::AviImage whole = test::make_avi(v, layout);
    const Bytes file = test::make_avi(v, {.index = c.index,
                                          .junk = false,
                                          .frames_per_segment = 3,
                                          .truncate_to = whole.size - c.cut_from_end})
                           .bytes();
    AviVideoSource src;
    ASSERT_EQ(1, src.open_memory(file.data(), file.size())) << c.name;
    EXPECT_EQ(c.want_length, src.length()) << c.name;
    for (int32_t i = 0; i < std::min(c.want_length, 12); ++i) {
      DibFrame f;
      if (i < c.delivered) {
        expect_frame(src, i, v.format, v.chunks[size_t(i)], c.name);
      } else {
        EXPECT_EQ(0, src.get_frame(i, &f)) << c.name << " frame " << i;
      }
    }
  }
}

// Every prefix of a file opens or not, and what it delivers is never anything but the stored
// frames; the whole file delivers them all.
TEST(AviReader, EveryPrefixDeliversOnlyStoredFrames) {
  const AviLayout layouts[] = {
      {},
      {.index = AviIndex::kNone, .audio_first = true, .rec_lists = true},
      {.index = AviIndex::kOpenDml, .frames_per_segment = 2},
  };
  for (const AviLayout& layout : layouts) {
    AviVideo v = sample_video(4, 2, 2, 24, test::Rows::kPacked);
    v.chunks[1].clear();
    const Bytes file = test::avi_bytes(v, layout);
    int whole = 0;
    for (size_t cut = 0; cut <= file.size(); ++cut) {
      AviVideoSource src;
      if (!src.open_memory(file.data(), cut)) continue;
      int delivered = 0;
      for (int32_t i = 0; i < src.length(); ++i) {
        DibFrame f;
        if (!src.get_frame(i, &f)) continue;
        const size_t shown = i == 1 ? 0 : size_t(i);
        ASSERT_EQ(40 + v.chunks[shown].size(), f.size) << "cut " << cut << " frame " << i;
        ASSERT_EQ(0, std::memcmp(f.data + 40, v.chunks[shown].data(), v.chunks[shown].size()));
        ++delivered;
      }
      if (cut == file.size()) whole = delivered;
    }
    EXPECT_EQ(4, whole);
  }
}

// Damage to any single byte never crashes, hangs or over-allocates (the sanitizer build checks
// the memory side); the fuzz target covers the rest.
TEST(AviReader, SingleByteDamageIsSurvived) {
  AviVideo v = sample_video(3, 2, 2);
  const Bytes file = test::avi_bytes(
      v, {.index = AviIndex::kOpenDml, .audio_first = true, .frames_per_segment = 2});
  for (size_t at = 0; at < file.size(); ++at) {
    for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x7F), uint8_t(file[at] ^ 1)}) {
      Bytes damaged = file;
      damaged[at] = value;
      AviVideoSource src;
      if (!src.open_memory(damaged.data(), damaged.size())) continue;
      const int32_t n = std::min<int32_t>(src.length(), 64);
      for (int32_t i = 0; i < n; ++i) {
        DibFrame f;
        if (!src.get_frame(i, &f)) continue;
        ASSERT_LE(f.size, 2 * damaged.size());
        unsigned sum = 0;  // every byte handed out is there to be read
        for (size_t k = 0; k < f.size; ++k)
          sum += f.data[k];
        (void)sum;
      }
    }
  }
}

TEST(AviReader, FilesThatAreNotReadable) {
  const AviVideo v = sample_video(2);
  const Bytes good = test::avi_bytes(v);
  const struct {
    const char* name;
    std::function<void(Bytes*)> damage;
  } cases[] = {
      {"empty", [](Bytes* b) { b->clear(); }},
      {"not RIFF", [](Bytes* b) { std::memcpy(b->data(), "RIFX", 4); }},
      {"RIFF of another form", [](Bytes* b) { std::memcpy(b->data() + 8, "WAVE", 4); }},
      {"no video stream",
       [](Bytes* b) { std::memcpy(b->data() + find_tag(*b, "vids"), "auds", 4); }},
      {"no header list",
       [](Bytes* b) { std::memcpy(b->data() + find_tag(*b, "hdrl"), "hdrX", 4); }},
      {"format shorter than a BITMAPINFOHEADER",
       [](Bytes* b) {
         const size_t strf = find_tag(*b, "strf");
         put32(b, strf + 4, 36);  // the other 4 bytes become an unknown chunk's header
       }},
      {"stream header too short", [](Bytes* b) { put32(b, find_tag(*b, "strh") + 4, 20); }},
      {"header cut off", [](Bytes* b) { b->resize(find_tag(*b, "strf") + 20); }},
  };
  for (const auto& c : cases) {
    Bytes file = good;
    c.damage(&file);
    AviVideoSource src;
    EXPECT_EQ(0, src.open_memory(file.data(), file.size())) << c.name;
    DibFrame f;
    EXPECT_EQ(0, src.get_frame(0, &f)) << c.name;
    EXPECT_EQ(0, src.length()) << c.name;
  }
  AviVideoSource src;
  EXPECT_EQ(0, src.open("/nonexistent/file.avi"));
  EXPECT_EQ(0, src.open("/tmp"));  // a directory
  EXPECT_EQ(0, src.open(nullptr));
}

// Index sizes and counts that the file cannot back are not believed.
TEST(AviReader, ClaimsBeyondTheFile) {
  const AviVideo v = sample_video(3);
  const struct {
    const char* name;
    AviIndex index;
    std::function<void(Bytes*)> damage;
    int delivered_mask;  // bit i: frame i is delivered
  } cases[] = {
      {"idx1 entry of 4 GB", AviIndex::kIdx1,
       [](Bytes* b) { put32(b, find_tag(*b, "idx1") + 8 + 16 + 12, 0xFFFFFFF0u); }, 0b101},
      {"idx1 entry past the end", AviIndex::kIdx1,
       [](Bytes* b) { put32(b, find_tag(*b, "idx1") + 8 + 8, 0x7FFFFFF0u); }, 0b110},
      {"RIFF larger than the file", AviIndex::kIdx1, [](Bytes* b) { put32(b, 4, 0xFFFFFFF0u); },
       0b111},
      {"movi larger than the file, no index", AviIndex::kNone,
       [](Bytes* b) { put32(b, find_tag(*b, "movi") - 4, 0xFFFFFFF0u); }, 0b111},
      {"standard index claiming 2^32 entries", AviIndex::kOpenDmlOnly,
       [](Bytes* b) { put32(b, find_tag(*b, "ix00") + 12, 0xFFFFFFFFu); }, 0b111},
      {"standard index based past 2^64", AviIndex::kOpenDmlOnly,
       [](Bytes* b) {
         const size_t ix = find_tag(*b, "ix00");
         put32(b, ix + 20, 0xFFFFFFFFu);
         put32(b, ix + 24, 0xFFFFFFFFu);
       },
       0b000},
  };
  for (const auto& c : cases) {
    Bytes file = test::avi_bytes(v, {.index = c.index});
    c.damage(&file);
    AviVideoSource src;
    ASSERT_EQ(1, src.open_memory(file.data(), file.size())) << c.name;
    ASSERT_EQ(3, src.length()) << c.name;
    for (int32_t i = 0; i < 3; ++i) {
      DibFrame f;
      if (c.delivered_mask & (1 << i)) {
        expect_frame(src, i, v.format, v.chunks[size_t(i)], c.name);
      } else {
        EXPECT_EQ(0, src.get_frame(i, &f)) << c.name << " frame " << i;
      }
    }
  }
}

// A super index whose thousand entries all name one standard index of a thousand entries, in a
// file of some 24 KB: the index holds no more entries than the file has room for chunks.
TEST(AviReader, IndexGrowthIsBoundedByTheFile) {
  constexpr uint32_t kSuper = 1000, kStandard = 1000;
  test::avi_writer_detail::Out o;
  o.begin("RIFF", "AVI ");
  o.begin("LIST", "hdrl");
  o.begin("LIST", "strl");
  o.tag("strh");
  o.u32(56);
  o.tag("vids");
  o.zeros(28);
  o.u32(0x7FFFFFFF);  // dwLength
  o.zeros(20);
  o.chunk("strf", sample_video(1, 2, 2).format);
  o.tag("indx");
  o.u32(24 + 16 * kSuper);
  o.u16(4), o.u8(0), o.u8(0);
  o.u32(kSuper);
  o.tag("00dc");
  o.zeros(12);
  const uint64_t entries = o.pos();
  o.zeros(16 * kSuper);
  o.end();
  o.end();
  o.begin("LIST", "movi");
  const uint64_t ix = o.pos();
  o.tag("ix00");
  o.u32(24 + 8 * kStandard);
  o.u16(2), o.u8(0), o.u8(1);
  o.u32(kStandard);
  o.tag("00dc");
  o.u64(0), o.u32(0);
  o.zeros(8 * kStandard);  // dropped frames at offset 0
  o.end();
  o.end();
  for (uint32_t k = 0; k < kSuper; ++k)
    o.patch64(entries + 16 * k, ix);
  const Bytes file = o.image(0).bytes();
  AviReader r;
  ASSERT_EQ(1, r.open(memory_source(file.data(), file.size())));
  EXPECT_EQ(IndexKind::kOpenDml, r.index_kind());
  EXPECT_EQ(int32_t(file.size() / 8 + 1), r.packet_count());
}

TEST(AviReader, KeyframeFlagsComeFromTheIndex) {
  for (AviIndex index : {AviIndex::kIdx1, AviIndex::kOpenDmlOnly, AviIndex::kNone}) {
    AviVideo v = sample_video(4);
    v.delta = {false, true, true, false};
    const Bytes file = test::avi_bytes(v, {.index = index});
    AviReader r;
    ASSERT_EQ(1, r.open(memory_source(file.data(), file.size())));
    ASSERT_EQ(4, r.packet_count());
    for (int32_t i = 0; i < 4; ++i) {
      // Without an index nothing says otherwise: every chunk counts as a keyframe.
      EXPECT_EQ(index == AviIndex::kNone || !v.delta[size_t(i)], r.is_keyframe(i)) << i;
      std::vector<uint8_t> packet;
      ASSERT_EQ(1, r.read_packet(i, &packet));
      EXPECT_EQ(v.chunks[size_t(i)], packet);
    }
    std::vector<uint8_t> packet;
    EXPECT_EQ(0, r.read_packet(4, &packet));
    EXPECT_FALSE(r.is_keyframe(-1));
  }
}

// The pixel bytes a frame buffer is opened with, from the stream's format header.
TEST(AviFrameSize, PixelBytesFromTheFormat) {
  const struct {
    const char* name;
    int32_t w, h;
    uint16_t bits;
    uint32_t compression, size_image;
    uint64_t want;
  } cases[] = {
      {"24 bits, rows padded, biSizeImage unpadded", 6, -4, 24, kBiRgb, 72, 80},
      {"24 bits, biSizeImage 0", 5, 3, 24, kBiRgb, 0, 48},
      {"32 bits", 3, 2, 32, kBiRgb, 0, 24},
      {"16 bits", 3, 2, 16, kBiRgb, 0, 16},
      {"YV12", 4, 2, 12, kFourccYV12, 0, 12},
      {"YV12 odd", 5, 3, 12, kFourccYV12, 0, 15 + 2 * 2},
      {"biSizeImage above the picture", 2, 2, 24, kBiRgb, 1000, 1000},
      {"compressed", 8, 8, 24, fourcc('M', 'J', 'P', 'G'), 100, 192},
      {"negative width", -3, 2, 32, kBiRgb, 0, 24},
      {"most negative height", 1, std::numeric_limits<int32_t>::min(), 8, kBiRgb, 0, 4ull << 31},
      {"huge", 100000, 100000, 24, kBiRgb, 0, 30000000000ull},
      {"overflowing", std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min(),
       0xFFFF, kBiRgb, 0, std::numeric_limits<uint64_t>::max()},
  };
  for (const auto& c : cases) {
    BitmapInfoHeader h;
    h.biWidth = c.w;
    h.biHeight = c.h;
    h.biBitCount = c.bits;
    h.biCompression = c.compression;
    h.biSizeImage = c.size_image;
    uint8_t raw[40];
    write_bitmap_info_header(h, raw);
    EXPECT_EQ(c.want, frame_pixel_bytes(raw, sizeof raw)) << c.name;
  }
}

// The header that heads every frame is biSize bytes of the format, between 40 and the format's
// size, and says so in its own biSize.
TEST(AviFrameSize, FrameHeaderLength) {
  const struct {
    uint32_t bi_size;
    size_t format_size;
    size_t want;
  } cases[] = {{40, 40, 40}, {0, 40, 40},  {12, 40, 40},        {44, 44, 44},
               {60, 44, 44}, {40, 52, 40}, {0xFFFFFFFF, 48, 48}};
  for (const auto& c : cases) {
    Bytes format(c.format_size, 0xAB);
    BitmapInfoHeader h;
    h.biSize = c.bi_size;
    h.biWidth = 2;
    h.biHeight = 2;
    h.biBitCount = 24;
    write_bitmap_info_header(h, format.data());
    Bytes header;
    size_t capacity = 0;
    ASSERT_EQ(1, frame_header(format.data(), format.size(), &header, &capacity));
    ASSERT_EQ(c.want, header.size()) << c.bi_size;
    BitmapInfoHeader back;
    ASSERT_EQ(1, read_bitmap_info_header(header.data(), header.size(), &back));
    EXPECT_EQ(c.want, back.biSize);
    EXPECT_EQ(16u, capacity);
  }
  Bytes header;
  size_t capacity = 0;
  const Bytes short_format(39, 0);
  EXPECT_EQ(0, frame_header(short_format.data(), short_format.size(), &header, &capacity));
}

// A source opened on a header whose picture the file cannot hold keeps a frame buffer no larger
// than the file; a chunk larger than the header says grows it.
TEST(AviReader, FrameBufferFollowsTheFileNotTheClaims) {
  AviVideo v = sample_video(2, 2, 2);
  BitmapInfoHeader h;
  ASSERT_EQ(1, read_bitmap_info_header(v.format.data(), v.format.size(), &h));
  h.biWidth = 100000;
  h.biHeight = 100000;
  write_bitmap_info_header(h, v.format.data());
  v.chunks[0].clear();              // frame 0 is black: the whole buffer
  v.chunks[1] = Bytes(5000, 0x33);  // far more than a 2 x 2 picture, far less than claimed
  const Bytes file = test::avi_bytes(v);
  AviVideoSource src;
  ASSERT_EQ(1, src.open_memory(file.data(), file.size()));
  DibFrame f;
  ASSERT_EQ(1, src.get_frame(0, &f));
  EXPECT_EQ(40 + file.size(), f.size);
  expect_frame(src, 1, v.format, v.chunks[1], "large chunk");

  AviVideo small = sample_video(2, 2, 2);
  small.chunks[1] = Bytes(301, 0x44);  // odd and larger than the 16 bytes of a 2 x 2 picture
  const Bytes file2 = test::avi_bytes(small, {.index = AviIndex::kNone});
  ASSERT_EQ(1, src.open_memory(file2.data(), file2.size()));  // the same source, reopened
  expect_frame(src, 1, small.format, small.chunks[1], "larger chunk");
  expect_frame(src, 0, small.format, small.chunks[0], "smaller after larger");
}

TEST(FrameBuffer, PrepareKeepsPixelsAndNeverShrinks) {
  FrameBuffer fb;
  EXPECT_EQ(nullptr, fb.pixels());
  EXPECT_EQ(0u, fb.frame().size);
  uint8_t header[44] = {40};
  uint8_t* p = fb.prepare(header, 40, 8);
  ASSERT_NE(nullptr, p);
  std::memcpy(p, "ABCDEFGH", 8);
  fb.set_filled(8);
  EXPECT_EQ(48u, fb.frame().size);
  // Smaller: the same block.
  EXPECT_EQ(p, fb.prepare(header, 40, 4));
  EXPECT_EQ(8u, fb.capacity());
  // Larger, and a longer header: the pixels move along.
  header[0] = 44;
  p = fb.prepare(header, 44, 100);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(100u, fb.capacity());
  EXPECT_EQ(0, std::memcmp(p, "ABCDEFGH", 8));
  EXPECT_EQ(44, fb.frame().data[0]);
  EXPECT_EQ(p, fb.frame().data + 44);
  // Its own header as the source.
  p = fb.prepare(fb.frame().data, 44, 200);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(44, fb.frame().data[0]);
  EXPECT_EQ(0, std::memcmp(p, "ABCDEFGH", 8));
  EXPECT_EQ(nullptr, fb.prepare(header, 40, std::numeric_limits<size_t>::max() - 8));
  EXPECT_EQ(200u, fb.capacity());  // a failed prepare keeps what was there
}

std::string temp_path(const char* name) {
  return ::testing::TempDir() + "vq_avi_" + std::to_string(::getpid()) + "_" + name;
}

TEST(AviReader, ReadsFromAFile) {
  AviVideo v = sample_video(3, 4, 2, 32);
  const std::string path = temp_path("small.avi");
  ASSERT_TRUE(test::write_avi(path, v, {.audio_first = true}));
  AviVideoSource src;
  ASSERT_EQ(1, src.open(path.c_str()));
  ASSERT_EQ(3, src.length());
  for (int32_t i = 0; i < 3; ++i)
    expect_frame(src, i, v.format, v.chunks[size_t(i)], "file");
  std::remove(path.c_str());
}

// OpenDML beyond 4 GiB: the second segment starts past 2^32 (a hole on disk).
TEST(AviReader, OpenDmlBeyondFourGiB) {
  AviVideo v = sample_video(4, 4, 2);
  const std::string path = temp_path("big.avi");
  const test::AviImage image = test::make_avi(
      v, {.index = AviIndex::kOpenDmlOnly, .frames_per_segment = 2, .gap = 0xFFFFFF00u});
  ASSERT_GT(image.size, 1ull << 32);
  if (!image.write_file(path)) {
    std::remove(path.c_str());
    GTEST_SKIP() << "cannot write a sparse file of " << image.size << " bytes here";
  }
  for (bool walk : {false, true}) {
    if (walk) {
      // Without the indexes the reader has to walk both movi lists, the second past 4 GiB.
      FILE* f = std::fopen(path.c_str(), "r+b");
      ASSERT_NE(nullptr, f);
      // The super index sits in the first kilobyte: rename it so that nobody finds it.
      Bytes first(2048);
      ASSERT_EQ(first.size(), std::fread(first.data(), 1, first.size(), f));
      std::memcpy(first.data() + find_tag(first, "indx"), "indY", 4);
      ASSERT_EQ(0, std::fseek(f, 0, SEEK_SET));
      ASSERT_EQ(first.size(), std::fwrite(first.data(), 1, first.size(), f));
      ASSERT_EQ(0, std::fclose(f));
    }
    AviReader r;
    ASSERT_EQ(1, r.open(open_file_source(path.c_str())));
    EXPECT_EQ(walk ? IndexKind::kWalk : IndexKind::kOpenDml, r.index_kind());
    ASSERT_EQ(4, r.packet_count());
    EXPECT_GT(r.entry(3).offset, 1ull << 32);
    AviVideoSource src;
    ASSERT_EQ(1, src.open(path.c_str()));
    for (int32_t i = 0; i < 4; ++i)
      expect_frame(src, i, v.format, v.chunks[size_t(i)], "4 GiB");
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vq
