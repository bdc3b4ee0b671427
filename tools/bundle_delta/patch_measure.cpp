// Makes the patch from OLD to NEW, writes it to PATCH and prints how long
// make_patch took; applies it back to check it. For comparing with bsdiff
// (measure_against_bsdiff.sh) and trying LZMA's literal settings (LC LP PB);
// not installed.
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "delta_patch.h"
#include "os_error.h"
#include "patch_maker.h"
#include "unique_fd.h"

namespace {

// Read at their exact size, so that the peak memory is make_patch's.
std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 7) {
    std::fprintf(stderr, "usage: patch_measure OLD NEW PATCH [LC LP PB]\n");
    return 2;
  }
  delta::XzSettings settings;
  if (argc == 7) {
    settings.lc = static_cast<std::uint32_t>(std::atoi(argv[4]));
    settings.lp = static_cast<std::uint32_t>(std::atoi(argv[5]));
    settings.pb = static_cast<std::uint32_t>(std::atoi(argv[6]));
  }
  std::string old_bytes = slurp(argv[1]);
  std::string new_bytes = slurp(argv[2]);
  auto start = std::chrono::steady_clock::now();
  std::string patch = delta::make_patch(old_bytes, new_bytes, settings);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::ofstream(argv[3], std::ios::binary) << patch;
  std::printf("make_patch %.3f s, patch %zu bytes\n", took.count(), patch.size());

  support::UniqueFd old_fd(support::retry_on_eintr([&] { return ::open(argv[1], O_RDONLY | O_CLOEXEC); }));
  support::UniqueFd patch_fd(support::retry_on_eintr([&] { return ::open(argv[3], O_RDONLY | O_CLOEXEC); }));
  std::string check = std::string(argv[3]) + ".applied";
  support::UniqueFd new_fd(support::retry_on_eintr(
      [&] { return ::open(check.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
  auto applied = installer::apply_patch(old_fd.get(), old_bytes.size(), patch_fd.get(),
                                       new_fd.get(), new_bytes.size(), "NEW");
  if (!applied || slurp(check.c_str()) != new_bytes) {
    std::fprintf(stderr, "the patch does not give NEW back: %s\n",
                 applied ? "other bytes" : applied.error().c_str());
    return 1;
  }
  std::remove(check.c_str());
  return 0;
}
