// The AVI reader: RIFF chunks walked with every size checked against its enclosing chunk, the
// stream headers, formats and the frame index read, frames fetched by number.
#include "avi/reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "convert/convert.h"

namespace vq {
namespace {

uint16_t le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) {
  return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
}

constexpr uint32_t kRiff = fourcc('R', 'I', 'F', 'F');
constexpr uint32_t kList = fourcc('L', 'I', 'S', 'T');
constexpr uint32_t kAvi = fourcc('A', 'V', 'I', ' ');
constexpr uint32_t kAvix = fourcc('A', 'V', 'I', 'X');
constexpr uint32_t kHdrl = fourcc('h', 'd', 'r', 'l');
constexpr uint32_t kStrl = fourcc('s', 't', 'r', 'l');
constexpr uint32_t kStrh = fourcc('s', 't', 'r', 'h');
constexpr uint32_t kStrf = fourcc('s', 't', 'r', 'f');
constexpr uint32_t kIndx = fourcc('i', 'n', 'd', 'x');
constexpr uint32_t kMovi = fourcc('m', 'o', 'v', 'i');
constexpr uint32_t kRec = fourcc('r', 'e', 'c', ' ');
constexpr uint32_t kIdx1 = fourcc('i', 'd', 'x', '1');
constexpr uint32_t kVids = fourcc('v', 'i', 'd', 's');

constexpr uint32_t kAviifKeyframe = 0x10;          // idx1 flag
constexpr uint32_t kOdmlDeltaFrame = 0x80000000u;  // standard index size bit
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;

// A stream header or index held in memory is never larger than this; beyond it the chunk is
// taken as malformed rather than read.
constexpr uint64_t kMaxHeaderChunk = 16u << 20;
// 'LIST rec ' groups nest at most this deep in the movi walk.
constexpr int kMaxListDepth = 4;
// Entries of idx1 and standard indexes are read in blocks of this many bytes.
constexpr size_t kIndexBlock = 64 * 1024;
// Stream numbers are two decimal digits.
constexpr int kMaxStreams = 100;
// One chunk header and where its data lies, clamped to its enclosing range.
struct Chunk {
  uint32_t id = 0;
  uint32_t size = 0;  // as stored
  uint64_t data = 0;  // first data byte
  uint64_t end = 0;   // end of the data inside the enclosing range
  uint64_t next = 0;  // the next chunk: after the data and its pad byte
  bool cut = false;   // the data runs past the enclosing range
};

// Reads the chunk header at `pos` inside [pos, limit). 0 when fewer than 8 bytes are left or
// the read fails.
int read_chunk_header(ByteSource* bytes, uint64_t pos, uint64_t limit, Chunk* out) {
  if (pos > limit || limit - pos < 8) return 0;
  uint8_t h[8];
  if (!bytes->read(pos, h, sizeof h)) return 0;
  Chunk c;
  c.id = le32(h);
  c.size = le32(h + 4);
  c.data = pos + 8;
  if (c.size > limit - c.data) {
    c.cut = true;
    c.end = limit;
    c.next = limit;
  } else {
    c.end = c.data + c.size;
    c.next = (c.size & 1) != 0 && c.end < limit ? c.end + 1 : c.end;
  }
  *out = c;
  return 1;
}

// Eight zero bytes are no chunk: a file preallocated and never filled, or the zeros after the
// last chunk of a recording that stopped. The list being walked ends there.
bool is_blank(const Chunk& c) {
  return c.id == 0 && c.size == 0;
}

// The list type of a LIST/RIFF chunk, or 0 when it has none.
uint32_t read_list_type(ByteSource* bytes, const Chunk& c) {
  uint8_t t[4];
  if (c.end - c.data < 4 || !bytes->read(c.data, t, 4)) return 0;
  return le32(t);
}

// Reads a small chunk's data whole (at most `cap` bytes of it).
int read_body(ByteSource* bytes, const Chunk& c, uint64_t cap, std::vector<uint8_t>* out) {
  const uint64_t n = std::min(c.end - c.data, cap);
  out->resize(size_t(n));
  return bytes->read(c.data, out->data(), size_t(n));
}

// A chunk whose stored size is 0 taken as running to `limit`.
void extend_to(Chunk* c, uint64_t limit) {
  c->end = limit;
  c->next = limit;
}

bool is_unsized_movi(ByteSource* bytes, const Chunk& c, uint64_t limit) {
  uint8_t t[4];
  return limit - c.data >= 4 && bytes->read(c.data, t, 4) && le32(t) == kMovi;
}

int stream_digit(uint8_t c) {
  return c >= '0' && c <= '9' ? c - '0' : -1;
}

}  // namespace

