// The safe write path of every output file, and the output base that writes it from the table.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

// A directory resolved as far as it exists, or an error in *ec.
std::filesystem::path resolved_dir(const std::filesystem::path& dir, std::error_code& ec) {
  return std::filesystem::weakly_canonical(dir, ec);
}

// Where a file written at the absolute path `p` lands: its directory resolved (by `resolve`),
// and a symbolic link in the last place followed to where it points, even when nothing is there
// yet (a dangling link is written through, not replaced). Two spellings of one new file resolve
// to one string. *found is the file there, its st_mode 0 when there is none.
template <typename Resolve>
std::string landing_of(std::filesystem::path p, Resolve&& resolve, struct stat* found) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string spelled = p.string();
  found->st_mode = 0;
  for (int hops = 0; hops < 40; ++hops) {
    const fs::path dir = resolve(p.parent_path(), ec);
    if (ec) return resolved(spelled.c_str());
    p = dir / p.filename();
    if (::lstat(p.c_str(), found) != 0 || !S_ISLNK(found->st_mode)) break;
    found->st_mode = 0;
    const fs::path to = fs::read_symlink(p, ec);
    if (ec) break;
    p = to.is_absolute() ? to : dir / to;
  }
  if (found->st_mode == 0 || S_ISLNK(found->st_mode)) found->st_mode = 0;
  // The directory is resolved already: only a last "." or ".." is left to fold.
  const fs::path name = p.filename();
  return name.empty() || name == "." || name == ".." ? p.lexically_normal().string() : p.string();
}

// The temporary files of an output are ".NAME.XXXXXX" beside it (mkstemp fills the X's), its
// lock file ".NAME.lock".
constexpr std::string_view kTempSuffix = "XXXXXX", kLockSuffix = "lock";
// What a campaign's failed line adds to the name of each output it wrote.
constexpr char kApart[] = ".failed";

// ".NAME.SUFFIX" in the directory of `target`, NAME cut so that a temporary file's name stays
// within the longest name a directory holds, which the target's own name may already be. Cut
// alike for every suffix, so that outputs whose temporary files look alike share a lock file.
std::string beside(const std::string& target, std::string_view suffix) {
  const std::filesystem::path t(target);
  std::string path = t.has_parent_path() ? t.parent_path().string() : std::string(1, '.');
  std::string name = t.filename().string();
  constexpr size_t kLongest = NAME_MAX - std::string_view("..XXXXXX").size();
  if (name.size() > kLongest) name.resize(kLongest);
  path += "/.";
  path += name;
  path += '.';
  path += suffix;
  return path;
}

std::string landing(const char* path) {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return resolved(path);
  struct stat found;
  return landing_of(p, resolved_dir, &found);
}

}  // namespace

// The temporary files of this process, for the handler of a fatal signal to remove: a list of
// records that only grows, each record made and linked in before its file exists, so that the
// handler reads them with async-signal-safe calls only. A record whose file is gone is used
// again for the next one, so the list is as long as the most files ever open at once.
struct TempRecord {
  std::atomic<int> state{0};  // 0 free, 2 taken, 1 holding a file's path
  char path[PATH_MAX];
  TempRecord* next = nullptr;  // set before the record is linked in, never changed after
};

