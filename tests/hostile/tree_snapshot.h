// What a directory tree holds, to show that a run changed nothing: every
// entry's type, permission bits, size and content digest, or link target.
// Links are described, never followed.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace hostile {

// Relative path -> description. Entries whose relative path is in `skip`
// are left out, with everything below them.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& root, const std::set<std::string>& skip = {});

// Equal, or a failure listing what was added, removed or changed.
::testing::AssertionResult same_tree(const Snapshot& before, const Snapshot& after);

// Whether `base` followed by `levels` directories named `name`, then a file
// `leaf`, exists; walked with openat, so paths beyond PATH_MAX work.
bool deep_file_exists(const std::string& base, const std::string& name, int levels,
                      const std::string& leaf);

// Entries of `directory` whose names begin with `prefix`.
std::set<std::string> entries_with_prefix(const std::string& directory, const std::string& prefix);

}  // namespace hostile
