// Damaged and unusual AVI files against plain files of the same pictures, through the real
// binary: a preallocated file of zeros, and bit-field pixels.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/avi_writer.h"
#include "tests/frames.h"
#include "tests/run_binary.h"

namespace vq {
namespace {

using Bytes = std::vector<uint8_t>;
using test::put32;

const char kBanner[] =
    "VIDQUAL v1.3.1.4, PSNR and SSIM of the Y, U and V planes of two video files\n\n";

class AviFaults : public BinaryTest {
 protected:
  std::string write_bytes(const std::string& name, const Bytes& b) {
    FILE* f = std::fopen(path(name).c_str(), "wb");
    EXPECT_TRUE(f && std::fwrite(b.data(), 1, b.size(), f) == b.size() && std::fclose(f) == 0);
    return path(name);
  }
};

// `n` frames of 8 x 4 pixels, each different, whose values 5-6-5 holds exactly.
std::vector<Bytes> frames(int n, int bits = 24, uint32_t header = 40) {
  std::vector<Bytes> out;
  for (int i = 0; i < n; ++i) {
    test::Picture p = test::solid(8, 4, {});
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x)
        p.at(x, y) = {uint8_t(8 * (x + 3 * i)), uint8_t(4 * (x * y + 7 * i)), uint8_t(8 * y + 40)};
    out.push_back(header > 40 ? test::bitfield_frame(p, bits, header) : test::rgb_frame(p, bits));
  }
  return out;
}

std::string lines(int pairs) {
  std::string s = kBanner;
  for (int i = 1; i <= pairs; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%3d: \t98.13 \t98.13 \t98.13\n", i);
    s += line;
  }
  return s + "[PSNR]\nPsnrY   \t98.13\nPsnrU   \t98.13\nPsnrV   \t98.13\n";
}

// A recording left unfinished in a preallocated file, read from disk: RIFF size 0, then zeros up
// to 1 GiB; every frame it holds is compared. (Index cut short and lengths that state nothing:
// avi_reader_test, on the reader itself.)
TEST_F(AviFaults, UnfinishedPreallocatedFile) {
  const std::string plain6 = write("plain6.avi", test::video_from_frames(frames(6)));
  Bytes head =
      test::avi_bytes(test::video_from_frames(frames(4)), {.index = test::AviIndex::kNone});
  put32(&head, 4, 0);
  const std::string sparse = write_bytes("sparse.avi", head);
  if (::truncate(sparse.c_str(), off_t(1) << 30) != 0) GTEST_SKIP() << "no sparse file here";
  const Outcome r = run({sparse, plain6, "-v"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(lines(4), r.out);
}

// Bit-field frames (masks after a 40-byte header, or inside a longer one) against plain frames
// of the same pictures (each mask form on the converter itself: convert_test); masks of any
// other form are refused.
TEST_F(AviFaults, BitFieldsAgainstPlainFiles) {
  const struct {
    const char* name;
    int bits, plain_bits;
    uint32_t header;  // 52: masks after a 40-byte header; more: inside the header
  } cases[] = {{"5-6-5", test::kBits565, 24, 52},
               {"5-6-5 in a 108-byte header", test::kBits565, 32, 108}};
  for (const auto& c : cases) {
    test::AviVideo v = test::video_from_frames(frames(3, c.bits, c.header));
    if (c.header == 52) v = test::masks_after_header(v);
    const std::string fields = write("fields.avi", v);
    const std::string plain = write("plain.avi", test::video_from_frames(frames(3, c.plain_bits)));
    const Outcome r = run({plain, fields, "-v"});
    EXPECT_EQ(0, r.status) << c.name;
    EXPECT_EQ(lines(3), r.out) << c.name;
  }
  test::AviVideo odd = test::masks_after_header(test::video_from_frames(frames(3, 16, 52)));
  odd.format[41] = 0x7E;  // red 7E00: six bits
  const Outcome r =
      run({write("plain.avi", test::video_from_frames(frames(3, 16))), write("odd.avi", odd)});
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.out.find("ERROR: unsupported AVI format\n")) << r.out;
}

}  // namespace
}  // namespace vq