namespace {

std::atomic<TempRecord*> g_temps{nullptr};
std::atomic<int> g_committed{0};  // outputs already renamed into place

// A record taken for a file about to be made: a free one, or a new one linked in (which throws
// std::bad_alloc when memory runs out, before anything was made).
TempRecord* take_temp() {
  for (TempRecord* t = g_temps.load(); t; t = t->next) {
    int expected = 0;
    if (t->state.compare_exchange_strong(expected, 2)) return t;
  }
  TempRecord* t = new TempRecord;  // kept for the life of the process
  t->state.store(2);
  t->next = g_temps.load();
  while (!g_temps.compare_exchange_weak(t->next, t)) {
  }
  return t;
}

// The taken record now holds `path` (shorter than PATH_MAX: a path mkstemp made).
void hold_temp(TempRecord* t, const std::string& path) {
  const size_t n = std::min(path.size(), sizeof t->path - 1);
  std::memcpy(t->path, path.c_str(), n);
  t->path[n] = '\0';
  t->state.store(1);
}

void release_temp(TempRecord* t) {
  if (t) t->state.store(0);
}

void say(const char* text) {
  ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

void remove_temps() {
  for (TempRecord* t = g_temps.load(); t; t = t->next)
    if (t->state.load() == 1) ::unlink(t->path);
}

// Set by the first fatal signal's handler. A second signal taken on another thread meanwhile (a
// SIGPIPE from a write racing a SIGINT) waits for the first to end the process, so the process
// ends one way, with one message.
std::atomic<bool> g_ending{false};

extern "C" void on_fatal_signal(int sig) {
  if (g_ending.exchange(true)) {
    for (;;)
      ::pause();
  }
  remove_temps();
  if (sig == SIGBUS) {
    // An input read through a mapping was cut short while it was scored (a file truncated by
    // another program): the run cannot go on, and nothing of it is written.
    say(g_committed.load()
            ? "vidqual: an input file was cut short while it was read; the outputs not yet in "
              "place were not written\n"
            : "vidqual: an input file was cut short while it was read; no output file was "
              "written\n");
    ::_exit(2);
  }
  if (sig == SIGPIPE) {
    // Standard output (or an output pipe) has no reader: a failed write, status 2.
    say("vidqual: can't write: the reader of a pipe has gone\n");
    ::_exit(2);
  }
  say(g_committed.load() ? "vidqual: interrupted; the outputs not yet in place were not written\n"
                         : "vidqual: interrupted; no output file was written\n");
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// The signals that end a run early, blocked while a temporary file is made and recorded so that
// none is ever left unrecorded.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
      sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// The mode a file newly created by fopen would get.
mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void remove_temporary_files_on_signals() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGBUS})
    sigaddset(&sa.sa_mask, sig);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGBUS}) {
    struct sigaction old;
    // A signal the caller ignores (nohup, a shell's background job) stays ignored.
    if (sig != SIGPIPE && sig != SIGBUS && ::sigaction(sig, nullptr, &old) == 0 &&
        old.sa_handler == SIG_IGN)
      continue;
    ::sigaction(sig, &sa, nullptr);
  }
  // A file grown past the size limit (ulimit -f) is a failed write like a full disk: the write
  // returns EFBIG and is told of, instead of the signal ending the process with its files left.
  ::signal(SIGXFSZ, SIG_IGN);
}

int same_file(const char* a, const char* b) {
  struct stat sa, sb;
  if (::stat(a, &sa) == 0 && ::stat(b, &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
  try {
    return landing(a) == landing(b) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return std::string_view(a) == std::string_view(b) ? 1 : 0;
  }
}

FileSet::Key FileSet::key(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p(path);
  if (!p.is_absolute()) {
    if (cwd_.empty()) cwd_ = fs::current_path(ec);
    p = ec ? fs::path(resolved(path.c_str())) : cwd_ / p;
  }
  struct stat found;
  Key key;
  key.landing = landing_of(
      p,
      [this](const fs::path& dir, std::error_code& error) {
        const auto [at, fresh] = dirs_.try_emplace(dir.string());
        if (fresh) {
          at->second = resolved_dir(dir, error).string();
          if (error) {
            dirs_.erase(at);
            return fs::path();
          }
        }
        return fs::path(at->second);
      },
      &found);
  if (found.st_mode != 0) {
    key.mode = uint32_t(found.st_mode);
    key.device = uint64_t(found.st_dev);
    key.inode = uint64_t(found.st_ino);
  }
  return key;
}

int FileSet::find(const Key& key, int group) const {
  if (key.mode) {
    const auto at = by_inode_[group].find({key.device, key.inode});
    if (at != by_inode_[group].end()) return at->second;
  }
  const auto at = by_landing_[group].find(key.landing);
  return at == by_landing_[group].end() ? -1 : at->second;
}

void FileSet::add(const Key& key, int number, int group) {
  if (key.mode) by_inode_[group].emplace(std::pair{key.device, key.inode}, number);
  by_landing_[group].emplace(key.landing, number);
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
    target_ = landing(path.c_str());
    // A file with other names too is written in place at commit, so that every name keeps
    // seeing it; it is still written in full to the temporary file first.
    copy_in_place_ = exists && st.st_nlink > 1;
    std::string temp = beside(target_, kTempSuffix);
    // Everything that may fail for memory is done before the file exists.
    temp_.reserve(temp.size());
    record_ = take_temp();
    int fd;
    {
      const SignalsHeld held;
      fd = ::mkstemp(temp.data());
      if (fd < 0) {
        error_ = errno;
        release_temp(record_);
        record_ = nullptr;
        return 0;
      }
      temp_.assign(temp);
      hold_temp(record_, temp_);
    }
    // The file it replaces keeps its owner and group where this process may give them.
    if (exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
      if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        if (::fchown(fd, ::geteuid(), st.st_gid) != 0) {
          // Neither is allowed: the new file is this process's, as any file it writes.
        }
      }
    }
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

int OutputFile::commit(bool apart) {
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
  if (ok && !temp_.empty()) {
    const int failed = apart            ? std::rename(temp_.c_str(), (target_ + kApart).c_str())
                       : copy_in_place_ ? copy_into_target()
                                        : std::rename(temp_.c_str(), target_.c_str());
    if (failed != 0) {
      ok = false;
      error_ = errno;
    }
  }
  if (ok && !temp_.empty()) {
    if (copy_in_place_ && !apart) ::unlink(temp_.c_str());
    g_committed.fetch_add(1);
    release_temp(record_);
    record_ = nullptr;
    temp_.clear();
  }
  abandon();
  return ok ? 1 : 0;
}

int OutputFile::copy_into_target() {
  const int in = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return -1;
  const int out = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
  struct stat old, now;
  if (out < 0 || ::fstat(out, &old) != 0 || ::fstat(in, &now) != 0) {
    const int e = errno;
    if (out >= 0) ::close(out);
    ::close(in);
    errno = e;
    return -1;
  }
  // The new contents' blocks are reserved before the first old byte is overwritten, so that a
  // full disk or the size limit fails here, with the old contents whole (and the old length
  // given back). A file system that cannot reserve is written without.
  if (now.st_size > 0) {
    const int reserved = ::posix_fallocate(out, 0, now.st_size);
    if (reserved != 0 && reserved != EOPNOTSUPP && reserved != ENOSYS && reserved != EINVAL) {
      if (now.st_size > old.st_size && ::ftruncate(out, old.st_size) != 0) {
        // The old contents are whole; only blocks past them may stay reserved.
      }
      ::close(out);
      ::close(in);
      errno = reserved;
      return -1;
    }
  }
  char buffer[1 << 16];
  int failed = 0;
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = -1;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer + done, size_t(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        failed = -1;
        break;
      }
      done += w;
    }
    if (failed) break;
  }
  // Old contents longer than the new are cut off only now.
  if (!failed && ::ftruncate(out, now.st_size) != 0) failed = -1;
  if (!failed && ::fsync(out) != 0 && errno != EINVAL) failed = -1;
  const int e = errno;
  if (::close(out) != 0 && !failed) failed = -1;
  ::close(in);
  if (failed) errno = e ? e : EIO;
  return failed;
}

