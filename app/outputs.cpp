// The table of output files: one row per output, which the scan, the modes, the manifest and
// --help iterate.
#include <array>

#include "app/app.h"

namespace vq {

namespace {

bool always() {
  return true;
}

const std::array kOutputs = {
    OutputRow{"csv", "FILE", "write one row per compared pair to FILE (CSV)", make_csv_report,
              always, ""},
    OutputRow{"json", "FILE", "write the run and its pairs to FILE as JSON", make_json_report,
              json_available, "this build has no JSON library"},
    OutputRow{"xml", "FILE", "write the run's scores to FILE in libvmaf's XML report layout",
              make_xml_report, always, ""},
    OutputRow{"html", "FILE", "write a page with charts and the worst pairs to FILE (HTML)",
              make_html_report, png_available, "this build has no PNG library (libpng)"},
};

}  // namespace

std::span<const OutputRow> output_table() {
  return kOutputs;
}

}  // namespace vq
