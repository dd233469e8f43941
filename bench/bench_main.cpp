// Micro-benchmarks at 1080p. "Whole-frame" runs rebuild the plain method (two zero-filled
// planar images per pair, whole frames converted, then summed) with chosen converter and sum
// tiers, so each step of the faster path can be measured beside it in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "avi/avi.h"
#include "compare/compare.h"
#include "decode/decode.h"
#include "metrics/ssim/ssim.h"
#include "y4m/y4m.h"

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

// A 1080p plane of 16-bit samples: 10-bit near copies (differences within +-2, as between two
// encodings), or any 16-bit values (the differences the fast way refuses, summed exactly).
void bm_error_sum16(benchmark::State& state, SumSquaredError16Fn fn, bool any16) {
  std::mt19937 rng(2);
  const size_t n = size_t(kWidth) * kHeight;
  std::vector<uint16_t> a(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = uint16_t(any16 ? rng() : rng() % 1024);
    b[i] = uint16_t(any16 ? rng() : std::clamp(int(a[i]) + int(rng() % 5) - 2, 0, 1023));
  }
  for (auto _ : state)
    benchmark::DoNotOptimize(fn(a.data(), b.data(), n));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(4 * n));
}

// The plain method: whole frames into two zero-filled images allocated per pair.
int whole_frame_score(const ConverterTable& table, SumSquaredErrorFn sum, const DibFrame& a,
                      const DibFrame& b, PlaneErrors* out) {
  const size_t s = size_t(kWidth) * kHeight, q = s / 4, k = q;
  std::unique_ptr<uint8_t[]> pa(new uint8_t[s + 2 * q]()), pb(new uint8_t[s + 2 * q]());
  if (!convert_to_planar_with(table, a, pa.get(), pa.get() + s, pa.get() + s + q)) return 0;
  if (!convert_to_planar_with(table, b, pb.get(), pb.get() + s, pb.get() + s + q)) return 0;
  PlaneErrors e;
  e.sse[0] = sum(pa.get(), pb.get(), s);
  e.sse[1] = sum(pa.get() + s, pb.get() + s, k);
  e.sse[2] = sum(pa.get() + s + q, pb.get() + s + q, k);
  *out = e;
  return 1;
}

// The road of every pair: raw frames converted as the AVI source converts them (into memory kept
// from pair to pair), the pair formed, then the psnr metric's scorer.
struct SeamRoad {
  PairWork work;
  std::vector<uint8_t> planar[2];
  std::unique_ptr<Metric> psnr;
  ScoreTable table;
  ConverterTable converters;
  int score(const DibFrame& a, const DibFrame& b) {
    Frame f[2];
    std::string why;
    const DibFrame* dib[2] = {&a, &b};
    for (int i = 0; i < 2; ++i)
      if (dib_picture(converters, *dib[i], &planar[i], &f[i].picture, &why) != DibPicture::kMade)
        return 0;
    FormedPair formed;
    if (form_pair(f[0], f[1], &work, &formed, &why) != PairStatus::kFormed) return 0;
    if (!psnr) {
      MetricRequest r;
      if (!parse_metric_request("psnr", &r, &why)) return 0;
      if (r.row->make(formed.form, r.options, detect_cpu_flags(), &psnr, &why) != MetricStatus::kOk)
        return 0;
    }
    return psnr->score(0, formed.picture[0], formed.picture[1], &table) == MetricStatus::kOk;
  }
};

void bm_frame_score(benchmark::State& state, Format f, int mode, uint32_t flags) {
  std::mt19937 rng(3);
  const auto fa = make_frame(f.bits, f.compression, rng);
  const auto fb = make_frame(f.bits, f.compression, rng, &fa);
  const DibFrame a{fa.data(), fa.size()}, b{fb.data(), fb.size()};
  ConverterTable table;
  fill_converter_table(&table, flags);
  const SumSquaredErrorFn sum = select_sum_squared_error(mode == 1 ? 0 : flags);
  SeamRoad seam;
  fill_converter_table(&seam.converters, flags);
  PlaneErrors score;
  for (auto _ : state) {
    const int ok = mode == 3 ? seam.score(a, b) : whole_frame_score(table, sum, a, b, &score);
    if (!ok) {
      state.SkipWithError("refused");
      break;
    }
    benchmark::DoNotOptimize(score);
  }
  state.SetItemsProcessed(state.iterations());  // frame pairs
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fa.size() + fb.size()));
}

