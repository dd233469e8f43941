// The BD-rate mode: two RD tables read, the summary printed, its rows written to --csv.
#include <cerrno>
#include <cstring>

#include "app/app.h"
#include "app/options.h"

namespace vq {

namespace {

// The first option given that a BD-rate run has no use for; empty when none.
std::string unused_option(const Arguments& a) {
  const std::span<const OutputRow> outputs = output_table();
  for (size_t i = 0; i < outputs.size(); ++i)
    if (a.outputs[i] && std::string_view(outputs[i].option) != "csv")
      return std::string("--") + outputs[i].option;
  for (const LongOption& o : long_options()) {
    const std::string_view name = o.name;
    if (name == "bd-rate" || name == "bd-method") continue;
    const bool given =
        (o.text && a.*o.text) || (o.flag && a.*o.flag) || (o.list && !(a.*o.list).empty());
    if (given) return "--" + std::string(name);
  }
  if (a.verbose) return "-v";
  return {};
}

}  // namespace

int run_bd_rate(const CommandLine& cl, const Console& c) {
  const Arguments& a = cl.args;
  const Settings& s = cl.settings;
  for (const std::string& note : a.notes)
    std::fprintf(c.err, "%s\n", note.c_str());
  if (cl.refusal) {
    std::fprintf(c.err, "vidqual: %s\n", cl.refusal.why.c_str());
    return kExitUsage;
  }
  if (const std::string option = unused_option(a); !option.empty()) {
    std::fprintf(c.err, "vidqual: %s does not apply to --bd-rate ANCHOR TEST\n", option.c_str());
    return kExitUsage;
  }
  if (a.positionals != 2) {
    std::fputs("vidqual: --bd-rate compares two RD tables: vidqual --bd-rate ANCHOR TEST\n", c.err);
    return kExitUsage;
  }
  std::string csv;
  const std::span<const OutputRow> outputs = output_table();
  for (size_t i = 0; i < outputs.size(); ++i)
    if (std::string_view(outputs[i].option) == "csv") csv = s.outputs[i];
  for (const std::string& input : {*s.file1, *s.file2}) {
    if (!csv.empty() && same_file(csv.c_str(), input.c_str())) {
      std::fprintf(c.err, "vidqual: the output [%s] is the input [%s]; nothing was written\n",
                   csv.c_str(), input.c_str());
      return kExitUsage;
    }
  }
  RdTable tables[2];
  BdSummary summary;
  std::string why;
  if (!read_rd_table(*s.file1, &tables[0], &why) || !read_rd_table(*s.file2, &tables[1], &why) ||
      !bd_summary(tables[0], tables[1], s.bd_method, &summary, &why)) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitFailure;
  }
  std::fprintf(c.out,
               "BD-rate of [%s] against [%s] (%s): percent of bitrate at equal quality, "
               "negative where the test needs less\n\n",
               s.file2->c_str(), s.file1->c_str(), bd_method_name(s.bd_method));
  write_bd_text(c.out, summary);
  for (const std::string& line : bd_reasons(summary))
    std::fprintf(c.err, "note: no BD-rate for %s\n", line.c_str());
  if (csv.empty()) return kExitOk;
  OutputFile file;
  int error = 0;
  if (!file.open(csv)) {
    error = file.error();
  } else if (std::fputs(bd_csv(summary).c_str(), file.stream()) < 0) {
    error = errno ? errno : EIO;
  } else if (!file.commit()) {
    error = file.error();
  }
  if (error) {
    std::fprintf(c.err, "vidqual: can't write [%s]: %s\n", csv.c_str(), std::strerror(error));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace vq
