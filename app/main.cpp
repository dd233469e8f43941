// The programs' entry: the standard descriptors made safe, then the front end on the console:
// vidqual's, or libvmaf's command line for vidqual-vmaf (built with VQ_VMAF_CLI).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/app.h"
#include "report/report.h"

namespace {

// Descriptors 0, 1 and 2 are made sure open before anything else is: a file opened while one of
// them is closed would take its number, and the report or the notes would be written into it.
// A closed stdout is held by /dev/null opened for reading, so that writing the report fails as
// it would have and the run ends with status 2; stdin and stderr get /dev/null as it is.
bool hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int got = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
    if (got < 0) return false;
    if (got != fd) {
      if (dup2(got, fd) != fd) return false;
      close(got);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!hold_standard_descriptors()) return vq::kExitFailure;
  vq::remove_temporary_files_on_signals();
  vq::Console console;
  console.err_is_terminal = isatty(STDERR_FILENO) == 1;
  console.in_is_terminal = isatty(STDIN_FILENO) == 1;
#ifdef VQ_VMAF_CLI
  return vq::vmaf_main(argc, argv, console, vq::read_own_product_version);
#else
  return vq::vidqual_main(argc, argv, console, vq::read_own_product_version);
#endif
}
