// Test-only AVI writer: builds AVI files in memory or on disk, in every layout the reader has to
// cope with (audio before video, JUNK, LIST rec, idx1 relative or absolute, no index, OpenDML
// with indx/ix## and AVIX segments, placed beyond 4 GiB on disk, truncated files).
//
//   test::AviVideo v = test::video_from_frames({frame0, frame1});   // packed DIB frames
//   test::AviLayout l;  l.audio_first = true;  l.index = test::AviIndex::kNone;
//   std::vector<uint8_t> bytes = test::avi_bytes(v, l);
//   test::write_avi("/tmp/x.avi", v, l);
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "convert/convert.h"

namespace vq::test {

// The video stream to write.
struct AviVideo {
  std::vector<uint8_t> format;               // strf: a BITMAPINFOHEADER (and whatever follows)
  uint32_t fcc_handler = 0;                  // strh fccHandler
  bool tag_db = false;                       // chunks tagged 'nndb' (Windows) instead of 'nndc'
  std::vector<std::vector<uint8_t>> chunks;  // one per frame; empty: a dropped frame
  std::vector<bool> delta;                   // chunk i is not a keyframe (missing: keyframe)
  int64_t length = -1;                       // strh dwLength; -1: the number of chunks
};

enum class AviIndex {
  kIdx1,          // idx1, offsets relative to the 'movi' list type
  kIdx1Absolute,  // idx1, offsets from the file's start
  kNone,          // no index at all
  kOpenDml,       // indx super index -> one ix## per segment, plus idx1 over the first segment
  kOpenDmlOnly,   // the same without idx1
};

// How to lay the file out around the stream.
struct AviLayout {
  AviIndex index = AviIndex::kIdx1;
  bool audio_first = false;      // an audio stream (odd-sized '00wb' chunks) before the video
  bool junk = true;              // JUNK in hdrl, strl, before movi and between chunks
  bool info = false;             // LIST INFO after hdrl and a 'vprp' in the video strl
  bool rec_lists = false;        // every frame's chunks grouped in a 'LIST rec '
  bool palette_changes = false;  // an 'nnpc' chunk after every video chunk (to be ignored)
  int frames_per_segment = 0;    // OpenDML: frames per RIFF segment (0: all in the first)
  uint64_t gap = 0;              // OpenDML: a filler AVIX segment of about this many bytes
                                 // (a hole on disk) before the second segment
  uint64_t truncate_to = 0;      // cut the file to this many bytes (0: keep it whole)
};

// A written file: pieces at their offsets, zeros (a hole on disk) in between.
struct AviImage {
  uint64_t size = 0;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces;

  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out(size_t(size), 0);
    for (const auto& [at, data] : pieces) {
      if (at >= size) continue;
      const size_t n = size_t(std::min<uint64_t>(data.size(), size - at));
      std::memcpy(out.data() + at, data.data(), n);
    }
    return out;
  }

  bool write_file(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::ftruncate(fd, off_t(size)) == 0;
    for (const auto& [at, data] : pieces) {
      if (!ok || at >= size) continue;
      const size_t n = size_t(std::min<uint64_t>(data.size(), size - at));
      ok = ::pwrite(fd, data.data(), n, off_t(at)) == ssize_t(n);
    }
    return ::close(fd) == 0 && ok;
  }
};

namespace avi_writer_detail {

class Out {
 public:
  uint64_t pos() const { return pieces_.back().first + pieces_.back().second.size(); }
  void bytes(const void* p, size_t n) {
    auto& d = pieces_.back().second;
    d.insert(d.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  }
  void u8(uint8_t v) { bytes(&v, 1); }
  void u16(uint16_t v) { u8(uint8_t(v)), u8(uint8_t(v >> 8)); }
  void u32(uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); }
  void u64(uint64_t v) { u32(uint32_t(v)), u32(uint32_t(v >> 32)); }
  void tag(const char* t) { bytes(t, 4); }
  void zeros(size_t n) { pieces_.back().second.resize(pieces_.back().second.size() + n, 0); }
  // Leaves `n` bytes unwritten (a hole) and goes on after them.
  void skip(uint64_t n) { pieces_.push_back({pos() + n, {}}); }

  // A chunk whose size is patched when it ends.
  void begin(const char* id, const char* list_type = nullptr) {
    tag(id);
    open_.push_back(pos());
    u32(0);
    if (list_type) tag(list_type);
  }
  void end() {
    const uint64_t at = open_.back();
    open_.pop_back();
    const uint64_t size = pos() - at - 4;
    patch32(at, uint32_t(size));
    if (size & 1) u8(0);
  }
  void chunk(const char* id, const std::vector<uint8_t>& data) {
    tag(id);
    u32(uint32_t(data.size()));
    bytes(data.data(), data.size());
    if (data.size() & 1) u8(0);
  }
  void junk(size_t n) { chunk("JUNK", std::vector<uint8_t>(n, 0)); }

  void patch32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      patch8(at + i, uint8_t(v >> (8 * i)));
  }
  void patch64(uint64_t at, uint64_t v) {
    patch32(at, uint32_t(v));
    patch32(at + 4, uint32_t(v >> 32));
  }

