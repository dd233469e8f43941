// cambi's plan (options, thresholds), its frame pipeline, and its registry row.
#include "metrics/cambi/cambi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

namespace vq {

namespace {

constexpr int kScales = 5;
constexpr int kScaleWeights[kScales] = {16, 8, 4, 2, 1};
// How much more a larger step counts, per step size 1..32 (10-bit levels).
constexpr int kContrastWeights[kCambiMaxDiffs] = {1, 2, 3, 4, 4, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 8,
                                                  8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
constexpr int kMinSide = 216;  // one side at least this long, as libvmaf asks
constexpr int kMaxWindowSquare = 4225;
// Counts kept either side of the window counts, which range updates may touch.
constexpr size_t kCountsMargin = 16;
constexpr int kFoot = 64, kHead = 940;  // studio-range luma at 10 bits

// Options in the order of their names: libvmaf appends the ones that differ from their defaults
// to the score name in this order, each under its short name.
constexpr MetricOption kOptions[] = {
    {"cambi_eotf", OptionType::kString, "bt1886", "the same as eotf; wins when not bt1886"},
    {"cambi_high_res_speedup", OptionType::kInt, "0",
     "1080, 1440 or 2160: at encode sizes from that on, score at half size (less exact)"},
    {"cambi_max_val", OptionType::kDouble, "1000", "scores above this are written as this"},
    {"cambi_topk", OptionType::kDouble, "0.6", "the same as topk; used when topk is 0.6"},
    {"cambi_vis_lum_threshold", OptionType::kDouble, "0",
     "luminance (cd/m2) below which banding is not visible"},
    {"enc_bitdepth", OptionType::kInt, "0",
     "the depth it was encoded at (0: the input's); below 10 the luma is smoothed 2x2 first"},
    {"enc_height", OptionType::kInt, "0", "the height it was encoded at (0: the input's)"},
    {"enc_width", OptionType::kInt, "0", "the width it was encoded at (0: the input's)"},
    {"eotf", OptionType::kString, "bt1886", "bt1886 or pq: the EOTF of the visibility thresholds"},
    {"max_log_contrast", OptionType::kInt, "2",
     "0..5: steps of up to 2^N levels at 10 bits count as banding"},
    {"topk", OptionType::kDouble, "0.6", "the share of the worst pixels averaged per scale"},
    {"tvi_threshold", OptionType::kDouble, "0.019",
     "a step is visible when its luminance change exceeds this share of the luminance"},
    {"window_size", OptionType::kInt, "65", "the window at 4K (scaled to the encode size)"},
};

struct Range {
  const char* name;
  const char* alias;  // the short name in score names
  double min, max;    // of a value given (libvmaf refuses others)
};
constexpr Range kRanges[] = {
    {"cambi_eotf", "ceot", 0, 0},
    {"cambi_high_res_speedup", "hrs", 0, 2160},
    {"cambi_max_val", "cmxv", 0, 1000},
    {"cambi_topk", "ctpk", 0.0001, 1},
    {"cambi_vis_lum_threshold", "vlt", 0, 300},
    {"enc_bitdepth", "encbd", 6, 16},
    {"enc_height", "ench", 150, 7680},
    {"enc_width", "encw", 180, 7680},
    {"eotf", "eotf", 0, 0},
    {"max_log_contrast", "mlc", 0, 5},
    {"topk", "topk", 0.0001, 1},
    {"tvi_threshold", "tvit", 0.0001, 1},
    {"window_size", "ws", 15, 127},
};
static_assert(std::size(kRanges) == std::size(kOptions));

using Eotf = double (*)(double);

double bt1886(double v) {
  const double lw = std::pow(300.0, 1.0 / 2.4), lb = std::pow(0.01, 1.0 / 2.4);
  const double a = std::pow(lw - lb, 2.4);
  const double b = lb / (lw - lb);
  return a * std::pow(std::max(v + b, 0.0), 2.4);
}

double pq(double v) {
  const double m1 = 0.1593017578125, m2 = 78.84375;
  const double c1 = 0.8359375, c2 = 18.8515625, c3 = 18.6875;
  const double p = std::pow(v, 1.0 / m2);
  return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1.0 / m1);
}

double luminance(int sample, Eotf eotf) {
  const int s = std::clamp(sample, kFoot, kHead);
  return eotf(double(s - kFoot) / (kHead - kFoot));
}

bool visible(int sample, int diff, double threshold, Eotf eotf) {
  const double l = luminance(sample, eotf);
  return luminance(sample + diff, eotf) - l > threshold * l;
}

// -1: the step is visible at `sample + 1` too (look higher); 1: not visible at `sample` (look
// lower); 0: `sample` is the last value where it is.
int last_visible_side(int sample, int diff, double threshold, Eotf eotf) {
  if (!visible(sample, diff, threshold, eotf)) return 1;
  if (visible(sample + 1, diff, threshold, eotf)) return -1;
  return 0;
}

// The highest 10-bit value at which a step of `diff` is visible, found by bisection over the
// studio range (libvmaf's search, so that its answer is ours where visibility is not monotonic).
int highest_visible(int diff, double threshold, Eotf eotf) {
  int lo = kFoot, hi = kHead - diff - 1;
  int side = last_visible_side(lo, diff, threshold, eotf);
  if (side == 1) return 0;
  if (side == 0) return lo;
  side = last_visible_side(hi, diff, threshold, eotf);
  if (side == -1) return 1023;
  if (side == 0) return hi;
  for (;;) {
    const int mid = lo + (hi - lo) / 2;
    side = last_visible_side(mid, diff, threshold, eotf);
    if (side == 0) return mid;
    (side == 1 ? hi : lo) = mid;
  }
}

// The lowest 10-bit value whose luminance reaches `threshold`, 0 when the foot does. Above the
// head every value has the head's luminance, so the search ends there (libvmaf's would not
// end for a threshold above the peak luminance).
int lowest_visible_value(double threshold, Eotf eotf) {
  int s = kFoot;
  while (s <= kHead && luminance(s, eotf) < threshold)
    ++s;
  return s == kFoot ? 0 : s;
}

// The window adjusted to the encode size: 65 is about one degree at 4K.
int adjusted_window(int window, int width, int height, bool half) {
  int w = ((unsigned(window) * unsigned(width + height)) / 375u) >> 4;
  if (half) w = (w + 1) >> 1;
  return w | 1;
}

// libvmaf's nearest-sample positions for a resize from `in` to `out` samples: its float steps.
std::vector<int32_t> nearest_samples(int in, int out) {
  std::vector<int32_t> at(static_cast<size_t>(out));
  const float ratio = float(in) / float(out);
  float x = float(double(ratio / 2) - 0.5);
  for (int i = 0; i < out; ++i) {
    at[size_t(i)] = std::min(int32_t(double(x) + 0.5), in - 1);
    x += ratio;
  }
  return at;
}

std::string format_value(const MetricOptions::Value& v) {
  char buf[64];
  switch (v.type) {
    case OptionType::kInt:
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.i));
      return buf;
    case OptionType::kDouble:
      std::snprintf(buf, sizeof buf, "%g", v.d);
      return buf;
    case OptionType::kBool:
      return "";
    case OptionType::kString:
      break;
  }
  return v.text;
}

