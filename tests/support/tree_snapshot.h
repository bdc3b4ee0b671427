// What a directory tree holds, to show that a run changed nothing: every
// entry's type, permission bits, size and content digest, or link target.
// Links are described, never followed.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace test_support {

// Relative path -> description. Entries whose relative path is in `skip`
// are left out, with everything below them. A root that is not a directory
// (links not followed) gives the one entry "." -> "not a directory".
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& root, const std::set<std::string>& skip = {});

// What was added, removed or changed from `before` to `after` (the first 20
// differences, one a line); empty when the trees are the same.
std::string difference(const Snapshot& before, const Snapshot& after);

// Equal, or a failure listing the difference.
inline ::testing::AssertionResult same_tree(const Snapshot& before, const Snapshot& after) {
  std::string differences = difference(before, after);
  if (differences.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the trees differ:" << differences;
}

}  // namespace test_support
