// The Y4M reader (8 to 16 bits, also from a pipe) and the headerless YUV reader.
#include "y4m/y4m.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

namespace vq {
namespace {

// The largest plane read: 2^28 samples (16384 x 16384).
constexpr uint64_t kMaxPlaneSamples = uint64_t(1) << 28;
// A frame of a regular file mapped from the system's cache of the file, read in place rather
// than copied into a block of our own.
class MappedFrame {
 public:
  MappedFrame() = default;
  MappedFrame(MappedFrame&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)), len_(std::exchange(o.len_, 0)) {}
  MappedFrame& operator=(MappedFrame&& o) noexcept {
    if (this != &o) {
      unmap();
      base_ = std::exchange(o.base_, nullptr);
      len_ = std::exchange(o.len_, 0);
    }
    return *this;
  }
  ~MappedFrame() { unmap(); }

  // Maps bytes [at, at + n) of file `fd` with their pages present: their start, or null (also
  // when the file no longer holds them: a mapping past its end cannot be read, while a read
  // there tells of it).
  const uint8_t* map(int fd, uint64_t at, size_t n) {
    unmap();
    struct stat st;
    if (fstat(fd, &st) != 0 || uint64_t(st.st_size) < at || uint64_t(st.st_size) - at < n)
      return nullptr;
    static const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t start = at / page * page;
    const size_t len = size_t(at - start) + n;
    void* m = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, off_t(start));
    if (m == MAP_FAILED) return nullptr;
    base_ = m;
    len_ = len;
    return static_cast<const uint8_t*>(m) + (at - start);
  }

 private:
  void unmap() {
    if (base_ != nullptr) munmap(base_, len_);
    base_ = nullptr;
  }
  void* base_ = nullptr;
  size_t len_ = 0;
};

// The mark a Y4M file starts with.
constexpr std::string_view kY4mMark = "YUV4MPEG2";
// What a pipe's first frame block starts at before it grows with the bytes that arrive.
constexpr size_t kFirstBlock = size_t(1) << 16;

// A decimal number of at most 9 digits (no sign): 1 and *out set when `s` is one.
int parse_count(std::string_view s, int32_t* out) {
  if (s.empty() || s.size() > 9) return 0;
  int32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return 1;
}

// "n:d" with both numbers as parse_count reads them.
int parse_ratio(std::string_view s, int32_t* num, int32_t* den) {
  const size_t colon = s.find(':');
  if (colon == std::string_view::npos) return 0;
  int32_t n, d;
  if (!parse_count(s.substr(0, colon), &n) || !parse_count(s.substr(colon + 1), &d)) return 0;
  *num = n;
  *den = d;
  return 1;
}

int size_fits(int32_t width, int32_t height) {
  return width >= 1 && height >= 1 && uint64_t(width) * uint64_t(height) <= kMaxPlaneSamples;
}

// Y4M's colour space tag without its C: "420jpeg", "420p10", "422", "444p12", "mono", "mono16".
int parse_colour_space(std::string_view tag, RawYuvFormat* out) {
  ChromaLayout layout;
  std::string_view rest;
  if (tag.starts_with("mono")) {
    layout = ChromaLayout::kGray;
    rest = tag.substr(4);
  } else if (tag.size() >= 3 &&
             (tag.starts_with("420") || tag.starts_with("422") || tag.starts_with("444"))) {
    layout = tag[1] == '2' && tag[2] == '0'   ? ChromaLayout::k420
             : tag[1] == '2' && tag[2] == '2' ? ChromaLayout::k422
                                              : ChromaLayout::k444;
    rest = tag.substr(3);
    // The siting variants of 8-bit 4:2:0 are all read alike.
    if (layout == ChromaLayout::k420 && (rest == "jpeg" || rest == "paldv" || rest == "mpeg2")) {
      rest = {};
    }
    if (!rest.empty()) {
      if (rest[0] != 'p') return 0;
      rest = rest.substr(1);
      if (rest.empty()) return 0;
    }
  } else {
    return 0;
  }
  int32_t depth = 8;
  if (!rest.empty() && (!parse_count(rest, &depth) || depth < 8 || depth > 16)) return 0;
  out->layout = layout;
  out->depth = int(depth);
  return 1;
}

// The bytes of one frame's planes.
struct Geometry {
  uint64_t luma = 0;    // bytes of the Y plane
  uint64_t chroma = 0;  // bytes of each chroma plane
  uint64_t frame = 0;   // bytes of the whole frame
};

