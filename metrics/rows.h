// The registry rows, one function per metric folder, each defined in its folder. Private to
// metrics/: everything else finds a metric through metric_registry() or find_metric().
#pragma once

#include "metrics/metric.h"

namespace vq {

const MetricRow& psnr_metric();
const MetricRow& ssim_metric();
const MetricRow& integer_adm_metric();
const MetricRow& integer_vif_metric();
const MetricRow& integer_motion_metric();
const MetricRow& float_ssim_metric();
const MetricRow& float_ms_ssim_metric();
const MetricRow& cambi_metric();
const MetricRow& psnr_hvs_metric();
const MetricRow& vmaf_metric();
const MetricRow& vmaf_neg_metric();
const MetricRow& ciede_metric();
const MetricRow& speed_chroma_metric();
const MetricRow& ssimulacra2_metric();
const MetricRow& butteraugli_metric();

}  // namespace vq
