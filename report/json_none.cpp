// Built without a JSON library: --json is refused before the run.
#include "report/report.h"

namespace vq {

bool json_available() {
  return false;
}

std::unique_ptr<Report> make_json_report(const RunDescription&) {
  return nullptr;
}

}  // namespace vq
