// Rebuilding the new bundle of a delta update from the installed one.
#pragma once

#include <string>

#include "delta_manifest.h"
#include "result.h"

namespace installer {

// Completes `staged`, the bundle extracted from a delta archive (the added
// files and the patches, each at its own path), into the new bundle that
// `manifest` describes, taking kept files (cloned where the volume can,
// copied elsewhere) and patch bases from `installed`, which is only read. No
// link is followed on either side. Every file ends with the manifest's size,
// digest and mode, and no extended attribute; a staged entry that the
// manifest does not list is refused. Errors:
// "the delta update's manifest is invalid: {what}",
// "the installed application does not match this delta update: {path}",
// "could not rebuild {path}: {cause}".
support::Result<void> rebuild_bundle(const DeltaManifest& manifest, const std::string& installed,
                                     const std::string& staged);

}  // namespace installer