struct AviReader::Layout {
  std::vector<uint8_t> indx;  // the video stream's OpenDML index (super or standard), as stored
  bool have_movi = false;
  uint64_t movi_base = 0;  // the 'movi' list type of the first segment: idx1's origin
  struct Range {
    uint64_t begin, end;
  };
  std::vector<Range> movi;  // the data of every movi list, in file order
  bool have_idx1 = false;
  bool idx1_cut = false;  // the file ends inside idx1
  Range idx1{0, 0};
};

int AviReader::open(std::unique_ptr<ByteSource> bytes) {
  if (!bytes) return 0;
  bytes_ = std::move(bytes);
  file_size_ = bytes_->size();
  Layout layout;
  if (!parse_top_level(&layout)) return 0;
  if (stream_number_ < 0 || stream_.format.size() < kBitmapInfoHeaderSize) return 0;

  // An index entry stands for a chunk of at least its 8-byte header somewhere in the file, and
  // frames past the stream's length are never handed out: together they bound the index. A
  // length of 0, or of 2^31 and more (negative as a signed count), states nothing: the stream
  // then has the frames its index or a walk finds.
  const bool stated = stream_.length > 0;
  const uint64_t room = file_size_ / 8 + 1;
  entry_limit_ = size_t(stated ? std::min<uint64_t>(uint64_t(stream_.length), room) : room);

  index_from_odml(layout);
  if (!entries_.empty()) {
    index_kind_ = IndexKind::kOpenDml;
  } else {
    index_from_idx1(layout);
    if (!entries_.empty()) index_kind_ = IndexKind::kIdx1;
  }
  // No usable index, or one that covers fewer chunks than the stream has (idx1 only ever covers
  // the first movi list, and a file may end inside its index): the chunks after the last one
  // indexed are found by a walk.
  const bool short_index =
      entries_.size() < entry_limit_ && (stated || layout.movi.size() > 1 || layout.idx1_cut);
  if (entries_.empty() || short_index) {
    uint64_t after = 0;
    for (const ChunkEntry& e : entries_)
      if (e.offset <= file_size_) after = std::max(after, e.offset);
    const size_t indexed = entries_.size();
    index_from_walk(layout, after);
    if (entries_.size() > indexed) index_kind_ = IndexKind::kWalk;
  }
  finish_entries();
  if (!stated) {
    stream_.length =
        int32_t(std::min<size_t>(entries_.size(), std::numeric_limits<int32_t>::max()));
  }
  bytes_->release();
  return 1;
}

