#include <cmath>

#include "compare/compare.h"

namespace vq {

CsvWriter::~CsvWriter() {
  if (file_) std::fclose(file_);
}

int CsvWriter::open(const char* path) {
  file_ = std::fopen(path, "w");
  if (!file_) return 0;
  std::fprintf(file_, "pair,y_psnr,u_psnr,v_psnr,y_mse,u_mse,v_mse\n");
  return 1;
}

void CsvWriter::add_row(int32_t pair, const FrameScore& s) {
  if (!file_) return;
  std::fprintf(file_, "%d,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", pair, s.psnr[0], s.psnr[1],
               s.psnr[2], s.mse[0], s.mse[1], s.mse[2]);
}

// The summary rows keep the seven columns; their first cell names them instead of a pair number:
//   mean              mean of per-pair PSNR (what the report prints) | mean of per-pair MSE
//   psnr_of_mean_mse  PSNR of the mean MSE per plane                 | empty
//   min, max          lowest and highest per-pair PSNR               | empty
//   worst_pair        pair number of the lowest PSNR per plane       | empty
int CsvWriter::finish(const PsnrTotals& totals, const PairStats& stats) {
  if (!file_) return 0;
  if (totals.frames > 0) {
    const double n = double(totals.frames);
    const double mean_psnr[3] = {totals.y_sum / n, totals.u_sum / n, totals.v_sum / n};
    double mean_mse[3];
    for (int p = 0; p < 3; ++p)
      mean_mse[p] = stats.mse_sum[p] / n;
    std::fprintf(file_, "mean,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g\n", mean_psnr[0], mean_psnr[1],
                 mean_psnr[2], mean_mse[0], mean_mse[1], mean_mse[2]);
    std::fprintf(file_, "psnr_of_mean_mse,%.17g,%.17g,%.17g,,,\n", psnr_from_mse(mean_mse[0]),
                 psnr_from_mse(mean_mse[1]), psnr_from_mse(mean_mse[2]));
    std::fprintf(file_, "min,%.17g,%.17g,%.17g,,,\n", stats.psnr_min[0], stats.psnr_min[1],
                 stats.psnr_min[2]);
    std::fprintf(file_, "max,%.17g,%.17g,%.17g,,,\n", stats.psnr_max[0], stats.psnr_max[1],
                 stats.psnr_max[2]);
    std::fprintf(file_, "worst_pair,%d,%d,%d,,,\n", stats.worst_pair[0], stats.worst_pair[1],
                 stats.worst_pair[2]);
  }
  const bool ok = std::ferror(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok && closed ? 1 : 0;
}

}  // namespace vq
