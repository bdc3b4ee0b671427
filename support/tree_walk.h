// Walking directory trees by descriptor, never through a link, with a
// bounded number of descriptors whatever the depth.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "result.h"
#include "unique_fd.h"

namespace support {

// O_NONBLOCK keeps a FIFO that replaced a directory from blocking the open.
inline constexpr int kOpenDirectoryFlags =
    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// Opens the directory `name` in `directory` without following a link,
// retried after EINTR. -1 with errno set on failure.
int open_directory_at(int directory, const char* name);
// The same for the directory at `path`.
int open_directory(const char* path);

// The directories from a top one down to the current one. Whatever its
// depth it holds one descriptor of its own, the current directory's (the
// top's is borrowed): it climbs back through "..", which must be the
// directory it descended from, recognised by device and inode.
class DirectoryTrail {
 public:
  explicit DirectoryTrail(int top) : top_(top) {}

  int current() const { return depth() == 0 ? top_ : current_.get(); }
  std::size_t depth() const { return identities_.size(); }

  // Opens the directory `name` in the current one and makes it current.
  // 0, or the system's error number. `status`, when given, receives the new
  // current directory's.
  int descend(const char* name, struct stat* status = nullptr);
  // The same for a directory the caller opened in the current one.
  int descend(UniqueFd child, struct stat* status = nullptr);

  // Back to the directory above. 0; the system's error number; or ESTALE
  // when ".." is not the directory descended from (the current one was
  // moved meanwhile), the trail unchanged. `left`, when given, receives the
  // descriptor of the directory left.
  int climb(UniqueFd* left = nullptr);

  // Back to the top at once.
  void to_top();

 private:
  struct Identity {
    dev_t device;
    ino_t inode;
  };

  int top_;
  UniqueFd current_;
  std::vector<Identity> identities_;  // of each directory below the top, the current last
};

// One entry met by walk_tree: the descriptor of the directory that holds it,
// its name there, its status (not following a link) and its path below the
// top, "/"-separated.
struct WalkEntry {
  int directory_fd;
  const std::string& name;
  const struct stat& status;
  const std::string& path;
};

// What the walk could not do: open or list the directory at `path` ("" for
// the top; `listing` true), or get the status of the entry at `path`.
struct WalkFailure {
  const std::string& path;
  int error;
  bool listing;
};

struct TreeVisitor {
  enum class Order {
    // Each directory's entries as its listing gives them, then its
    // subdirectories, the last met first.
    as_listed,
    // Each directory's entries in byte order of their names, every
    // subdirectory's own entries right after it.
    sorted,
  };
  Order order = Order::as_listed;
  // The entry's own policy; true enters a directory.
  std::function<Result<bool>(const WalkEntry&)> visit;
  // Success carries on past what could not be read; an error ends the walk.
  std::function<Result<void>(const WalkFailure&)> failed;
};

// Visits every entry below the directory open at `top`, depth first, never
// following a link, with at most three descriptors of its own at a time
// (the current directory, its listing, and ".." while climbing). The first
// error of a callback ends the walk and is returned unchanged; a directory
// moved while it was walked is ESTALE for failed(), and ends the walk.
Result<void> walk_tree(int top, const TreeVisitor& visitor);

}  // namespace support
