#include "bundle_walk.h"

#include <fcntl.h>

#include <cerrno>

#include "os_error.h"
#include "path.h"
#include "tree_walk.h"
#include "unique_fd.h"
#include "utf8.h"

namespace installer {

support::Result<void> walk_tree(const std::string& root, const WalkVisitor& visit) {
  // Names below the root were read from the disk and are shown escaped.
  auto read_error = [&root](const std::string& path, int error) {
    return support::Error("could not read " + support::printable_below(root, path) + ": " +
                          support::os_error_text(error));
  };
  struct stat status;
  if (::lstat(root.c_str(), &status) != 0) return read_error(root, errno);
  if (auto visited = visit(WalkEntry{AT_FDCWD, root, status, root}); !visited) return visited;
  if (!S_ISDIR(status.st_mode)) return support::success();
  support::UniqueFd top(support::open_directory(root.c_str()));
  if (!top.valid()) return read_error(root, errno);

  support::TreeVisitor visitor;
  visitor.order = support::TreeVisitor::Order::as_listed;
  visitor.visit = [&](const support::WalkEntry& entry) -> support::Result<bool> {
    const std::string path = support::join(root, entry.path);
    auto visited = visit(WalkEntry{entry.directory_fd, entry.name, entry.status, path});
    if (!visited) return std::move(visited).take_error();
    return true;
  };
  visitor.failed = [&](const support::WalkFailure& failure) -> support::Result<void> {
    return read_error(failure.path.empty() ? root : support::join(root, failure.path),
                      failure.error);
  };
  return support::walk_tree(top.get(), visitor);
}

}  // namespace installer
