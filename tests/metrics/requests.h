// Test helpers: picture forms, planes of samples stored either way up, and a metric request read
// from its text and made for one picture form, as a run reads and makes it, told as one outcome
// a table row can name.
#pragma once

#include <cstdint>
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

// A plane of w x h samples as a picture stores it: rows of bytes (one a sample at 8 bits, two
// little-endian above), `pitch` from each to the next, negative when stored bottom up.
struct Stored {
  std::vector<uint8_t> bytes;
  ptrdiff_t pitch = 0;
  int w = 0, h = 0, depth = 8;
  const uint8_t* top() const {  // the picture's top row
    return pitch < 0 ? bytes.data() + bytes.size() + pitch : bytes.data();
  }
  vq::Picture luma() const {  // a picture of this plane as its luma, no chroma
    vq::Picture p;
    p.depth = depth;
    p.width = w;
    p.height = h;
    p.plane[0] = top();
    p.pitch[0] = pitch;
    return p;
  }
};

// The w x h `samples` (top row first) of `depth` bits in rows of `pad` bytes (0xEE) more than
// they need, the top row stored first or, when `up`, last.
inline Stored store(const std::vector<uint16_t>& samples, int w, int h, int depth, int pad = 0,
                    bool up = false) {
  const int bpp = sample_bytes(depth);
  const ptrdiff_t stride = ptrdiff_t(w) * bpp + pad;
  Stored s{std::vector<uint8_t>(size_t(stride) * size_t(h), 0xEE), up ? -stride : stride, w, h,
           depth};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int b = 0; b < bpp; ++b)
        s.bytes[size_t((up ? h - 1 - y : y) * stride + x * bpp + b)] =
            uint8_t(samples[size_t(y) * size_t(w) + size_t(x)] >> (8 * b));
  return s;
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