bool is_default(const MetricOptions::Value& v, const MetricOption& o) {
  switch (v.type) {
    case OptionType::kInt:
      return v.i == std::strtoll(o.default_value, nullptr, 10);
    case OptionType::kDouble:
      return v.d == std::strtod(o.default_value, nullptr);
    case OptionType::kBool:
      return true;
    case OptionType::kString:
      break;
  }
  return v.text == o.default_value;
}

std::vector<std::string> cambi_scores(const MetricOptions& options) {
  std::string name = "cambi";
  for (size_t i = 0; i < std::size(kOptions); ++i) {
    for (const MetricOptions::Value& v : options.values) {
      if (v.name != kOptions[i].name || is_default(v, kOptions[i])) continue;
      name += std::string("_") + kRanges[i].alias + "_" + format_value(v);
    }
  }
  return {name};
}

// Luma row i to 10 bits at the encode size; returns its words' bits ORed (0 at 8 bits), for
// the check against the depth's peak.
uint32_t ten_bit_row(const CambiPlan& p, const uint8_t* luma, ptrdiff_t pitch, int32_t i,
                     uint16_t* o) {
  const bool resize = p.width != p.in_width || p.height != p.in_height;
  const uint8_t* row = luma + pitch * (resize ? p.from_row[size_t(i)] : i);
  if (p.depth == 8) {
    // Kept apart from the resizing loop so that the plain one vectorizes.
    if (resize) {
      for (int32_t j = 0; j < p.width; ++j)
        o[j] = uint16_t(row[p.from_col[size_t(j)]] << 2);
    } else {
      for (int32_t j = 0; j < p.width; ++j)
        o[j] = uint16_t(row[j] << 2);
    }
    return 0;
  }
  uint32_t seen = 0;
  const auto* r = reinterpret_cast<const uint16_t*>(row);
  const int shift = p.depth - 10;
  const int round = shift > 0 ? 1 << (shift - 1) : 0;
  if (resize || shift < 0) {
    for (int32_t j = 0; j < p.width; ++j) {
      uint16_t s;
      std::memcpy(&s, r + (resize ? p.from_col[size_t(j)] : j), 2);
      seen |= s;
      o[j] = uint16_t(shift < 0 ? s << 1 : (uint32_t(s) + uint32_t(round)) >> shift);
    }
    return seen;
  }
  // The plain rows of the usual depths in loops of their own, which vectorize: at 10 bits a
  // copy.
  uint16_t seen16 = 0;
  if (shift == 0) {
    for (int32_t j = 0; j < p.width; ++j) {
      uint16_t s;
      std::memcpy(&s, r + j, 2);
      seen16 = uint16_t(seen16 | s);
      o[j] = s;
    }
  } else {
    for (int32_t j = 0; j < p.width; ++j) {
      uint16_t s;
      std::memcpy(&s, r + j, 2);
      seen16 = uint16_t(seen16 | s);
      o[j] = uint16_t((uint32_t(s) + uint32_t(round)) >> shift);
    }
  }
  return seen16;
}

