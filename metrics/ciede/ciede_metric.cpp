// The ciede metric: libvmaf's ciede2000 score of each pair, 45 - 20 log10 of the mean CIEDE2000
// difference over the luma grid, with each chroma sample repeated over the luma samples it
// covers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "metrics/ciede/ciede.h"
#include "metrics/rows.h"

namespace vq {
namespace {

constexpr const char* kName = "ciede2000";

std::vector<std::string> scores(const MetricOptions&) {
  return {kName};
}

// Lab colours of recent sample triples, direct-mapped by a hash of the triple. A colour is a
// function of its triple alone, so a hit returns the very bits a fresh conversion would; the
// cache holds nothing that makes one pair's score depend on another's. Nearly every lookup of a
// noisy 1080p pair hits (about 98%), and the lookups' wait on memory is most of the cost, so a
// slot is 16 bytes where the triple fits 32 bits (depths up to 10: four slots a cache line,
// none across two) and 24 bytes otherwise.
template <class Key>
class LabCache {
 public:
  explicit LabCache(int depth)
      : convert_(depth),
        shift_(depth == 8    ? 8
               : depth == 10 ? 10
                             : 16),
        slots_(make_slots()) {}

  [[nodiscard]] bool ok() const { return slots_ != nullptr; }

  // The key of a triple; 0 marks an empty slot.
  [[nodiscard]] Key key_of(uint32_t y, uint32_t u, uint32_t v) const {
    return Key((Key(y) << shift_ | u) << shift_ | v) + 1;
  }
  // Starts the load of the key's slot: most lookups miss the processor's caches, and waiting
  // for each in turn was most of the scorer's time.
  void prefetch(Key key) { __builtin_prefetch(&slot_of(key)); }

  ciede::Lab get(Key key, uint32_t y, uint32_t u, uint32_t v) {
    Slot& s = slot_of(key);
    if (s.key != key) {
      s.key = key;
      s.lab = convert_(y, u, v);
    }
    return s.lab;
  }

 private:
  // 2^18 slots: a noisy 1080p picture has far more colours than 2^16 slots keep, and each miss
  // costs four powers; 2^20 slots cost more in memory traffic than they save.
  static constexpr int kBits = 18;
  static constexpr size_t kHugePage = size_t(1) << 21;
  struct Slot {
    Key key = 0;
    ciede::Lab lab;
  };
  Slot& slot_of(Key key) {
    return slots_[size_t((uint64_t(key) * 0x9E3779B97F4A7C15ull) >> (64 - kBits))];
  }

  struct Free {
    void operator()(Slot* p) const { std::free(p); }
  };
  // The slots in 2 MiB pages where the system lends them, asked for before the first touch:
  // every lookup lands on a random page, and on 4 KiB pages nearly every one also waited on
  // the page tables.
  static std::unique_ptr<Slot[], Free> make_slots() {
    constexpr size_t kBytes = sizeof(Slot) << kBits;
    static_assert(kBytes % kHugePage == 0);
    Slot* p = static_cast<Slot*>(std::aligned_alloc(kHugePage, kBytes));
    if (p == nullptr) return nullptr;
#if defined(MADV_HUGEPAGE)
    madvise(p, kBytes, MADV_HUGEPAGE);
#endif
    std::uninitialized_fill_n(p, size_t(1) << kBits, Slot{});
    return std::unique_ptr<Slot[], Free>(p);
  }

  ciede::LabConverter convert_;
  int shift_;
  std::unique_ptr<Slot[], Free> slots_;
};

// The scorer, for samples of type T (bytes or words) and cache keys of type Key.
template <class T, class Key>
class Ciede final : public Metric {
 public:
  // How many samples ahead the cache slots are fetched.
  static constexpr int32_t kAhead = 24;

