// The float_ssim and float_ms_ssim metrics: their registry rows, options and score names as
// libvmaf spells them, and the scorers that read the luma of each pair as float and run the
// window over it (float_ssim once, at libvmaf's shrink factor; float_ms_ssim at five scales).
#include <cmath>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/float_ssim/fssim.h"
#include "metrics/float_ssim/taps.h"
#include "metrics/rows.h"

namespace vq {
namespace {

const MetricOption kSsimOptions[] = {
    {"enable_lcs", OptionType::kBool, "false",
     "also write the luminance, contrast and structure means (float_ssim_l, _c, _s)"},
    {"enable_db", OptionType::kBool, "false", "write the score as dB, -10 log10(1 - score)"},
    {"clip_db", OptionType::kBool, "false", "cap dB scores at the value of half a code step's MSE"},
    {"scale", OptionType::kInt, "0",
     "shrink factor: 0 = smaller side / 256, rounded; 1 = full resolution; 2-10 as given"},
};

const MetricOption kMsSsimOptions[] = {
    {"enable_lcs", OptionType::kBool, "false",
     "also write each scale's luminance, contrast and structure means"},
    {"enable_db", OptionType::kBool, "false", "write the score as dB, -10 log10(1 - score)"},
    {"clip_db", OptionType::kBool, "false", "cap dB scores at the value of half a code step's MSE"},
};

// The dB cap with clip_db: the dB of an MSE of half a code step squared over the whole picture,
// rounded up; none without it.
double max_db(const PictureForm& f, bool clip) {
  if (!clip) return INFINITY;
  const double peak = double((1u << f.depth) - 1);
  const double mse = 0.5 / (double(f.width) * double(f.height));
  return std::ceil(10.0 * std::log10(peak * peak / mse));
}

double to_db(double score, double cap) {
  const double db = -10.0 * std::log10(1.0 - score);
  return db < cap ? db : cap;
}

fssim::Plane luma(const Picture& p) {
  return {p.plane[0], p.pitch[0], p.depth};
}

bool form_ok(const PictureForm& f, const char* name, std::string* why) {
  if (f.depth < 8 || f.depth > 16) {
    *why = std::string(name) + ": scores 8 to 16-bit pictures";
    return false;
  }
  return true;
}

std::vector<std::string> ssim_scores(const MetricOptions& o) {
  std::vector<std::string> v = {"float_ssim"};
  if (o.get_bool("enable_lcs")) v.insert(v.end(), {"float_ssim_l", "float_ssim_c", "float_ssim_s"});
  return v;
}

class SsimMetric final : public Metric {
 public:
  SsimMetric(const PictureForm& f, int factor, const MetricOptions& o, const fssim::Kernels& k)
      : w_(f.width),
        h_(f.height),
        factor_(factor),
        db_(o.get_bool("enable_db")),
        cap_(max_db(f, o.get_bool("clip_db"))),
        names_(ssim_scores(o)),
        window_(k) {
    // A power-of-two factor shrinks straight from the luma: no float copy of the full picture.
    if (!fssim::shrinks_from_luma(factor_))
      for (auto* p : {&a_, &b_})
        p->resize(size_t(w_) * size_t(h_));
    if (factor_ > 1)
      for (auto* p : {&sa_, &sb_})
        p->resize(size_t(fssim::shrunk(w_, factor_)) * size_t(fssim::shrunk(h_, factor_)));
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (columns_.empty())
      for (const std::string& n : names_)
        columns_.push_back(table->declare(n));
    fssim::Means m;
    if (factor_ > 1) {
      if (!fssim::box_shrink_luma(luma(ref), w_, h_, factor_, sa_.data()) ||
          !fssim::box_shrink_luma(luma(dist), w_, h_, factor_, sb_.data())) {
        // Another factor: the float road over full-size copies.
        fssim::to_float(luma(ref), w_, h_, a_.data());
        fssim::to_float(luma(dist), w_, h_, b_.data());
        fssim::box_shrink(a_.data(), w_, h_, factor_, sa_.data());
        fssim::box_shrink(b_.data(), w_, h_, factor_, sb_.data());
      }
      m = window_.run(sa_.data(), sb_.data(), fssim::shrunk(w_, factor_),
                      fssim::shrunk(h_, factor_));
    } else {
      fssim::to_float(luma(ref), w_, h_, a_.data());
      fssim::to_float(luma(dist), w_, h_, b_.data());
      m = window_.run(a_.data(), b_.data(), w_, h_);
    }
    const double v[4] = {db_ ? to_db(m.ssim, cap_) : double(m.ssim), m.l, m.c, m.s};
    for (size_t i = 0; i < columns_.size(); ++i)
      table->set(columns_[i], pair, v[i]);
    return MetricStatus::kOk;
  }

