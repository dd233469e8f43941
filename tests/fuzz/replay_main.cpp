// Replays the fuzz target over files and directories of inputs, without a fuzzing engine: the
// seed corpus becomes a plain test of the normal suite.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0, failed = 0;
  for (int a = 1; a < argc; ++a) {
    std::error_code ec;
    if (std::filesystem::is_directory(argv[a], ec)) {
      for (const auto& e : std::filesystem::directory_iterator(argv[a], ec)) {
        if (!e.is_regular_file()) continue;
        replay(e.path()) ? ++replayed : ++failed;
      }
      if (ec) ++failed;
    } else {
      replay(argv[a]) ? ++replayed : ++failed;
    }
  }
  std::printf("replayed %d inputs, %d unreadable\n", replayed, failed);
  return replayed > 0 && failed == 0 ? 0 : 1;
}