  Ciede(const PictureForm& f, uint32_t cpu_flags)
      : form_(f), cache_(f.depth), delta_e_(ciede::delta_e_row_for(cpu_flags)) {
    for (auto& v : lab_)
      v.resize(size_t(f.width));
    for (auto& k : keys_)
      k.resize(size_t(f.width));
    difference_.resize(size_t(f.width));
    const bool sub_x = f.layout != ChromaLayout::k444;
    // The chroma column of every luma column; held to the plane for pictures whose chroma
    // planes are rounded down (a compressed AVI stream's).
    column_.resize(size_t(f.width));
    for (int32_t x = 0; x < f.width; ++x)
      column_[size_t(x)] = std::min(sub_x ? x / 2 : x, f.chroma_width - 1);
  }

  [[nodiscard]] bool ok() const { return cache_.ok(); }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (column_id_ < 0) column_id_ = table->declare(kName);
    const bool sub_y = form_.layout == ChromaLayout::k420;
    const int32_t w = form_.width;
    double sum = 0;
    for (int32_t y = 0; y < form_.height; ++y) {
      const int32_t cy = std::min(sub_y ? y / 2 : y, form_.chroma_height - 1);
      const Row r = {row(ref, 0, y), row(ref, 1, cy), row(ref, 2, cy)};
      const Row d = {row(dist, 0, y), row(dist, 1, cy), row(dist, 2, cy)};
      // The row's keys first, so that each slot is fetched once, well before it is read.
      Key* kr = keys_[0].data();
      Key* kd = keys_[1].data();
      for (int32_t x = 0; x < w; ++x) {
        const int32_t cx = column_[size_t(x)];
        kr[x] = cache_.key_of(r(0, x), r(1, cx), r(2, cx));
        kd[x] = cache_.key_of(d(0, x), d(1, cx), d(2, cx));
      }
      for (int32_t x = 0; x < std::min(kAhead, w); ++x) {
        cache_.prefetch(kr[x]);
        cache_.prefetch(kd[x]);
      }
      int32_t n = 0;
      for (int32_t x = 0; x < w; ++x) {
        if (x + kAhead < w) {
          cache_.prefetch(kr[x + kAhead]);
          cache_.prefetch(kd[x + kAhead]);
        }
        // Equal samples differ by exactly 0, which leaves the sum as it is.
        if (kr[x] == kd[x]) continue;
        const int32_t cx = column_[size_t(x)];
        const ciede::Lab p = cache_.get(kr[x], r(0, x), r(1, cx), r(2, cx));
        const ciede::Lab q = cache_.get(kd[x], d(0, x), d(1, cx), d(2, cx));
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
  // One row of each plane. Rows of words may start at any byte (a pitch may be odd), so
  // samples are copied out rather than read through a word pointer.
  struct Row {
    const uint8_t* plane[3];
    uint32_t operator()(int p, int32_t x) const {
      T v;
      std::memcpy(&v, plane[p] + ptrdiff_t(x) * ptrdiff_t(sizeof(T)), sizeof v);
      return v;
    }
  };
  static const uint8_t* row(const Picture& p, int plane, int32_t y) {
    return p.plane[plane] + y * p.pitch[plane];
  }

  PictureForm form_;
  std::vector<int32_t> column_;
  LabCache<Key> cache_;
  ciede::DeltaERow delta_e_;
  std::vector<Key> keys_[2];  // one row's keys: the reference's, the distorted picture's
  // One row's differing pairs: the reference's L, a, b, then the distorted picture's.
  std::vector<float> lab_[6];
  std::vector<float> difference_;
  int column_id_ = -1;
};

template <class T, class Key>
MetricStatus make_scorer(const PictureForm& f, uint32_t cpu_flags, std::unique_ptr<Metric>* out) {
  std::unique_ptr<Ciede<T, Key>> m(new (std::nothrow) Ciede<T, Key>(f, cpu_flags));
  if (!m || !m->ok()) return MetricStatus::kOutOfMemory;
  *out = std::move(m);
  return MetricStatus::kOk;
}

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
  if (f.depth == 8) return make_scorer<uint8_t, uint32_t>(f, cpu_flags, out);
  if (f.depth == 10) return make_scorer<uint16_t, uint32_t>(f, cpu_flags, out);
  return make_scorer<uint16_t, uint64_t>(f, cpu_flags, out);
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
