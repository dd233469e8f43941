// The AVI container reader: finds the first video stream, its format and where each of its
// chunks lies, from the OpenDML indexes, the idx1 index or a walk over the movi lists.
// Private to avi/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "avi/byte_source.h"
#include "decode/decode.h"

namespace vq {

// Where the chunk list of the video stream came from.
enum class IndexKind { kNone, kOpenDml, kIdx1, kWalk };

// One chunk of the video stream: its data (after the 8-byte chunk header) and its size.
struct ChunkEntry {
  uint64_t offset = 0;
  uint32_t size = 0;
  uint32_t meta = 0;  // bit 31: keyframe; low 31 bits: the chunk whose picture this frame shows
};

class AviReader final : public PacketSource {
 public:
  static constexpr uint32_t kNoPicture = 0x7FFFFFFF;  // dropped frames before any picture

  // Reads the container structure. 1 when the file is a RIFF 'AVI ' file with a video stream
  // whose format header can be read; 0 otherwise.
  [[nodiscard]] int open(std::unique_ptr<ByteSource> bytes);

  const StreamFormat& stream() const { return stream_; }
  int stream_number() const { return stream_number_; }
  IndexKind index_kind() const { return index_kind_; }
  // The file ended before a structure it announced (the chunks read so far are kept).
  bool truncated() const { return truncated_; }
  uint64_t file_size() const { return file_size_; }
  // The largest chunk of the stream that the file holds whole.
  uint32_t largest_chunk() const { return largest_chunk_; }

  const ChunkEntry& entry(int32_t index) const { return entries_[size_t(index)]; }
  // Chunk `index` is inside the file.
  [[nodiscard]] bool readable(int32_t index) const;
  // The chunk whose picture frame `index` shows: itself, or for a dropped frame (size 0) the
  // last chunk before it that held one; -1 when there is none.
  [[nodiscard]] int32_t picture_of(int32_t index) const;
  // Reads chunk `index` whole into `dst` (at least entry(index).size bytes); 1 when read.
  [[nodiscard]] int read_chunk(int32_t index, uint8_t* dst);

  // PacketSource
  int32_t packet_count() const override { return int32_t(entries_.size()); }
  bool is_keyframe(int32_t index) const override;
  int read_packet(int32_t index, std::vector<uint8_t>* out) override;

 private:
  struct Layout;  // what the walk over the top-level structure found
  int parse_top_level(Layout* layout);
  int parse_hdrl(uint64_t begin, uint64_t end, Layout* layout);
  int parse_strl(uint64_t begin, uint64_t end, int number, Layout* layout);
  void index_from_odml(const Layout& layout);
  void add_standard_index(const uint8_t* body, size_t size);
  void add_standard_index_chunk(uint64_t offset);
  bool add_standard_entries(const uint8_t* e, size_t count, size_t stride, uint64_t base);
  void index_from_idx1(const Layout& layout);
  // Adds the chunks whose data lies after `after` (0: every chunk), in file order.
  void index_from_walk(const Layout& layout, uint64_t after);
  void walk_list(uint64_t begin, uint64_t end, int depth, uint64_t after);
  bool add_entry(uint64_t offset, uint32_t size, bool keyframe);
  void finish_entries();
  bool is_video_chunk(uint32_t id) const;

  std::unique_ptr<ByteSource> bytes_;
  uint64_t file_size_ = 0;
  StreamFormat stream_;
  int stream_number_ = -1;
  IndexKind index_kind_ = IndexKind::kNone;
  bool truncated_ = false;
  std::vector<ChunkEntry> entries_;
  size_t entry_limit_ = 0;
  uint32_t largest_chunk_ = 0;
};

}  // namespace vq
