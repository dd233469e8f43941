// The ciede metric: libvmaf's ciede2000 score of each pair, 45 - 20 log10 of the mean CIEDE2000
// difference over the luma grid, with each chroma sample repeated over the luma samples it
// covers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metrics/ciede/ciede.h"
#include "metrics/rows.h"

namespace vq {
namespace {

constexpr const char* kName = "ciede2000";

std::vector<std::string> scores(const MetricOptions&) {
  return {kName};
}

// One picture's samples, one row at a time, chroma brought to the luma grid.
struct Rows {
  const uint8_t* plane[3];
  ptrdiff_t pitch[3];
};

uint32_t sample(const uint8_t* row, int32_t x, bool words) {
  if (!words) return row[x];
  uint16_t w;
  std::memcpy(&w, row + 2 * ptrdiff_t(x), sizeof w);
  return w;
}

// Lab colours of recent sample triples, direct-mapped by a hash of the triple. A colour is a
// function of its triple alone, so a hit returns the very bits a fresh conversion would; the
// cache holds nothing that makes one pair's score depend on another's.
class LabCache {
 public:
  explicit LabCache(int depth) : convert_(depth), slots_(size_t(1) << kBits) {}

  ciede::Lab get(uint32_t y, uint32_t u, uint32_t v) {
    const uint64_t key = key_of(y, u, v);
    Slot& s = slot_of(key);
    if (s.key != key) {
      s.key = key;
      s.lab = convert_(y, u, v);
    }
    return s.lab;
  }

  // Starts the load of the triple's slot: most lookups of a noisy picture's colours miss the
  // processor's caches, and waiting for each in turn was most of the scorer's time.
  void prefetch(uint32_t y, uint32_t u, uint32_t v) {
    __builtin_prefetch(&slot_of(key_of(y, u, v)));
  }

 private:
  // 2^18 slots (6 MiB): a noisy 1080p picture has far more colours than 2^16 slots keep, and
  // each miss costs six powers; 2^20 slots cost more in memory traffic than they save.
  static constexpr int kBits = 18;
  static uint64_t key_of(uint32_t y, uint32_t u, uint32_t v) {
    return (uint64_t(y) << 32 | uint64_t(u) << 16 | v) + 1;  // 0 marks empty
  }
  struct Slot {
    uint64_t key = 0;
    ciede::Lab lab;
  };
  Slot& slot_of(uint64_t key) {
    return slots_[size_t((key * 0x9E3779B97F4A7C15ull) >> (64 - kBits))];
  }

  ciede::LabConverter convert_;
  std::vector<Slot> slots_;
};

class Ciede final : public Metric {
 public:
  // How many samples ahead the cache slots are fetched.
  static constexpr int32_t kAhead = 24;

  Ciede(const PictureForm& f, uint32_t cpu_flags)
      : form_(f), cache_(f.depth), delta_e_(ciede::delta_e_row_for(cpu_flags)) {
    for (auto& v : lab_)
      v.resize(size_t(f.width));
    difference_.resize(size_t(f.width));
    const bool sub_x = f.layout != ChromaLayout::k444;
    // The chroma column of every luma column; held to the plane for pictures whose chroma
    // planes are rounded down (a compressed AVI stream's).
    column_.resize(size_t(f.width));
    for (int32_t x = 0; x < f.width; ++x)
      column_[size_t(x)] = std::min(sub_x ? x / 2 : x, f.chroma_width - 1);
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (column_id_ < 0) column_id_ = table->declare(kName);
    const bool words = form_.depth > 8;
    const bool sub_y = form_.layout == ChromaLayout::k420;
    double sum = 0;
    for (int32_t y = 0; y < form_.height; ++y) {
      const int32_t cy = std::min(sub_y ? y / 2 : y, form_.chroma_height - 1);
      const uint8_t* r[3] = {ref.plane[0] + y * ref.pitch[0], ref.plane[1] + cy * ref.pitch[1],
                             ref.plane[2] + cy * ref.pitch[2]};
      const uint8_t* d[3] = {dist.plane[0] + y * dist.pitch[0], dist.plane[1] + cy * dist.pitch[1],
                             dist.plane[2] + cy * dist.pitch[2]};
      int32_t n = 0;
      for (int32_t x = 0; x < form_.width; ++x) {
        if (x + kAhead < form_.width) {
          const int32_t ax = x + kAhead, acx = column_[size_t(ax)];
          cache_.prefetch(sample(r[0], ax, words), sample(r[1], acx, words),
                          sample(r[2], acx, words));
          cache_.prefetch(sample(d[0], ax, words), sample(d[1], acx, words),
                          sample(d[2], acx, words));
        }
        const int32_t cx = column_[size_t(x)];
        const uint32_t ry = sample(r[0], x, words), ru = sample(r[1], cx, words),
                       rv = sample(r[2], cx, words);
        const uint32_t dy = sample(d[0], x, words), du = sample(d[1], cx, words),
                       dv = sample(d[2], cx, words);
        // Equal samples differ by exactly 0, which leaves the sum as it is.
        if (ry == dy && ru == du && rv == dv) continue;
        const ciede::Lab p = cache_.get(ry, ru, rv), q = cache_.get(dy, du, dv);
        lab_[0][size_t(n)] = p.l;
        lab_[1][size_t(n)] = p.a;
        lab_[2][size_t(n)] = p.b;
        lab_[3][size_t(n)] = q.l;
        lab_[4][size_t(n)] = q.a;
        lab_[5][size_t(n)] = q.b;
        ++n;
      }
      // The row's differences, added in the row's order.
      delta_e_({lab_[0].data(), lab_[1].data(), lab_[2].data()},
               {lab_[3].data(), lab_[4].data(), lab_[5].data()}, n, difference_.data());
      for (int32_t i = 0; i < n; ++i)
        sum += difference_[size_t(i)];
    }
    table->set(column_id_, pair,
               ciede::frame_score(sum, int64_t(form_.width) * int64_t(form_.height)));
    return MetricStatus::kOk;
  }

 private:
  PictureForm form_;
  std::vector<int32_t> column_;
  LabCache cache_;
  ciede::DeltaERow delta_e_;
  // One row's differing pairs: the reference's L, a, b, then the distorted picture's.
  std::vector<float> lab_[6];
  std::vector<float> difference_;
  int column_id_ = -1;
};

MetricStatus make(const PictureForm& f, const MetricOptions&, uint32_t cpu_flags,
                  std::unique_ptr<Metric>* out, std::string* why) {
  if (f.layout == ChromaLayout::kGray) {
    *why = "ciede: compares colours; a gray picture has no chroma";
    return MetricStatus::kUnsupported;
  }
  if (f.depth != 8 && f.depth != 10 && f.depth != 12 && f.depth != 16) {
    char buf[120];
    std::snprintf(buf, sizeof buf, "ciede: scores 8, 10, 12 and 16-bit pictures, not %d-bit",
                  f.depth);
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  if (f.width < 1 || f.height < 1 || f.chroma_width < 1 || f.chroma_height < 1) {
    *why = "ciede: the pictures have no samples";
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<Ciede>(f, cpu_flags);
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& ciede_metric() {
  static const MetricRow row = {
      "ciede", "libvmaf's CIEDE2000 colour difference of BT.709 pictures (ciede2000), in dB",
      {},      0,
      scores,  make};
  return row;
}

}  // namespace vq
