// Replays the fuzz target without a fuzzing engine over the files given and the files in the
// directories given, so that the seed corpus is a plain test of the normal suite. Each input is
// replayed whole, cut at every length, and with each byte in turn set to 0, to 0xFF and to itself
// with its lowest bit flipped: a sweep that finds what a cut or one damaged byte does to the
// reader (a crash, a hang, a read out of bounds in the sanitizer build) without a fuzzer run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  int replayed = 0, unreadable = 0;
  for (int a = 1; a < argc; ++a) {
    std::vector<fs::path> inputs{argv[a]};
    if (fs::is_directory(inputs[0])) inputs.assign(fs::directory_iterator(inputs[0]), {});
    for (const fs::path& path : inputs) {
      std::ifstream in(path, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      if (!in.is_open() || in.bad()) {
        ++unreadable;
        continue;
      }
      for (size_t at = 0; at < bytes.size(); ++at) {
        const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + at);  // its own block
        LLVMFuzzerTestOneInput(cut.data(), cut.size());
        const uint8_t kept = bytes[at];
        for (uint8_t value : {uint8_t(0), uint8_t(0xFF), uint8_t(kept ^ 1)}) {
          bytes[at] = value;
          LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
        bytes[at] = kept;
      }
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %d inputs, %d unreadable\n", replayed, unreadable);
  return replayed > 0 && unreadable == 0 ? 0 : 1;
}