  AviImage image(uint64_t truncate_to) {
    AviImage img;
    img.size = pos();
    if (truncate_to != 0 && truncate_to < img.size) img.size = truncate_to;
    img.pieces = std::move(pieces_);
    return img;
  }

 private:
  void patch8(uint64_t at, uint8_t v) {
    for (auto& [start, data] : pieces_) {
      if (at >= start && at - start < data.size()) {
        data[size_t(at - start)] = v;
        return;
      }
    }
  }
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces_{{0, {}}};
  std::vector<uint64_t> open_;
};

inline std::string stream_tag(int stream, const char* type) {
  std::string t = "00";
  t[0] = char('0' + stream / 10);
  t[1] = char('0' + stream % 10);
  return t + type;
}

}  // namespace avi_writer_detail

// The file for `video` laid out as `layout` says.
inline AviImage make_avi(const AviVideo& video, const AviLayout& layout = {}) {
  using avi_writer_detail::stream_tag;
  avi_writer_detail::Out o;
  BitmapInfoHeader bih;
  if (!read_bitmap_info_header(video.format.data(), video.format.size(), &bih)) bih = {};
  const int vs = layout.audio_first ? 1 : 0;  // the video's stream number
  const std::string vtag = stream_tag(vs, video.tag_db ? "db" : "dc");
  const std::string ptag = stream_tag(vs, "pc");
  const std::string atag = stream_tag(0, "wb");
  const std::string ixtag = "ix" + stream_tag(vs, "").substr(0, 2);
  const bool odml = layout.index == AviIndex::kOpenDml || layout.index == AviIndex::kOpenDmlOnly;
  const size_t n = video.chunks.size();
  const size_t per_segment =
      odml && layout.frames_per_segment > 0 ? size_t(layout.frames_per_segment) : (n ? n : 1);
  const size_t segments = n == 0 ? 1 : (n + per_segment - 1) / per_segment;
  const uint32_t length = video.length < 0 ? uint32_t(n) : uint32_t(video.length);
  uint32_t largest = 0;
  for (const auto& c : video.chunks)
    largest = std::max(largest, uint32_t(c.size()));
  const std::vector<uint8_t> audio(101, 0x42);  // odd: exercises the pad byte

  o.begin("RIFF", "AVI ");
  o.begin("LIST", "hdrl");
  o.tag("avih");
  o.u32(56);
  o.u32(40000);                                 // dwMicroSecPerFrame
  o.u32(0), o.u32(0), o.u32(0x10);              // max bytes/s, padding, flags: has index
  o.u32(uint32_t(std::min(n, per_segment)));    // dwTotalFrames (first segment)
  o.u32(0), o.u32(layout.audio_first ? 2 : 1);  // initial frames, streams
  o.u32(largest);                               // suggested buffer size
  o.u32(uint32_t(bih.biWidth)), o.u32(uint32_t(bih.biHeight < 0 ? -bih.biHeight : bih.biHeight));
  o.zeros(16);
  if (layout.audio_first) {
    o.begin("LIST", "strl");
    o.tag("strh");
    o.u32(56);
    o.tag("auds"), o.u32(0), o.u32(0), o.u32(0), o.u32(0);
    o.u32(1), o.u32(8000), o.u32(0), o.u32(uint32_t(n * audio.size())), o.u32(0), o.u32(~0u);
    o.u32(1), o.zeros(8);
    o.tag("strf");
    o.u32(18);
    o.u16(1), o.u16(1), o.u32(8000), o.u32(8000), o.u16(1), o.u16(8), o.u16(0);
    o.end();
  }
  o.begin("LIST", "strl");
  o.tag("strh");
  o.u32(56);
  o.tag("vids");
  o.u32(video.fcc_handler);
  o.u32(0), o.u32(0), o.u32(0);   // flags, priority + language, initial frames
  o.u32(1), o.u32(25), o.u32(0);  // scale, rate, start
  o.u32(length);
  o.u32(largest), o.u32(~0u), o.u32(0);
  o.u16(0), o.u16(0), o.u16(uint16_t(bih.biWidth)), o.u16(uint16_t(std::abs(bih.biHeight)));
  o.chunk("strf", video.format);
  uint64_t indx_entries = 0;  // where the super index entries go
  if (odml) {
    o.tag("indx");
    o.u32(uint32_t(24 + 16 * segments));
    o.u16(4), o.u8(0), o.u8(0);  // longs per entry, sub-type, index of indexes
    o.u32(uint32_t(segments));
    o.tag(vtag.c_str());
    o.zeros(12);
    indx_entries = o.pos();
    o.zeros(16 * segments);
  }
  if (layout.junk) o.junk(20);
  if (layout.info) {
    o.tag("vprp");
    o.u32(68);
    o.zeros(68);
  }
  o.end();  // strl
  if (odml) {
    o.begin("LIST", "odml");
    o.tag("dmlh");
    o.u32(248);
    o.u32(uint32_t(n));
    o.zeros(244);
    o.end();
  }
  if (layout.junk) o.junk(61);  // odd: a padded JUNK in the header list
  o.end();                      // hdrl
  if (layout.info) {
    o.begin("LIST", "INFO");
    o.chunk("ISFT", {'v', 'q', ' ', 't', 'e', 's', 't', 0});
    o.end();
  }
  if (layout.junk) o.junk(100);

  struct Placed {
    std::string tag;
    uint32_t flags;
    uint64_t pos;  // of the chunk header
    uint32_t size;
  };
  std::vector<Placed> placed;  // every chunk of the first segment's movi, for idx1
  uint64_t movi_type = 0;
  size_t next = 0;
  for (size_t seg = 0; seg < segments; ++seg) {
    uint64_t riff_start = 0;
    if (seg > 0) {
      if (seg == 1 && layout.gap > 0) {
        // A filler segment holding only JUNK: its data is a hole on disk.
        const uint64_t junk = std::min<uint64_t>(layout.gap, 0xFFFFFF00u) & ~uint64_t(1);
        o.tag("RIFF"), o.u32(uint32_t(4 + 8 + junk)), o.tag("AVIX");
        o.tag("JUNK"), o.u32(uint32_t(junk));
        o.skip(junk);
      }
      riff_start = o.pos();
      o.begin("RIFF", "AVIX");
    }
    o.begin("LIST", "movi");
    if (seg == 0) movi_type = o.pos() - 4;
    struct Entry {
      uint64_t data;
      uint32_t size;
      bool delta;
    };
    std::vector<Entry> entries;
    const size_t last = std::min(n, next + per_segment);
    for (; next < last; ++next) {
      const auto& data = video.chunks[next];
      const bool delta = next < video.delta.size() && video.delta[next];
      if (layout.rec_lists) o.begin("LIST", "rec ");
      if (layout.audio_first) {
        if (seg == 0) placed.push_back({atag, 0x10, o.pos(), uint32_t(audio.size())});
        o.chunk(atag.c_str(), audio);
      }
      if (seg == 0) placed.push_back({vtag, delta ? 0u : 0x10u, o.pos(), uint32_t(data.size())});
      entries.push_back({o.pos() + 8, uint32_t(data.size()), delta});
      o.chunk(vtag.c_str(), data);
      if (layout.palette_changes) {
        if (seg == 0) placed.push_back({ptag, 0, o.pos(), 4});
        o.chunk(ptag.c_str(), {0, 1, 0, 0});
      }
      if (layout.rec_lists) o.end();
      if (layout.junk && next % 2 == 1) o.junk(8);
    }
    if (odml) {
      // The segment's standard index, its entries counted from the segment's start.
      const uint64_t at = o.pos();
      o.tag(ixtag.c_str());
      o.u32(uint32_t(24 + 8 * entries.size()));
      o.u16(2), o.u8(0), o.u8(1);
      o.u32(uint32_t(entries.size()));
      o.tag(vtag.c_str());
      o.u64(riff_start);
      o.u32(0);
      for (const Entry& e : entries) {
        o.u32(uint32_t(e.data - riff_start));
        o.u32(e.size | (e.delta ? 0x80000000u : 0));
      }
      o.patch64(indx_entries + 16 * seg, at);
      o.patch32(indx_entries + 16 * seg + 8, uint32_t(8 + 24 + 8 * entries.size()));
      o.patch32(indx_entries + 16 * seg + 12, uint32_t(entries.size()));
    }
    o.end();  // movi
    if (seg == 0 && layout.index != AviIndex::kNone && layout.index != AviIndex::kOpenDmlOnly) {
      const uint64_t origin = layout.index == AviIndex::kIdx1Absolute ? 0 : movi_type;
      o.tag("idx1");
      o.u32(uint32_t(16 * placed.size()));
      for (const Placed& p : placed) {
        o.tag(p.tag.c_str());
        o.u32(p.flags);
        o.u32(uint32_t(p.pos - origin));
        o.u32(p.size);
      }
    }
    o.end();  // RIFF
  }
  return o.image(layout.truncate_to);
}

inline std::vector<uint8_t> avi_bytes(const AviVideo& video, const AviLayout& layout = {}) {
  return make_avi(video, layout).bytes();
}

inline bool write_avi(const std::string& path, const AviVideo& video,
                      const AviLayout& layout = {}) {
  return make_avi(video, layout).write_file(path);
}

// A stream of packed DIB frames (header + pixels, as tests/frames.h makes them): the first
// frame's 40-byte header is the stream format, each frame's pixels a chunk.
inline AviVideo video_from_frames(const std::vector<std::vector<uint8_t>>& frames,
                                  uint32_t fcc_handler = 0, bool tag_db = false) {
  AviVideo v;
  v.fcc_handler = fcc_handler;
  v.tag_db = tag_db;
  if (frames.empty()) return v;
  v.format.assign(frames[0].begin(), frames[0].begin() + kBitmapInfoHeaderSize);
  for (const auto& f : frames)
    v.chunks.emplace_back(f.begin() + kBitmapInfoHeaderSize, f.end());
  return v;
}

}  // namespace vq::test
