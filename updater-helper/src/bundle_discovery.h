// Finding the one new bundle at the root of the extracted archive.
#pragma once

#include <optional>
#include <string>

#include "result.h"

namespace installer {

// The path of the one directory with the extension "app" directly in
// `staging`. Errors: "could not list staging: {}", "could not inspect {}: {}",
// "refusing symlinked application bundle in archive: {}",
// "expected exactly one .app bundle at the ZIP root; found {}".
support::Result<std::string> find_app_bundle(const std::string& staging);

// Succeeds when the found bundle's file name equals the target's, byte for
// byte. Error: "archive contains {}, expected {}" in debug notation.
support::Result<void> check_bundle_name(const std::string& found, const std::string& target);

// A file name as Some("...") with quotes, backslashes and non-printable
// characters escaped, or None.
std::string debug_name(const std::optional<std::string>& name);

}  // namespace installer
