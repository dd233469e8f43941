#include <algorithm>
#include <memory>

#include "avi/avi.h"
#include "compare/compare.h"

namespace vq {

void add_pair(PsnrTotals* totals, PairStats* stats, const FrameScore& score) {
  const int32_t pair = totals->frames + 1;
  totals->y_sum += score.psnr[0];
  totals->u_sum += score.psnr[1];
  totals->v_sum += score.psnr[2];
  totals->frames = pair;
  for (int p = 0; p < 3; ++p) {
    stats->mse_sum[p] += score.mse[p];
    if (pair == 1 || score.psnr[p] < stats->psnr_min[p]) {
      stats->psnr_min[p] = score.psnr[p];
      stats->worst_pair[p] = pair;
    }
    if (pair == 1 || score.psnr[p] > stats->psnr_max[p]) stats->psnr_max[p] = score.psnr[p];
  }
}

void print_report(const PsnrTotals& totals, std::FILE* out) {
  const double n = double(totals.frames);
  std::fprintf(out, "[PSNR]\n");
  std::fprintf(out, "PsnrY   \t%3.2f\n", totals.frames ? totals.y_sum / n : 0.0);
  std::fprintf(out, "PsnrU   \t%3.2f\n", totals.frames ? totals.u_sum / n : 0.0);
  std::fprintf(out, "PsnrV   \t%3.2f\n", totals.frames ? totals.v_sum / n : 0.0);
}

int comparison_run(const RunSettings& settings, std::FILE* out, RunResult* result) {
  RunResult r;
  auto source1 = std::make_unique<AviVideoSource>();
  if (!source1->open(settings.path1)) {
    std::fprintf(out, "ERROR: can't open AVI file [%s]\n", settings.path1);
    return 0;
  }
  auto source2 = std::make_unique<AviVideoSource>();
  if (!source2->open(settings.path2)) {
    std::fprintf(out, "ERROR: can't open AVI file [%s]\n", settings.path2);
    source2.reset();
    source1.reset();
    return 0;
  }

  r.length1 = source1->length();
  r.length2 = source2->length();
  const int32_t limit = settings.maxframes < 1 ? r.length1 : settings.maxframes;
  r.pair_count = std::min(std::min(r.length1, limit), r.length2);
  if (settings.on_start) settings.on_start(r.pair_count);

  for (int32_t i = 0; i < r.pair_count; ++i) {
    DibFrame a, b;
    if (!source1->get_frame(i, &a)) {
      std::fprintf(out, "ERROR: can't read frame %d of AVI file [%s]\n", i + 1, settings.path1);
      r.failed = true;
      break;
    }
    if (!source2->get_frame(i, &b)) {
      std::fprintf(out, "ERROR: can't read frame %d of AVI file [%s]\n", i + 1, settings.path2);
      r.failed = true;
      break;
    }
    FrameScore score;
    if (frame_score(a, b, &score) != 1) {
      std::fprintf(out, "ERROR: unsupported AVI format\n");
      r.failed = true;
      break;
    }
    add_pair(&r.totals, &r.stats, score);
    if (settings.verbose) {
      std::fprintf(out, "%3d: \t%3.2f \t%3.2f \t%3.2f\n", r.totals.frames, score.psnr[0],
                   score.psnr[1], score.psnr[2]);
    }
    if (settings.on_pair) settings.on_pair(r.totals.frames, score);
  }
  r.compared = r.totals.frames;

  if (settings.before_report) settings.before_report();
  print_report(r.totals, out);
  source2.reset();
  source1.reset();
  *result = r;
  return 1;
}

}  // namespace vq
