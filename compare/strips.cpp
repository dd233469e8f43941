// The strip road: two raw DIB frames converted to planar 4:2:0 a strip of rows at a time and
// summed while each strip is still in cache, the halves of a large pair on two threads.
#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "compare/compare.h"
#include "compare/workspace.h"

namespace vq {

namespace {

// Frames are compared in strips of row pairs: a strip of each frame is converted into a small
// planar buffer and summed while it is still in cache. About this many Y bytes per strip.
constexpr size_t kStripLumaBytes = 32 * 1024;
// Frames with at least this many pixels are split between two threads.
constexpr size_t kSplitPixels = size_t(1) << 18;

// The planar strips of both frames.
thread_local Workspace t_workspace;

// Where the planes of one frame come from.
struct Side {
  FrameLayout f;
  // YV12 is already planar 4:2:0 and is compared where it lies; every other format is
  // converted strip by strip.
  bool in_place = false;
  const uint8_t* plane_u = nullptr;  // in place: the frame's U and V planes
  const uint8_t* plane_v = nullptr;
};

// One frame pair, worked out once and shared by the threads that score its rows.
struct StripPlan {
  const ErrorSums* sums = nullptr;
  Side side[2];
  int32_t width = 0;
  int32_t strip_rows = 0;
};

// The strip buffers of one frame on the calling thread.
struct StripBuffers {
  uint8_t* y;
  uint8_t* u;
  uint8_t* v;
};

struct StripPlanes {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
};

// Rows r0 .. r0 + rows - 1 (rows even) of one frame as planar samples: Y rows `width` apart,
// chroma rows width/2 apart.
StripPlanes strip(const Side& s, const StripBuffers& buf, int32_t r0, int32_t rows) {
  const int32_t w = s.f.width;
  const size_t chroma_offset = size_t(r0 / 2) * size_t(w / 2);
  if (s.in_place) {
    return {s.f.top + ptrdiff_t(r0) * s.f.pitch, s.plane_u + chroma_offset,
            s.plane_v + chroma_offset};
  }
  s.f.convert(buf.y, buf.u, buf.v, s.f.top + ptrdiff_t(r0) * s.f.pitch, w, rows, w, s.f.pitch);
  // The RGB converters do not write the last column of an odd width; it counts as 0, as in a
  // zero-filled planar image.
  if (w & 1) {
    for (int32_t r = 0; r < rows; ++r)
      buf.y[size_t(r) * w + (w - 1)] = 0;
  }
  return {buf.y, buf.u, buf.v};
}

// Adds the squared errors of the paired rows [begin, end) (both even) to sums[0..2].
// 0 when the working memory cannot be had.
int score_rows(const StripPlan& plan, int32_t begin, int32_t end, uint64_t sums[3]) {
  const int32_t w = plan.width;
  const size_t cw = size_t(w / 2);
  const size_t strip_luma = size_t(plan.strip_rows) * size_t(w);
  const size_t strip_chroma = size_t(plan.strip_rows / 2) * cw;
  const size_t per_side = strip_luma + 2 * strip_chroma;
  uint8_t* work = t_workspace.reserve(2 * per_side);
  if (work == nullptr) return 0;
  StripBuffers buf[2];
  for (int i = 0; i < 2; ++i) {
    uint8_t* base = work + size_t(i) * per_side;
    buf[i] = {base, base + strip_luma, base + strip_luma + strip_chroma};
  }
  const SumSquaredErrorFn sum = plan.sums->bytes;
  for (int32_t r0 = begin; r0 < end; r0 += plan.strip_rows) {
    const int32_t rows = std::min(plan.strip_rows, end - r0);
    const StripPlanes pa = strip(plan.side[0], buf[0], r0, rows);
    const StripPlanes pb = strip(plan.side[1], buf[1], r0, rows);
    sums[0] += sum(pa.y, pb.y, size_t(rows) * size_t(w));
    const size_t c = size_t(rows / 2) * cw;
    sums[1] += sum(pa.u, pb.u, c);
    sums[2] += sum(pa.v, pb.v, c);
  }
  return 1;
}

// A second thread that scores the lower half of a large frame pair while the calling thread
// scores the upper half. Started on first use, stopped at exit. Only one caller at a time uses
// it; a caller that finds it busy, or cannot start it, does all the rows itself.
class Helper {
 public:
  ~Helper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Claims the helper; 0 when another caller has it or the thread cannot be started.
  int claim() {
    if (!in_use_.try_lock()) return 0;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { loop(); });
      } catch (...) {
        in_use_.unlock();
        return 0;
      }
    }
    return 1;
  }

  // Scores rows [begin, end) of `plan` on the helper thread; finish() waits and adds the sums.
  void start(const StripPlan* plan, int32_t begin, int32_t end) {
    std::lock_guard<std::mutex> lock(mutex_);
    plan_ = plan;
    begin_ = begin;
    end_ = end;
    sums_[0] = sums_[1] = sums_[2] = 0;
    done_ = false;
    wake_.notify_all();
  }

  int finish(uint64_t sums[3]) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return done_; });
    for (int p = 0; p < 3; ++p)
      sums[p] += sums_[p];
    const int ok = ok_;
    lock.unlock();
    in_use_.unlock();
    return ok;
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return quit_ || plan_ != nullptr; });
      if (quit_) return;
      const StripPlan* plan = plan_;
      plan_ = nullptr;
      lock.unlock();
      uint64_t sums[3] = {0, 0, 0};
      const int ok = score_rows(*plan, begin_, end_, sums);
      lock.lock();
      for (int p = 0; p < 3; ++p)
        sums_[p] = sums[p];
      ok_ = ok;
      done_ = true;
      wake_.notify_all();
    }
  }

  std::mutex in_use_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  const StripPlan* plan_ = nullptr;
  int32_t begin_ = 0, end_ = 0;
  uint64_t sums_[3] = {0, 0, 0};
  int ok_ = 0;
  bool done_ = true;
  bool quit_ = false;
};