Geometry geometry_of(const RawYuvFormat& f) {
  const uint64_t bytes = uint64_t(sample_bytes(f.depth));
  const PlaneSize c = chroma_size(f.layout, f.width, f.height);
  Geometry g;
  g.luma = uint64_t(f.width) * uint64_t(f.height) * bytes;
  g.chroma = uint64_t(c.width) * uint64_t(c.height) * bytes;
  g.frame = g.luma + 2 * g.chroma;
  return g;
}

// How a FRAME line starts the `n` bytes at `p`: 1 and *line set to its length (newline included)
// when it is one; 0 when it is not; -1 when more bytes may still make it one.
int frame_line(const uint8_t* p, size_t n, size_t* line) {
  static constexpr char kMark[] = "FRAME";
  const size_t head = std::min<size_t>(n, 5);
  if (std::memcmp(p, kMark, head) != 0) return 0;
  if (n <= 5) return -1;
  if (p[5] != '\n' && p[5] != ' ') return 0;
  const size_t limit = std::min(n, kY4mMaxLine);
  const void* nl = std::memchr(p + 5, '\n', limit - 5);
  if (!nl) return n < kY4mMaxLine ? -1 : 0;
  *line = size_t(static_cast<const uint8_t*>(nl) - p) + 1;
  return 1;
}

// Frames of a YUV file, one read each into a block the source owns.
class YuvSource final : public VideoSource {
 public:
  YuvSource(std::unique_ptr<InputFile> file, const RawYuvFormat& format, bool y4m)
      : file_(std::move(file)), format_(format), geometry_(geometry_of(format)), y4m_(y4m) {
    info_.container = y4m ? "Y4M" : "raw YUV";
    info_.codec = "rawvideo";
    info_.pixel_format = pix_fmt_name(format.layout, format.depth);
    info_.width = format.width;
    info_.height = format.height;
    info_.rate_num = format.rate_num;
    info_.rate_den = format.rate_den;
  }

  // Y4M: the header has been read (`header` bytes long); finds the frames of a regular file.
  void index_y4m(const Y4mHeader& header);
  // Raw YUV: the frames of a regular file follow one another from its start.
  // 0 with *why when the file cannot hold frames of the stated layout.
  [[nodiscard]] int index_raw(std::string* why);

  [[nodiscard]] const SourceInfo& info() const override { return info_; }
  [[nodiscard]] Fetch get_frame(int32_t index, Frame* out) override;
  // A regular file's frames are read into a ring of blocks, one per fetch kept; a stream's into
  // its one block.
  [[nodiscard]] int32_t keep_frames(int32_t fetches) override {
    if (!file_->regular()) return 1;
    ring_.resize(size_t(std::clamp(fetches, 1, kMostKept)));
    maps_.resize(ring_.size());
    return int32_t(ring_.size());
  }
  [[nodiscard]] std::string reason() const override { return reason_; }

 private:
  static constexpr uint64_t kNoFrameLine = ~uint64_t(0);
  static constexpr int32_t kMostKept = 256;

  Fetch fetch_at(int32_t index);
  Fetch fetch_next(int32_t index);
  Fetch read_stream_frame(int32_t index);
  // Makes the block at least `bytes` long, keeping its first `keep` bytes.
  int reserve(size_t bytes, size_t keep);
  Fetch fail(Fetch outcome, std::string why) {
    reason_ = std::move(why);
    return outcome;
  }
  // Frames are counted from 1 in messages, as the run's error line counts them.
  std::string frame_text(int32_t index) const {
    return std::string(y4m_ ? "Y4M" : "raw YUV") + " frame " + std::to_string(index + 1);
  }

  std::unique_ptr<InputFile> file_;
  SourceInfo info_;
  RawYuvFormat format_;
  Geometry geometry_;
  bool y4m_;
  bool full_range_ = false;
  // A regular Y4M file: where each frame's planes start (kNoFrameLine where no FRAME line is).
  std::vector<uint64_t> offsets_;
  std::unique_ptr<uint8_t[]> block_;
  size_t capacity_ = 0;
  // Frames kept through later fetches: ring_[ring_at_] holds the last one read.
  std::vector<std::unique_ptr<uint8_t[]>> ring_;
  size_t ring_at_ = 0;
  // Frames mapped in place, as many as the ring keeps (one without a ring).
  std::vector<MappedFrame> maps_ = std::vector<MappedFrame>(1);
  bool mapping_ = true;             // until a mapping fails
  const uint8_t* frame_ = nullptr;  // the frame handed out
  // A stream: the next frame it holds, the frame in the block (-1 for none), and whether it
  // ended (cleanly at next_, or with an unreadable frame).
  int32_t next_ = 0;
  int32_t held_ = -1;
  enum class StreamState : uint8_t { kOpen, kEnded, kBroken } state_ = StreamState::kOpen;
  std::string reason_;
};

