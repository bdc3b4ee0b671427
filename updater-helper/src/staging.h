// The staging directory beside the installed bundle, and extraction into it.
#pragma once

#include <string>

#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

inline constexpr char kStagingPrefix[] = ".zentrivale-update-staging-";

// The staging directory of this installer process in `install_directory`.
std::string staging_path(const std::string& install_directory);

// Removes leftover staging directories, makes a fresh one, logs
// "extracting the update archive..." and runs ditto into it. Yields the
// staging directory. Errors: "could not clear staging: {}",
// "could not create staging directory {} (is {} writable?): {}",
// "could not run ditto: {}" (staging left in place),
// "could not extract the update archive (corrupt ZIP?)" (staging removed).
support::Result<std::string> prepare_and_extract(const std::string& install_directory,
                                                 const std::string& archive, Log& log,
                                                 const Tools& tools);

// Removes the staging directory; a failure is logged
// ("could not remove staging directory {}"), never returned.
void clean_up_staging(const std::string& staging, Log& log);

}  // namespace installer