 private:
  int w_, h_, factor_;
  bool db_;
  double cap_;
  std::vector<std::string> names_;
  std::vector<int> columns_;
  fssim::Window window_;
  std::vector<float> a_, b_, sa_, sb_;
};

// libvmaf's range of the shrink factor, checked when the request is read.
int check_ssim(const MetricOptions& o, std::string* why) {
  const int64_t scale = o.get_int("scale");
  if (scale < 0 || scale > 10) {
    *why = "float_ssim: scale must be between 0 and 10";
    return 0;
  }
  return 1;
}

MetricStatus make_ssim(const PictureForm& f, const MetricOptions& o, uint32_t cpu_flags,
                       std::unique_ptr<Metric>* out, std::string* why) {
  if (!form_ok(f, "float_ssim", why)) return MetricStatus::kUnsupported;
  const int64_t scale = o.get_int("scale");
  const int factor = fssim::ssim_factor(f.width, f.height, int(scale));
  const int w = factor > 1 ? fssim::shrunk(f.width, factor) : f.width;
  const int h = factor > 1 ? fssim::shrunk(f.height, factor) : f.height;
  // libvmaf writes no number (NaN) when no window fits.
  if (w < fssim::kWindow || h < fssim::kWindow) {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "float_ssim: the picture, %dx%d after shrinking by %d, is smaller than its "
                  "11x11 window",
                  w, h, factor);
    *why = buf;
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<SsimMetric>(f, factor, o, fssim::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

std::vector<std::string> ms_ssim_scores(const MetricOptions& o) {
  std::vector<std::string> v = {"float_ms_ssim"};
  if (o.get_bool("enable_lcs"))
    for (const char* t : {"l", "c", "s"})
      for (int s = 0; s < fssim::kScales; ++s)
        v.push_back(std::string("float_ms_ssim_") + t + "_scale" + std::to_string(s));
  return v;
}

// A float_ssim request at full resolution scored from MS-SSIM's finest scale, which is that
// very window over those very floats.
struct FullSsim {
  bool db;
  double cap;
  std::vector<std::string> names;
  std::vector<int> columns;
};

class MsSsimMetric final : public Metric {
 public:
  MsSsimMetric(const PictureForm& f, const MetricOptions& o, const fssim::Kernels& k,
               std::vector<FullSsim> full = {})
      : db_(o.get_bool("enable_db")),
        cap_(max_db(f, o.get_bool("clip_db"))),
        names_(ms_ssim_scores(o)),
        full_(std::move(full)),
        k_(k),
        window_(k) {
    int w = f.width, h = f.height;
    for (int s = 0; s < fssim::kScales; ++s) {
      w_[s] = w;
      h_[s] = h;
      a_[s].resize(size_t(w) * size_t(h));
      b_[s].resize(size_t(w) * size_t(h));
      w = fssim::shrunk(w, 2);
      h = fssim::shrunk(h, 2);
    }
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    if (columns_.empty())
      for (const std::string& n : names_)
        columns_.push_back(table->declare(n));
    fssim::to_float(luma(ref), w_[0], h_[0], a_[0].data());
    fssim::to_float(luma(dist), w_[0], h_[0], b_[0].data());
    for (int s = 1; s < fssim::kScales; ++s) {
      fssim::low_pass_shrink(a_[s - 1].data(), w_[s - 1], h_[s - 1], k_, a_[s].data(), &even_,
                             &odd_);
      fssim::low_pass_shrink(b_[s - 1].data(), w_[s - 1], h_[s - 1], k_, b_[s].data(), &even_,
                             &odd_);
    }
    double ms = 1.0;
    double l[fssim::kScales], c[fssim::kScales], st[fssim::kScales];
    for (int s = 0; s < fssim::kScales; ++s) {
      const fssim::Means m = window_.run(a_[s].data(), b_[s].data(), w_[s], h_[s]);
      if (s == 0)
        for (FullSsim& f : full_) {
          if (f.columns.empty())
            for (const std::string& n : f.names)
              f.columns.push_back(table->declare(n));
          const double fv[4] = {f.db ? to_db(m.ssim, f.cap) : double(m.ssim), m.l, m.c, m.s};
          for (size_t i = 0; i < f.columns.size(); ++i)
            table->set(f.columns[i], pair, fv[i]);
        }
      ms *= std::pow(double(m.l), double(fssim::kMsAlpha[s])) *
            std::pow(double(m.c), double(fssim::kMsBeta[s])) *
            std::pow(double(m.s), double(fssim::kMsBeta[s]));
      l[s] = m.l;
      c[s] = m.c;
      st[s] = m.s;
    }
    std::vector<double> v = {db_ ? to_db(ms, cap_) : ms};
    if (columns_.size() > 1) {
      v.insert(v.end(), l, l + fssim::kScales);
      v.insert(v.end(), c, c + fssim::kScales);
      v.insert(v.end(), st, st + fssim::kScales);
    }
    for (size_t i = 0; i < columns_.size(); ++i)
      table->set(columns_[i], pair, v[i]);
    return MetricStatus::kOk;
  }

 private:
  bool db_;
  double cap_;
  std::vector<std::string> names_;
  std::vector<int> columns_;
  std::vector<FullSsim> full_;
  fssim::Kernels k_;
  fssim::Window window_;
  int w_[fssim::kScales], h_[fssim::kScales];
  std::vector<float> a_[fssim::kScales], b_[fssim::kScales], even_, odd_;
};

MetricStatus make_ms_ssim(const PictureForm& f, const MetricOptions& o, uint32_t cpu_flags,
                          std::unique_ptr<Metric>* out, std::string* why) {
  if (!form_ok(f, "float_ms_ssim", why)) return MetricStatus::kUnsupported;
  if (f.width < fssim::kMinMsSize || f.height < fssim::kMinMsSize) {
    *why =
        "float_ms_ssim: pictures smaller than 176x176 are not scored (its coarsest of five "
        "scales must still hold the 11x11 window)";
    return MetricStatus::kUnsupported;
  }
  *out = std::make_unique<MsSsimMetric>(f, o, fssim::kernels_for(cpu_flags));
  return MetricStatus::kOk;
}

bool ms_ssim_joins(const MetricOptions&, const MetricRequest& other) {
  return std::string_view(other.row->name) == "float_ssim" && other.options.get_int("scale") == 1;
}

MetricStatus make_ms_ssim_joined(const PictureForm& f, const MetricOptions& o,
                                 std::span<const MetricRequest* const> joined, uint32_t cpu_flags,
                                 std::unique_ptr<Metric>* out, std::string* why) {
  // MS-SSIM's form checks are stricter than float_ssim's at full resolution.
  if (!form_ok(f, "float_ms_ssim", why) || f.width < fssim::kMinMsSize ||
      f.height < fssim::kMinMsSize)
    return make_ms_ssim(f, o, cpu_flags, out, why);
  std::vector<FullSsim> full;
  for (const MetricRequest* r : joined)
    full.push_back({r->options.get_bool("enable_db"),
                    max_db(f, r->options.get_bool("clip_db")),
                    ssim_scores(r->options),
                    {}});
  *out = std::make_unique<MsSsimMetric>(f, o, fssim::kernels_for(cpu_flags), std::move(full));
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& float_ssim_metric() {
  static const MetricRow row = [] {
    MetricRow r = {
        "float_ssim", "libvmaf's SSIM: 11x11 Gaussian window, luma, shrunk by default (float_ssim)",
        kSsimOptions, 0,
        ssim_scores,  make_ssim};
    r.check = check_ssim;
    return r;
  }();
  return row;
}

const MetricRow& float_ms_ssim_metric() {
  static const MetricRow row = {
      "float_ms_ssim", "libvmaf's five-scale MS-SSIM of luma (float_ms_ssim)",
      kMsSsimOptions,  0,
      ms_ssim_scores,  make_ms_ssim,
      nullptr,         nullptr,
      ms_ssim_joins,   make_ms_ssim_joined};
  return row;
}

}  // namespace vq
