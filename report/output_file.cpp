#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string_view>
#include <system_error>

#include "report/report.h"

namespace vq {
namespace {

// The path with symbolic links, "." and ".." resolved as far as it exists; the path itself
// when even that fails.
std::string resolved(const char* path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::string(path) : p.string();
}

// The mode a file newly created by fopen would get.
mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

int same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (::stat(a, &sa) == 0 && ::stat(b, &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
  try {
    return resolved(a) == resolved(b) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return std::string_view(a) == std::string_view(b) ? 1 : 0;
  }
}

int OutputFile::open(const std::string& path) {
  abandon();
  error_ = 0;
  try {
    struct stat st;
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
      error_ = EISDIR;
      return 0;
    }
    if (exists && ::access(path.c_str(), W_OK) != 0) {
      // A file its owner keeps from being written is not replaced either.
      error_ = errno;
      return 0;
    }
    if (exists && !S_ISREG(st.st_mode)) {
      // A device or a pipe: nothing to replace, so it is written as it is.
      file_ = std::fopen(path.c_str(), "w");
      if (!file_) error_ = errno;
      return file_ ? 1 : 0;
    }
    target_ = exists ? resolved(path.c_str()) : path;
    // ".NAME.XXXXXX" in the target's directory.
    const std::filesystem::path target(target_);
    std::string temp =
        target.has_parent_path() ? target.parent_path().string() : std::string(1, '.');
    temp += "/.";
    temp += target.filename().string();
    temp += ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
      error_ = errno;
      return 0;
    }
    temp_ = temp;
    if (::fchmod(fd, exists ? st.st_mode & 07777 : new_file_mode()) != 0 ||
        !(file_ = ::fdopen(fd, "w"))) {
      error_ = errno;
      if (!file_) ::close(fd);
      abandon();
      return 0;
    }
    return 1;
  } catch (const std::bad_alloc&) {
    error_ = ENOMEM;
  } catch (const std::filesystem::filesystem_error& e) {
    error_ = e.code().value();
  }
  abandon();
  return 0;
}

int OutputFile::commit() {
  if (!file_) {
    if (!error_) error_ = EBADF;
    return 0;
  }
  errno = 0;  // a write that failed earlier left only the error flag: EIO then
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  if (ok && !temp_.empty() && ::fsync(fileno(file_)) != 0 && errno != EINVAL) ok = false;
  if (!ok) error_ = errno ? errno : EIO;
  const int saved = errno;
  if (std::fclose(file_) != 0 && ok) {
    ok = false;
    error_ = errno;
  }
  errno = saved;
  file_ = nullptr;
  if (ok && !temp_.empty() && std::rename(temp_.c_str(), target_.c_str()) != 0) {
    ok = false;
    error_ = errno;
  }
  if (ok) temp_.clear();
  abandon();
  return ok ? 1 : 0;
}

void OutputFile::abandon() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

int Report::open(const char* path) {
  error_ = 0;
  try {
    path_ = path;
  } catch (const std::bad_alloc&) {
    error_ = ENOMEM;
    return 0;
  }
  if (!file_.open(path_)) return 0;
  if (!begin(file_.stream()) || error_) {
    fail(errno ? errno : EIO);
    file_.abandon();
    return 0;
  }
  return 1;
}

void Report::on_end(const RunResult& r) {
  try {
    result_ = r;
  } catch (const std::bad_alloc&) {
    fail(ENOMEM);
  }
}

int Report::commit() {
  if (error_ || !finish(stream()) || error_) {
    fail(EIO);
    file_.abandon();
    return 0;
  }
  return file_.commit();
}

}  // namespace vq
