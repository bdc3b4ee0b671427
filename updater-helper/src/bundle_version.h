// Bundle versions (CFBundleVersion): how they are read and compared, by the
// installer through PlistBuddy and by the release tool through a
// property-list library, so that both see the same text.
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

// The CFBundleVersion's value as it is compared and recorded: its bytes read
// as UTF-8 (invalid sequences replaced by U+FFFD) without Unicode white
// space at either end. What PlistBuddy prints (the value and a line feed)
// and the string a property-list library reads give the same text.
std::string comparable_bundle_version(std::string_view value);

// What keeps a comparable version from standing in a delta's manifest, as a
// phrase that follows "CFBundleVersion" or "the new version": "is empty",
// "holds a line feed"; nothing when it can.
std::optional<std::string> bundle_version_fault(std::string_view version);

// The comparable CFBundleVersion of `bundle`. Errors: those of
// read_plist_key, which also sets `value_at_fault`.
support::Result<std::string> read_bundle_version(const std::string& bundle, const Tools& tools,
                                                 bool* value_at_fault = nullptr);

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
