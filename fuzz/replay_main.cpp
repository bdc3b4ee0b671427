// Runs a fuzz target over every file of the given corpus directories (or
// files), once each, without libFuzzer: the corpus as a regression test in
// ordinary and sanitizer builds. An empty corpus is a failure, so that a
// missing directory cannot pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs(const fs::path& path) {
  std::vector<fs::path> files;
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const auto& entry : fs::directory_iterator(path, error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  } else if (fs::is_regular_file(path, error)) {
    files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& file : inputs(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
