// Runs the fuzz target without libFuzzer, so that the seed corpus and every
// input that ever failed become ordinary tests. Any failure aborts inside the
// target.
//   archive_fuzz_replay PATH...                 each file, or each file in each directory
//   archive_fuzz_replay --every-byte-change FILE...
//       each file with each of its bytes set, in turn, to each of the 255 other values

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<Bytes> readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return std::nullopt;
  Bytes bytes;
  for (char byte = 0; file.get(byte);) bytes.push_back(static_cast<std::uint8_t>(byte));
  if (file.bad()) return std::nullopt;
  return bytes;
}

std::vector<std::filesystem::path> filesIn(const char* path) {
  std::vector<std::filesystem::path> paths;
  if (!std::filesystem::is_directory(path)) return {path};
  for (const auto& entry : std::filesystem::directory_iterator(path)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  return paths;
}

long everyByteChange(Bytes bytes) {
  long inputs = 0;
  for (std::uint8_t& byte : bytes) {
    const std::uint8_t original = byte;
    for (int value = 0; value < 256; ++value) {
      if (value == original) continue;
      byte = static_cast<std::uint8_t>(value);
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
    byte = original;
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  const bool changes = argc > 1 && std::strcmp(argv[1], "--every-byte-change") == 0;
  long inputs = 0;
  for (int i = changes ? 2 : 1; i < argc; ++i) {
    for (const auto& path : filesIn(argv[i])) {
      // Moved out, not copied: gcc 12 misreads the copy of an optional's
      // vector as freeing a pointer into the heap (-Wfree-nonheap-object).
      std::optional<Bytes> bytes = readFile(path);
      if (!bytes) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      std::fprintf(stderr, "%s\n", path.c_str());
      if (changes) {
        inputs += everyByteChange(std::move(*bytes));
      } else {
        LLVMFuzzerTestOneInput(bytes->data(), bytes->size());
        ++inputs;
      }
    }
  }
  std::fprintf(stderr, "%ld inputs run\n", inputs);
  return inputs > 0 ? 0 : 1;
}
