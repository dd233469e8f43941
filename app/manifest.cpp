// The manifest of a campaign: its lines read into arguments, the arguments of each line laid over
// those of the command line, and the outputs of every line worked out before any is run.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "app/app.h"
#include "app/options.h"

namespace vq {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// One line's arguments: 1, or 0 with `why` when a double quote is left open.
int split_line(std::string_view line, std::vector<std::string>* out, std::string* why) {
  size_t i = 0;
  while (true) {
    while (i < line.size() && is_blank(line[i]))
      ++i;
    if (i == line.size()) return 1;
    std::string arg;
    bool quoted = false;
    for (; i < line.size() && (quoted || !is_blank(line[i])); ++i) {
      const char c = line[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (quoted && c == '\\' && i + 1 < line.size() &&
                 (line[i + 1] == '"' || line[i + 1] == '\\')) {
        arg += line[++i];
      } else {
        arg += c;
      }
    }
    if (quoted) {
      *why = "a double quote is not closed";
      return 0;
    }
    out->push_back(std::move(arg));
  }
}

std::string at(const ManifestLine& line) {
  return "manifest line " + std::to_string(line.line_number) + " (index " +
         std::to_string(line.index) + ")";
}

// The output options as a line that names none is told them: "--json=FILE, --csv=FILE, ... or
// --html=FILE", the JSON document (what campaigns are mostly run for) first.
std::string output_options() {
  std::vector<std::string> named;
  for (const OutputRow& o : output_table())
    named.push_back(std::string("--") + o.option + "=" + o.value);
  std::stable_partition(named.begin(), named.end(),
                        [](const std::string& n) { return n.starts_with("--json="); });
  std::string text;
  for (size_t i = 0; i < named.size(); ++i)
    text += (i == 0 ? "" : i + 1 == named.size() ? " or " : ", ") + named[i];
  return text;
}

}  // namespace

int parse_manifest(std::string_view text, std::vector<ManifestLine>* out, std::string* why) {
  if (int64_t(text.size()) > kManifestMaxBytes) {
    *why = "the manifest is larger than " + std::to_string(kManifestMaxBytes >> 20) + " MiB";
    return 0;
  }
  std::vector<ManifestLine> lines;
  // A UTF-8 byte-order mark, as some editors write one, is not part of the first line.
  size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  int number = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view raw = text.substr(pos, end - pos);
    pos = end + 1;
    if (++number > kManifestMaxLines) {
      *why = "the manifest has more than " + std::to_string(kManifestMaxLines) + " lines";
      return 0;
    }
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    const std::string line_at = "manifest line " + std::to_string(number);
    if (raw.find('\0') != std::string_view::npos) {
      *why = line_at + ": holds a NUL byte";
      return 0;
    }
    size_t first = 0;
    while (first < raw.size() && is_blank(raw[first]))
      ++first;
    if (first == raw.size() || raw[first] == '#') continue;
    ManifestLine line;
    line.index = int(lines.size());
    line.line_number = number;
    std::string reason;
    if (!split_line(raw, &line.args, &reason)) {
      *why = line_at + ": " + reason;
      return 0;
    }
    lines.push_back(std::move(line));
  }
  if (lines.empty()) {
    *why = "the manifest has no comparison lines";
    return 0;
  }
  *out = std::move(lines);
  return 1;
}

int read_manifest(const std::string& path, std::vector<ManifestLine>* out, std::string* why) {
  const std::string named = "[" + path + "]";
  struct stat st;
  const int error = ::stat(path.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error) {
    *why = "can't read the manifest " + named + ": " + std::strerror(error);
    return 0;
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *why = "can't read the manifest " + named + ": " + std::strerror(errno);
    return 0;
  }
  // Read in pieces up to one byte past the limit: a pipe has no size to check first.
  std::string text;
  char piece[1 << 16];
  while (int64_t(text.size()) <= kManifestMaxBytes) {
    f.read(piece, sizeof piece);
    text.append(piece, size_t(f.gcount()));
    if (!f) break;
  }
  if (f.bad()) {
    *why = "can't read the manifest " + named;
    return 0;
  }
  std::string reason;
  if (!parse_manifest(text, out, &reason)) {
    *why = named + ": " + reason;
    return 0;
  }
  return 1;
}

int parse_manifest_index(const std::string& text, EnvLookup lookup, int64_t* out,
                         std::string* why) {
  std::string value = text;
  std::string named = "[--manifest-index=" + text + "]";
  if (value.starts_with("env:")) {
    const std::string name = value.substr(4);
    const char* got = name.empty() ? nullptr : lookup(name.c_str());
    if (got == nullptr || *got == '\0') {
      *why = named + ": " +
             (name.empty() ? "env: needs a variable's name"
              : got        ? "the environment variable " + name + " is set but empty"
                           : "the environment variable " + name + " is not set");
      return 0;
    }
    value = got;
    named += " (" + name + "=" + value + ")";
  }
  int64_t n = 0;
  for (const char c : value) {
    if (c < '0' || c > '9' || n > kManifestMaxLines) {
      *why = named + ": not an index (a number from 0)";
      return 0;
    }
    n = n * 10 + (c - '0');
  }
  if (value.empty()) {
    *why = named + ": not an index (a number from 0)";
    return 0;
  }
  *out = n;
  return 1;
}

