// Runs a fuzz target over files and folders of files, for builds without
// libFuzzer (gcc, mingw, CTest): every committed corpus file and every
// golden file is replayed on every build.
//
//   TARGET PATH...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  for (int a = 1; a < argc; ++a) {
    const std::filesystem::path path(argv[a]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (entry.is_regular_file() && Replay(entry.path())) ++replayed;
      }
    } else if (!Replay(path)) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 1;
    }
  }
  // An empty run proves nothing: make it fail.
  std::printf("replayed %d inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
