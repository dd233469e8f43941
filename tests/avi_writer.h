// Test-only AVI writer: builds AVI files in memory or on disk, in every layout the reader has to
// cope with (audio before video, JUNK, LIST rec, idx1 relative or absolute, no index, OpenDML
// with indx/ix## and AVIX segments, placed beyond 4 GiB on disk).
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

// kIdx1: idx1 with offsets relative to the 'movi' list type; kIdx1Absolute: from the file's
// start; kNone: no index at all; kOpenDml: an indx super index naming one ix## per segment, plus
// idx1 over the first segment; kOpenDmlOnly: the same without idx1.
enum class AviIndex { kIdx1, kIdx1Absolute, kNone, kOpenDml, kOpenDmlOnly };

// How to lay the file out around the stream.
struct AviLayout {
  AviIndex index = AviIndex::kIdx1;
  bool audio_first = false;      // an audio stream (odd-sized '00wb' chunks) before the video
  bool junk = true;              // JUNK in hdrl, strl, before movi and between chunks
  bool rec_lists = false;        // every frame's chunks grouped in a 'LIST rec '
  bool palette_changes = false;  // an 'nnpc' chunk after every video chunk (to be ignored)
  int frames_per_segment = 0;    // OpenDML: frames per RIFF segment (0: all in the first)
  uint64_t gap = 0;              // OpenDML: a filler AVIX segment of about this many bytes
                                 // (a hole on disk) before the second segment
};

// A written file: pieces at their offsets, zeros (a hole on disk) in between.
struct AviImage {
  uint64_t size = 0;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces;

  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out(size_t(size), 0);
    for (const auto& [at, data] : pieces)
      for (size_t i = 0; i < data.size() && at + i < size; ++i)
        out[size_t(at + i)] = data[i];
    return out;
  }
  bool write_file(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::ftruncate(fd, off_t(size)) == 0;
    for (const auto& [at, data] : pieces) {
      const size_t n = at < size ? size_t(std::min<uint64_t>(data.size(), size - at)) : 0;
      ok = ok && ::pwrite(fd, data.data(), n, off_t(at)) == ssize_t(n);
    }
    return fd >= 0 && ::close(fd) == 0 && ok;
  }
};

namespace avi_writer_detail {

// 32-bit words, little-endian.
inline std::vector<uint8_t> words(const std::vector<uint32_t>& values) {
  std::vector<uint8_t> out;
  for (uint32_t v : values)
    for (int i = 0; i < 4; ++i)
      out.push_back(uint8_t(v >> (8 * i)));
  return out;
}

inline uint32_t id(const std::string& tag) {
  return fourcc(tag[0], tag[1], tag[2], tag[3]);
}

class Out {
 public:
  uint64_t pos() const { return pieces_.back().first + pieces_.back().second.size(); }
  void append(const std::vector<uint8_t>& b) {
    pieces_.back().second.insert(pieces_.back().second.end(), b.begin(), b.end());
  }
  // Leaves `n` bytes unwritten (a hole) and goes on after them.
  void skip(uint64_t n) { pieces_.push_back({pos() + n, {}}); }

  // A chunk (a list, given its type) whose size is patched, and pad byte added, when it ends.
  void begin(const std::string& chunk_id, const char* list_type = nullptr) {
    append(words({id(chunk_id), 0}));
    open_.push_back(pos() - 4);
    if (list_type) append(words({id(list_type)}));
  }
  void end() {
    const uint64_t at = open_.back();
    open_.pop_back();
    patch(at, words({uint32_t(pos() - at - 4)}));
    if ((pos() - at) % 2 == 1) append({0});
  }
  void chunk(const std::string& chunk_id, const std::vector<uint8_t>& data) {
    begin(chunk_id);
    append(data);
    end();
  }
  void junk(size_t n) { chunk("JUNK", std::vector<uint8_t>(n, 0)); }

  // Overwrites the bytes at `at` with `b`, in whichever pieces hold them.
  void patch(uint64_t at, const std::vector<uint8_t>& b) {
    for (auto& [start, data] : pieces_) {
      for (uint64_t i = std::max(at, start); i < at + b.size() && i - start < data.size(); ++i)
        data[size_t(i - start)] = b[size_t(i - at)];
    }
  }

