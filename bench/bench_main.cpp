// Micro-benchmarks at 1080p. "Whole-frame" runs rebuild the plain method (two zero-filled
// planar images per pair, whole frames converted, then summed) with chosen converter and sum
// tiers, so each step of the faster path can be measured beside it in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compare/compare.h"

namespace vq {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

struct Tier {
  const char* name;
  uint32_t flags;
};
const Tier kTiers[] = {{"scalar", 0},
                       {"mmx", kCpuMmx},
                       {"sse2", kCpuMmx | kCpuSse2},
                       {"avx2", kCpuMmx | kCpuSse2 | kCpuAvx2}};

bool have(uint32_t flags) {
  return (detect_cpu_flags() & flags) == flags;
}

// A packed DIB frame of random pixels; `like`, when given, is copied with small changes, as a
// re-encoded picture would differ from its source. Bit fields are 16-bit 5-6-5, their masks
// inside a 52-byte header.
std::vector<uint8_t> make_frame(int bits, uint32_t compression, std::mt19937& rng,
                                const std::vector<uint8_t>* like = nullptr) {
  size_t pixels;
  if (compression == kFourccYV12) {
    pixels = size_t(kWidth) * kHeight * 3 / 2;
  } else {
    const size_t row = (size_t(kWidth) * (bits / 8) + 3) & ~size_t(3);
    pixels = row * kHeight;
  }
  const size_t header = compression == kBiBitfields ? kBitmapInfoHeaderSize + 12 : 40;
  std::vector<uint8_t> f(header + pixels);
  BitmapInfoHeader h;
  h.biSize = uint32_t(header);
  h.biWidth = kWidth;
  h.biHeight = kHeight;
  h.biBitCount = uint16_t(bits);
  h.biCompression = compression;
  h.biSizeImage = uint32_t(pixels);
  write_bitmap_info_header(h, f.data());
  if (compression == kBiBitfields) {
    const uint8_t masks[12] = {0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
    std::copy(masks, masks + 12, f.begin() + kBitmapInfoHeaderSize);
  }
  for (size_t i = header; i < f.size(); ++i) {
    f[i] = like ? uint8_t((*like)[i] + int(rng() % 5) - 2) : uint8_t(rng());
  }
  return f;
}

struct Format {
  const char* name;
  int bits;
  uint32_t compression;
};
const Format kFormats[] = {{"rgb24", 24, kBiRgb},
                           {"rgb32", 32, kBiRgb},
                           {"rgb555", 16, kBiRgb},
                           {"rgb565", 16, kBiBitfields},
                           {"yv12", 12, kFourccYV12}};

// `frames` distinct source frames are converted in turn: 1 keeps the source in cache, 16
// (about 100 MB of 24-bit pixels) makes every conversion read it from memory.
void bm_convert(benchmark::State& state, int bits, uint32_t compression, uint32_t flags,
                int frames) {
  std::mt19937 rng(1);
  std::vector<std::vector<uint8_t>> source;
  for (int i = 0; i < frames; ++i)
    source.push_back(make_frame(bits, compression, rng));
  ConverterTable table;
  fill_converter_table(&table, flags);
  const size_t s = size_t(kWidth) * kHeight;
  std::vector<uint8_t> planar(s + s / 2);
  size_t next = 0;
  for (auto _ : state) {
    const DibFrame dib{source[next].data(), source[next].size()};
    next = (next + 1) % source.size();
    if (!convert_to_planar_with(table, dib, planar.data(), planar.data() + s,
                                planar.data() + s + s / 4)) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source[0].size()));
}

void bm_error_sum(benchmark::State& state, SumSquaredErrorFn fn) {
  std::mt19937 rng(2);
  const size_t n = size_t(kWidth) * kHeight;
  std::vector<uint8_t> a(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = uint8_t(rng());
    b[i] = uint8_t(a[i] + int(rng() % 5) - 2);
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(fn(a.data(), b.data(), n));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(2 * n));
}

// The plain method: whole frames into two zero-filled images allocated per pair.
int whole_frame_score(const ConverterTable& table, SumSquaredErrorFn sum, const DibFrame& a,
                      const DibFrame& b, FrameScore* out) {
  const size_t s = size_t(kWidth) * kHeight, q = s / 4, k = q;
  std::unique_ptr<uint8_t[]> pa(new uint8_t[s + 2 * q]()), pb(new uint8_t[s + 2 * q]());
  if (!convert_to_planar_with(table, a, pa.get(), pa.get() + s, pa.get() + s + q)) return 0;
  if (!convert_to_planar_with(table, b, pb.get(), pb.get() + s, pb.get() + s + q)) return 0;
  FrameScore score;
  score.mse[0] = double(sum(pa.get(), pb.get(), s)) / double(s);
  const double r = 1.0 / double(k);
  score.mse[1] = double(sum(pa.get() + s, pb.get() + s, k)) * r;
  score.mse[2] = double(sum(pa.get() + s + q, pb.get() + s + q, k)) * r;
  for (int p = 0; p < 3; ++p)
    score.psnr[p] = psnr_from_mse(score.mse[p]);
  *out = score;
  return 1;
}

void bm_frame_score(benchmark::State& state, Format f, int mode, uint32_t flags) {
  std::mt19937 rng(3);
  const auto fa = make_frame(f.bits, f.compression, rng);
  const auto fb = make_frame(f.bits, f.compression, rng, &fa);
  const DibFrame a{fa.data(), fa.size()}, b{fb.data(), fb.size()};
  ConverterTable table;
  fill_converter_table(&table, flags);
  const SumSquaredErrorFn sum = select_sum_squared_error(mode == 1 ? 0 : flags);
  FrameScore score;
  for (auto _ : state) {
    const int ok =
        mode == 0 ? frame_score(a, b, &score) : whole_frame_score(table, sum, a, b, &score);
    if (!ok) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::DoNotOptimize(score);
  }
  state.SetItemsProcessed(state.iterations());  // frame pairs
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fa.size() + fb.size()));
}