void YuvSource::index_y4m(const Y4mHeader& header) {
  full_range_ = header.full_range;
  if (header.range_stated) info_.color_range = header.full_range ? "pc" : "tv";
  if (!file_->regular()) {
    info_.length_known = false;
    return;
  }
  // Every FRAME line is walked: lines may carry parameters, so frames need not be evenly spaced.
  // The walk stops at the first frame that has no FRAME line: it is the last, unreadable, one.
  const uint64_t size = file_->size();
  uint64_t pos = header.line_size;
  uint8_t line[kY4mMaxLine];
  // Lines of small frames come from the input's read-ahead window; those of large ones are read
  // alone, since a window would copy mostly samples that the frames' mappings read again.
  const bool alone = geometry_.frame >= (64 << 10);
  const auto read_line = [&](size_t n) {
    return alone ? file_->read_exactly(pos, line, n) : file_->read_at(pos, line, n);
  };
  while (pos < size && offsets_.size() < size_t(INT32_MAX)) {
    size_t n = size_t(std::min<uint64_t>(64, size - pos)), length = 0;
    int found = read_line(n) ? frame_line(line, n, &length) : 0;
    if (found < 0 && n < size - pos) {
      n = size_t(std::min<uint64_t>(kY4mMaxLine, size - pos));
      found = read_line(n) ? frame_line(line, n, &length) : 0;
    }
    if (found <= 0) {
      offsets_.push_back(kNoFrameLine);
      break;
    }
    offsets_.push_back(pos + length);
    pos += length + geometry_.frame;
  }
  info_.length = int32_t(offsets_.size());
}

int YuvSource::index_raw(std::string* why) {
  if (!file_->regular()) {
    info_.length_known = false;
    return 1;
  }
  // A file that is not a whole number of frames was made with another size or layout than the
  // one stated: refused before any pair is scored, since every frame would be misread.
  const uint64_t size = file_->size();
  if (size % geometry_.frame != 0) {
    if (why) {
      *why = "raw YUV: the file's " + std::to_string(size) + " bytes are not a whole number of " +
             std::to_string(format_.width) + "x" + std::to_string(format_.height) + " " +
             info_.pixel_format + " frames of " + std::to_string(geometry_.frame) + " bytes (" +
             std::to_string(size % geometry_.frame) +
             " bytes over): are --size and --pix-fmt right for this file?";
    }
    return 0;
  }
  info_.length = int32_t(std::min<uint64_t>(size / geometry_.frame, INT32_MAX));
  return 1;
}

int YuvSource::reserve(size_t bytes, size_t keep) {
  if (capacity_ >= bytes) return 1;
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[bytes]);
  if (!grown) return 0;
  if (keep) std::memcpy(grown.get(), block_.get(), keep);
  block_ = std::move(grown);
  capacity_ = bytes;
  return 1;
}

Fetch YuvSource::get_frame(int32_t index, Frame* out) {
  const Fetch got = file_->regular() ? fetch_at(index) : fetch_next(index);
  if (got != Fetch::kFrame) return got;
  if (!file_->regular()) frame_ = block_.get();
  if (!y4m_ && format_.depth > 8) {
    // A raw file read with the wrong layout (an 8-bit file read as 10-bit, a wrong size) shows
    // samples above the depth's peak: refused, rather than scored as a plausible number. One
    // pass over the frame, with no branch per sample.
    const uint8_t* b = frame_;
    unsigned high = 0;
    for (uint64_t i = 0; i + 1 < geometry_.frame; i += 2)
      high |= unsigned(b[i] | b[i + 1] << 8) >> format_.depth;
    if (high != 0) {
      return fail(Fetch::kError, frame_text(index) + " has samples above " +
                                     std::to_string((1u << format_.depth) - 1) + ", the peak of " +
                                     std::to_string(format_.depth) +
                                     "-bit samples: is --pix-fmt right for this file?");
    }
  }
  Frame frame;
  Picture& p = frame.picture;
  p.layout = format_.layout;
  p.depth = format_.depth;
  p.full_range = full_range_;
  p.width = format_.width;
  p.height = format_.height;
  const PlaneSize c = chroma_size(format_.layout, format_.width, format_.height);
  p.chroma_width = c.width;
  p.chroma_height = c.height;
  const int bytes = sample_bytes(format_.depth);
  p.plane[0] = frame_;
  p.pitch[0] = ptrdiff_t(format_.width) * bytes;
  if (format_.layout != ChromaLayout::kGray) {
    p.plane[1] = frame_ + geometry_.luma;
    p.plane[2] = p.plane[1] + geometry_.chroma;
    p.pitch[1] = p.pitch[2] = ptrdiff_t(c.width) * bytes;
  }
  *out = frame;
  return Fetch::kFrame;
}

