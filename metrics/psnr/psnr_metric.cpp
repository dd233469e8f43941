// The `psnr` metric: one read of each plane pair gives its squared error, from which it writes
// libvmaf's scores (psnr_y, psnr_cb, psnr_cr; mse_*, apsnr_* on request) and the written report's
// own (y_psnr, u_psnr, v_psnr, y_mse, u_mse, v_mse), so that the tool's always-on PSNR costs one
// pass over the pictures.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "metrics/psnr/psnr.h"
#include "metrics/rows.h"

namespace vq {
namespace {

constexpr MetricOption kOptions[] = {
    {"enable_chroma", OptionType::kBool, "true", "score the chroma planes too (psnr_cb, psnr_cr)"},
    {"enable_mse", OptionType::kBool, "false",
     "also write each plane's mean squared error (mse_y...)"},
    {"enable_apsnr", OptionType::kBool, "false",
     "also the PSNR of the error summed over all pairs (apsnr_y..., aggregates)"},
    {"reduced_hbd_peak", OptionType::kBool, "false",
     "above 8 bits, peak 255 x 2^(depth-8) instead of 2^depth - 1"},
    {"min_sse", OptionType::kDouble, "0",
     "cap each plane at the PSNR of this summed error (0: cap at 6 x depth + 12 dB)"},
};

// The report's columns, always written: they carry the tool's own formula.
constexpr const char* kReportPsnr[3] = {"y_psnr", "u_psnr", "v_psnr"};
constexpr const char* kReportMse[3] = {"y_mse", "u_mse", "v_mse"};
// libvmaf's names.
constexpr const char* kPsnr[3] = {"psnr_y", "psnr_cb", "psnr_cr"};
constexpr const char* kMse[3] = {"mse_y", "mse_cb", "mse_cr"};
constexpr const char* kApsnr[3] = {"apsnr_y", "apsnr_cb", "apsnr_cr"};
// Per pair, for APSNR: each plane's summed error in two exact halves, and its sample count.
constexpr const char* kSseHigh[3] = {"psnr/sse_high_y", "psnr/sse_high_cb", "psnr/sse_high_cr"};
constexpr const char* kSseLow[3] = {"psnr/sse_low_y", "psnr/sse_low_cb", "psnr/sse_low_cr"};
constexpr const char* kSamples[3] = {"psnr/samples_y", "psnr/samples_cb", "psnr/samples_cr"};

constexpr ScorePlane kPlanes[] = {
    {"y_psnr", "psnr", "Y"}, {"u_psnr", "psnr", "U"},   {"v_psnr", "psnr", "V"},
    {"y_mse", "mse", "Y"},   {"u_mse", "mse", "U"},     {"v_mse", "mse", "V"},
    {"psnr_y", "psnr", "Y"}, {"psnr_cb", "psnr", "Cb"}, {"psnr_cr", "psnr", "Cr"},
    {"mse_y", "mse", "Y"},   {"mse_cb", "mse", "Cb"},   {"mse_cr", "mse", "Cr"},
};

std::vector<std::string> scores(const MetricOptions& o) {
  std::vector<std::string> names;
  for (const char* n : kReportPsnr)
    names.emplace_back(n);
  for (const char* n : kReportMse)
    names.emplace_back(n);
  // In the order libvmaf's log lists them: each plane's PSNR, then its MSE.
  const int planes = o.get_bool("enable_chroma") ? 3 : 1;
  for (int p = 0; p < planes; ++p) {
    names.emplace_back(kPsnr[p]);
    if (o.get_bool("enable_mse")) names.emplace_back(kMse[p]);
  }
  return names;
}

int check(const MetricOptions& o, std::string* why) {
  if (o.get_double("min_sse") < 0) {
    *why = "metric psnr: option min_sse takes a number not below 0";
    return 0;
  }
  return 1;
}

class PsnrMetric final : public Metric {
 public:
  PsnrMetric(const PictureForm& form, const MetricOptions& o, uint32_t cpu_flags)
      : form_(form),
        sums_(select_error_sums(cpu_flags)),
        planes_(form.layout == ChromaLayout::kGray ? 1 : 3),
        chroma_(o.get_bool("enable_chroma") && form.layout != ChromaLayout::kGray),
        mse_(o.get_bool("enable_mse")),
        apsnr_(o.get_bool("enable_apsnr")) {
    const unsigned bpc = unsigned(form.depth);
    peak_ = form.depth == 8                  ? 255u
            : o.get_bool("reduced_hbd_peak") ? 255u << (bpc - 8)
                                             : (1u << bpc) - 1;
    const double min_sse = o.get_double("min_sse");
    // libvmaf halves the luma size (rounding down) for a subsampled plane's count here, whatever
    // the plane's own size.
    const bool sub_h = form.layout != ChromaLayout::k444;
    const bool sub_v = form.layout == ChromaLayout::k420;
    for (unsigned p = 0; p < 3; ++p) {
      if (min_sse != 0.0) {
        const unsigned w = unsigned(form.width), h = unsigned(form.height);
        const double mse =
            min_sse / double(((p && sub_h) ? w / 2 : w) * ((p && sub_v) ? h / 2 : h));
        cap_[p] = std::ceil(10. * std::log10(double(peak_ * peak_) / mse));
      } else {
        cap_[p] = double(6 * bpc + 12);
      }
    }
  }

