#include "tree_walk.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "directory_listing.h"
#include "os_error.h"

namespace support {

int open_directory_at(int directory, const char* name) {
  return retry_on_eintr([&] { return ::openat(directory, name, kOpenDirectoryFlags); });
}

int open_directory(const char* path) {
  return retry_on_eintr([&] { return ::open(path, kOpenDirectoryFlags); });
}

int DirectoryTrail::descend(const char* name, struct stat* status) {
  UniqueFd child(open_directory_at(current(), name));
  if (!child.valid()) return errno;
  return descend(std::move(child), status);
}

int DirectoryTrail::descend(UniqueFd child, struct stat* status) {
  struct stat own;
  if (::fstat(child.get(), &own) != 0) return errno;
  if (status) *status = own;
  identities_.push_back({own.st_dev, own.st_ino});
  current_ = std::move(child);
  return 0;
}

int DirectoryTrail::climb(UniqueFd* left) {
  if (depth() == 0) return 0;
  UniqueFd parent;
  if (depth() > 1) {
    parent.reset(open_directory_at(current_.get(), ".."));
    if (!parent.valid()) return errno;
    struct stat status;
    if (::fstat(parent.get(), &status) != 0) return errno;
    const Identity& above = identities_[identities_.size() - 2];
    if (status.st_dev != above.device || status.st_ino != above.inode) return ESTALE;
  }
  identities_.pop_back();
  if (left) *left = std::move(current_);
  current_ = std::move(parent);
  return 0;
}

void DirectoryTrail::to_top() {
  identities_.clear();
  current_.reset();
}

namespace {

bool is_dot_or_dot_dot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

std::string below(const std::string& path, const std::string& name) {
  return path.empty() ? name : path + "/" + name;
}

class Walk {
 public:
  Walk(int top, const TreeVisitor& visitor) : visitor_(visitor), trail_(top) {}

  Result<void> run() {
    if (auto entered = enter({}); !entered) return entered;
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.waiting.empty()) {
        if (auto climbed = climb(); !climbed) return climbed;
        continue;
      }
      std::string name = std::move(level.waiting.back());
      level.waiting.pop_back();
      const std::string path = below(level.path, name);
      if (visitor_.order == TreeVisitor::Order::as_listed) {
        if (auto descended = descend(name, path); !descended) return descended;
        continue;
      }
      Result<bool> enter_it = visit(name, path);
      if (!enter_it) return std::move(enter_it).take_error();
      if (*enter_it) {
        if (auto descended = descend(name, path); !descended) return descended;
      }
    }
    return success();
  }

 private:
  // A directory on the way down, and what of it is still to be done: in
  // listing order, its subdirectories still to enter; sorted, its names
  // still to visit. Either way the next is the last.
  struct Level {
    std::string path;
    std::vector<std::string> waiting;
  };

  Result<void> failed(const std::string& path, int error, bool listing) {
    return visitor_.failed(WalkFailure{path, error, listing});
  }

  // Visits the entry `name` of the current directory. True: enter it.
  Result<bool> visit(const std::string& name, const std::string& path) {
    struct stat status;
    if (::fstatat(trail_.current(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (auto carry_on = failed(path, errno, false); !carry_on) return std::move(carry_on).take_error();
      return false;
    }
    Result<bool> enter_it = visitor_.visit(WalkEntry{trail_.current(), name, status, path});
    if (!enter_it) return enter_it;
    return *enter_it && S_ISDIR(status.st_mode);
  }

  Result<void> descend(const std::string& name, const std::string& path) {
    if (int error = trail_.descend(name.c_str())) return failed(path, error, true);
    return enter(path);
  }

  // Lists the current directory, at `path`: a level whose list stays empty
  // when the listing fails and the walk carries on.
  Result<void> enter(const std::string& path) {
    levels_.push_back(Level{path, {}});
    std::vector<std::string>& waiting = levels_.back().waiting;
    DirStream listing = listing_from_start_or_errno(trail_.current());
    if (!listing) return failed(path, errno, true);
    for (;;) {
      errno = 0;
      struct dirent* entry = ::readdir(listing.get());
      if (entry == nullptr) {
        if (errno != 0) {
          waiting.clear();
          return failed(path, errno, true);
        }
        break;
      }
      if (is_dot_or_dot_dot(entry->d_name)) continue;
      std::string name = entry->d_name;
      if (visitor_.order == TreeVisitor::Order::sorted) {
        waiting.push_back(std::move(name));
        continue;
      }
      Result<bool> enter_it = visit(name, below(path, name));
      if (!enter_it) return std::move(enter_it).take_error();
      if (*enter_it) levels_.back().waiting.push_back(std::move(name));
    }
    if (visitor_.order == TreeVisitor::Order::sorted) {
      std::sort(waiting.begin(), waiting.end(), std::greater<>());
    }
    return success();
  }

  Result<void> climb() {
    std::string path = std::move(levels_.back().path);
    levels_.pop_back();
    if (levels_.empty()) return success();
    int error = trail_.climb();
    if (error == 0) return success();
    // Moved meanwhile: the directory above is not where the walk left it.
    Result<void> reported =
        failed(error == ESTALE ? levels_.back().path : path, error, true);
    if (!reported) return reported;
    levels_.clear();
    return success();
  }

  const TreeVisitor& visitor_;
  DirectoryTrail trail_;
  std::vector<Level> levels_;
};

}  // namespace

Result<void> walk_tree(int top, const TreeVisitor& visitor) { return Walk(top, visitor).run(); }

}  // namespace support