[[maybe_unused]] const bool g_registered = [] {
  for (const Format& f : kFormats) {
    if (f.compression == kFourccYV12 || (f.bits == 16 && f.compression == kBiRgb)) continue;
    for (const Tier& t : kTiers) {
      if (!have(t.flags)) continue;
      const std::string name = std::string("convert/") + f.name + "/" + t.name;
      benchmark::RegisterBenchmark(name.c_str(), [f, t](benchmark::State& s) {
        bm_convert(s, f.bits, f.compression, t.flags, 1);
      });
      benchmark::RegisterBenchmark((name + "/from_memory").c_str(), [f, t](benchmark::State& s) {
        bm_convert(s, f.bits, f.compression, t.flags, 16);
      });
    }
  }
  for (const Tier& t : kTiers) {
    if (!have(t.flags) || t.flags == kCpuMmx) continue;
    const SumSquaredErrorFn fn = select_sum_squared_error(t.flags);
    benchmark::RegisterBenchmark((std::string("error_sum/") + t.name).c_str(),
                                 [fn](benchmark::State& s) { bm_error_sum(s, fn); });
  }
  const uint32_t best = detect_cpu_flags();
  for (const Format& f : kFormats) {
    const std::string base = std::string("frame_score/") + f.name;
    // Before: the plain method with scalar converters and sum; then vector converters with the
    // scalar sum; then both vector; then the strip method (what frame_score does).
    benchmark::RegisterBenchmark((base + "/whole_frame_scalar").c_str(),
                                 [f](benchmark::State& s) { bm_frame_score(s, f, 1, 0); });
    benchmark::RegisterBenchmark((base + "/whole_frame_simd_convert").c_str(),
                                 [f, best](benchmark::State& s) { bm_frame_score(s, f, 1, best); });
    benchmark::RegisterBenchmark((base + "/whole_frame_simd").c_str(),
                                 [f, best](benchmark::State& s) { bm_frame_score(s, f, 2, best); });
    benchmark::RegisterBenchmark((base + "/strips").c_str(),
                                 [f](benchmark::State& s) { bm_frame_score(s, f, 0, 0); });
  }
  return true;
}();

}  // namespace
}  // namespace vq
