#include "bundle_swap.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"
#include "path.h"
#include "platform.h"
#include "staging.h"
#include "tree_removal.h"
#include "utf8.h"

namespace installer {
namespace {

bool contains_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// 0, or the error number of the failed rename.
int rename_entry(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Two renames instead of the exchange: the installed bundle goes aside, the
// new one takes its place, and the old one comes back if that fails.
support::Result<SwapOutcome> swap_by_renames(const std::string& candidate,
                                             const std::string& target,
                                             const std::string& backup) {
  if (int aside = rename_entry(target, backup); aside != 0) {
    return support::Error("could not move the existing application aside: " +
                          support::os_error_text(aside));
  }
  int install = rename_entry(candidate, target);
  if (install == 0) return SwapOutcome{true};
  int rollback = rename_entry(backup, target);
  if (rollback == 0) {
    return support::Error("could not install the new application (rolled back): " +
                          support::os_error_text(install));
  }
  return support::Error("could not install the new application (" +
                        support::os_error_text(install) + ") and rollback also failed (" +
                        support::os_error_text(rollback) + "); previous version is at " +
                        support::lossy_utf8(backup));
}

}  // namespace

std::string backup_prefix(const std::string& target) {
  std::optional<std::string> stem = support::file_stem(target);
  return "." + (stem ? support::lossy_utf8(*stem) : std::string("Zentrivale")) + ".backup-";
}

std::string backup_path(const std::string& install_directory, const std::string& target) {
  return support::join(install_directory, backup_prefix(target) + std::to_string(::getpid()));
}

support::Result<SwapOutcome> swap_bundles(const std::string& candidate, const std::string& target,
                                          const std::string& backup) {
  if (contains_nul(candidate)) return support::Error("candidate path contains NUL");
  if (contains_nul(target)) return support::Error("target path contains NUL");
  // Never formed from outside input, but a cut-off string would rename to
  // the wrong place.
  if (contains_nul(backup)) return support::Error("backup path contains NUL");
  // Any refusal of the exchange (unsupported volume, anything else) leaves
  // both entries where they were, so the fallback starts from a clean state.
  if (support::platform::exchange(candidate.c_str(), target.c_str()) == 0) {
    return SwapOutcome{false};
  }
  return swap_by_renames(candidate, target, backup);
}

support::Result<void> install_bundle(const std::string& candidate, const std::string& target,
                                     const std::string& install_directory,
                                     const std::string& staging, Log& log) {
  std::string backup = backup_path(install_directory, target);
  log.line("installing the new application...");
  support::Result<SwapOutcome> swapped = swap_bundles(candidate, target, backup);
  if (!swapped) {
    clean_up_staging(staging, log);
    return std::move(swapped).take_error();
  }
  // ditto restored the archive's modification time; Finder and
  // LaunchServices look at a bundle again once it changes. Nothing depends
  // on it, so a failure is ignored.
  const struct timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  (void)::utimensat(AT_FDCWD, target.c_str(), now, AT_SYMLINK_NOFOLLOW);

  bool backup_kept = swapped->backup_in_place;
  if (!backup_kept) {
    int preserve = rename_entry(candidate, backup);
    backup_kept = preserve == 0;
    if (!backup_kept) {
      log.line("could not preserve rollback backup: " + support::os_error_text(preserve));
    }
  }
  if (backup_kept) {
    clean_up_staging(staging, log);
    log.line("previous version kept as rollback backup at " + support::lossy_utf8(backup));
  } else {
    // The previous version is the only copy left: the staging directory that
    // holds it stays, and the next run's clean-up removes it.
    log.line("previous version left at " + support::lossy_utf8(candidate));
  }
  remove_stale_entries_except(install_directory, backup_prefix(target), backup, log);
  return support::success();
}

}  // namespace installer