Fetch YuvSource::fetch_at(int32_t index) {
  if (index < 0 || index >= info_.length) {
    return fail(Fetch::kError,
                frame_text(index) + ": the file holds " + std::to_string(info_.length) + " frames");
  }
  const uint64_t at = y4m_ ? offsets_[size_t(index)] : uint64_t(index) * geometry_.frame;
  if (at == kNoFrameLine) return fail(Fetch::kError, frame_text(index) + ": no FRAME line");
  const uint64_t size = file_->size();
  // A frame the file does not hold whole is refused before any room is made for it.
  if (at > size || geometry_.frame > size - at) {
    return fail(Fetch::kError, frame_text(index) +
                                   " is cut short: " + std::to_string(at > size ? 0 : size - at) +
                                   " of " + std::to_string(geometry_.frame) + " bytes");
  }
  if (ring_.size() > 1) ring_at_ = (ring_at_ + 1) % ring_.size();
  // A regular file's frame is read where the system holds it, rather than copied, unless its
  // samples of two bytes would start at an odd address.
  if (mapping_ && file_->fd() >= 0 && (format_.depth <= 8 || at % 2 == 0)) {
    frame_ = maps_[ring_.size() > 1 ? ring_at_ : 0].map(file_->fd(), at, size_t(geometry_.frame));
    if (frame_ != nullptr) return Fetch::kFrame;
    mapping_ = false;
  }
  uint8_t* into = nullptr;
  if (ring_.size() > 1) {
    std::unique_ptr<uint8_t[]>& slot = ring_[ring_at_];
    if (!slot) slot.reset(new (std::nothrow) uint8_t[size_t(geometry_.frame)]);
    into = slot.get();
  } else {
    into = reserve(size_t(geometry_.frame), 0) ? block_.get() : nullptr;
  }
  frame_ = into;
  if (into == nullptr) {
    return fail(Fetch::kOutOfMemory, frame_text(index) + ": no memory for its planes");
  }
  if (!file_->read_at(at, into, size_t(geometry_.frame))) {
    return fail(Fetch::kError, frame_text(index) + ": read error");
  }
  return Fetch::kFrame;
}

Fetch YuvSource::fetch_next(int32_t index) {
  if (index >= 0 && index == held_) return Fetch::kFrame;
  if (index < next_) {
    return fail(Fetch::kError, frame_text(index) +
                                   ": a stream is read forward only (next is frame " +
                                   std::to_string(next_) + ")");
  }
  // Frames before the one asked for are read and passed over.
  while (next_ <= index) {
    if (state_ == StreamState::kEnded) return Fetch::kEnd;
    if (state_ == StreamState::kBroken) {
      return fail(Fetch::kError, frame_text(index) + ": the stream broke off before it");
    }
    const int32_t at = next_;
    held_ = -1;
    const Fetch got = read_stream_frame(at);
    if (got == Fetch::kEnd) {
      state_ = StreamState::kEnded;
      return Fetch::kEnd;
    }
    if (got != Fetch::kFrame) {
      state_ = StreamState::kBroken;
      if (at != index) {
        return fail(Fetch::kError,
                    frame_text(index) + ": the stream broke off before it (" + reason_ + ")");
      }
      return got;
    }
    held_ = at;
    ++next_;
  }
  return Fetch::kFrame;
}