  AviImage image() { return {pos(), std::move(pieces_)}; }

 private:
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pieces_{{0, {}}};
  std::vector<uint64_t> open_;
};

}  // namespace avi_writer_detail

// The file for `video` laid out as `layout` says.
inline AviImage make_avi(const AviVideo& video, const AviLayout& layout = {}) {
  using namespace avi_writer_detail;
  Out o;
  BitmapInfoHeader bih;
  if (!read_bitmap_info_header(video.format.data(), video.format.size(), &bih)) bih = {};
  const uint32_t width = uint32_t(bih.biWidth), height = uint32_t(std::abs(bih.biHeight));
  const std::string stream = layout.audio_first ? "01" : "00";  // the video's stream number
  const std::string vtag = stream + (video.tag_db ? "db" : "dc");
  const bool odml = layout.index == AviIndex::kOpenDml || layout.index == AviIndex::kOpenDmlOnly;
  const size_t n = video.chunks.size();
  const size_t per_segment =
      odml && layout.frames_per_segment > 0 ? size_t(layout.frames_per_segment) : (n ? n : 1);
  const size_t segments = n == 0 ? 1 : (n + per_segment - 1) / per_segment;
  const bool with_idx1 = layout.index != AviIndex::kNone && layout.index != AviIndex::kOpenDmlOnly;
  const std::vector<uint8_t> audio(101, 0x42);  // odd: exercises the pad byte

  o.begin("RIFF", "AVI ");
  o.begin("LIST", "hdrl");
  // avih: µs per frame, max bytes/s, padding, flags (has index), frames (in the first segment),
  // initial frames, streams, suggested buffer size (none), width, height, reserved.
  o.chunk("avih", words({40000, 0, 0, 0x10, uint32_t(std::min(n, per_segment)), 0,
                         layout.audio_first ? 2u : 1u, 0, width, height, 0, 0, 0, 0}));
  if (layout.audio_first) {
    // strh: type, handler, flags, priority, initial frames, scale, rate, start, length, buffer
    // size, quality, sample size, frame; strf: 8-bit mono PCM at 8000 Hz.
    o.begin("LIST", "strl");
    o.chunk("strh", words({id("auds"), 0, 0, 0, 0, 1, 8000, 0, uint32_t(n * audio.size()), 0, ~0u,
                           1, 0, 0}));
    o.chunk("strf", words({1 | 1 << 16, 8000, 8000, 1 | 8 << 16}));
    o.end();
  }
  o.begin("LIST", "strl");
  const uint32_t length = video.length < 0 ? uint32_t(n) : uint32_t(video.length);
  o.chunk("strh", words({id("vids"), video.fcc_handler, 0, 0, 0, 1, 25, 0, length, 0, ~0u, 0, 0,
                         width | height << 16}));
  o.chunk("strf", video.format);
  uint64_t super_entries = 0;  // the super index's entries, patched as each segment is written
  if (odml) {
    // indx: 4 longs per entry, an index of indexes, entries in use, chunk id, reserved.
    o.begin("indx");
    o.append(words({4, uint32_t(segments), id(vtag), 0, 0, 0}));
    super_entries = o.pos();
    o.append(std::vector<uint8_t>(16 * segments, 0));
    o.end();
  }
  if (layout.junk) o.junk(20);
  o.end();                      // strl
  if (layout.junk) o.junk(61);  // odd: a padded JUNK in the header list
  o.end();                      // hdrl
  if (layout.junk) o.junk(100);

  std::vector<uint32_t> idx1;  // the first segment's chunks
  uint64_t base = 0;           // where idx1 offsets count from
  size_t next = 0;
  for (size_t seg = 0; seg < segments; ++seg) {
    if (seg == 1 && layout.gap > 0) {
      // A filler segment holding only JUNK: its data is a hole on disk.
      o.begin("RIFF", "AVIX");
      o.begin("JUNK");
      o.skip(std::min<uint64_t>(layout.gap, 0xFFFFFF00u) & ~uint64_t(1));
      o.end();
      o.end();
    }
    const uint64_t riff_start = seg > 0 ? o.pos() : 0;
    if (seg > 0) o.begin("RIFF", "AVIX");
    o.begin("LIST", "movi");
    if (seg == 0 && layout.index != AviIndex::kIdx1Absolute) base = o.pos() - 4;
    // A chunk and its idx1 entry (those past the first segment are never written).
    auto put = [&](const std::string& tag, const std::vector<uint8_t>& data, uint32_t flags) {
      idx1.insert(idx1.end(), {id(tag), flags, uint32_t(o.pos() - base), uint32_t(data.size())});
      o.chunk(tag, data);
    };
    std::vector<uint32_t> ix;  // the segment's standard index: offsets from the segment's start
    for (const size_t last = std::min(n, next + per_segment); next < last; ++next) {
      const auto& data = video.chunks[next];
      const bool delta = next < video.delta.size() && video.delta[next];
      if (layout.rec_lists) o.begin("LIST", "rec ");
      if (layout.audio_first) put("00wb", audio, 0x10);
      ix.insert(ix.end(), {uint32_t(o.pos() + 8 - riff_start),
                           uint32_t(data.size()) | (delta ? 1u << 31 : 0)});
      put(vtag, data, delta ? 0 : 0x10);
      if (layout.palette_changes) put(stream + "pc", {0, 1, 0, 0}, 0);
      if (layout.rec_lists) o.end();
      if (layout.junk && next % 2 == 1) o.junk(8);
    }
    if (odml) {
      // ix##: 2 longs per entry, an index of chunks, entries in use, chunk id, base offset.
      // The super index entry: where the ix## chunk is, its size, its entries.
      const uint32_t count = uint32_t(ix.size() / 2);
      o.patch(super_entries + 16 * seg,
              words({uint32_t(o.pos()), uint32_t(o.pos() >> 32), 32 + 8 * count, count}));
      ix.insert(ix.begin(), {2 | 1 << 24, count, id(vtag), uint32_t(riff_start),
                             uint32_t(riff_start >> 32), 0});
      o.chunk("ix" + stream, words(ix));
    }
    o.end();  // movi
    if (seg == 0 && with_idx1) o.chunk("idx1", words(idx1));
    o.end();  // RIFF
  }
  return o.image();
}

