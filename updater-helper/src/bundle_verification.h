// Checking the new bundle before it replaces the installed one.
#pragma once

#include <string>

#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

// The value of a top-level key of the property list, printed by PlistBuddy
// and trimmed of Unicode white space. Errors: "could not read {}: {}",
// "could not read {} from the application's Info.plist",
// "{} in the application's Info.plist is empty".
support::Result<std::string> read_plist_key(const std::string& plist, const std::string& key,
                                            const Tools& tools);

// Info.plist present, identifier equal to `expected_bundle_id`, executable
// present, then (unless `skip_signature_verification`) codesign and spctl.
support::Result<void> verify_bundle(const std::string& bundle,
                                    const std::string& expected_bundle_id,
                                    bool skip_signature_verification, Log& log,
                                    const Tools& tools);

}  // namespace installer