int AviReader::parse_top_level(Layout* layout) {
  uint8_t head[12];
  if (!bytes_->read(0, head, sizeof head) || le32(head) != kRiff || le32(head + 8) != kAvi) {
    return 0;
  }
  uint64_t pos = 0;
  bool first = true;
  // Every pass moves on by at least a chunk header, so the walk ends within the file.
  while (file_size_ - pos >= 8) {
    Chunk riff;
    if (!read_chunk_header(bytes_.get(), pos, file_size_, &riff) || is_blank(riff)) break;
    if (riff.cut) truncated_ = true;
    if (riff.size == 0) extend_to(&riff, file_size_);  // a recording that was never finished
    const uint32_t form = riff.id == kRiff ? read_list_type(bytes_.get(), riff) : 0;
    if ((first && form == kAvi) || (!first && form == kAvix)) {
      uint64_t p = riff.data + 4;
      bool hdrl_seen = !first;
      while (riff.end - p >= 8) {
        Chunk c;
        if (!read_chunk_header(bytes_.get(), p, riff.end, &c) || is_blank(c)) break;
        if (c.cut) truncated_ = true;
        if (c.id == kList) {
          // An unfinished recording leaves the movi list's size 0: it then runs to the end.
          if (c.size == 0 && is_unsized_movi(bytes_.get(), c, riff.end)) extend_to(&c, riff.end);
          const uint32_t type = read_list_type(bytes_.get(), c);
          if (type == kHdrl && !hdrl_seen) {
            hdrl_seen = true;
            if (!parse_hdrl(c.data + 4, c.end, layout)) return 0;
          } else if (type == kMovi) {
            if (!layout->have_movi) {
              layout->have_movi = true;
              layout->movi_base = c.data;
            }
            layout->movi.push_back({c.data + 4, c.end});
          }
        } else if (c.id == kIdx1 && first && !layout->have_idx1) {
          layout->have_idx1 = true;
          layout->idx1 = {c.data, c.end};
          layout->idx1_cut = c.cut;
        }
        p = c.next;
      }
    } else if (first) {
      return 0;
    }
    first = false;
    pos = riff.next;
  }
  return 1;
}

int AviReader::parse_hdrl(uint64_t begin, uint64_t end, Layout* layout) {
  uint64_t p = begin;
  int number = 0;
  while (end - p >= 8 && number < kMaxStreams && stream_number_ < 0) {
    Chunk c;
    if (!read_chunk_header(bytes_.get(), p, end, &c) || is_blank(c)) break;
    if (c.cut) truncated_ = true;
    if (c.id == kList && read_list_type(bytes_.get(), c) == kStrl) {
      if (!parse_strl(c.data + 4, c.end, number, layout)) return 0;
      ++number;
    }
    p = c.next;
  }
  return 1;
}

int AviReader::parse_strl(uint64_t begin, uint64_t end, int number, Layout* layout) {
  std::vector<uint8_t> strh, strf, indx;
  bool have_strh = false, have_strf = false, have_indx = false;
  uint64_t p = begin;
  while (end - p >= 8) {
    Chunk c;
    if (!read_chunk_header(bytes_.get(), p, end, &c) || is_blank(c)) break;
    if (c.cut) truncated_ = true;
    if (c.id == kStrh && !have_strh) {
      have_strh = read_body(bytes_.get(), c, 64, &strh) != 0;
    } else if (c.id == kStrf && !have_strf && c.end - c.data <= kMaxHeaderChunk) {
      have_strf = read_body(bytes_.get(), c, kMaxHeaderChunk, &strf) != 0;
    } else if (c.id == kIndx && !have_indx && c.end - c.data <= kMaxHeaderChunk) {
      have_indx = read_body(bytes_.get(), c, kMaxHeaderChunk, &indx) != 0;
    }
    p = c.next;
  }
  if (!have_strh || strh.size() < 4 || le32(strh.data()) != kVids) return 1;  // not video
  // The first video stream: from here on it is this one or none.
  if (strh.size() < 36 || !have_strf) return 0;
  stream_number_ = number;
  stream_.fcc_handler = le32(strh.data() + 4);
  stream_.scale = le32(strh.data() + 20);
  stream_.rate = le32(strh.data() + 24);
  stream_.length = int32_t(le32(strh.data() + 32));  // settled once the chunks are found
  stream_.format = std::move(strf);
  if (have_indx) layout->indx = std::move(indx);
  return 1;
}

bool AviReader::is_video_chunk(uint32_t id) const {
  const int hi = stream_digit(uint8_t(id)), lo = stream_digit(uint8_t(id >> 8));
  if (hi < 0 || lo < 0 || hi * 10 + lo != stream_number_) return false;
  const uint32_t type = id >> 16;
  return type == (fourcc(0, 0, 'd', 'b') >> 16) || type == (fourcc(0, 0, 'd', 'c') >> 16);
}

bool AviReader::add_entry(uint64_t offset, uint32_t size, bool keyframe) {
  if (entries_.size() >= entry_limit_) return false;
  entries_.push_back(ChunkEntry{offset, size, keyframe ? 0x80000000u : 0u});
  return true;
}

