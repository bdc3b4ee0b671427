// Building application bundles and update archives for the tests.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// An XML Info.plist whose top-level dictionary holds `entries`, given as
// XML ("<key>K</key><string>V</string>...").
std::string info_plist(const std::string& entries);
// One "<key>KEY</key><string>VALUE</string>" entry.
std::string plist_string(const std::string& key, const std::string& value);

// Seals `bundle` with the codesign stand-in under `stand_in_root`, ad hoc
// ("-") or as an identity such as "Developer ID Application: Name (TEAMID)".
// Throws when the stand-in refuses.
void sign_bundle(const std::string& stand_in_root, const std::string& bundle,
                 const std::string& identity = "-");

// Writes `archive`, a ZIP file of the `entries` of `directory` (names
// relative to it, links kept as links), with Info-ZIP's zip. Throws when zip
// fails.
void zip_entries(const std::string& directory, const std::vector<std::string>& entries,
                 const std::string& archive);

}  // namespace test_support
