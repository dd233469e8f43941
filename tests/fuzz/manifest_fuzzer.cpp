// Fuzz target for campaigns: any bytes as a manifest through its reader, every line laid over a
// command line and its arguments through the command line's checks, its outputs' names expanded
// and the campaign planned, as the tool does before it opens anything. Requests that name a
// model file are left out, so that nothing is opened.
// Built with libFuzzer by run.sh, and replayed over the seed corpus by the normal test suite.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/app.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vq;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<ManifestLine> lines;
  std::string why;
  if (!parse_manifest(text, &lines, &why)) return 0;
  Arguments base;
  if (scan_arguments({"--manifest=campaign.txt", "--json=results/{index}-{name}.json", "--ssim"},
                     &base))
    __builtin_trap();
  for (const ManifestLine& line : lines) {
    Arguments a;
    if (!line_arguments(base, line, &a, &why)) continue;
    std::erase_if(a.metrics,
                  [](const std::string& m) { return m.find("path:") != std::string::npos; });
    Settings s;
    (void)check_arguments(a, &s);
    for (const auto& output : a.outputs)
      if (output) (void)expand_output_path(*output, line.index, a.file2.value_or(""));
  }
  (void)plan_campaign(base, &lines, &why);
  return 0;
}