// Luma rows to 10 bits at the encode size; false when a sample is above the depth's peak.
bool to_ten_bits(const CambiPlan& p, const uint8_t* luma, ptrdiff_t pitch, uint16_t* out) {
  uint32_t seen = 0;
  for (int32_t i = 0; i < p.height; ++i)
    seen |= ten_bit_row(p, luma, pitch, i, out + size_t(i) * size_t(p.width));
  return (seen >> p.depth) == 0;
}

// The 2x2 mean libvmaf applies to content encoded below 10 bits (the last row and column with
// their one neighbour), from the unfiltered samples.
void anti_dither(uint16_t* img, int32_t w, int32_t h) {
  for (int32_t i = 0; i + 1 < h; ++i) {
    uint16_t* r = img + size_t(i) * size_t(w);
    const uint16_t* n = r + w;
    for (int32_t j = 0; j + 1 < w; ++j)
      r[j] = uint16_t((r[j] + r[j + 1] + n[j] + n[j + 1]) >> 2);
    r[w - 1] = uint16_t((r[w - 1] + n[w - 1]) >> 1);
  }
  uint16_t* r = img + size_t(h - 1) * size_t(w);
  for (int32_t j = 0; j + 1 < w; ++j)
    r[j] = uint16_t((r[j] + r[j + 1]) >> 1);
}

// Every second sample of every second row, in place: h rows kept (rows keep the full stride).
template <typename T>
void halve_rows(void (*halve)(const T*, int32_t, T*), T* data, int32_t stride, int32_t w,
                int32_t h) {
  for (int32_t i = 0; i < h; ++i)
    halve(data + size_t(2 * i) * size_t(stride), w, data + size_t(i) * size_t(stride));
}

