// Test helper: a metric request read from its text and made for one picture form, as a run
// reads and makes it, told as one outcome a table row can name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "metrics/metric.h"

namespace vq::test {

// The form of w x h pictures at `depth` bits, chroma planes as `layout` sizes them.
inline PictureForm form(int width, int height, int depth = 8,
                        ChromaLayout layout = ChromaLayout::k420) {
  const PlaneSize c = chroma_size(layout, width, height);
  return {.width = width,
          .height = height,
          .chroma_width = c.width,
          .chroma_height = c.height,
          .depth = depth,
          .layout = layout};
}

// The outcomes that are not a first score name.
inline constexpr char kRefusedWhenRead[] = "(refused when read)";
inline constexpr char kRefusedForForm[] = "(refused for the picture form)";

struct Asked {
  std::string first;                // the first score's name, or one of the refusals above
  std::vector<std::string> scores;  // every score's name, when read
  std::string why;                  // the refusal's reason
  std::string what;                 // the request and the form, to name a failing row
};

// Reads `request` and makes its metric for pictures of `width` x `height` at `depth` bits
// (4:2:0 chroma unless told), scalar kernels.
inline Asked ask(const std::string& request, int width = 64, int height = 64, int depth = 8,
                 ChromaLayout layout = ChromaLayout::k420) {
  Asked a;
  a.what = request + " " + std::to_string(width) + "x" + std::to_string(height) + " depth " +
           std::to_string(depth) + " " + chroma_layout_name(layout);
  MetricRequest r;
  if (!parse_metric_request(request, &r, &a.why)) {
    a.first = kRefusedWhenRead;
    return a;
  }
  a.scores = r.row->scores(r.options);
  std::unique_ptr<Metric> m;
  const MetricStatus s = r.row->make(form(width, height, depth, layout), r.options, 0, &m, &a.why);
  a.first = s == MetricStatus::kOk            ? a.scores.at(0)
            : s == MetricStatus::kUnsupported ? kRefusedForForm
                                              : "(status " + std::to_string(int(s)) + ")";
  if (s == MetricStatus::kOk && m == nullptr) a.first = "(made nothing)";
  return a;
}

}  // namespace vq::test
