// What the delta archive and the full archive of a new bundle hold. The
// items refer to the bytes of the plan, the tree and the manifest given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle_tree.h"
#include "delta_plan.h"
#include "zip_writing.h"

namespace delta {

// "NAME/" (the bundle's directory), the plan's stored files at their own
// paths below it (added files read from `new_tree`, patches from the
// directory `patch_directory`) with the directories above them, and the
// manifest file at the root.
std::vector<ZipItem> delta_archive(const DeltaPlan& plan, const BundleTree& new_tree,
                                   const std::string& bundle_name,
                                   const std::string& manifest_bytes, int patch_directory);

// The size of a full update's archive of `new_tree` (every entry below
// "NAME/"), files deflated at zlib's default level as zip(1) deflates them
// (or stored, where that is smaller), counted without writing it: the ZIP's headers without extra fields and
// each entry's deflated bytes. Error: "cannot read {path}: {cause}".
support::Result<std::uint64_t> full_archive_size(const BundleTree& new_tree,
                                                 const std::string& bundle_name);

}  // namespace delta