// Flat pixels: those whose 7x7 window (cut at the edges) holds more than `limit` pixels equal
// to their right and lower neighbours (a missing neighbour counts as equal). The zero-derivative
// rows are kept in a ring of eight and summed down seven rows per column; the column sums (at
// most 7) lie between three zeros on either side, so that seven of them side by side sum to at
// most 49 in a byte, whatever the column.
//
// make_row(i) is called for each row in order just before the flat-pixel pass first reads it
// (a picture made row by row there); with `halve`, each even row of the picture and of the mask
// is halved into its place once the mask row is made, the picture's row no longer read by then.
// Both keep the rows a pass touches in cache instead of a pass over the whole picture each.
template <typename MakeRow>
void spatial_mask(const CambiKernels& k, uint16_t* img, int32_t w, int32_t h, uint8_t* mask,
                  CambiScratch* s, MakeRow&& make_row, bool halve) {
  const uint32_t tiles = uint32_t(w >> 6) * uint32_t(h >> 6);
  int log = 0;
  if (tiles > 0)
    for (uint32_t t = tiles - 1; t > 0; t >>= 1)
      ++log;
  const uint8_t limit = uint8_t((49 + 3 * (log - 11) - 1) >> 1);
  const size_t sw = size_t(w);
  s->flat.assign(9 * sw + 6, 0);
  uint8_t* col = s->flat.data() + 8 * sw + 3;
  auto flat_row = [&](int32_t i) {
    if (i + 1 < h) make_row(i + 1);  // rows are made in order, row 0 first
    const uint16_t* r = img + size_t(i) * sw;
    k.flat_row(r, i == h - 1 ? nullptr : r + sw, w, s->flat.data() + size_t(i % 8) * sw, col);
  };
  make_row(0);
  for (int32_t i = 0; i < std::min(3, h); ++i)
    flat_row(i);
  const int32_t half_w = (w + 1) >> 1;
  for (int32_t i = 0; i < h; ++i) {
    if (i + 3 < h) flat_row(i + 3);
    const uint8_t* drop = i - 4 >= 0 ? s->flat.data() + size_t((i - 4) % 8) * sw : nullptr;
    uint8_t* m = mask + size_t(i) * sw;
    k.mask_row(col, drop, w, limit, m);
    // Row i of the picture was last read for flat rows i - 1 and i, both made; the rows written
    // (i / 2) lie before every row still to be read or made.
    if (halve && i % 2 == 0) {
      k.halve8(m, half_w, mask + size_t(i / 2) * sw);
      k.halve16(img + size_t(i) * sw, half_w, img + size_t(i / 2) * sw);
    }
  }
}

// The 3x3 mode filter, separable: each row's mode across, then of three such rows; the first
// and last rows are left as they are.
void mode_filter(const CambiKernels& k, uint16_t* img, int32_t stride, int32_t w, int32_t h,
                 uint16_t* lines) {
  uint16_t* across[3] = {lines, lines + w, lines + 2 * size_t(w)};
  for (int32_t i = 0; i < h; ++i) {
    k.mode3_across(img + size_t(i) * size_t(stride), across[i % 3], w);
    if (i > 1)
      k.mode3_rows(across[0], across[1], across[2], img + size_t(i - 1) * size_t(stride), w);
  }
}

// Adds (`in`) or removes row `r`'s flat pixels to the window counts of every column they
// reach: a slide against a row with no flat pixel (`none`, w zeros).
void count_row(const CambiKernels& k, const CambiPlan& p, const uint16_t* img, const uint8_t* mask,
               int32_t stride, int32_t w, int32_t r, bool in, const uint8_t* none,
               uint16_t* counts) {
  const uint16_t* v = img + size_t(r) * size_t(stride);
  const uint8_t* m = mask + size_t(r) * size_t(stride);
  const int32_t pad = p.window >> 1;
  if (in) {
    k.slide({counts, v, none, v, m, w, pad, p.base, p.count_rows});
  } else {
    k.slide({counts, v, m, v, none, w, pad, p.base, p.count_rows});
  }
}

