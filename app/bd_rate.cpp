// The BD-rate mode: two RD tables read, the summary printed, and written to --csv, --json and
// --html.
#include <cerrno>
#include <cstring>

#include "app/app.h"
#include "app/options.h"
#include "page/page.h"

namespace vq {

namespace {

// The first option given that a BD-rate run has no use for; empty when none.
std::string unused_option(const Arguments& a) {
  const std::span<const OutputRow> outputs = output_table();
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string_view option = outputs[i].option;
    if (a.outputs[i] && option != "csv" && option != "json" && option != "html")
      return std::string("--") + outputs[i].option;
  }
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
  RdTable tables[2];
  BdSummary summary;
  std::string why;
  if (!read_rd_table(*s.file1, &tables[0], &why) || !read_rd_table(*s.file2, &tables[1], &why) ||
      !bd_summary(tables[0], tables[1], s.bd_method, &summary, &why)) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitFailure;
  }
  // No output lands on a table or a document read, nor on another output.
  std::vector<ReadFile> reads = {{*s.file1, "input"}, {*s.file2, "input"}};
  for (const RdTable& t : tables)
    for (const RdRow& row : t.rows)
      if (!row.file.empty()) reads.push_back({row.file, "input"});
  if (const std::string why = output_clash(reads, s.outputs); !why.empty()) {
    std::fprintf(c.err, "vidqual: %s\n", why.c_str());
    return kExitUsage;
  }
  std::fprintf(c.out,
               "BD-rate of [%s] against [%s] (%s): percent of bitrate at equal quality, "
               "negative where the test needs less\n\n",
               s.file2->c_str(), s.file1->c_str(), bd_method_name(s.bd_method));
  write_bd_text(c.out, summary);
  for (const std::string& line : bd_reasons(summary))
    std::fprintf(c.err, "note: no BD-rate for %s\n", line.c_str());
  const std::span<const OutputRow> outputs = output_table();
  int status = kExitOk;
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string& path = s.outputs[i];
    if (path.empty()) continue;
    const std::string_view option = outputs[i].option;
    std::string text;
    int made = 1;
    if (option == "csv") {
      text = bd_csv(summary);
    } else if (option == "json") {
      made = bd_json(summary, *s.file1, *s.file2, &text);
    } else {
      ProductVersion v;
      if (!read_own_product_version(&v)) v = ProductVersion{};
      const std::string generator = "vidqual " + std::to_string(v.part[0]) + "." +
                                    std::to_string(v.part[1]) + "." + std::to_string(v.part[2]) +
                                    "." + std::to_string(v.part[3]);
      made = write_bd_html(summary, *s.file1, *s.file2, generator, &text);
    }
    OutputFile file;
    int error = 0;
    if (!made) {
      error = ENOMEM;
    } else if (!file.open(path)) {
      error = file.error();
    } else if (std::fwrite(text.data(), 1, text.size(), file.stream()) != text.size()) {
      error = errno ? errno : EIO;
    } else if (!file.commit()) {
      error = file.error();
    }
    if (error) {
      std::fprintf(c.err, "vidqual: can't write [%s]: %s\n", path.c_str(), std::strerror(error));
      status = kExitFailure;
    }
  }
  return status;
}

}  // namespace vq
