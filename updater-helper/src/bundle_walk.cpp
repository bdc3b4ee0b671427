#include "bundle_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "directory_listing.h"
#include "os_error.h"
#include "path.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {
namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// A directory on the way down: its subdirectories still to visit. Only the
// deepest level holds a descriptor; the walk climbs back through "..", which
// must be the directory it came from.
struct Level {
  std::string path;
  dev_t device;
  ino_t inode;
  std::vector<std::string> subdirectories;
};

class TreeWalker {
 public:
  TreeWalker(const WalkVisitor& visit) : visit_(visit) {}

  support::Result<void> run(const std::string& root) {
    root_ = root;
    struct stat status;
    if (::lstat(root.c_str(), &status) != 0) return read_error(root, errno);
    if (auto visited = visit_(WalkEntry{AT_FDCWD, root, status, root}); !visited) return visited;
    if (!S_ISDIR(status.st_mode)) return support::success();
    current_.reset(::open(root.c_str(), kOpenDirectory));
    if (!current_.valid()) return read_error(root, errno);
    if (auto entered = enter(root); !entered) return entered;

    while (!levels_.empty()) {
      Level& level = levels_.back();
      support::Result<void> step = support::success();
      if (level.subdirectories.empty()) {
        step = climb();
      } else {
        std::string name = std::move(level.subdirectories.back());
        level.subdirectories.pop_back();
        step = descend(name);
      }
      if (!step) return step;
    }
    return support::success();
  }

 private:
  // Visits the entries of the directory open at current_ and keeps its
  // subdirectories for later.
  support::Result<void> enter(const std::string& path) {
    struct stat own;
    if (::fstat(current_.get(), &own) != 0) return read_error(path, errno);
    Level level{path, own.st_dev, own.st_ino, {}};
    support::Result<support::DirStream> listing = support::listing_from_start(current_.get());
    if (!listing) return read_error(path, listing.error());
    for (;;) {
      errno = 0;
      struct dirent* entry = ::readdir(listing->get());
      if (entry == nullptr) {
        if (errno != 0) return read_error(path, errno);
        break;
      }
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      std::string name = entry->d_name;
      std::string entry_path = support::join(path, name);
      struct stat status;
      if (::fstatat(current_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return read_error(entry_path, errno);
      }
      auto visited = visit_(WalkEntry{current_.get(), name, status, entry_path});
      if (!visited) return visited;
      if (S_ISDIR(status.st_mode)) level.subdirectories.push_back(std::move(name));
    }
    levels_.push_back(std::move(level));
    return support::success();
  }

  support::Result<void> descend(const std::string& name) {
    std::string path = support::join(levels_.back().path, name);
    support::UniqueFd child(::openat(current_.get(), name.c_str(), kOpenDirectory));
    if (!child.valid()) return read_error(path, errno);
    current_ = std::move(child);
    return enter(path);
  }

  support::Result<void> climb() {
    std::string path = std::move(levels_.back().path);
    levels_.pop_back();
    if (levels_.empty()) return support::success();
    support::UniqueFd parent(::openat(current_.get(), "..", kOpenDirectory & ~O_NOFOLLOW));
    if (!parent.valid()) return read_error(path, errno);
    struct stat status;
    if (::fstat(parent.get(), &status) != 0) return read_error(path, errno);
    // Moved meanwhile: its ".." is some other directory.
    if (status.st_dev != levels_.back().device || status.st_ino != levels_.back().inode) {
      return read_error(levels_.back().path, ESTALE);
    }
    current_ = std::move(parent);
    return support::success();
  }

  // Names below the root were read from the disk and are shown escaped.
  support::Error read_error(const std::string& path, const std::string& cause) const {
    return support::Error("could not read " + support::printable_below(root_, path) + ": " +
                          cause);
  }

  support::Error read_error(const std::string& path, int error) const {
    return read_error(path, support::os_error_text(error));
  }

  const WalkVisitor& visit_;
  std::string root_;
  support::UniqueFd current_;
  std::vector<Level> levels_;
};

}  // namespace

support::Result<void> walk_tree(const std::string& root, const WalkVisitor& visit) {
  return TreeWalker(visit).run(root);
}

}  // namespace installer