// Every flat pixel's c-value at one scale, from window counts slid down the rows, and the
// pooling's first pass over them (`sums`), each row summed while it is in cache: the count,
// the least and the eight running sums of all rows together (their order is free, see
// top_mean). The counts are all zero on entry and are left so: the rows still in the window at
// the end are taken out again, which touches far less than clearing every count would.
void c_values(const CambiKernels& k, const CambiPlan& p, const uint16_t* img, const uint8_t* mask,
              int32_t stride, int32_t w, int32_t h, uint16_t* counts, const uint8_t* none,
              float* out, CambiSums* sums) {
  *sums = CambiSums{};
  const int32_t pad = p.window >> 1;
  for (int32_t r = 0; r <= std::min(pad, h - 1); ++r)
    count_row(k, p, img, mask, stride, w, r, true, none, counts);
  CambiRowArgs a{};
  a.counts = counts;
  a.reciprocal = p.reciprocal.data();
  a.width = w;
  a.base = p.base;
  a.own_rows = p.own_rows;
  a.diffs = p.diffs;
  a.vlt = p.vlt;
  a.tvi = p.tvi;
  a.weights = p.weights;
  for (int32_t i = 0; i < h; ++i) {
    if (i > 0) {
      const bool in = i + pad < h, gone = i - pad - 1 >= 0;
      if (in && gone) {
        const size_t out_at = size_t(i - pad - 1) * size_t(stride);
        const size_t in_at = size_t(i + pad) * size_t(stride);
        k.slide({counts, img + out_at, mask + out_at, img + in_at, mask + in_at, w, pad, p.base,
                 p.count_rows});
      } else if (in) {
        count_row(k, p, img, mask, stride, w, i + pad, true, none, counts);
      } else if (gone) {
        count_row(k, p, img, mask, stride, w, i - pad - 1, false, none, counts);
      }
    }
    a.values = img + size_t(i) * size_t(stride);
    a.mask = mask + size_t(i) * size_t(stride);
    a.out = out + size_t(i) * size_t(w);
    k.c_values_row(a);
    CambiSums row;
    k.pool_sums(a.out, w, &row);
    sums->above += row.above;
    if (row.least != 0 && (sums->least == 0 || row.least < sums->least)) sums->least = row.least;
    for (int l = 0; l < 8; ++l)
      sums->part[l] += row.part[l];
  }
  for (int32_t r = std::max(h - 1 - pad, 0); r < h; ++r)
    count_row(k, p, img, mask, stride, w, r, false, none, counts);
}

// The mean of the largest share `topk` of n values (at least one value), the values summed in
// double one after another. The c-values are never negative, so their bits order as they do.
//
// A first pass (`first`) counts the values above zero, finds the least of them and sums all
// values in eight running sums, in any grouping. Every value is a multiple of the last place of
// that least one, and while the total stays below 2^52 of those places every partial sum in any
// order is one a double holds exactly: the eight sums are then the sum in order, and so is any
// other order of any subset. A total of any grouping comes out below 2^52 of those places only
// when each of its steps was exact, so the test does not depend on the grouping either.
// Otherwise the values are summed in order as they come.
//
// When no more values than that share are above zero the rest are zeros and the total is the
// sum. Else a count of the upper 16 bits finds the bin the last of the largest values falls in,
// and only that bin is sorted.
double top_mean(const float* values, int32_t n, const CambiSums& first, double topk,
                CambiScratch* s) {
  const int32_t k = std::clamp(int32_t(topk * n), int32_t(1), n);
  const int32_t above = first.above;
  double total = 0;
  for (double x : first.part)
    total += x;
  int least_exp = 0;
  std::frexp(first.least, &least_exp);
  // The least value's last place is 2^(least_exp - 24), or larger for a subnormal one.
  const bool exact = above == 0 || total < std::ldexp(1.0, least_exp - 24 + 52);
  double sum = 0;
  if (above <= k) {
    if (exact) return total / k;
    for (int32_t j = 0; j < n; ++j)
      sum += values[j];
    return sum / k;
  }
  s->bins.assign(size_t(1) << 16, 0);
  for (int32_t j = 0; j < n; ++j) {
    uint32_t b;
    std::memcpy(&b, values + j, 4);
    if (b != 0) ++s->bins[b >> 16];
  }
  int32_t need = k;
  uint32_t edge = 0xFFFF;
  for (; int32_t(s->bins[edge]) < need; --edge)
    need -= int32_t(s->bins[edge]);
  s->edge.clear();
  for (int32_t j = 0; j < n; ++j) {
    uint32_t b;
    std::memcpy(&b, values + j, 4);
    if ((b >> 16) > edge) {
      sum += values[j];
    } else if ((b >> 16) == edge) {
      s->edge.push_back(values[j]);
    }
  }
  std::nth_element(s->edge.begin(), s->edge.begin() + (need - 1), s->edge.end(),
                   std::greater<float>());
  for (int32_t j = 0; j < need; ++j)
    sum += s->edge[size_t(j)];
  return sum / k;
}

