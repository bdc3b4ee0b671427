#include "bundle_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "bundle_walk.h"
#include "os_error.h"
#include "platform.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {

support::Result<void> remove_group_and_other_write(const std::string& bundle) {
  return walk_tree(bundle, [](const WalkEntry& entry) -> support::Result<void> {
    mode_t mode = entry.status.st_mode;
    if (S_ISLNK(mode) || (mode & (S_IWGRP | S_IWOTH)) == 0) return support::success();
    // The walk has just seen that this is no link, so following is safe.
    if (::fchmodat(entry.directory_fd, entry.name.c_str(), mode & 07777 & ~(S_IWGRP | S_IWOTH),
                   0) == 0) {
      return support::success();
    }
    return support::Error("could not remove group and other write permission from " +
                          support::lossy_utf8(entry.path) + ": " + support::os_error_text(errno));
  });
}

void clear_quarantine(const std::string& bundle, Log& log) {
  size_t cleared = 0;
  support::Result<void> walked = walk_tree(bundle, [&](const WalkEntry& entry) {
    if (!S_ISREG(entry.status.st_mode) && !S_ISDIR(entry.status.st_mode)) {
      return support::success();
    }
    support::UniqueFd fd(::openat(entry.directory_fd, entry.name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    support::Result<bool> removed =
        fd.valid() ? support::platform::remove_extended_attribute(
                         fd.get(), support::platform::kQuarantineAttribute)
                   : support::Result<bool>(support::os_error(errno));
    if (!removed) {
      log.line("could not clear the quarantine attribute from " + support::lossy_utf8(entry.path) +
               ": " + removed.error());
    } else if (*removed) {
      ++cleared;
    }
    return support::success();
  });
  if (!walked) log.line("could not clear the quarantine attribute: " + walked.error());
  if (cleared > 0) {
    log.line("cleared the quarantine attribute from " + std::to_string(cleared) + " entries");
  }
}

}  // namespace installer
