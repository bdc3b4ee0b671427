// The version a bundle declares, which the delta's manifest records.
#pragma once

#include <string>

#include "bundle_tree.h"
#include "result.h"

namespace delta {

// CFBundleVersion of the tree's Contents/Info.plist (XML or binary), read
// without following a link. Errors: "cannot read {path}: {cause}",
// "{path}: not a property list" (or "{path}: the property list's root is not a dictionary"),
// "{path} has no CFBundleVersion", "{path}: CFBundleVersion is not a string".
support::Result<std::string> bundle_version(const BundleTree& tree);

}  // namespace delta