class CambiScorer final : public Metric {
 public:
  CambiScorer(CambiPlan plan, uint32_t cpu_flags, std::string name)
      : name_(std::move(name)), plan_(std::move(plan)), kernels_(cambi_kernels(cpu_flags)) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    (void)ref;
    double s = 0;
    if (!cambi_score_luma(plan_, kernels_, dist.plane[0], dist.pitch[0], &scratch_, &s))
      return MetricStatus::kUnsupported;
    table->set(column(table), pair, std::min(s, plan_.max_value));
    return MetricStatus::kOk;
  }

 private:
  int column(ScoreTable* table) {
    if (column_ < 0) column_ = table->declare(name_);
    return column_;
  }
  std::string name_;
  CambiPlan plan_;
  CambiKernels kernels_;
  CambiScratch scratch_;
  int column_ = -1;
};

// The EOTF libvmaf uses: cambi_eotf when it is not the default, else eotf.
std::string eotf_name(const MetricOptions& options) {
  const std::string name = options.get_string("cambi_eotf");
  return name == "bt1886" ? options.get_string("eotf") : name;
}

// What libvmaf refuses whatever the pictures: a value given out of its range, an unknown EOTF.
int check_cambi(const MetricOptions& options, std::string* why) {
  for (size_t i = 0; i < std::size(kOptions); ++i) {
    const MetricOptions::Value* v = nullptr;
    for (const MetricOptions::Value& x : options.values)
      if (x.name == kOptions[i].name) v = &x;
    if (!v || !v->given || kOptions[i].type == OptionType::kString) continue;
    const double x = kOptions[i].type == OptionType::kInt ? double(v->i) : v->d;
    if (x < kRanges[i].min || x > kRanges[i].max) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "cambi: %s must be between %g and %g", kOptions[i].name,
                    kRanges[i].min, kRanges[i].max);
      *why = buf;
      return 0;
    }
  }
  if (const std::string eotf = eotf_name(options); eotf != "bt1886" && eotf != "pq") {
    *why = "cambi: eotf is bt1886 or pq, not " + eotf;
    return 0;
  }
  return 1;
}

// The encode size and depth CAMBI scores with: the request's enc_width, enc_height and
// enc_bitdepth, or where the request leaves them (size as a pair) the encode's own size before
// the run scaled it up and depth before it widened it. An encode size libvmaf would not take
// (below 180x150, or larger than the pictures in either direction) is not taken from the form.
struct CambiEncode {
  int64_t width = 0, height = 0, depth = 0;
  bool size_from_form = false, depth_from_form = false;
};

CambiEncode cambi_encode(const PictureForm& form, const MetricOptions& options) {
  CambiEncode e;
  e.width = options.get_int("enc_width");
  e.height = options.get_int("enc_height");
  e.depth = options.get_int("enc_bitdepth");
  if (!options.given("enc_width") && !options.given("enc_height") && form.encode_width >= 180 &&
      form.encode_height >= 150 && form.encode_width <= form.width &&
      form.encode_height <= form.height) {
    e.width = form.encode_width;
    e.height = form.encode_height;
    e.size_from_form = true;
  }
  if (!options.given("enc_bitdepth") && form.encode_depth >= 6) {
    e.depth = form.encode_depth;
    e.depth_from_form = true;
  }
  return e;
}

