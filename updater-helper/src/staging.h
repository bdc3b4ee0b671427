// The staging directory beside the installed bundle, and extraction into it.
#pragma once

#include <optional>
#include <string>

#include "digest.h"
#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

inline constexpr char kStagingPrefix[] = ".zentrivale-update-staging-";

// The staging directory of this installer process in `install_directory`.
std::string staging_path(const std::string& install_directory);

// Removes leftover staging directories, opens the archive without waiting
// (it must be a regular file), makes a fresh staging directory, logs
// "extracting the update archive..." and runs ditto into it. Yields the
// staging directory. With `archive_sha256`, the opened archive is hashed
// first, and ditto reads that same descriptor, so that the bytes extracted
// are the bytes checked. Errors: "could not read the update archive: {}"
// (the system's error, or "it is not a regular file"),
// "the update archive does not match its SHA-256 digest" (both before any
// staging directory exists), "could not clear staging: {}",
// "could not create staging directory {} (is {} writable?): {}",
// "could not run ditto: {}" (staging left in place),
// "could not extract the update archive (corrupt ZIP?)" (staging removed).
support::Result<std::string> prepare_and_extract(
    const std::string& install_directory, const std::string& archive, Log& log,
    const Tools& tools, const std::optional<support::Sha256Digest>& archive_sha256 = std::nullopt);

// Removes the staging directory; a failure is logged
// ("could not remove staging directory {}"), never returned.
void clean_up_staging(const std::string& staging, Log& log);

}  // namespace installer
