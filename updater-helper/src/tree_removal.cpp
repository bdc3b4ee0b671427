#include "tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "directory_listing.h"
#include "os_error.h"
#include "path.h"
#include "tree_walk.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

using support::DirStream;
using support::listing_from_start;

struct Entry {
  std::string name;
  ino_t inode;
  bool maybe_directory;
};

// One directory on the way down, reached through support's DirectoryTrail:
// only the deepest level holds a descriptor (and, between batches, a
// listing).
struct Level {
  std::string name;  // its name in the level above
  std::vector<std::string> subdirectories;  // of the current batch, still to be removed
  DirStream listing;    // the pass under way; none before a pass or after a descent
  bool found = false;   // the pass under way has met entries
  bool empty = false;   // a whole pass from the start met none
};

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// At most this many entries of one directory are held at a time: a bundle
// may keep tens of thousands of files in one directory, and memory must not
// grow with that.
constexpr size_t kListingBatch = 1024;

// The next batch of up to kListingBatch entries of the level's pass.
support::Result<std::vector<Entry>> next_batch(int directory, Level& level) {
  if (!level.listing) {
    support::Result<DirStream> listing = listing_from_start(directory);
    if (!listing) return std::move(listing).take_error();
    level.listing = std::move(listing.value());
    level.found = false;
  }
  std::vector<Entry> entries;
  while (entries.size() < kListingBatch) {
    errno = 0;
    struct dirent* entry = ::readdir(level.listing.get());
    if (entry == nullptr) {
      if (errno != 0) return support::os_error(errno);
      level.listing.reset();
      level.empty = !level.found && entries.empty();
      break;
    }
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    bool maybe_directory = entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN;
    entries.push_back(Entry{entry->d_name, entry->d_ino, maybe_directory});
  }
  if (!entries.empty()) level.found = true;
  // In inode order, the removals meet the file system's inode tables in
  // sequence rather than in the listing's order (on ext4, the names' hashes).
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
  return entries;
}

support::Result<void> unlink_entry(int directory, const std::string& name, int flags) {
  if (::unlinkat(directory, name.c_str(), flags) == 0 || errno == ENOENT) {
    return support::success();
  }
  return support::os_error(errno);
}

// Removes the next batch of the directory at `fd`: unlinks what is certainly
// not a directory and keeps the rest for later descent. Some file systems
// skip entries when a directory changes while it is being read, so a
// directory counts as emptied only once a whole pass from its start has met
// nothing.
support::Result<void> remove_batch(int fd, Level& level) {
  support::Result<std::vector<Entry>> batch = next_batch(fd, level);
  if (!batch) return std::move(batch).take_error();
  for (Entry& entry : batch.value()) {
    if (entry.maybe_directory) {
      level.subdirectories.push_back(std::move(entry.name));
      continue;
    }
    support::Result<void> removed = unlink_entry(fd, entry.name, 0);
    if (!removed) return removed;
  }
  return support::success();
}

// A directory of ours that is going anyway, without read, write or search
// permission for its owner (an archive can make such a directory), would
// stop the removal: its owner gives them back.
void grant_owner_access(int fd, const struct stat& status) {
  if ((status.st_mode & S_IRWXU) == S_IRWXU || status.st_uid != ::geteuid()) return;
  ::fchmod(fd, (status.st_mode & 07777) | S_IRWXU);
}