// The encode size and depth it scores with, when the form set one of them.
std::vector<FormOption> cambi_form_options(const PictureForm& form, const MetricOptions& options) {
  const CambiEncode e = cambi_encode(form, options);
  if (!e.size_from_form && !e.depth_from_form) return {};
  const bool sized =
      e.width != 0 && e.height != 0 && e.width <= form.width && e.height <= form.height;
  return {{"enc_width", sized ? e.width : form.width},
          {"enc_height", sized ? e.height : form.height},
          {"enc_bitdepth", e.depth != 0 ? e.depth : form.depth}};
}

MetricStatus make_cambi(const PictureForm& form, const MetricOptions& options, uint32_t cpu_flags,
                        std::unique_ptr<Metric>* out, std::string* why) {
  CambiPlan plan;
  if (!cambi_plan(form, options, &plan, why)) return MetricStatus::kUnsupported;
  std::unique_ptr<Metric> m(new (std::nothrow)
                                CambiScorer(std::move(plan), cpu_flags, cambi_scores(options)[0]));
  if (!m) return MetricStatus::kOutOfMemory;
  *out = std::move(m);
  return MetricStatus::kOk;
}

}  // namespace

bool cambi_plan(const PictureForm& form, const MetricOptions& options, CambiPlan* plan,
                std::string* why) {
  if (!check_cambi(options, why)) return false;
  if (form.depth < 8 || form.depth > 16) {
    *why = "cambi scores pictures of 8 to 16 bits";
    return false;
  }
  CambiPlan p;
  p.in_width = form.width;
  p.in_height = form.height;
  p.depth = form.depth;
  if (p.in_width < kMinSide && p.in_height < kMinSide) {
    *why = "cambi needs a picture at least 216 samples wide or high";
    return false;
  }
  const CambiEncode enc = cambi_encode(form, options);
  const int64_t enc_w = enc.width, enc_h = enc.height;
  p.width = p.in_width;
  p.height = p.in_height;
  if (enc_w != 0 && enc_h != 0 && enc_w <= p.in_width && enc_h <= p.in_height) {
    p.width = int32_t(enc_w);
    p.height = int32_t(enc_h);
  }
  if (p.width < kMinSide && p.height < kMinSide) {
    *why = "cambi needs an encode size at least 216 samples wide or high";
    return false;
  }
  p.anti_dither = (enc.depth == 0 ? form.depth : enc.depth) < 10;
  const int64_t speedup = options.get_int("cambi_high_res_speedup");
  const int64_t pixels = int64_t(p.width) * p.height;
  p.high_res_speedup = (speedup == 1080 && pixels >= 1920 * 1080) ||
                       (speedup == 1440 && pixels >= 2560 * 1440) ||
                       (speedup == 2160 && pixels >= 3840 * 2160);
  const Eotf eotf = eotf_name(options) == "pq" ? pq : bt1886;
  p.topk = options.get_double("topk");
  if (p.topk == 0.6) p.topk = options.get_double("cambi_topk");
  p.max_value = options.get_double("cambi_max_val");
  p.diffs = 1 << options.get_int("max_log_contrast");
  const double tvi = options.get_double("tvi_threshold");
  int top = 0;
  for (int d = 0; d < p.diffs; ++d) {
    p.tvi[d] = uint16_t(highest_visible(d + 1, tvi, eotf) + p.diffs);
    p.weights[d] = kContrastWeights[d];
    top = std::max(top, int(p.tvi[d]));
  }
  p.vlt = lowest_visible_value(options.get_double("cambi_vis_lum_threshold"), eotf);
  p.base = std::max(p.vlt - 3 * p.diffs + 1, 0);
  p.own_rows = std::max(p.tvi[p.diffs - 1] + 1 - p.base, 0);
  // Every row a flat pixel's test may read: up to the highest threshold of any step.
  p.count_rows = std::max(top + 1 - p.base, p.own_rows);
  p.window =
      adjusted_window(int(options.get_int("window_size")), p.width, p.height, p.high_res_speedup);
  if (p.window * p.window > kMaxWindowSquare) {
    *why = "cambi: window_size too large for this encode size (libvmaf refuses it too)";
    return false;
  }
  p.reciprocal.resize(size_t(p.window) * size_t(p.window) + 1);
  p.reciprocal[0] = 0;
  for (size_t n = 1; n < p.reciprocal.size(); ++n)
    p.reciprocal[n] = 1.0f / float(n);
  if (p.width != p.in_width || p.height != p.in_height) {
    p.from_col = nearest_samples(p.in_width, p.width);
    p.from_row = nearest_samples(p.in_height, p.height);
  }
  *plan = std::move(p);
  return true;
}