Fetch YuvSource::read_stream_frame(int32_t index) {
  if (y4m_) {
    // The FRAME line: its mark and the byte after it, then any parameters up to the newline.
    uint8_t line[6];
    const int64_t r = file_->read(line, sizeof line);
    if (r < 0) return fail(Fetch::kError, frame_text(index) + ": read error");
    if (r == 0) return Fetch::kEnd;
    size_t length = 0;
    int found = frame_line(line, size_t(r), &length);
    for (size_t n = size_t(r); found < 0 && r == int64_t(sizeof line);) {
      uint8_t c;
      const int64_t more = file_->read(&c, 1);
      if (more < 0) return fail(Fetch::kError, frame_text(index) + ": read error");
      if (more == 0) break;
      ++n;
      if (c == '\n')
        found = 1;
      else if (n == kY4mMaxLine)
        found = 0;
    }
    if (found < 0)
      return fail(Fetch::kError, frame_text(index) + " is cut short in its FRAME line");
    if (found == 0) return fail(Fetch::kError, frame_text(index) + ": no FRAME line");
  }
  // The planes. The block grows with the bytes that arrive, never ahead of them to what the
  // header claims.
  const size_t want = size_t(geometry_.frame);
  size_t got = 0;
  while (got < want) {
    if (got == capacity_) {
      const size_t grown = std::min(want, std::max(kFirstBlock, capacity_ * 2));
      if (!reserve(grown, got)) {
        return fail(Fetch::kOutOfMemory, frame_text(index) + ": no memory for its planes");
      }
    }
    const size_t ask = std::min(want, capacity_) - got;
    const int64_t r = file_->read(block_.get() + got, ask);
    if (r < 0) return fail(Fetch::kError, frame_text(index) + ": read error");
    got += size_t(r);
    if (size_t(r) < ask) break;
  }
  if (got == 0 && !y4m_) return Fetch::kEnd;
  if (got < want) {
    return fail(Fetch::kError, frame_text(index) + " is cut short: " + std::to_string(got) +
                                   " of " + std::to_string(want) + " bytes");
  }
  return Fetch::kFrame;
}

}  // namespace

int parse_pix_fmt(const char* name, RawYuvFormat* out) {
  if (!name) return 0;
  static constexpr struct {
    const char* prefix;
    ChromaLayout layout;
  } kLayouts[] = {{"yuv420p", ChromaLayout::k420},
                  {"yuv422p", ChromaLayout::k422},
                  {"yuv444p", ChromaLayout::k444},
                  {"gray", ChromaLayout::kGray}};
  const std::string_view s(name);
  for (const auto& l : kLayouts) {
    if (!s.starts_with(l.prefix)) continue;
    std::string_view rest = s.substr(std::strlen(l.prefix));
    int32_t depth = 8;
    if (!rest.empty()) {
      if (!rest.ends_with("le")) return 0;
      rest.remove_suffix(2);
      if (!parse_count(rest, &depth) || rest[0] == '0') return 0;
      if (depth != 9 && depth != 10 && depth != 12 && depth != 14 && depth != 16) return 0;
    }
    out->layout = l.layout;
    out->depth = int(depth);
    return 1;
  }
  return 0;
}

std::string pix_fmt_name(ChromaLayout layout, int depth) {
  std::string name = layout == ChromaLayout::k420   ? "yuv420p"
                     : layout == ChromaLayout::k422 ? "yuv422p"
                     : layout == ChromaLayout::k444 ? "yuv444p"
                                                    : "gray";
  if (depth > 8) name += std::to_string(depth) + "le";
  return name;
}

int parse_frame_size(const char* text, int32_t* width, int32_t* height) {
  if (!text) return 0;
  const std::string_view s(text);
  const size_t x = s.find('x');
  if (x == std::string_view::npos) return 0;
  int32_t w, h;
  if (!parse_count(s.substr(0, x), &w) || !parse_count(s.substr(x + 1), &h)) return 0;
  if (!size_fits(w, h)) return 0;
  *width = w;
  *height = h;
  return 1;
}

