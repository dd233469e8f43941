// The integer_motion metric: libvmaf's motion feature. Each pair's score is the mean absolute
// value of the blurred difference between its reference picture's luma and the previous one's
// (the distorted picture plays no part); integer_motion2 is the smaller of a pair's score and
// the next pair's, integer_motion3 that value blended and clipped (motion.h has the blur).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "metrics/integer_motion/motion.h"
#include "metrics/rows.h"

namespace vq {

namespace {

struct MotionOption {
  MetricOption option;
  const char* alias;  // nullptr: never part of a score name
};

const MotionOption kMotionOptions[] = {
    {{"debug", OptionType::kBool, "false", "also write integer_motion"}, nullptr},
    {{"motion_force_zero", OptionType::kBool, "false", "every score is 0"}, "force_0"},
    {{"motion_blend_factor", OptionType::kDouble, "1",
      "weight of the score against its offset-clipped form (0 to 1)"},
     "mbf"},
    {{"motion_blend_offset", OptionType::kDouble, "40", "the blend's clip (0 to 1000)"}, "mbo"},
    {{"motion_fps_weight", OptionType::kDouble, "1", "weight of the score (0 to 5)"}, "mfw"},
    {{"motion_max_val", OptionType::kDouble, "10000", "largest score (0 to 10000)"}, "mmxv"},
    {{"motion_five_frame_window", OptionType::kBool, "false",
      "compare with the picture two before"},
     "mffw"},
    {{"motion_moving_average", OptionType::kBool, "false",
      "integer_motion3 as the mean of two pairs"},
     "mma"},
};

const std::vector<MetricOption>& option_table() {
  static const std::vector<MetricOption> t = [] {
    std::vector<MetricOption> v;
    for (const MotionOption& m : kMotionOptions)
      v.push_back(m.option);
    return v;
  }();
  return t;
}

double number(const MetricOptions& o, const MetricOption& opt) {
  return opt.type == OptionType::kBool ? (o.get_bool(opt.name) ? 1.0 : 0.0)
                                       : o.get_double(opt.name);
}

// libvmaf appends the options that differ from their defaults, in the order of their names.
std::string name_suffix(const MetricOptions& o) {
  std::vector<const MotionOption*> named;
  for (const MotionOption& m : kMotionOptions) {
    if (!m.alias) continue;
    const double def = m.option.type == OptionType::kBool
                           ? (std::strcmp(m.option.default_value, "true") == 0 ? 1.0 : 0.0)
                           : std::strtod(m.option.default_value, nullptr);
    if (number(o, m.option) != def) named.push_back(&m);
  }
  std::sort(named.begin(), named.end(), [](const MotionOption* a, const MotionOption* b) {
    return std::strcmp(a->option.name, b->option.name) < 0;
  });
  std::string s;
  for (const MotionOption* m : named) {
    s += '_';
    s += m->alias;
    if (m->option.type == OptionType::kBool) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "_%g", o.get_double(m->option.name));
    s += buf;
  }
  return s;
}

std::vector<std::string> motion_scores(const MetricOptions& o) {
  const std::string x = name_suffix(o);
  std::vector<std::string> v = {"VMAF_integer_feature_motion_sad_score" + x};
  if (o.get_bool("debug")) v.push_back("integer_motion" + x);
  v.push_back("integer_motion2" + x);
  v.push_back("integer_motion3" + x);
  return v;
}

int check_motion(const MetricOptions& o, std::string* why) {
  struct Range {
    const char* name;
    double lo, hi;
  };
  for (const Range& r : {Range{"motion_blend_factor", 0, 1}, Range{"motion_blend_offset", 0, 1000},
                         Range{"motion_fps_weight", 0, 5}, Range{"motion_max_val", 0, 10000}}) {
    const double v = o.get_double(r.name);
    if (!(v >= r.lo && v <= r.hi)) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "integer_motion: %s must be between %g and %g", r.name, r.lo,
                    r.hi);
      *why = buf;
      return 0;
    }
  }
  return 1;
}

double blend(double x, double factor, double offset) {
  return x * factor + (1 - factor) * std::min(offset, x);
}

