// Application bundles for the tests: every version has the same files with
// different contents, so that a mixture of two versions, a missing file or a
// stray one shows when a bundle is compared file by file; but for one file
// that all versions share and one that differs in a few bytes, which a delta
// update keeps and patches.
#pragma once

#include <string>

#include "tree_snapshot.h"

namespace faults {

inline constexpr char kBundleId[] = "com.example.zentrivale";

// A complete bundle of `version` at `path` (which must not exist yet).
void make_bundle(const std::string& path, const std::string& version);

// A signed update archive of `version` made in `work` (a scratch directory).
std::string signed_archive(const std::string& stand_in_root, const std::string& work,
                           const std::string& version);

// The delta update from `from` to `to`, both made by signed_archive in
// `work`, as `bundle_delta` makes it.
std::string delta_archive(const std::string& bundle_delta, const std::string& work,
                          const std::string& from, const std::string& to);

using test_support::difference;
using test_support::Snapshot;
using test_support::snapshot;

}  // namespace faults
