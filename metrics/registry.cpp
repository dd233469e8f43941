// The registry: every metric, one row each, in the order --help lists them. A new metric is its
// folder under metrics/ (with a function that returns its row) and one line here.
#include <vector>

#include "metrics/rows.h"

namespace vq {

// Each metric folder's row, declared in metrics/rows.h.
std::span<const MetricRow> metric_registry() {
  // Built on first use, after every metric's own statics. One row a line.
  // clang-format off
  static const std::vector<MetricRow> kRows = {
      psnr_metric(),
      ssim_metric(),
      integer_adm_metric(),
      integer_vif_metric(),
      integer_motion_metric(),
      float_ssim_metric(),
      float_ms_ssim_metric(),
      cambi_metric(),
      psnr_hvs_metric(),
      vmaf_metric(),
      vmaf_neg_metric(),
      ciede_metric(),
      speed_chroma_metric(),
      ssimulacra2_metric(),
      butteraugli_metric(),
  };
  // clang-format on
  return kRows;
}

ScoreInfo describe_score(const MetricRow& row, std::string_view name) {
  for (const ScorePlane& p : row.planes)
    if (name == p.name) return plane_score(name, p.family, p.plane);
  return whole_score(name);
}

}  // namespace vq