class MotionMetric final : public Metric {
 public:
  MotionMetric(const PictureForm& form, const MetricOptions& o, const motion::Kernels& kernels)
      : kernels_(kernels),
        w_(form.width),
        h_(form.height),
        depth_(form.depth),
        names_(motion_scores(o)),
        debug_(o.get_bool("debug")),
        force_zero_(o.get_bool("motion_force_zero")),
        five_(o.get_bool("motion_five_frame_window")),
        average_(o.get_bool("motion_moving_average")),
        blend_factor_(o.get_double("motion_blend_factor")),
        blend_offset_(o.get_double("motion_blend_offset")),
        fps_weight_(o.get_double("motion_fps_weight")),
        max_val_(o.get_double("motion_max_val")),
        row_(size_t(form.width + 2 * motion::kPad)) {}

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    (void)dist;
    if (columns_.empty())
      for (const std::string& n : names_)
        columns_.push_back(table->declare(n));
    const int back = five_ ? 2 : 1;
    const size_t row_bytes = size_t(w_) * (depth_ > 8 ? 2 : 1);
    double score = 0;
    // This picture is kept for the pairs after it (prev, one or two pictures back, is another
    // buffer): copied as the blur reads it, or whole when there is no blur. There are as many
    // buffers as the window reaches back and one, each made when first filled (not cleared:
    // it is written whole before it is read).
    std::unique_ptr<uint8_t[]>& keep = kept_[size_t(seen_ % (back + 1))];
    if (!keep) keep = std::make_unique_for_overwrite<uint8_t[]>(row_bytes * size_t(h_));
    if (!force_zero_ && seen_ >= back) {
      const std::unique_ptr<uint8_t[]>& prev = kept_[size_t((seen_ - back) % (back + 1))];
      const uint64_t sad = motion::blurred_sad({prev.get(), ptrdiff_t(row_bytes), depth_},
                                               {ref.plane[0], ref.pitch[0], depth_}, w_, h_,
                                               kernels_, &row_, keep.get());
      score = std::min(double(sad) / 256. / double(uint32_t(w_) * uint32_t(h_)) * fps_weight_,
                       max_val_);
    } else {
      for (int y = 0; y < h_; ++y)
        std::memcpy(keep.get() + row_bytes * size_t(y), ref.plane[0] + ref.pitch[0] * y, row_bytes);
    }
    ++seen_;
    table->set(columns_[0], pair, score);
    if (debug_) table->set(columns_[1], pair, score);
    return MetricStatus::kOk;
  }

  // integer_motion2 and integer_motion3 need the next pair's score, so every pair's are written
  // here, from the scores of the pairs in order.
  MetricStatus flush(ScoreTable* table) override {
    if (columns_.empty()) return MetricStatus::kOk;
    const int sad_col = columns_[0];
    const int m2 = columns_[columns_.size() - 2];
    const int m3 = columns_[columns_.size() - 1];
    std::vector<double> sad;
    for (double v; table->get(sad_col, int32_t(sad.size()), &v) == 1;)
      sad.push_back(v);
    const size_t n = sad.size();
    const size_t first = five_ ? 2 : 1;
    const size_t stride = five_ ? 2 : 1;
    const double stamp =
        n > first ? std::min(blend(sad[first], blend_factor_, blend_offset_), max_val_) : 0.0;
    double prev = 0;
    for (size_t i = 0; i < n; ++i) {
      double motion2 = 0;
      if (i >= first) {
        if (i + 1 >= n) {
          motion2 = sad[i];
        } else if (i - (stride - 1) >= first) {
          motion2 = std::min(sad[i - (stride - 1)], sad[i + 1]);
        } else {
          motion2 = sad[i + 1];
        }
      }
      table->set(m2, int32_t(i), motion2);
      double motion3;
      if (i < first) {
        motion3 = stamp;
        prev = stamp;
      } else {
        const double processed = std::min(blend(motion2, blend_factor_, blend_offset_), max_val_);
        motion3 = average_ ? (processed + prev) / 2.0 : processed;
        prev = processed;
      }
      table->set(m3, int32_t(i), motion3);
    }
    return MetricStatus::kOk;
  }

 private:
  motion::Kernels kernels_;
  int w_, h_, depth_;
  std::vector<std::string> names_;
  bool debug_, force_zero_, five_, average_;
  double blend_factor_, blend_offset_, fps_weight_, max_val_;
  std::vector<int32_t> row_;
  std::unique_ptr<uint8_t[]> kept_[3];  // the last reference lumas, by pair count modulo the window
  int64_t seen_ = 0;
  std::vector<int> columns_;
};

MetricStatus make_motion(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags,
                         std::unique_ptr<Metric>* out, std::string* why) {
  if (!check_motion(o, why)) return MetricStatus::kUnsupported;
  if (form.width < motion::kMinSize || form.height < motion::kMinSize) {
    *why = "integer_motion: pictures smaller than 3x3 are not scored (its filter mirrors twice)";
    return MetricStatus::kUnsupported;
  }
  if (form.depth < 8 || form.depth > 16) {
    *why = "integer_motion: scores 8 to 16-bit pictures";
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<MotionMetric>(form, o, motion::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& integer_motion_metric() {
  static const MetricRow row = {
      "integer_motion", "libvmaf's integer motion (integer_motion2, integer_motion3)",
      option_table(),   kMetricTemporal,
      motion_scores,    make_motion,
      nullptr,          check_motion};
  return row;
}

}  // namespace vq
