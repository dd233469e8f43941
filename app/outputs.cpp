// The table of output files: one row per output, which the scan, the modes, the manifest and
// --help iterate; and the check that no output lands on a file the run reads or on another.
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

std::vector<std::string> model_files(const std::vector<MetricRequest>& metrics) {
  std::vector<std::string> files;
  for (const MetricRequest& r : metrics)
    for (const MetricOptions::Value& v : r.options.values)
      if (v.type == OptionType::kString && v.text.starts_with("path:") && v.text.size() > 5)
        files.push_back(v.text.substr(5));
  return files;
}

std::string output_clash(const std::vector<ReadFile>& reads,
                         const std::vector<std::string>& outputs) {
  constexpr int kRead = 0, kWritten = 1;
  FileSet files;
  for (size_t i = 0; i < reads.size(); ++i)
    files.add(files.key(reads[i].path), int(i), kRead);
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].empty()) continue;
    const FileSet::Key key = files.key(outputs[i]);
    if (const int r = files.find(key, kRead); r >= 0)
      return read_clash_text(outputs[i], reads[size_t(r)]);
    if (const int o = files.find(key, kWritten); o >= 0)
      return "[" + outputs[size_t(o)] + "] and [" + outputs[i] +
             "] are one file; nothing was written";
    files.add(key, int(i), kWritten);
  }
  return {};
}

std::string read_clash_text(const std::string& output, const ReadFile& read) {
  return "the output [" + output + "] is the " + read.what + " [" + read.path +
         "]; nothing was written";
}

}  // namespace vq
