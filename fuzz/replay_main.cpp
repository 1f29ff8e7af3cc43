// Runs the fuzz target once on each file named, or on each file inside each
// directory named, without libFuzzer: the seed corpus and every input that
// ever failed become an ordinary test. Any failure aborts inside the target.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replay(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  if (file.is_open()) contents << file.rdbuf();  // an empty file sets failbit here: fine
  const std::string text = contents.str();
  if (!file.is_open() || file.bad()) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s\n", path.c_str());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> paths;
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) paths.push_back(entry.path());
      std::sort(paths.begin(), paths.end());
    } else {
      paths.emplace_back(argv[i]);
    }
    for (const auto& path : paths) {
      failures += replay(path);
      ++inputs;
    }
  }
  std::fprintf(stderr, "%d inputs replayed\n", inputs);
  return failures == 0 && inputs > 0 ? 0 : 1;
}
