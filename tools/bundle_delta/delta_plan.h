// Deciding where each file of the new bundle comes from, and the manifest
// that records it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bundle_tree.h"
#include "delta_manifest.h"
#include "result.h"

namespace delta {

// A file the archive carries: added whole (read from the new bundle when the
// archive is written) or as a patch against `base_path` of the old bundle.
struct StoredFile {
  std::string path;
  installer::DeltaEntry::Source source = installer::DeltaEntry::Source::added;
  std::uint64_t size = 0;  // the new file's
  std::string base_path;   // patched
  std::string patch_name;  // patched: the patch's file in the patch directory
  std::uint64_t patch_size = 0;     // patched: as the archive stores it, compressed
  std::uint64_t deflated_size = 0;  // what the archive stores: the file deflated, or the patch
};

struct DeltaPlan {
  installer::DeltaManifest manifest;
  std::vector<StoredFile> stored;  // in the new bundle's walk order
  std::size_t kept = 0;
};

// Every file of `new_tree` is kept when the old bundle has the same bytes at
// the same path; patched when the old bundle has a regular file there (or,
// for a file the old bundle lacks, one with the same bytes or name
// elsewhere) and the patch is smaller than the file deflated; added otherwise.
// The manifest lists every entry of `new_tree` in its order. Patches are
// written to files in the directory `patch_directory` as they are made, so
// that a release of any size holds one in memory at a time. Error: a file
// that cannot be read ("cannot read {path}: {cause}") or a patch that cannot
// be written ("cannot write a patch: {cause}").
support::Result<DeltaPlan> plan_delta(const BundleTree& old_tree, const BundleTree& new_tree,
                                      const std::string& old_version,
                                      const std::string& new_version, int patch_directory);

}  // namespace delta
