// The applier of a delta update's patches with its xz decoder: the input is
// a patch, applied to a fixed old file for a new file of the size its header
// declares (within a bound, so that each run stays short). Whatever the
// input, the applier either writes exactly that size or refuses the patch as
// damaged, and never writes more than that size.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "delta_patch.h"
#include "delta_patch_format.h"
#include "fuzz_check.h"

namespace {

constexpr std::uint64_t kLargestNewFile = 1 << 20;
constexpr std::size_t kOldSize = 64 * 1024;

// The old file the seed patches (fuzz/corpus/delta_patch_fuzzer) were made
// against with the release tool's patch maker (patch_measure).
std::string old_file() {
  std::string bytes(kOldSize, '\0');
  for (std::size_t i = 0; i < kOldSize; ++i)
    bytes[i] = static_cast<char>((i * 131 + (i >> 8)) & 0xff);
  return bytes;
}

// A temporary file holding `bytes`, read from its start.
FILE* file_of(const std::string& bytes) {
  FILE* file = ::tmpfile();
  FUZZ_CHECK(file != nullptr, "tmpfile");
  FUZZ_CHECK(::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "fwrite");
  FUZZ_CHECK(::fflush(file) == 0 && ::fseek(file, 0, SEEK_SET) == 0, "fflush");
  return file;
}

std::uint64_t size_of(FILE* file) {
  struct stat status;
  FUZZ_CHECK(::fstat(::fileno(file), &status) == 0, "fstat");
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string old_bytes = old_file();
  const std::string patch(reinterpret_cast<const char*>(data), size);
  std::uint64_t declared = 0;
  if (size >= installer::patch_format::kHeaderSize)
    declared = installer::patch_format::read_u64(data + sizeof installer::patch_format::kMagic);
  const std::uint64_t recorded = declared < kLargestNewFile ? declared : kLargestNewFile;

  FILE* old_file = file_of(old_bytes);
  FILE* patch_file = file_of(patch);
  FILE* new_file = ::tmpfile();
  FUZZ_CHECK(new_file != nullptr, "tmpfile");
  support::Result<support::platform::Sha256Digest> applied =
      installer::apply_patch(::fileno(old_file), old_bytes.size(), ::fileno(patch_file),
                             ::fileno(new_file), recorded, "X");
  const std::uint64_t written = size_of(new_file);
  if (applied) {
    FUZZ_CHECK(written == recorded, fuzz::shown(patch));
  } else {
    FUZZ_CHECK(installer::is_damaged_patch(applied.error()),
               fuzz::shown(patch) + ": " + applied.error());
    FUZZ_CHECK(written <= recorded, fuzz::shown(patch));
  }
  ::fclose(old_file);
  ::fclose(patch_file);
  ::fclose(new_file);
  return 0;
}