Helper& helper() {
  static Helper h;
  return h;
}

}  // namespace

int dib_plane_errors(const ConverterTable& converters, const ErrorSums& sums, const DibFrame& a,
                     const DibFrame& b, PlaneErrors* out) {
  BitmapInfoHeader ha, hb;
  if (!read_bitmap_info_header(a.data, a.size, &ha)) return 0;
  if (!read_bitmap_info_header(b.data, b.size, &hb)) return 0;
  const int64_t w64 = ha.biWidth;
  const int64_t h64 = std::llabs(int64_t(ha.biHeight));
  if (ha.biWidth != hb.biWidth || h64 != std::llabs(int64_t(hb.biHeight))) return 0;
  if (w64 < 1 || h64 < 1 || w64 * h64 > INT32_MAX) return 0;

  StripPlan plan;
  plan.sums = &sums;
  if (!describe_frame(a, converters, &plan.side[0].f)) return 0;
  if (!describe_frame(b, converters, &plan.side[1].f)) return 0;

  const int32_t w = int32_t(w64), h = int32_t(h64);
  const size_t s = size_t(w) * size_t(h);
  const size_t k = size_t(w / 2) * size_t(h / 2);
  const int32_t paired_rows = h & ~1;
  bool all_in_place = true;
  bool any_mmx = false;
  for (Side& side : plan.side) {
    side.in_place = side.f.format == PixelFormat::kYv12;
    all_in_place = all_in_place && side.in_place;
    any_mmx = any_mmx || side.f.convert == rgb24_to_planar420_mmx ||
              side.f.convert == rgb32_to_planar420_mmx;
    if (side.in_place) {
      // YV12: the Y plane (rows `width` apart), then V, then U.
      side.plane_v = side.f.top + s;
      side.plane_u = side.plane_v + k;
    }
  }
  plan.width = w;
  // Two frames compared in place need no strips: each plane is summed in one pass.
  plan.strip_rows =
      all_in_place ? std::max(paired_rows, 2)
                   : std::max<int32_t>(
                         2, int32_t(std::min<size_t>(kStripLumaBytes / size_t(w), 1 << 20)) & ~1);

  // The sums are integers, so splitting the rows between two threads changes no result. The MMX
  // converters share one loop state and must not run at the same time.
  uint64_t total[3] = {0, 0, 0};
  int32_t split = paired_rows;
  if (s >= kSplitPixels && !any_mmx && helper().claim()) {
    split = (paired_rows / 4) * 2;
    helper().start(&plan, split, paired_rows);
  }
  int ok = score_rows(plan, 0, split, total);
  if (split != paired_rows) ok = helper().finish(total) && ok;
  if (!ok) return 0;

  if (h & 1) {
    // The last row of an odd height: only YV12 carries it; the RGB converters leave it
    // unwritten, and it counts as 0 there.
    const ptrdiff_t last = ptrdiff_t(h - 1);
    const Side& sa = plan.side[0];
    const Side& sb = plan.side[1];
    const uint8_t* ya = sa.in_place ? sa.f.top + last * sa.f.pitch : nullptr;
    const uint8_t* yb = sb.in_place ? sb.f.top + last * sb.f.pitch : nullptr;
    if (ya && yb) {
      total[0] += sums.bytes(ya, yb, size_t(w));
    } else if (ya || yb) {
      const uint8_t* row = ya ? ya : yb;
      for (int32_t x = 0; x < w; ++x)
        total[0] += uint64_t(int(row[x]) * int(row[x]));
    }
  }

  PlaneErrors e;
  for (int p = 0; p < 3; ++p)
    e.sse[p] = total[p];
  e.samples[0] = s;
  e.samples[1] = e.samples[2] = k;
  *out = e;
  return 1;
}

int frame_psnr(const DibFrame& a, const DibFrame& b, double* y_psnr, double* u_psnr,
               double* v_psnr) {
  static const ConverterTable& converters = []() -> const ConverterTable& {
    static ConverterTable table;
    fill_converter_table(&table, detect_cpu_flags());
    return table;
  }();
  static const ErrorSums sums = select_error_sums(detect_cpu_flags());
  PlaneErrors e;
  if (!dib_plane_errors(converters, sums, a, b, &e)) return 0;
  double* out[3] = {y_psnr, u_psnr, v_psnr};
  for (int p = 0; p < 3; ++p) {
    // As the psnr metric computes the report's values: luma divides, chroma multiplies by the
    // reciprocal.
    const double mse = p == 0         ? double(e.sse[0]) / double(e.samples[0])
                       : e.samples[p] ? double(e.sse[p]) * (1.0 / double(e.samples[p]))
                                      : 0.0;
    *out[p] = psnr_from_mse(mse);
  }
  return 1;
}

}  // namespace vq
