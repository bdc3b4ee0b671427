// Putting the new bundle in place, keeping the previous one as a backup.
#pragma once

#include <string>

#include "result.h"
#include "update_log.h"

namespace installer {

// ".{stem}.backup-" for the target's file stem ("Zentrivale" when it has none).
std::string backup_prefix(const std::string& target);

// The backup path of this installer process for `target`.
std::string backup_path(const std::string& install_directory, const std::string& target);

struct SwapOutcome {
  // true: the previous version is at the backup path; false: after the atomic
  // exchange it is at the candidate path, inside the staging directory.
  bool backup_in_place;
};

// Exchanges candidate and target atomically, or falls back to two renames
// with a rollback. Errors as documented for the installer's swap step.
support::Result<SwapOutcome> swap_bundles(const std::string& candidate, const std::string& target,
                                          const std::string& backup);

// The installation step: "installing the new application...", the swap,
// preserving the backup, the staging clean-up and the removal of older
// backups. Fails only with the swap's message (after the staging clean-up).
support::Result<void> install_bundle(const std::string& candidate, const std::string& target,
                                     const std::string& install_directory,
                                     const std::string& staging, Log& log);

}  // namespace installer