  MetricStatus score(int32_t pair, const Picture& ref, const Picture& dist,
                     ScoreTable* table) override {
    PlaneErrors e;
    for (int p = 0; p < planes_; ++p) {
      const int32_t w = p ? form_.chroma_width : form_.width;
      const int32_t h = p ? form_.chroma_height : form_.height;
      e.sse[p] = plane_squared_error(sums_, ref.plane[p], ref.pitch[p], dist.plane[p],
                                     dist.pitch[p], w, h, form_.depth);
      e.samples[p] = uint64_t(std::max(w, 0)) * uint64_t(std::max(h, 0));
    }
    write(pair, e, table);
    return MetricStatus::kOk;
  }

  // A pair's scores from its planes' errors.
  void write(int32_t pair, const PlaneErrors& e, ScoreTable* table) {
    if (!columns_) find_columns(table);
    for (int p = 0; p < 3; ++p) {
      const double n = double(e.samples[p]);
      // Luma divides, chroma multiplies by the reciprocal: the report's arithmetic since its
      // first version, kept so that its digits never change. No samples: no error.
      double mse;
      if (p == 0) {
        mse = double(e.sse[p]) / n;
      } else {
        const double r = 1.0 / n;
        mse = e.samples[p] ? double(e.sse[p]) * r : 0.0;
      }
      table->set(report_psnr_[p], pair, psnr_from_mse(mse, form_.depth));
      table->set(report_mse_[p], pair, mse);
    }
    const int planes = chroma_ ? 3 : 1;
    for (int p = 0; p < planes; ++p) {
      if (e.samples[p] == 0) continue;  // a plane without samples has no libvmaf score
      const double mse = double(e.sse[p]) / double(e.samples[p]);
      const double psnr =
          std::min(10. * std::log10(double(peak_ * peak_) / std::max(mse, 1e-16)), cap_[p]);
      table->set(psnr_[p], pair, psnr);
      if (mse_) table->set(mse_col_[p], pair, mse);
      if (apsnr_) {
        table->set(sse_high_[p], pair, double(e.sse[p] >> 32));
        table->set(sse_low_[p], pair, double(e.sse[p] & 0xffffffffu));
        table->set(samples_[p], pair, double(e.samples[p]));
      }
    }
  }

