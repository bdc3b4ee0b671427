// What the delta archive and the full archive of a new bundle hold. The
// items refer to the bytes of the plan, the tree and the manifest given.
#pragma once

#include <string>
#include <vector>

#include "bundle_tree.h"
#include "delta_plan.h"
#include "delta_zip.h"

namespace delta {

// "NAME/" (the bundle's directory), the plan's stored files at their own
// paths below it (added files read from `new_tree`, patches from the plan)
// with the directories above them, and the manifest file at the root.
std::vector<ZipItem> delta_archive(const DeltaPlan& plan, const BundleTree& new_tree,
                                   const std::string& bundle_name,
                                   const std::string& manifest_bytes);

// Every entry of `new_tree` below "NAME/", as a full update ships it.
std::vector<ZipItem> full_archive(const BundleTree& new_tree, const std::string& bundle_name);

}  // namespace delta
