// The registry rows, one function per metric folder, each defined in its folder. Private to
// metrics/: everything else finds a metric through metric_registry() or find_metric().
#pragma once

#include "metrics/metric.h"

namespace vq {

// const MetricRow& psnr_metric();   (one line per metric, as they are added)
const MetricRow& cambi_metric();

}  // namespace vq
