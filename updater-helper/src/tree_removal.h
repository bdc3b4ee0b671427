// Removing trees without ever following a symbolic link.
#pragma once

#include <optional>
#include <string>

#include "result.h"
#include "update_log.h"

namespace installer {

// Removes `path` and everything below it, descriptor-relative. A symbolic link
// at `path` is removed itself; a plain file is ENOTDIR and stays. A
// directory its owner may not list, search or change is given those
// permissions first. Works on any depth with a bounded number of
// descriptors and no recursion.
// Error: the system's error, rendered "{} (os error {})".
support::Result<void> remove_tree(const std::string& path);

// Removes, as trees, the entries of `directory` whose names are valid UTF-8
// and begin with `prefix`, except `excepted` (compared by components). Logs
// "removed stale {}" for each removal, and "could not remove stale {}: {}"
// for a directory that stays (names escaped); a plain file stays in silence.
void remove_stale_entries_except(const std::string& directory, const std::string& prefix,
                                 const std::optional<std::string>& excepted, Log& log);

}  // namespace installer
