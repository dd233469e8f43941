// Fuzz target for the whole comparison: the input is split in two inputs in memory (its first two
// bytes say where, in 1/65536ths), both are opened through the reader picker as the tool opens
// them, every pair is compared with PSNR and SSIM on two threads, and the written report and
// per-pair rows go to memory. In the build with FFmpeg's libraries this reaches the decoders, the
// picture conversions and frame scoring together.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "compare/compare.h"
#include "report/report.h"
#include "source/source.h"

namespace {

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

  char* text = nullptr;
  size_t text_size = 0;
  std::FILE* out = open_memstream(&text, &text_size);
  if (out == nullptr) return 0;
  RunDescription run;
  for (int i = 0; i < 2; ++i)
    run.path[i] = "input" + std::to_string(i + 1);
  run.maxframes = 64;  // enough pairs to cross every decoder's reordering delay
  OpenOptions options;
  options.raw_width = 16;
  options.raw_height = 16;
  std::unique_ptr<VideoSource> sources[2];
  std::string why;
  for (int i = 0; i < 2; ++i) {
    const uint8_t* at = data + 2 + (i ? split : 0);
    auto input = std::make_unique<InputFile>(run.path[i], at, i ? body - split : split);
    if (open_video(std::move(input), options, &sources[i], &why) != OpenStatus::kOpened) {
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
