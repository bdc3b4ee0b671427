// The stand-in's code seal: a list of every entry of a bundle (its type, the
// SHA-256 of a file's contents and its execute bits, a link's target), kept
// in Contents/_CodeSignature/CodeResources, with the signing team on a line
// of its own when the signer named one. It proves that nothing changed since
// signing; unlike a real signature it proves nothing about who signed: the
// team is whatever the signer claimed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "result.h"

namespace stand_in {

// Where the seal lies, relative to the bundle.
inline constexpr const char* kSealPath = "Contents/_CodeSignature/CodeResources";

// One line per entry under `bundle` except the seal itself, sorted by path;
// links are described, never followed. Error: "{path}: {system error}".
support::Result<std::string> describe_bundle(const std::string& bundle);

// Writes the seal for the bundle as it is now, recording `team` when given
// (an ad-hoc seal records none).
support::Result<void> seal_bundle(const std::string& bundle,
                                  const std::optional<std::string>& team = std::nullopt);

struct SealVerdict {
  enum Kind { valid, not_sealed, broken };
  Kind kind = valid;
  // For `broken`: "file added: PATH", "file modified: PATH", "file missing:
  // PATH" or "the seal is damaged", PATH being the entry's full path.
  std::vector<std::string> problems;
  // The team recorded in a seal that is not damaged; none for an ad-hoc seal.
  std::optional<std::string> team;
};

// Compares the bundle with its seal. Error: the bundle could not be read.
support::Result<SealVerdict> check_seal(const std::string& bundle);

}  // namespace stand_in
