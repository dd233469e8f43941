#include <new>

#include "report/report.h"

namespace vq {
namespace {

// One row per compared pair, as the run delivers them; nothing after the last.
class CsvReport final : public Report {
 public:
  explicit CsvReport(bool ssim) : ssim_(ssim) {}

  void on_pair(int32_t pair, const FrameScore& s) override {
    std::FILE* f = stream();
    if (!f) return;
    std::fprintf(f, "%d,%.17g,%.17g,%.17g,%.17g,%.17g,%.17g", pair, s.psnr[0], s.psnr[1], s.psnr[2],
                 s.mse[0], s.mse[1], s.mse[2]);
    if (ssim_ && s.has_ssim) {
      std::fprintf(f, ",%.17g,%.17g,%.17g,%.17g", s.ssim[0], s.ssim[1], s.ssim[2], s.ssim[3]);
    } else if (ssim_) {
      std::fputs(",,,,", f);
    }
    std::fprintf(f, ",%d,%s\n", s.depth, chroma_layout_name(s.layout));
  }

 private:
  int begin(std::FILE* f) override {
    std::fputs("pair,y_psnr,u_psnr,v_psnr,y_mse,u_mse,v_mse", f);
    if (ssim_) std::fputs(",y_ssim,u_ssim,v_ssim,all_ssim", f);
    return std::fputs(",depth,chroma\n", f) != EOF;
  }

  bool ssim_;
};

}  // namespace

std::unique_ptr<Report> make_csv_report(bool ssim) {
  return std::unique_ptr<Report>(new (std::nothrow) CsvReport(ssim));
}

}  // namespace vq