// A 1080p 8-bit 4:2:0 Y4M file of 64 frames (about 200 MB) in /tmp, made once per run.
const std::string& y4m_file() {
  static const std::string path = [] {
    const std::string p = "/tmp/vq_bench_1080p_" + std::to_string(::getpid()) + ".y4m";
    std::FILE* f = std::fopen(p.c_str(), "wb");
    std::vector<uint8_t> frame(size_t(kWidth) * kHeight * 3 / 2);
    std::mt19937 rng(4);
    for (uint8_t& b : frame)
      b = uint8_t(rng());
    std::fprintf(f, "YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C420jpeg\n", kWidth, kHeight);
    for (int i = 0; i < 64; ++i) {
      std::fputs("FRAME\n", f);
      std::fwrite(frame.data(), 1, frame.size(), f);
    }
    std::fclose(f);
    return p;
  }();
  // Registered after the path is made, so it runs before the path is destroyed.
  [[maybe_unused]] static const bool removed_at_exit =
      std::atexit([] { std::remove(y4m_file().c_str()); }) == 0;
  return path;
}

// Each pass opens the file and reads every frame through the Y4M source.
void bm_y4m_read(benchmark::State& state) {
  const std::string& path = y4m_file();
  int64_t frames = 0, bytes = 0;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    const auto size = uint64_t(::lseek(fd, 0, SEEK_END));
    std::string why;
    auto src = open_y4m(std::make_unique<InputFile>(path, fd, true, size), &why);
    for (int32_t i = 0; src && i < src->info().length; ++i) {
      Frame frame;
      if (src->get_frame(i, &frame) != Fetch::kFrame) src.reset();
      benchmark::DoNotOptimize(frame.picture.plane[0]);
    }
    if (!src) {
      state.SkipWithError("unreadable");
      break;
    }
    frames += src->info().length;
    bytes += int64_t(size);
  }
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(bytes);
}

// The same file read as `cat file > /dev/null` reads it: 128 KiB at a time.
void bm_cat(benchmark::State& state) {
  const std::string& path = y4m_file();
  std::vector<uint8_t> block(size_t(128) << 10);
  int64_t bytes = 0;
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    for (ssize_t r; (r = ::read(fd, block.data(), block.size())) > 0;)
      bytes += r;
    ::close(fd);
  }
  state.SetBytesProcessed(bytes);
}

// SSIM of a 1080p 4:2:0 plane triple (B = A with small changes), `depth` bits per sample; with
// `psnr`, the three error sums too, as a run taking its PSNR apart from the SSIM would (the
// SSIM rows alone already give every plane's error sum).
void bm_ssim(benchmark::State& state, uint32_t flags, int depth, bool psnr) {
  std::mt19937 rng(4);
  const int bps = depth > 8 ? 2 : 1;
  const int32_t w[3] = {kWidth, kWidth / 2, kWidth / 2}, h[3] = {kHeight, kHeight / 2, kHeight / 2};
  std::vector<uint8_t> a[3], b[3];
  for (int p = 0; p < 3; ++p) {
    a[p].resize(size_t(w[p]) * h[p] * bps);
    b[p].resize(a[p].size());
    for (size_t i = 0; i < a[p].size(); ++i) {
      a[p][i] = uint8_t(rng());
      b[p][i] = (bps == 2 && i % 2) ? a[p][i] : uint8_t(a[p][i] + int(rng() % 5) - 2);
    }
  }
  const SsimKernels k = select_ssim_kernels(flags);
  const SumSquaredErrorFn sum = select_sum_squared_error(flags);
  for (auto _ : state) {
    for (int p = 0; p < 3; ++p) {
      SsimPlane r;
      if (!ssim_plane(k, a[p].data(), w[p] * bps, b[p].data(), w[p] * bps, w[p], h[p], depth, &r))
        state.SkipWithError("refused");
      benchmark::DoNotOptimize(r);
      if (psnr) benchmark::DoNotOptimize(sum(a[p].data(), b[p].data(), a[p].size()));
    }
  }
  state.SetItemsProcessed(state.iterations());  // plane triples
}

// Decoding a 1080p x264 file of 300 pictures with B-frames through the container source, beside
// FFmpeg's CLI decoding the same file to nothing (`ffmpeg -i f -f null -`). The file is made in
// /tmp by the CLI once. Items: pictures.
constexpr int kDecodeFrames = 300;
const std::string kDecodeFile = "/tmp/vq_bench_x264_1080p.mp4";

