// Fuzz target for the whole comparison: the input is split in two files (its first two bytes
// say where, in 1/65536ths), both are opened through the reader picker as the tool opens them,
// every pair is compared with PSNR and SSIM, and the report and per-pair rows are written to
// memory. In the build with FFmpeg's libraries this reaches the decoders, the picture
// conversions and frame scoring together.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "compare/compare.h"

namespace {

// A file in memory with a path the picker can open.
struct MemoryFile {
  int fd = -1;
  std::string path;
  MemoryFile(const uint8_t* data, size_t size) {
    fd = memfd_create("vidqual-fuzz", MFD_CLOEXEC);
    if (fd < 0) return;
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~MemoryFile() {
    if (fd >= 0) close(fd);
  }
};

// The per-pair rows, written to memory as the per-frame file writes them; the pictures of every
// pair asked for, as the HTML report asks for its worst pairs.
struct Rows final : vq::RunListener {
  std::string text;
  void on_pair(int32_t pair, const vq::FrameScore& score) override {
    char row[256];
    std::snprintf(row, sizeof row, "%d,%.17g,%.17g,%.17g\n", pair, score.psnr[0], score.psnr[1],
                  score.psnr[2]);
    text += row;
  }
  bool wants_pictures(int32_t, const vq::FrameScore&) override { return true; }
  void on_pictures(int32_t, const vq::FrameScore&, const vq::Picture& a,
                   const vq::Picture& b) override {
    if (a.width != b.width || a.height != b.height || a.depth != b.depth) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vq;
  if (size < 2) return 0;
  const size_t body = size - 2;
  const size_t split = body * ((size_t(data[0]) << 8) | data[1]) >> 16;
  MemoryFile a(data + 2, split), b(data + 2 + split, body - split);
  if (a.fd < 0 || b.fd < 0) return 0;

  char* text = nullptr;
  size_t text_size = 0;
  std::FILE* out = open_memstream(&text, &text_size);
  if (out == nullptr) return 0;
  RunSettings s;
  s.path1 = a.path.c_str();
  s.path2 = b.path.c_str();
  s.verbose = true;
  s.ssim = true;
  s.maxframes = 64;  // enough pairs to cross every decoder's reordering delay
  for (OpenOptions& o : s.open) {
    o.raw_width = 16;
    o.raw_height = 16;
  }
  Rows rows;
  s.listeners.push_back(&rows);
  RunResult r;
  (void)comparison_run(s, out, &r);
  std::FILE* err = std::fopen("/dev/null", "w");
  if (err) {
    print_notes(s, r, err);
    std::fclose(err);
  }
  std::fclose(out);
  free(text);
  return 0;
}
