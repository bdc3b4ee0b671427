// The self-check: the delta archive, applied as the installer applies it,
// gives back the new bundle exactly.
#pragma once

#include <string>

#include "bundle_tree.h"
#include "result.h"

namespace delta {

// Extracts `archive` into `work` (an empty directory), reads its manifest,
// rebuilds the bundle `bundle_name` there from `old_root` and compares the
// result with `new_tree` entry by entry: kinds, modes, sizes, bytes and link
// targets, and no entry more or less. Errors: an extraction error, "the
// delta's manifest does not parse: {why}", "the delta does not rebuild
// {new}: {cause}", "the delta does not reproduce {new}: {path}".
support::Result<void> check_delta(const std::string& archive, const std::string& work,
                                  const std::string& old_root, const BundleTree& new_tree,
                                  const std::string& bundle_name);

}  // namespace delta