std::string failed_output_path(const std::string& path) {
  return landing(path.c_str()) + kApart;
}

OutputLocks::Status OutputLocks::take(const std::vector<std::string>& paths) {
  release();
  for (const std::string& path : paths) {
    struct stat st;
    if (path.empty() || (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) continue;
    const std::string target = landing(path.c_str());
    std::string lock = beside(target, kLockSuffix);
    // Two long names cut to one lock file: the one lock covers both.
    if (std::find(held_.begin(), held_.end(), lock) != held_.end()) continue;
    // Opened for writing where it may be (NFS grants an exclusive lock only then), else for
    // reading: another user's lock file in a shared folder locks all the same on a local disk.
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    // No lock file can be made (a missing or read-only folder), or the file system keeps no
    // locks: the output is written unlocked, as it would be without locks, and its writing says
    // what is wrong.
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool busy = errno == EWOULDBLOCK;
      ::close(fd);
      if (!busy) continue;
      release();
      return Status::kBusy;
    }
    fds_.push_back(fd);
    held_.push_back(std::move(lock));
    remove_stale_temporaries(target);
  }
  return Status::kTaken;
}

void OutputLocks::remove_stale_temporaries(const std::string& target) {
  namespace fs = std::filesystem;
  std::string stem = fs::path(beside(target, kTempSuffix)).filename().string();
  stem.resize(stem.size() - kTempSuffix.size());
  std::error_code ec;
  const fs::path dir = fs::path(target).parent_path();
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() != stem.size() + kTempSuffix.size() || !name.starts_with(stem)) continue;
    if (!std::all_of(name.begin() + std::ptrdiff_t(stem.size()), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
      continue;
    struct stat st;
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(it->path().c_str());
  }
}

void OutputLocks::release() {
  for (const int fd : fds_)
    ::close(fd);
  fds_.clear();
  held_.clear();
}

void OutputFile::abandon() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  release_temp(record_);
  record_ = nullptr;
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
  return file_.open(path_);
}

void Report::on_pair(const PairView& v) {
  if (error_ || v.row < 0) return;
  try {
    if (size_t(v.row) >= forms_.size()) forms_.resize(size_t(v.row) + 1);
    forms_[size_t(v.row)] = PairForm{uint8_t(v.depth), v.layout};
  } catch (const std::bad_alloc&) {
    fail(ENOMEM);
  }
}

PairForm Report::pair_form(int32_t row) const {
  if (row >= 0 && size_t(row) < forms_.size()) return forms_[size_t(row)];
  return PairForm{uint8_t(result_.depth), result_.layout};
}

void Report::on_end(const RunResult& r) {
  try {
    result_ = r;
  } catch (const std::bad_alloc&) {
    fail(ENOMEM);
  }
}

int Report::commit(bool apart) {
  errno = 0;  // a write of finish() that fails tells why in errno (EFBIG, ENOSPC)
  if (error_ || !result_.table || !finish(stream()) || error_) {
    fail(errno ? errno : EIO);
    file_.abandon();
    return 0;
  }
  return file_.commit(apart);
}

}  // namespace vq