int parse_y4m_header(const char* data, size_t size, Y4mHeader* out, std::string* why) {
  auto refuse = [why](const std::string& what) {
    if (why) *why = "Y4M header: " + what;
    return 0;
  };
  const std::string_view all(data, std::min(size, kY4mMaxLine));
  if (!all.starts_with(kY4mMark)) return refuse("no YUV4MPEG2 mark");
  const size_t nl = all.find('\n');
  if (nl == std::string_view::npos) {
    return refuse(size < kY4mMaxLine
                      ? "cut short"
                      : "no end of line in " + std::to_string(kY4mMaxLine) + " bytes");
  }
  std::string_view params = all.substr(kY4mMark.size(), nl - kY4mMark.size());
  if (!params.empty() && params[0] != ' ') return refuse("no space after YUV4MPEG2");
  Y4mHeader h;
  h.format.width = h.format.height = -1;
  while (!params.empty()) {
    const size_t start = params.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    params.remove_prefix(start);
    const size_t end = std::min(params.find(' '), params.size());
    const std::string_view token = params.substr(0, end), value = token.substr(1);
    params.remove_prefix(end);
    switch (token[0]) {
      case 'W':
        if (!parse_count(value, &h.format.width) || h.format.width < 1) return refuse("bad W");
        break;
      case 'H':
        if (!parse_count(value, &h.format.height) || h.format.height < 1) return refuse("bad H");
        break;
      case 'F':
        if (!parse_ratio(value, &h.format.rate_num, &h.format.rate_den) ||
            (h.format.rate_num == 0) != (h.format.rate_den == 0))
          return refuse("bad F");
        break;
      case 'A': {
        int32_t n, d;
        if (!parse_ratio(value, &n, &d)) return refuse("bad A");
        break;
      }
      case 'I':
        if (value.size() != 1 || !std::strchr("?ptbm", value[0])) return refuse("bad I");
        break;
      case 'C':
        if (!parse_colour_space(value, &h.format))
          return refuse("colour space C" + std::string(value) + " is not read");
        break;
      case 'X':
        if (value == "COLORRANGE=FULL") h.full_range = h.range_stated = true;
        if (value == "COLORRANGE=LIMITED") {
          h.full_range = false;
          h.range_stated = true;
        }
        break;
      default:
        // Parameters of later revisions of the format are passed over.
        break;
    }
  }
  if (h.format.width < 0) return refuse("no W");
  if (h.format.height < 0) return refuse("no H");
  if (!size_fits(h.format.width, h.format.height)) {
    return refuse(std::to_string(h.format.width) + "x" + std::to_string(h.format.height) +
                  " is larger than the largest picture read");
  }
  h.line_size = nl + 1;
  *out = h;
  return 1;
}

std::unique_ptr<VideoSource> open_y4m(std::unique_ptr<InputFile> file, std::string* why) {
  try {
    // The header line: from the file's start when it is regular, else from the stream, which
    // is left at the first FRAME line.
    std::string line;
    if (file->regular()) {
      line.resize(size_t(std::min<uint64_t>(file->size(), kY4mMaxLine)));
      if (!file->read_at(0, line.data(), line.size())) {
        if (why) *why = "Y4M header: read error";
        return nullptr;
      }
    } else {
      char c = 0;
      while (line.size() < kY4mMaxLine && c != '\n') {
        const int64_t r = file->read(&c, 1);
        if (r < 0) {
          if (why) *why = "Y4M header: read error";
          return nullptr;
        }
        if (r == 0) break;
        line += c;
        // Bytes that do not start with the mark (/dev/zero, say) are not read on.
        if (line.size() <= 9 && line.back() != kY4mMark[line.size() - 1]) break;
      }
    }
    Y4mHeader header;
    if (!parse_y4m_header(line.data(), line.size(), &header, why)) return nullptr;
    auto source = std::make_unique<YuvSource>(std::move(file), header.format, true);
    source->index_y4m(header);
    return source;
  } catch (const std::bad_alloc&) {
    if (why) *why = "Y4M: out of memory";
    return nullptr;
  }
}

std::unique_ptr<VideoSource> open_raw_yuv(std::unique_ptr<InputFile> file,
                                          const RawYuvFormat& format, std::string* why) {
  if (!size_fits(format.width, format.height) || format.depth < 8 || format.depth > 16) {
    if (why) *why = "raw YUV: a picture size (--size=WxH) is needed";
    return nullptr;
  }
  if (format.rate_num < 0 || format.rate_den < 0 ||
      (format.rate_num == 0) != (format.rate_den == 0)) {
    if (why) *why = "raw YUV: bad frame rate";
    return nullptr;
  }
  try {
    auto source = std::make_unique<YuvSource>(std::move(file), format, false);
    if (!source->index_raw(why)) return nullptr;
    return source;
  } catch (const std::bad_alloc&) {
    if (why) *why = "raw YUV: out of memory";
    return nullptr;
  }
}

}  // namespace vq