bool decode_file_ready(benchmark::State& state) {
  if (!have_ffmpeg() || std::system("ffmpeg -version > /dev/null 2>&1") != 0) {
    state.SkipWithError("needs FFmpeg's libraries and CLI");
    return false;
  }
  if (!std::filesystem::exists(kDecodeFile) &&
      std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 "
                   "-frames:v " +
                   std::to_string(kDecodeFrames) + " -c:v libx264 -preset veryfast -bf 3 -g 60 " +
                   kDecodeFile)
                      .c_str()) != 0) {
    state.SkipWithError("cannot make the x264 file");
    return false;
  }
  return true;
}

void bm_decode_container(benchmark::State& state) {
  if (!decode_file_ready(state)) return;
  for (auto _ : state) {
    std::string why;
    const std::unique_ptr<VideoSource> source = open_container(kDecodeFile.c_str(), &why);
    Frame frame;
    int32_t got = 0;
    while (source && source->get_frame(got, &frame) == Fetch::kFrame)
      ++got;
    if (got != kDecodeFrames) {
      state.SkipWithError(("decoded " + std::to_string(got) + " pictures " + why).c_str());
      break;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kDecodeFrames);
}

void bm_decode_ffmpeg_cli(benchmark::State& state) {
  if (!decode_file_ready(state)) return;
  for (auto _ : state) {
    if (std::system(("ffmpeg -nostdin -loglevel error -i " + kDecodeFile + " -f null -").c_str())) {
      state.SkipWithError("ffmpeg failed");
      break;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kDecodeFrames);
}

[[maybe_unused]] const bool g_registered = [] {
  benchmark::RegisterBenchmark("y4m_read/1080p_yuv420p", bm_y4m_read)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("y4m_read/cat", bm_cat)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("decode/x264_1080p_300/open_container", bm_decode_container)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("decode/x264_1080p_300/ffmpeg_cli_null", bm_decode_ffmpeg_cli)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  for (const Format& f : kFormats) {
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
  for (const char* data : {"10bit", "any16"})
    for (const Tier& t : kTiers) {
      if (!have(t.flags) || t.flags == kCpuMmx) continue;
      const SumSquaredError16Fn fn = select_sum_squared_error16(t.flags);
      const bool any16 = data[0] == 'a';
      benchmark::RegisterBenchmark(
          (std::string("error_sum16/") + data + "/" + t.name).c_str(),
          [fn, any16](benchmark::State& s) { bm_error_sum16(s, fn, any16); });
    }
  for (const Tier& t : kTiers) {
    if (!have(t.flags) || t.flags == kCpuMmx) continue;
    for (int depth : {8, 10}) {
      const std::string name = "ssim/" + std::to_string(depth) + "bit/" + t.name;
      benchmark::RegisterBenchmark(
          name.c_str(), [t, depth](benchmark::State& s) { bm_ssim(s, t.flags, depth, false); });
    }
    benchmark::RegisterBenchmark((std::string("ssim_plus_error_sums/8bit/") + t.name).c_str(),
                                 [t](benchmark::State& s) { bm_ssim(s, t.flags, 8, true); });
  }
  const uint32_t best = detect_cpu_flags();
  for (const Format& f : kFormats) {
    const std::string base = std::string("frame_score/") + f.name;
    // Before: the plain method with scalar converters and sum; then vector converters with the
    // scalar sum; then both vector; then the pair converted and formed as the run does and
    // scored by the psnr metric.
    benchmark::RegisterBenchmark((base + "/whole_frame_scalar").c_str(),
                                 [f](benchmark::State& s) { bm_frame_score(s, f, 1, 0); });
    benchmark::RegisterBenchmark((base + "/whole_frame_simd_convert").c_str(),
                                 [f, best](benchmark::State& s) { bm_frame_score(s, f, 1, best); });
    benchmark::RegisterBenchmark((base + "/whole_frame_simd").c_str(),
                                 [f, best](benchmark::State& s) { bm_frame_score(s, f, 2, best); });
    benchmark::RegisterBenchmark((base + "/formed_psnr_metric").c_str(),
                                 [f, best](benchmark::State& s) { bm_frame_score(s, f, 3, best); });
  }
  return true;
}();

}  // namespace
}  // namespace vq