void AviReader::index_from_odml(const Layout& layout) {
  const std::vector<uint8_t>& b = layout.indx;
  if (b.size() < 24) return;
  const uint16_t longs_per_entry = le16(b.data());
  const uint8_t type = b[3];
  if (type == kIndexOfChunks) {
    // A standard index stored in the stream header itself.
    add_standard_index(b.data(), b.size());
    return;
  }
  if (type != kIndexOfIndexes || longs_per_entry != 4) return;
  const size_t n = std::min<size_t>(le32(b.data() + 4), (b.size() - 24) / 16);
  for (size_t i = 0; i < n && entries_.size() < entry_limit_; ++i) {
    add_standard_index_chunk(le64(b.data() + 24 + i * 16));
  }
}

// `count` standard index entries of `stride` bytes at `e`, offsets counted from `base`.
// false once the index is full.
bool AviReader::add_standard_entries(const uint8_t* e, size_t count, size_t stride, uint64_t base) {
  for (size_t i = 0; i < count; ++i, e += stride) {
    const uint32_t rel = le32(e), size = le32(e + 4);
    // The chunk's data; an offset past 2^64 saturates and is then simply outside the file.
    const uint64_t at = base > std::numeric_limits<uint64_t>::max() - rel
                            ? std::numeric_limits<uint64_t>::max()
                            : base + rel;
    if (!add_entry(at, size & ~kOdmlDeltaFrame, (size & kOdmlDeltaFrame) == 0)) return false;
  }
  return true;
}

// A standard index chunk ('ix##') at `offset`: its header, then its entries read in blocks.
void AviReader::add_standard_index_chunk(uint64_t offset) {
  Chunk c;
  if (!read_chunk_header(bytes_.get(), offset, file_size_, &c)) return;
  if (c.cut) truncated_ = true;
  uint8_t head[24];
  if (c.end - c.data < sizeof head || !bytes_->read(c.data, head, sizeof head)) return;
  const uint16_t longs_per_entry = le16(head);
  if (head[3] != kIndexOfChunks || longs_per_entry < 2) return;
  const uint64_t base = le64(head + 12);
  const size_t stride = size_t(longs_per_entry) * 4;
  const uint64_t n = std::min<uint64_t>(le32(head + 4), (c.end - c.data - 24) / stride);
  const uint64_t per_block = std::max<uint64_t>(1, kIndexBlock / stride);
  std::vector<uint8_t> block;
  for (uint64_t first = 0; first < n; first += per_block) {
    const uint64_t count = std::min(per_block, n - first);
    block.resize(size_t(count * stride));
    if (!bytes_->read(c.data + 24 + first * stride, block.data(), block.size())) return;
    if (!add_standard_entries(block.data(), size_t(count), stride, base)) return;
  }
}

// A standard index held in memory (the stream header's 'indx' of type index-of-chunks).
void AviReader::add_standard_index(const uint8_t* body, size_t size) {
  if (size < 24) return;
  const uint16_t longs_per_entry = le16(body);
  if (longs_per_entry < 2) return;
  const size_t stride = size_t(longs_per_entry) * 4;
  const size_t n = std::min<size_t>(le32(body + 4), (size - 24) / stride);
  add_standard_entries(body + 24, n, stride, le64(body + 12));
}

