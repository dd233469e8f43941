#include <cstdio>

int main() {
  std::printf("VIDQUAL\n");
  return 0;
}
