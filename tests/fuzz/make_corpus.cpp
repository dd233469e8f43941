// Writes the fuzz target's seed corpus: small files in every layout the writer knows.
//   avi_fuzz_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/avi_writer.h"
#include "tests/frames.h"

using namespace vq;
using test::AviIndex;
using test::AviLayout;

namespace {

test::AviVideo video(int bits, int w, int h, test::Rows rows, test::Order order, int n) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < n; ++i) {
    test::Picture p = test::solid(w, h, {uint8_t(40 * i), 90, uint8_t(255 - 30 * i)});
    frames.push_back(test::rgb_frame(p, bits, rows, order));
  }
  return test::video_from_frames(frames);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  int written = 0, failed = 0;
  auto write = [&](const char* name, const test::AviVideo& v, const AviLayout& l) {
    test::write_avi(dir + "/" + name, v, l) ? ++written : ++failed;
  };
  const auto td = test::Order::kTopDown, bu = test::Order::kBottomUp;
  const auto padded = test::Rows::kPadded, packed = test::Rows::kPacked;
  write("bgr24_idx1.avi", video(24, 6, 4, padded, td, 3), {});
  write("bgr24_idx1_absolute.avi", video(24, 5, 3, packed, bu, 3),
        {.index = AviIndex::kIdx1Absolute});
  write("bgra_no_index.avi", video(32, 4, 2, padded, td, 3), {.index = AviIndex::kNone});
  write("rgb555_audio_first.avi", video(16, 4, 2, padded, bu, 3), {.audio_first = true});
  write("rec_lists.avi", video(24, 2, 2, packed, bu, 4),
        {.index = AviIndex::kNone, .audio_first = true, .rec_lists = true});
  write("palette_info.avi", video(24, 2, 2, padded, bu, 2),
        {.info = true, .palette_changes = true});
  write("opendml.avi", video(24, 2, 2, padded, bu, 5),
        {.index = AviIndex::kOpenDml, .frames_per_segment = 2});
  write("opendml_only.avi", video(32, 2, 2, padded, td, 4),
        {.index = AviIndex::kOpenDmlOnly, .audio_first = true, .frames_per_segment = 3});
  test::AviVideo dropped = video(24, 4, 2, padded, bu, 4);
  dropped.chunks[0].clear();
  dropped.chunks[2].clear();
  dropped.tag_db = true;
  dropped.fcc_handler = fourcc('D', 'I', 'B', ' ');
  write("dropped_frames.avi", dropped, {});
  test::AviVideo longer = video(24, 2, 2, padded, bu, 2);
  longer.length = 5;
  write("length_beyond_chunks.avi", longer, {.index = AviIndex::kNone});
  const test::AviVideo cut = video(24, 4, 2, padded, bu, 3);
  const uint64_t whole = test::make_avi(cut, {.index = AviIndex::kNone}).size;
  write("truncated.avi", cut, {.index = AviIndex::kNone, .truncate_to = whole - 10});
  const std::vector<uint8_t> y(16, 100), y2(16, 180), u(4, 90), v(4, 160);
  write(
      "yv12.avi",
      test::video_from_frames({test::yv12_frame(4, 4, y, u, v), test::yv12_frame(4, 4, y2, v, u)}),
      {});
  std::printf("%d seeds written, %d failed\n", written, failed);
  return failed == 0 ? 0 : 1;
}