void AviReader::index_from_idx1(const Layout& layout) {
  if (!layout.have_idx1) return;
  const uint64_t n = (layout.idx1.end - layout.idx1.begin) / 16;
  if (n == 0) return;
  // Offsets count from the 'movi' list type (the usual form) or from the file's start (some
  // writers): the first of the leading entries that points at a chunk bearing its own tag under
  // one of the two settles it. When none does, an offset below the movi list can only be
  // relative to it.
  uint8_t lead[16 * 16];
  const uint64_t leading = std::min<uint64_t>(n, 16);
  if (!bytes_->read(layout.idx1.begin, lead, size_t(leading * 16))) return;
  auto tag_at = [&](uint64_t pos, uint32_t tag) {
    uint8_t t[4];
    return pos <= file_size_ && file_size_ - pos >= 8 && bytes_->read(pos, t, 4) && le32(t) == tag;
  };
  uint64_t base = layout.have_movi && le32(lead + 8) < layout.movi_base ? layout.movi_base : 0;
  for (uint64_t i = 0; i < leading; ++i) {
    const uint32_t tag = le32(lead + 16 * i), off = le32(lead + 16 * i + 8);
    if (layout.have_movi && tag_at(layout.movi_base + off, tag)) {
      base = layout.movi_base;
      break;
    }
    if (tag_at(off, tag)) {
      base = 0;
      break;
    }
  }

  std::vector<uint8_t> block;
  const uint64_t per_block = kIndexBlock / 16;
  for (uint64_t firsti = 0; firsti < n; firsti += per_block) {
    const uint64_t count = std::min(per_block, n - firsti);
    block.resize(size_t(count * 16));
    if (!bytes_->read(layout.idx1.begin + firsti * 16, block.data(), block.size())) return;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* e = block.data() + i * 16;
      if (!is_video_chunk(le32(e))) continue;
      // base + offset + 8 stays far below 2^64: base is a file position, offset 32-bit.
      if (!add_entry(base + le32(e + 8) + 8, le32(e + 12), (le32(e + 4) & kAviifKeyframe) != 0)) {
        return;
      }
    }
  }
}

void AviReader::index_from_walk(const Layout& layout, uint64_t after) {
  for (const Layout::Range& r : layout.movi) {
    if (entries_.size() >= entry_limit_) break;
    if (r.end > after) walk_list(r.begin, r.end, 0, after);
  }
}

void AviReader::walk_list(uint64_t begin, uint64_t end, int depth, uint64_t after) {
  uint64_t p = begin;
  while (end - p >= 8 && entries_.size() < entry_limit_) {
    Chunk c;
    if (!read_chunk_header(bytes_.get(), p, end, &c) || is_blank(c)) break;
    if (c.id == kList) {
      if (depth < kMaxListDepth && read_list_type(bytes_.get(), c) == kRec) {
        walk_list(c.data + 4, c.end, depth + 1, after);
      }
    } else if (is_video_chunk(c.id) && c.data > after) {
      // A chunk cut off by the end of the file keeps its stored size: it cannot be read.
      add_entry(c.data, c.size, true);
    }
    if (c.cut) {
      truncated_ = true;
      break;
    }
    p = c.next;
  }
}

void AviReader::finish_entries() {
  uint32_t picture = kNoPicture;
  largest_chunk_ = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    ChunkEntry& e = entries_[i];
    if (e.size > 0) picture = uint32_t(i);
    e.meta = (e.meta & 0x80000000u) | picture;
    if (readable(int32_t(i))) largest_chunk_ = std::max(largest_chunk_, e.size);
  }
}

bool AviReader::readable(int32_t index) const {
  if (index < 0 || size_t(index) >= entries_.size()) return false;
  const ChunkEntry& e = entries_[size_t(index)];
  return e.offset <= file_size_ && e.size <= file_size_ - e.offset;
}

int32_t AviReader::picture_of(int32_t index) const {
  if (index < 0 || size_t(index) >= entries_.size()) return -1;
  const uint32_t p = entries_[size_t(index)].meta & kNoPicture;
  return p == kNoPicture ? -1 : int32_t(p);
}

int AviReader::read_chunk(int32_t index, uint8_t* dst) {
  if (!readable(index)) return 0;
  const ChunkEntry& e = entries_[size_t(index)];
  return bytes_->read(e.offset, dst, e.size);
}

bool AviReader::is_keyframe(int32_t index) const {
  if (index < 0 || size_t(index) >= entries_.size()) return false;
  return (entries_[size_t(index)].meta & 0x80000000u) != 0;
}

int AviReader::read_packet(int32_t index, std::vector<uint8_t>* out) {
  if (!readable(index) || out == nullptr) return 0;
  out->resize(entries_[size_t(index)].size);
  return read_chunk(index, out->data());
}

}  // namespace vq
