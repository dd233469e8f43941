// The HTML page and its building blocks: PNG encoding (libpng, when the build found it), base64,
// pictures for people, the error map and its colour scale, and the keeper of the worst pairs. The
// page is one self-contained file (inline style, inline SVG charts, pictures embedded as PNG data:
// URIs; no script, no network) showing the two inputs, the summary, a chart per score family and
// the worst pairs side by side with an error map. It reads the score table and nothing of a run.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bdrate/bdrate.h"
#include "decode/decode.h"
#include "score/score.h"
#include "video/video.h"

namespace vq {

// ---- HTML building blocks ---------------------------------------------------------------------

// Appends printf-formatted text to `out`.
void appendf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends `text` with &, <, >, " and ' written as HTML entities.
void append_escaped(std::string* out, std::string_view text);
// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts` pieces, and the
// decimals that print it.
[[nodiscard]] double nice_step(double range, int parts);
[[nodiscard]] int decimals_for(double step);
// The pages' one style sheet.
extern const char* const kPageStyle;

// ---- PNG and data: URIs --------------------------------------------------------------------

// Whether this build can write PNG images (libpng was found); without them there is no report.
[[nodiscard]] bool png_available();

// Encodes an RGB24 image (R, G, B bytes, top row first, rows `pitch` bytes apart) as a PNG file
// in memory. 1 and `out` replaced on success; 0, `out` untouched, without libpng, for an empty
// image, or when memory runs out.
[[nodiscard]] int encode_png_rgb24(const uint8_t* rgb, int32_t width, int32_t height,
                                   ptrdiff_t pitch, std::string* out);

// The same for an image of 8-bit indices into `palette` (256 RGB entries): a palette PNG, a
// third of the data to compress.
[[nodiscard]] int encode_png_indexed(const uint8_t* index, int32_t width, int32_t height,
                                     ptrdiff_t pitch, const uint8_t* palette, std::string* out);

// Appends the base64 form of `bytes` (RFC 4648 alphabet, '=' padding) to `out`; 0 when memory
// runs out (`out` may then hold part of it).
[[nodiscard]] int append_base64(std::string_view bytes, std::string* out);

// ---- Pictures for people --------------------------------------------------------------------

// A picture of any depth and chroma layout as 8-bit RGB24 (top row first, rows 3 x width):
// samples above 8 bits are scaled down, full-range samples mapped to studio range, a gray
// picture gets neutral chroma, then planar420_to_rgb24 converts. 0 when memory runs out or the
// picture is empty.
[[nodiscard]] int picture_to_rgb24(const Picture& picture, std::vector<uint8_t>* rgb);

// The error map's gain: each absolute luma difference (in 8-bit units) is multiplied by it and
// clamped to 255, so differences of 0 to 63 spread over the whole colour scale.
inline constexpr int kErrorMapGain = 4;

// The error map's colour scale: 256 RGB entries (768 bytes), dark blue through green to yellow,
// lightness rising with the index (a polynomial fit of the viridis scale).
[[nodiscard]] const uint8_t* error_colour_scale();

// The gallery shows each picture at about a third of a 1000-pixel column, so it keeps pictures
// at most this wide: reduced by the integer factor ceil(width / kGalleryWidth).
inline constexpr int32_t kGalleryWidth = 640;
[[nodiscard]] constexpr int gallery_factor(int32_t width, int32_t max_width = kGalleryWidth) {
  return width > max_width && max_width > 0 ? int((width + max_width - 1) / max_width) : 1;
}

// ---- The worst pairs --------------------------------------------------------------------------

// A reduced 8-bit copy of a picture: each plane averaged over factor x factor blocks (the last
// ones cut at the edges), samples above 8 bits scaled down, into this object's own buffers, which
// a later copy reuses. Layout and range stay as they were; chroma planes are reduced by the same
// factor, so they keep their relation to the luma plane.
class PictureCopy {
 public:
  PictureCopy() = default;
  PictureCopy(const PictureCopy&) = delete;  // the picture points into this object's buffers
  PictureCopy& operator=(const PictureCopy&) = delete;
  PictureCopy(PictureCopy&&) noexcept = default;
  PictureCopy& operator=(PictureCopy&&) noexcept = default;
  // 1 when copied; 0 when memory runs out (the copy then holds no picture).
  [[nodiscard]] int assign(const Picture& picture, int factor = 1);
  // The copy as a picture (pointers into this object; valid until the next assign()).
  [[nodiscard]] const Picture& picture() const { return picture_; }