inline std::vector<uint8_t> avi_bytes(const AviVideo& video, const AviLayout& layout = {}) {
  return make_avi(video, layout).bytes();
}

inline bool write_avi(const std::string& path, const AviVideo& video,
                      const AviLayout& layout = {}) {
  return make_avi(video, layout).write_file(path);
}

// A stream of packed DIB frames (header + pixels, as tests/frames.h makes them): the first
// frame's header (biSize bytes) is the stream format, each frame's pixels a chunk.
inline AviVideo video_from_frames(const std::vector<std::vector<uint8_t>>& frames,
                                  uint32_t fcc_handler = 0, bool tag_db = false) {
  AviVideo v;
  v.fcc_handler = fcc_handler;
  v.tag_db = tag_db;
  if (frames.empty()) return v;
  BitmapInfoHeader h;
  const size_t header = read_bitmap_info_header(frames[0].data(), frames[0].size(), &h)
                            ? std::clamp<size_t>(h.biSize, kBitmapInfoHeaderSize, frames[0].size())
                            : kBitmapInfoHeaderSize;
  v.format.assign(frames[0].begin(), frames[0].begin() + ptrdiff_t(header));
  for (const auto& f : frames)
    v.chunks.emplace_back(f.begin() + ptrdiff_t(header), f.end());
  return v;
}

// Bit-field masks stored the way most writers store them: after a 40-byte header (biSize 40)
// rather than inside it.
inline AviVideo masks_after_header(AviVideo v) {
  v.format[0] = uint8_t(kBitmapInfoHeaderSize);
  v.format[1] = v.format[2] = v.format[3] = 0;
  return v;
}

// Overwrites the little-endian 32-bit word at `at` of a file's bytes, to break one field.
inline void put32(std::vector<uint8_t>* b, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i)
    b->at(at + i) = uint8_t(value >> (8 * i));
}

}  // namespace vq::test