  MetricStatus flush(ScoreTable* table) override {
    if (!columns_) find_columns(table);
    const int32_t rows = table->rows();
    // The report's PSNR of the mean squared error, by its own formula.
    for (int p = 0; p < 3; ++p) {
      const Pooled pooled = table->pool(report_mse_[p]);
      if (pooled.count == 0) break;
      table->set_aggregate(std::string(kReportPsnr[p]) + "_of_mean_mse",
                           psnr_from_mse(pooled.mean, form_.depth));
    }
    if (!apsnr_) return MetricStatus::kOk;
    const int planes = chroma_ ? 3 : 1;
    for (int p = 0; p < planes; ++p) {
      // Unsigned sums that wrap as libvmaf's do.
      uint64_t sse = 0, n = 0;
      bool any = false;
      for (int32_t i = 0; i < rows; ++i) {
        double high, low, samples;
        if (!table->get(sse_high_[p], i, &high) || !table->get(sse_low_[p], i, &low) ||
            !table->get(samples_[p], i, &samples))
          continue;
        sse += uint64_t(high) << 32 | uint64_t(low);
        n += uint64_t(samples);
        any = true;
      }
      if (!any) continue;
      const uint32_t peak2 = peak_ * peak_;
      const double apsnr =
          10 * (std::log10(double(peak2)) + std::log10(double(n)) - std::log10(double(sse)));
      const double most = std::ceil(10 * std::log10(double(uint64_t(peak2) * n * 2)));
      table->set_aggregate(kApsnr[p], apsnr < most ? apsnr : most);
    }
    return MetricStatus::kOk;
  }

 private:
  void find_columns(ScoreTable* table) {
    for (int p = 0; p < 3; ++p) {
      report_psnr_[p] = table->declare(kReportPsnr[p]);
      report_mse_[p] = table->declare(kReportMse[p]);
    }
    const int planes = chroma_ ? 3 : 1;
    for (int p = 0; p < planes; ++p) {
      psnr_[p] = table->declare(kPsnr[p]);
      if (mse_) mse_col_[p] = table->declare(kMse[p]);
      if (apsnr_) {
        sse_high_[p] = table->declare_hidden(kSseHigh[p]);
        sse_low_[p] = table->declare_hidden(kSseLow[p]);
        samples_[p] = table->declare_hidden(kSamples[p]);
      }
    }
    columns_ = true;
  }

  PictureForm form_;
  ErrorSums sums_;
  int planes_;
  bool chroma_, mse_, apsnr_;
  uint32_t peak_ = 255;
  double cap_[3] = {60, 60, 60};
  bool columns_ = false;
  int report_psnr_[3] = {-1, -1, -1}, report_mse_[3] = {-1, -1, -1};
  int psnr_[3] = {-1, -1, -1}, mse_col_[3] = {-1, -1, -1};
  int sse_high_[3] = {-1, -1, -1}, sse_low_[3] = {-1, -1, -1}, samples_[3] = {-1, -1, -1};
};

MetricStatus make(const PictureForm& form, const MetricOptions& options, uint32_t cpu_flags,
                  std::unique_ptr<Metric>* out, std::string* why) {
  // libvmaf reads 8, 10, 12 and 16 bits; the depths between are scored by the same formulas,
  // since the report needs its PSNR at every depth the readers give.
  if (form.depth < 8 || form.depth > 16) {
    *why = "psnr scores samples of 8 to 16 bits, not " + std::to_string(form.depth);
    return MetricStatus::kUnsupported;
  }
  std::unique_ptr<Metric> m(new (std::nothrow) PsnrMetric(form, options, cpu_flags));
  if (!m) return MetricStatus::kOutOfMemory;
  *out = std::move(m);
  return MetricStatus::kOk;
}

}  // namespace

const MetricRow& psnr_metric() {
  static const MetricRow row = [] {
    MetricRow s{"psnr",
                "libvmaf's PSNR of Y, Cb, Cr (psnr_y...), and the report's y_psnr, u_psnr, "
                "v_psnr (always computed)",
                kOptions,
                kMetricLight,
                scores,
                make};
    s.check = check;
    s.planes = kPlanes;
    return s;
  }();
  return row;
}

}  // namespace vq
