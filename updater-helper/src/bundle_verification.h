// Checking the new bundle before it replaces the installed one.
#pragma once

#include <optional>
#include <string>

#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

// The value of a top-level key of the property list, printed by PlistBuddy
// and trimmed of Unicode white space. The property list is first opened
// without waiting: one that is there but no regular file (a FIFO would hold
// PlistBuddy for ever) gives "could not read {path}: it is not a regular
// file". Errors: "could not read {}: {}",
// "could not read {} from the application's Info.plist",
// "{} in the application's Info.plist is empty". `value_at_fault`, when
// given, tells whether a failure is one of these last two, the value's own.
support::Result<std::string> read_plist_key(const std::string& plist, const std::string& key,
                                            const Tools& tools, bool* value_at_fault = nullptr);

// Info.plist present, identifier equal to `expected_bundle_id`, executable
// present, with `not_older_than` (an installed bundle) a CFBundleVersion not
// lower than that bundle's, then (unless `skip_signature_verification`)
// codesign, codesign against the signing team's requirement when `team_id`
// is given, and spctl.
// Error for the team: "the updated application is not signed by team {}".
// Values read from the bundle are shown escaped (support::printable).
support::Result<void> verify_bundle(const std::string& bundle,
                                    const std::string& expected_bundle_id,
                                    bool skip_signature_verification, Log& log,
                                    const Tools& tools,
                                    const std::optional<std::string>& team_id = std::nullopt,
                                    const std::optional<std::string>& not_older_than = std::nullopt);

// The code requirement, in codesign's command-line form ("=" and the text),
// met only by code signed with an Apple-issued Developer ID certificate of
// that team.
std::string team_requirement(const std::string& team_id);

}  // namespace installer