std::string expand_output_path(std::string_view pattern, int index, std::string_view distorted) {
  const std::string name = std::filesystem::path(distorted).stem().string();
  std::string out;
  for (size_t i = 0; i < pattern.size();) {
    if (pattern.substr(i).starts_with("{index}")) {
      out += std::to_string(index);
      i += 7;
    } else if (pattern.substr(i).starts_with("{name}")) {
      out += name;
      i += 6;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

int line_arguments(const Arguments& base, const ManifestLine& line, Arguments* out,
                   std::string* why) {
  Arguments own;
  if (const Refusal refused = scan_arguments(line.args, &own)) {
    *why = refused.why;
    return 0;
  }
  // What the command line would let pass with a note is refused here: a campaign runs unwatched.
  if (!own.notes.empty()) {
    std::string note = own.notes.front();
    if (note.starts_with("note: ")) note.erase(0, 6);
    *why = note;
    return 0;
  }
  if (own.manifest || own.manifest_index || own.help || own.version) {
    *why = "--manifest, --manifest-index, --help and --version belong on the command line";
    return 0;
  }
  if (!own.versus.empty()) {
    *why = "--vs is not for a manifest line: each line names its own two files";
    return 0;
  }
  if (own.positionals < 2) {
    *why = "a line names the reference and the distorted file first";
    return 0;
  }
  for (const auto& f : {own.file1, own.file2}) {
    if (*f == "-") {
      *why = "standard input (-) cannot be an input of a manifest line";
      return 0;
    }
  }
  Arguments a = base;
  for (size_t i = 0; i < a.outputs.size(); ++i)
    if (own.outputs[i]) a.outputs[i] = own.outputs[i];
  for (const LongOption& o : long_options()) {
    if (o.text && own.*o.text) a.*o.text = own.*o.text;
    if (o.flag && own.*o.flag) a.*o.flag = true;
  }
  if (!own.metrics.empty()) {
    a.metrics = own.metrics;
    a.ssim = own.ssim;
  }
  a.file1 = own.file1;
  a.file2 = own.file2;
  a.maxframes = own.maxframes;
  a.verbose = base.verbose || own.verbose;
  a.positionals = own.positionals;
  a.manifest.reset();
  a.manifest_index.reset();
  a.notes.clear();
  *out = std::move(a);
  return 1;
}

int plan_campaign(const Arguments& base, std::vector<ManifestLine>* lines, std::string* why) {
  constexpr int kRead = 0, kWritten = 1;  // outputs by the index of the line writing them
  FileSet files;
  // Every file a line reads, each spelling once: the manifest, the inputs and the model files
  // the metrics name (each metric's text read once: lines mostly share them).
  std::vector<ReadFile> reads;
  std::unordered_set<std::string> spelled;
  const auto read = [&](const std::string& path, const char* what) {
    if (spelled.insert(path).second) reads.push_back({path, what});
  };
  if (base.manifest) read(*base.manifest, "manifest");
  std::unordered_map<std::string, std::vector<std::string>> models;
  std::vector<FileSet::Key> keys;  // of every output, in the order of the lines
  for (ManifestLine& line : *lines) {
    Arguments a;
    std::string reason;
    if (!line_arguments(base, line, &a, &reason)) {
      *why = at(line) + ": " + reason;
      return 0;
    }
    read(*a.file1, "input");
    read(*a.file2, "input");
    for (const std::string& text : a.metrics) {
      auto [known, fresh] = models.try_emplace(text);
      MetricRequest r;
      // A request that does not parse is refused when its line runs, before anything is written.
      if (fresh && parse_metric_request(text, &r, &reason)) known->second = model_files({r});
      for (const std::string& model : known->second)
        read(model, "model file");
    }
    bool any = false;
    line.outputs.assign(a.outputs.size(), "");
    for (size_t i = 0; i < a.outputs.size(); ++i) {
      if (!a.outputs[i]) continue;
      const std::string& path = line.outputs[i] =
          expand_output_path(*a.outputs[i], line.index, *a.file2);
      if (path.empty()) continue;
      any = true;
      const FileSet::Key& key = keys.emplace_back(files.key(path));
      // A path that is there and is not a regular file (a terminal, /dev/null) is written in
      // place: every line may name it.
      if (key.mode != 0 && !S_ISREG(key.mode)) continue;
      if (const int other = files.find(key, kWritten); other >= 0) {
        *why = at(line) + ": ";
        if (other == line.index) {
          const auto first = std::find_if(line.outputs.begin(), line.outputs.end(), [&](auto& o) {
            return !o.empty() && same_file(o.c_str(), path.c_str());
          });
          *why += "[" + *first + "] and [" + path + "] are one file; nothing was written";
        } else {
          *why += "[" + path + "] is written by index " + std::to_string(other) +
                  " too (give each line its own, or use {index} or {name} in the command line's)";
        }
        return 0;
      }
      files.add(key, line.index, kWritten);
    }
    if (!any) {
      *why = at(line) + ": names no output (" + output_options() + ", " +
             "on the line or, with {index} or {name}, on the command line)";
      return 0;
    }
  }
  // No output replaces a file any line reads.
  for (size_t i = 0; i < reads.size(); ++i)
    files.add(files.key(reads[i].path), int(i), kRead);
  size_t k = 0;
  for (const ManifestLine& line : *lines) {
    for (const std::string& path : line.outputs) {
      if (path.empty()) continue;
      if (const int r = files.find(keys[k++], kRead); r >= 0) {
        *why = at(line) + ": " + read_clash_text(path, reads[size_t(r)]);
        return 0;
      }
    }
  }
  return 1;
}

int line_is_done(const ManifestLine& line) {
  int named = 0;
  for (const std::string& path : line.outputs) {
    if (path.empty()) continue;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    ++named;
  }
  return named > 0;
}

}  // namespace vq
