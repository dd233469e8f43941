// Fuzz target for the whole comparison: the input is split in two files (its first two bytes
// say where, in 1/65536ths), both are opened through the reader picker as the tool opens them,
// every pair is compared with PSNR and SSIM on two threads, and the written report and per-pair
// rows go to memory. In the build with FFmpeg's libraries this reaches the decoders, the picture
// conversions and frame scoring together.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "compare/compare.h"
#include "report/report.h"
#include "source/source.h"

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
  void on_pair(const vq::PairView& v) override {
    char row[64];
    for (int c = 0; c < int(v.table->columns()); ++c) {
      double value = 0;
      if (!v.table->get(c, v.row, &value)) continue;
      std::snprintf(row, sizeof row, "%.17g,", value);
      text += row;
    }
    text += "\n";
  }
  bool wants_pictures(const vq::PairView&) override { return true; }
  void on_pictures(const vq::PairView&, const vq::Picture& a, const vq::Picture& b) override {
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
  RunDescription run;
  run.path[0] = a.path;
  run.path[1] = b.path;
  run.maxframes = 64;  // enough pairs to cross every decoder's reordering delay
  OpenOptions options;
  options.raw_width = 16;
  options.raw_height = 16;
  std::unique_ptr<VideoSource> sources[2];
  std::string why;
  for (int i = 0; i < 2; ++i) {
    if (open_video(run.path[i].c_str(), options, &sources[i], &why) != OpenStatus::kOpened) {
      std::fclose(out);
      free(text);
      return 0;
    }
  }
  RunSettings s;
  s.sources[0] = sources[0].get();
  s.sources[1] = sources[1].get();
  s.maxframes = run.maxframes;
  for (const char* name : {"psnr=enable_mse=true:enable_apsnr=true", "ssim"}) {
    MetricRequest r;
    if (parse_metric_request(name, &r, &why)) s.metrics.push_back(r);
  }
  s.threads = 2;
  s.cpu_flags = detect_cpu_flags();
  ScoreTable table;
  s.table = &table;
  const std::unique_ptr<RunListener> report = make_text_report(out, true, run);
  Rows rows;
  s.listeners.push_back(report.get());
  s.listeners.push_back(&rows);
  RunResult r;
  comparison_run(s, &r);
  std::FILE* err = std::fopen("/dev/null", "w");
  if (err) {
    print_notes(run, r, err);
    std::fclose(err);
  }
  std::fclose(out);
  free(text);
  return 0;
}