// The same for the directory `name` in `directory`, which could not be
// opened; whether that helped shows when it is opened again.
bool grant_owner_access_at(int directory, const char* name) {
  struct stat status;
  if (::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_uid != ::geteuid()) {
    return false;
  }
  return ::fchmodat(directory, name, (status.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
}

// Opens the directory `name` in `directory` for removal, without following a
// link, giving its owner access first where it has none.
int open_at_for_removal(int directory, const char* name) {
  int fd = support::open_directory_at(directory, name);
  if (fd < 0 && errno == EACCES && grant_owner_access_at(directory, name)) {
    fd = support::open_directory_at(directory, name);
  }
  return fd;
}

// Empties the directory open at `top` without recursion and with at most
// four descriptors open at a time, whatever the depth.
class TreeEmptier {
 public:
  explicit TreeEmptier(int top) : trail_(top) {}

  support::Result<void> run() {
    struct stat status;
    if (::fstat(trail_.current(), &status) != 0) return support::os_error(errno);
    grant_owner_access(trail_.current(), status);
    levels_.push_back(Level{{}, {}, {}});
    while (!levels_.empty()) {
      Level& level = levels_.back();
      support::Result<void> step = support::success();
      if (!level.subdirectories.empty()) {
        std::string name = std::move(level.subdirectories.back());
        level.subdirectories.pop_back();
        step = descend(name);
      } else if (!level.empty) {
        step = remove_batch(trail_.current(), level);
      } else if (levels_.size() > 1) {
        step = climb_and_remove();
      } else {
        levels_.pop_back();
      }
      if (!step) return step;
    }
    return support::success();
  }

 private:
  support::Result<void> descend(const std::string& name) {
    support::UniqueFd child(open_at_for_removal(trail_.current(), name.c_str()));
    if (!child.valid()) {
      int error = errno;
      if (error == ENOENT) return support::success();
      // Not a directory after all, or a symbolic link: the entry itself goes.
      if (error == ENOTDIR || error == ELOOP) return unlink_entry(trail_.current(), name, 0);
      return support::os_error(error);
    }
    const int fd = child.get();
    struct stat status;
    if (int error = trail_.descend(std::move(child), &status)) return support::os_error(error);
    grant_owner_access(fd, status);
    // The parent's pass starts again from the start when we are back: one
    // listing held at a time keeps the descriptors bounded.
    levels_.back().listing.reset();
    levels_.push_back(Level{name, {}, {}});
    return support::success();
  }

  // Back to the parent: if the emptied directory was moved meanwhile, its
  // ".." is some other directory (ESTALE), and nothing may be removed there.
  support::Result<void> climb_and_remove() {
    if (int error = trail_.climb()) return support::os_error(error);
    std::string name = std::move(levels_.back().name);
    levels_.pop_back();
    return unlink_entry(trail_.current(), name, AT_REMOVEDIR);
  }

  support::DirectoryTrail trail_;
  std::vector<Level> levels_;
};

// A listing of `directory` by path; the installer's working directory when
// the path is empty (a bundle given by its bare name). opendir sets
// close-on-exec on glibc and on macOS.
DirStream open_listing(const std::string& directory) {
  return DirStream(::opendir(directory.empty() ? "." : directory.c_str()));
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

support::Result<void> remove_tree(const std::string& path) {
  struct stat status;
  if (::lstat(path.c_str(), &status) != 0) return support::os_error(errno);
  if (S_ISLNK(status.st_mode)) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return support::success();
    return support::os_error(errno);
  }
  support::UniqueFd top(support::open_directory(path.c_str()));
  if (!top.valid() && errno == EACCES && grant_owner_access_at(AT_FDCWD, path.c_str())) {
    top.reset(support::open_directory(path.c_str()));
  }
  if (!top.valid()) {
    if (errno == ENOENT) return support::success();
    return support::os_error(errno);
  }
  support::Result<void> emptied = TreeEmptier(top.get()).run();
  if (!emptied) return emptied;
  if (::unlinkat(AT_FDCWD, path.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
    return support::success();
  }
  return support::os_error(errno);
}

void remove_stale_entries_except(const std::string& directory, const std::string& prefix,
                                 const std::optional<std::string>& excepted, Log& log) {
  struct Stale {
    std::string name;
    bool maybe_directory;
  };
  std::vector<Stale> stale;
  {
    DirStream listing = open_listing(directory);
    if (!listing) return;
    for (;;) {
      errno = 0;
      struct dirent* entry = ::readdir(listing.get());
      if (entry == nullptr) break;  // the end, or a failed read: both end the walk
      if (is_dot_or_dot_dot(entry->d_name)) continue;
      std::string name = entry->d_name;
      std::string path = support::join(directory, name);
      if (excepted && support::same_components(path, *excepted)) continue;
      if (!support::is_valid_utf8(name) || !starts_with(name, prefix)) continue;
      // Only a directory (or a link) is ever removed; anything else stays,
      // in silence.
      bool maybe_directory = entry->d_type == DT_DIR || entry->d_type == DT_LNK ||
                             entry->d_type == DT_UNKNOWN;
      stale.push_back(Stale{std::move(name), maybe_directory});
    }
  }
  // The names were read from the directory: shown escaped, like a bundle's.
  const std::string shown_directory = support::lossy_utf8(directory);
  for (const Stale& entry : stale) {
    std::string path = support::join(directory, entry.name);
    std::string shown = support::join(shown_directory, support::printable(entry.name));
    support::Result<void> removed = remove_tree(path);
    if (removed) {
      log.line("removed stale " + shown);
    } else if (entry.maybe_directory) {
      // Logged on every run that meets it, so that it cannot stay unseen.
      log.line("could not remove stale " + shown + ": " + removed.error());
    }
  }
}

}  // namespace installer
