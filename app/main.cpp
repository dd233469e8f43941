#include <unistd.h>

#include "app/app.h"

int main(int argc, char** argv) {
  vq::Console console;
  console.err_is_terminal = isatty(STDERR_FILENO) == 1;
  return vq::vidqual_main(argc, argv, console, vq::read_own_product_version);
}
