// What a bundle holds, read without following any link.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "file_bytes.h"
#include "result.h"
#include "unique_fd.h"

namespace delta {

struct TreeEntry {
  enum class Kind { directory, file, symlink, other };
  Kind kind = Kind::other;
  std::string path;          // below the bundle, "/"-separated, the names' bytes
  std::uint32_t mode = 0;    // permission bits and set-id bits (07777)
  std::uint64_t size = 0;    // files
  std::string link_target;   // symbolic links
};

struct BundleTree {
  std::string root;          // as given
  support::UniqueFd root_fd;  // the bundle's directory, for reading below it
  std::uint32_t root_mode = 0;
  std::vector<TreeEntry> entries;  // parents first; names in byte order in each directory
};

// Every entry below the directory `root`, which must not itself be a link.
// Error: "cannot read {path}: {cause}".
support::Result<BundleTree> walk_bundle(const std::string& root);

// Whether a bundle may be shipped as a delta, by the installer's rules: only
// directories, regular files and links, no set-id or sticky bit, every path
// and link target one that a manifest may hold (bundle_paths.h), no more
// entries and no larger file than a manifest may record. Error:
// "refusing {path}: {why}".
support::Result<void> check_shippable(const BundleTree& tree);

// The file `path` of the tree, handed to `take` a chunk at a time. Error:
// "cannot read {path}: {cause}".
support::Result<void> read_tree_file_in_chunks(const BundleTree& tree, const std::string& path,
                                               const std::function<void(std::string_view)>& take);

// The digest of the file `path` of the tree, read in chunks. Error: "cannot
// read {path}: {cause}".
support::Result<support::Sha256Digest> tree_file_digest(const BundleTree& tree,
                                                        const std::string& path);

// The file `path` of the tree, whole. Error: "cannot read {path}: {cause}".
support::Result<FileBytes> read_tree_file(const BundleTree& tree, const std::string& path);

// CFBundleVersion of the tree's Contents/Info.plist (XML or binary), read
// without following a link, as the installer compares it
// (installer::comparable_bundle_version). Errors: "cannot read {path}: {cause}",
// "{path}: not a property list" (or "{path}: the property list's root is not
// a dictionary"), "{path} has no CFBundleVersion", "{path}: CFBundleVersion
// is not a string", "refusing {path}: CFBundleVersion {why}".
support::Result<std::string> bundle_version(const BundleTree& tree);

// `path` of the tree as messages show it: the root joined with it, printable.
std::string shown_path(const BundleTree& tree, const std::string& path);

}  // namespace delta
