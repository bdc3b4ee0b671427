// Bundle versions (CFBundleVersion): reading and comparing them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.h"
#include "tools.h"

namespace installer {

// Compares two versions of one or more dot-separated runs of decimal digits,
// numerically component by component, a missing component counting as 0
// ("2.4" equals "2.4.0"). Yields <0, 0 or >0 as `a` is older, equal or newer;
// nothing when either is not of that form. Any number of digits compares
// exactly.
std::optional<int> compare_bundle_versions(std::string_view a, std::string_view b);

// The CFBundleVersion of the installed bundle `target`. Errors:
// "could not read CFBundleVersion: {}" (PlistBuddy could not be run),
// "could not read CFBundleVersion from the installed application's Info.plist".
support::Result<std::string> read_installed_version(const std::string& target,
                                                    const Tools& tools);

// --refuse-downgrade: the new bundle's CFBundleVersion must not be lower than
// the installed one's. Errors: "the update (version {new}) is older than the
// installed application (version {installed})", "cannot compare bundle
// versions {new} and {installed}", and those of reading either version.
support::Result<void> check_not_older(const std::string& bundle, const std::string& target,
                                      const Tools& tools);

}  // namespace installer
