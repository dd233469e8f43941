// Report: the files a run writes for scripts (the per-frame CSV, the JSON document) and the one
// way every such file is written: into a temporary file beside its path, renamed into place only
// when the run has ended and every byte reached the disk. A run that stops before comparing
// anything leaves whatever was at the path untouched.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "compare/compare.h"

namespace vq {

// 1 when `a` and `b` name the same file: the same device and inode when both exist, otherwise the
// same path once symbolic links and "." and ".." are resolved. An output path is checked against
// every input and every other output with it before anything is opened for writing.
[[nodiscard]] int same_file(const char* a, const char* b);

// A file written in full or not at all. open() creates a temporary file in the target's directory
// (so that the rename stays on one file system) with the mode a new file would get, or the mode of
// the file it replaces; commit() flushes, syncs and closes it, checking each step, and renames it
// over the target; abandon() and the destructor remove it. A target that exists and is not a
// regular file (a terminal, a pipe, /dev/null) is written in place. A target that is a symbolic
// link is followed: the file it points to is replaced, the link stays.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { abandon(); }

  // 1 when open; 0 with error() telling why.
  [[nodiscard]] int open(const std::string& path);
  [[nodiscard]] std::FILE* stream() const { return file_; }
  // 1 when every byte was written and the file is in place; 0 with error() telling why, the
  // temporary file removed and the target untouched.
  [[nodiscard]] int commit();
  void abandon();
  // The errno value of the last failure.
  [[nodiscard]] int error() const { return error_; }

 private:
  std::string target_;  // where commit() puts the file
  std::string temp_;    // empty when written in place
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

// One output of the run: a listener that writes what the run tells it into an OutputFile.
// Listeners cannot fail the run: a failure (out of memory included) is kept and commit() reports
// it.
class Report : public RunListener {
 public:
  // Opens the file for `path` and writes what comes before the first pair. 1 when open.
  [[nodiscard]] int open(const char* path);
  // Writes what comes after the last pair and puts the file in place. 1 when all is written.
  [[nodiscard]] int commit();
  // Drops the file: whatever was at the path stays as it was.
  void abandon() { file_.abandon(); }
  [[nodiscard]] const std::string& path() const { return path_; }
  // The errno value of the failure of open() or commit(): ENOMEM when memory ran out.
  [[nodiscard]] int error() const { return error_ ? error_ : file_.error(); }

 protected:
  // Written by open(), before the first pair, and by commit(), after the last. 1 when fine.
  [[nodiscard]] virtual int begin(std::FILE* f) { return f != nullptr; }
  [[nodiscard]] virtual int finish(std::FILE* f) { return f != nullptr; }
  // The file while it is open, nullptr after a failure.
  [[nodiscard]] std::FILE* stream() const { return error_ ? nullptr : file_.stream(); }
  // Keeps the first failure; what follows is not written.
  void fail(int error) {
    if (!error_) error_ = error;
  }

 private:
  std::string path_;
  OutputFile file_;
  int error_ = 0;
};

// What the outputs learn of a run from the command line rather than from the run.
struct RunDescription {
  std::string version;    // the product version, "1.3.1.4"
  std::string path[2];    // the two inputs as named
  int32_t maxframes = 0;  // 0 or less: no limit
  bool ssim = false;      // SSIM asked for
};

// The per-frame file: the header row `pair,y_psnr,u_psnr,v_psnr,y_mse,u_mse,v_mse` (followed by
// `y_ssim,u_ssim,v_ssim,all_ssim` when SSIM was asked for), then one row per compared pair, in
// full precision. nullptr when out of memory.
[[nodiscard]] std::unique_ptr<Report> make_csv_report(bool ssim);

// The JSON document (its fields are described in the README). nullptr when this build has no JSON
// library (json_available() says so beforehand) or memory ran out.
[[nodiscard]] bool json_available();
[[nodiscard]] std::unique_ptr<Report> make_json_report(const RunDescription& run);

}  // namespace vq
