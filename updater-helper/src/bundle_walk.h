// Visiting every entry of a bundle without following a link.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "result.h"

namespace installer {

// One entry met by walk_tree: the descriptor of the directory that holds it
// (AT_FDCWD for the root), its name there (the root's path for the root),
// its status, not following a link, and its path for messages.
struct WalkEntry {
  int directory_fd;
  const std::string& name;
  const struct stat& status;
  const std::string& path;
};

using WalkVisitor = std::function<support::Result<void>(const WalkEntry&)>;

// Visits `root`, then depth first everything below it, each directory
// before its entries. Links are visited, never followed, with support's
// walk_tree (a bounded number of descriptors at any depth). The first failure of the
// visitor ends the walk and is returned unchanged; the walk's own failures
// are "could not read {path}: {}", names below `root` escaped.
support::Result<void> walk_tree(const std::string& root, const WalkVisitor& visit);

}  // namespace installer