 private:
  Picture picture_;
  std::vector<uint8_t> plane_[3];
  std::vector<uint32_t> sums_;  // one row of column sums
};

// The error map of two pictures of one size, reduced by `factor`: per factor x factor block (the
// last ones cut at the edges), the largest absolute difference of the luma samples (in 8-bit
// units; the largest, so that a small error is not averaged away), amplified by kErrorMapGain and
// clamped to 255: an index into the colour scale. Its buffers are reused by the next assign().
class ErrorMap {
 public:
  // 1 when made; 0, the map empty, when the sizes or depths differ or the pictures are empty;
  // -1, the map empty, when memory runs out.
  [[nodiscard]] int assign(const Picture& a, const Picture& b, int factor = 1);
  [[nodiscard]] bool empty() const { return width_ == 0; }
  [[nodiscard]] int32_t width() const { return width_; }  // ceil(width / factor)
  [[nodiscard]] int32_t height() const { return height_; }
  // width() x height() levels, row by row.
  [[nodiscard]] const uint8_t* levels() const { return levels_.data(); }

 private:
  int32_t width_ = 0, height_ = 0;
  std::vector<uint8_t> levels_;
  std::vector<uint16_t> row_;  // one row of column maxima
};

// A pair kept for the gallery: its 1-based number, the value it is ranked by, both pictures
// reduced by `factor` and the error map of the full pictures (empty when their sizes or depths
// differ).
struct WorstPair {
  int32_t pair = 0;
  double value = 0;
  int factor = 1;
  PictureCopy a, b;
  ErrorMap error;
};

// Keeps the `capacity` pairs with the lowest values, worst first (ties: the earlier pair first
// and kept). A pair that does not enter costs one comparison; a pair that enters costs reduced
// copies of its two pictures and its error map, into the buffers of the pair it pushes out.
// Pictures are reduced to at most `max_width` samples wide (gallery_factor).
class WorstPairs {
 public:
  explicit WorstPairs(int capacity, int32_t max_width = kGalleryWidth)
      : capacity_(capacity > 0 ? capacity : 0),
        max_width_(max_width),
        bar_(capacity > 0 ? INFINITY : -INFINITY) {}
  // Whether a pair of this value would enter the list (so the caller can skip building pictures).
  [[nodiscard]] bool wants(double value) const { return value <= bar_; }
  // Offers a compared pair. 1 when kept, 0 when it does not enter, -1 when memory runs out (the
  // list then holds the pairs it held, less the one being replaced).
  [[nodiscard]] int offer(int32_t pair, double value, const Picture& a, const Picture& b);
  // The same for a pair kept by its number and value alone, without pictures.
  [[nodiscard]] int offer(int32_t pair, double value);
  [[nodiscard]] const std::vector<WorstPair>& pairs() const { return pairs_; }
  [[nodiscard]] int capacity() const { return capacity_; }

 private:
  void update_bar();
  int keep(int32_t pair, double value, const Picture* a, const Picture* b);
  int capacity_;
  int32_t max_width_;
  // The highest value that enters: any value while there is room, just below the best kept
  // pair's once full (so that a tie stays out), none without room at all.
  double bar_;
  std::vector<WorstPair> pairs_;  // sorted worst first
};

// ---- The page ---------------------------------------------------------------------------------

// One input as the page describes it.
struct HtmlInput {
  std::string path;
  SourceInfo info;
  // The size its pictures were scaled to before they were scored, and the filter; 0 x 0 when
  // they were scored as they are.
  int32_t scaled_width = 0;
  int32_t scaled_height = 0;
  ScaleFilter scale = ScaleFilter::kNone;
};

// Everything the page shows.
struct HtmlReport {
  std::string title = "Video comparison";
  std::string generator;  // e.g. "vidqual 1.3.1.4", shown at the foot of the page
  HtmlInput input[2];
  std::string compared;  // what was compared, in words (frames, planes, metrics)
  int32_t pairs_asked = 0;
  int32_t pairs_compared = 0;
  const ScoreTable* table = nullptr;  // required: every pair's values
  // The columns shown: one chart per family (as the table describes each column: y_psnr and
  // psnr_y are both "psnr"), one summary row each. Columns the table does not have are left out.
  std::vector<std::string> columns;
  std::string ranked;                 // what the worst pairs are ranked by
  const WorstPairs* worst = nullptr;  // optional: no gallery without it
};

// Writes the page into `out`. 1 on success; 0, `out` untouched, without libpng, without a
// table, or when memory runs out.
[[nodiscard]] int write_html_report(const HtmlReport& report, std::string* out);

// Width in pixels of a chart's plotting area: a run with more pairs than this is drawn as the
// minimum and maximum of each pixel column.
inline constexpr int kChartColumns = 900;

// ---- The BD-rate page ---------------------------------------------------------------------------

// The BD-rate summary of `test` against `anchor` as one self-contained page: the table (four
// decimals; an empty cell tells its reason on hover), then per sequence a chart per metric of the
// anchor's and the test's RD curves, quality against rate on a log axis, a ladder's encodes as
// rings and its hulls as the lines. 1; 0, `out` untouched, when memory runs out.
[[nodiscard]] int write_bd_html(const BdSummary& summary, const std::string& anchor,
                                const std::string& test, const std::string& generator,
                                std::string* out);

}  // namespace vq