bool cambi_score_luma(const CambiPlan& p, const CambiKernels& k, const uint8_t* luma,
                      ptrdiff_t pitch, CambiScratch* s, double* score) {
  const size_t area = size_t(p.width) * size_t(p.height);
  s->image.grow(area);
  s->mask.grow(area);
  s->c_values.grow(area);
  s->lines.resize(3 * size_t(p.width) + 16);
  s->none.resize(size_t(p.width));
  // A range update may touch 16 counts past either end of its row: the counts have margins.
  s->counts.grow(size_t(p.count_rows) * size_t(p.width) + 2 * kCountsMargin);
  uint16_t* counts = s->counts.data() + kCountsMargin;
  // The picture is made row by row inside the mask's pass, smoothed at 8 bits or converted
  // (unless the whole picture must be made first, to be smoothed after), and the first halving
  // of a high-resolution picture is done there too.
  const bool smoothed =
      p.depth == 8 && p.anti_dither && p.width == p.in_width && p.height == p.in_height;
  const bool by_row = smoothed || !p.anti_dither;
  uint16_t* img = s->image.data();
  const size_t sw = size_t(p.width);
  if (!by_row) {
    if (!to_ten_bits(p, luma, pitch, img)) return false;
    anti_dither(img, p.width, p.height);
  }
  uint32_t seen = 0;
  const size_t row_bytes = size_t(p.in_width) * (p.depth > 8 ? 2 : 1);
  auto make_row = [&](int32_t i) {
    if (!by_row) return;
    // The luma is usually read here for the first time since it was loaded: its rows are asked
    // for a few rows ahead, which the processor's own prefetching does not do across rows.
    if (i + 8 < p.height) {
      const uint8_t* ahead = luma + pitch * (i + 8);
      for (size_t at = 0; at < row_bytes; at += 64)
        __builtin_prefetch(ahead + at);
    }
    if (smoothed) {
      const uint8_t* r = luma + pitch * i;
      k.smooth8(r, i + 1 < p.height ? r + pitch : r, p.width, img + size_t(i) * sw);
    } else {
      seen |= ten_bit_row(p, luma, pitch, i, img + size_t(i) * sw);
    }
  };
  spatial_mask(k, img, p.width, p.height, s->mask.data(), s, make_row, p.high_res_speedup);
  if ((seen >> p.depth) != 0) return false;
  const int32_t stride = p.width;
  int32_t w = p.width, h = p.height;
  double total = 0;
  for (int scale = 0; scale < kScales; ++scale) {
    if (scale > 0 || p.high_res_speedup) {
      w = (w + 1) >> 1;
      h = (h + 1) >> 1;
      if (scale > 0) {
        halve_rows(k.halve16, s->image.data(), stride, w, h);
        halve_rows(k.halve8, s->mask.data(), stride, w, h);
      }
    }
    mode_filter(k, s->image.data(), stride, w, h, s->lines.data());
    CambiSums sums;
    c_values(k, p, s->image.data(), s->mask.data(), stride, w, h, counts, s->none.data(),
             s->c_values.data(), &sums);
    total += top_mean(s->c_values.data(), w * h, sums, p.topk, s) * kScaleWeights[scale];
  }
  *score = total / double(p.window * p.window);
  return true;
}

const MetricRow& cambi_metric() {
  static const MetricRow row = [] {
    MetricRow r = {
        "cambi",      "banding of the distorted picture (libvmaf's CAMBI; no reference needed)",
        kOptions,     0,
        cambi_scores, make_cambi,
    };
    r.check = check_cambi;
    r.form_options = cambi_form_options;
    return r;
  }();
  return row;
}

}  // namespace vq
