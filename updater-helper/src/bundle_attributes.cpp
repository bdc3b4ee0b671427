#include "bundle_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bundle_walk.h"
#include "os_error.h"
#include "platform.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

// Removing an extended attribute needs write permission on the entry, even
// for its owner (macOS authorizes it as a write). A read-only file or
// directory is made writable by its owner for the removal, then given its
// mode back.
support::Result<bool> remove_quarantine(int fd, const struct stat& status) {
  const char* name = support::platform::kQuarantineAttribute;
  const mode_t mode = status.st_mode & 07777;
  if ((mode & S_IWUSR) != 0 || status.st_uid != ::geteuid()) {
    return support::platform::remove_extended_attribute(fd, name);
  }
  if (::fchmod(fd, mode | S_IWUSR) != 0) return support::os_error(errno);
  support::Result<bool> removed = support::platform::remove_extended_attribute(fd, name);
  if (::fchmod(fd, mode) != 0 && removed) return support::os_error(errno);
  return removed;
}

support::Result<bool> clear_entry(const WalkEntry& entry) {
  if (S_ISLNK(entry.status.st_mode)) {
    return support::platform::remove_link_extended_attribute(
        entry.directory_fd, entry.name.c_str(), support::platform::kQuarantineAttribute);
  }
  if (!S_ISREG(entry.status.st_mode) && !S_ISDIR(entry.status.st_mode)) return false;
  support::UniqueFd fd(support::retry_on_eintr([&] {
    return ::openat(entry.directory_fd, entry.name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  }));
  if (!fd.valid()) return support::os_error(errno);
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) return support::os_error(errno);
  return remove_quarantine(fd.get(), status);
}

}  // namespace

support::Result<void> remove_group_and_other_write(const std::string& bundle) {
  return walk_tree(bundle, [&bundle](const WalkEntry& entry) -> support::Result<void> {
    mode_t mode = entry.status.st_mode;
    // A ZIP archive cannot hold a hard link: one in the staged bundle was
    // planted, and shares its inode (and so its mode and attributes) with a
    // file outside the bundle.
    if (S_ISREG(mode) && entry.status.st_nlink > 1) {
      return support::Error("the new application contains a hard link: " +
                            support::printable_below(bundle, entry.path));
    }
    if (S_ISLNK(mode) || (mode & (S_IWGRP | S_IWOTH)) == 0) return support::success();
    // The walk has just seen that this is no link, so following is safe.
    if (::fchmodat(entry.directory_fd, entry.name.c_str(), mode & 07777 & ~(S_IWGRP | S_IWOTH),
                   0) == 0) {
      return support::success();
    }
    return support::Error("could not remove group and other write permission from " +
                          support::printable_below(bundle, entry.path) + ": " +
                          support::os_error_text(errno));
  });
}

void clear_quarantine(const std::string& bundle, Log& log) {
  size_t cleared = 0;
  support::Result<void> walked = walk_tree(bundle, [&](const WalkEntry& entry) {
    support::Result<bool> removed = clear_entry(entry);
    if (!removed) {
      log.line("could not clear the quarantine attribute from " +
               support::printable_below(bundle, entry.path) + ": " + removed.error());
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
