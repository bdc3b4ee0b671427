// The delta update's manifest, which arrives inside the downloaded archive.
// The input is parsed as it is, and again with its checksum line made right,
// so that mutations reach the records behind the checksum. Whatever parses
// serializes back to the very same bytes and parses to an equal manifest.
#include <cstdint>
#include <string>
#include <string_view>

#include "delta_manifest.h"
#include "fuzz_check.h"

namespace {

constexpr std::string_view kChecksumLabel = "sha256 ";
constexpr size_t kChecksumLine = kChecksumLabel.size() + 64 + 1;

std::string resealed(const std::string& input) {
  std::string body = input;
  if (body.size() >= kChecksumLine && body.back() == '\n' &&
      body.compare(body.size() - kChecksumLine, kChecksumLabel.size(), kChecksumLabel) == 0) {
    body.resize(body.size() - kChecksumLine);
  }
  return installer::sealed_delta_manifest(std::move(body));
}

void check(const std::string& bytes) {
  support::Result<installer::DeltaManifest> parsed = installer::parse_delta_manifest(bytes);
  if (!parsed) {
    FUZZ_CHECK(!parsed.error().empty(), fuzz::shown(bytes));
    return;
  }
  std::string again = installer::serialize_delta_manifest(*parsed);
  FUZZ_CHECK(again == bytes, fuzz::shown(bytes) + " came back as " + fuzz::shown(again));
  support::Result<installer::DeltaManifest> reparsed = installer::parse_delta_manifest(again);
  FUZZ_CHECK(reparsed.ok(), fuzz::shown(again) + ": " + reparsed.error());
  FUZZ_CHECK(*reparsed == *parsed, fuzz::shown(again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  check(input);
  check(resealed(input));
  return 0;
}
