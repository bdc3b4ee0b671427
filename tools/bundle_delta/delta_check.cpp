#include "delta_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "open_beneath.h"
#include "delta_manifest.h"
#include "delta_rebuild.h"
#include "zip_extraction.h"
#include "full_io.h"
#include "os_error.h"
#include "path.h"
#include "utf8.h"

namespace delta {
namespace {

using support::Error;
using support::Result;

bool same_entry(const TreeEntry& a, const TreeEntry& b) {
  return a.kind == b.kind && a.path == b.path && a.link_target == b.link_target &&
         (a.kind == TreeEntry::Kind::symlink || a.mode == b.mode) && a.size == b.size;
}

// Whether two open files hold the same bytes, read in chunks side by side.
Result<bool> same_bytes(int a, int b) {
  char left[65536], right[65536];
  for (;;) {
    ssize_t n = support::retry_on_eintr([&] { return ::read(a, left, sizeof left); });
    if (n < 0) return support::os_error(errno);
    size_t filled = 0;
    while (filled < static_cast<size_t>(n)) {
      ssize_t m = support::retry_on_eintr(
          [&] { return ::read(b, right + filled, static_cast<size_t>(n) - filled); });
      if (m < 0) return support::os_error(errno);
      if (m == 0) return false;
      filled += static_cast<size_t>(m);
    }
    if (std::memcmp(left, right, filled) != 0) return false;
    if (n == 0) {
      ssize_t m = support::retry_on_eintr([&] { return ::read(b, right, 1); });
      if (m < 0) return support::os_error(errno);
      return m == 0;
    }
  }
}

Result<bool> same_file(const BundleTree& expected, const BundleTree& actual,
                       const std::string& path) {
  Result<support::UniqueFd> a = open_beneath(expected.root_fd.get(), path, O_RDONLY);
  if (!a) return std::move(a).take_error();
  Result<support::UniqueFd> b = open_beneath(actual.root_fd.get(), path, O_RDONLY);
  if (!b) return std::move(b).take_error();
  return same_bytes(a->get(), b->get());
}

// The first path at which the two trees differ, or nothing.
Result<std::optional<std::string>> first_difference(const BundleTree& expected,
                                                    const BundleTree& actual) {
  if (expected.root_mode != actual.root_mode) return std::optional<std::string>(".");
  const auto& a = expected.entries;
  const auto& b = actual.entries;
  for (size_t i = 0; i < a.size() || i < b.size(); ++i) {
    if (i == a.size()) return std::optional<std::string>(b[i].path);
    if (i == b.size() || !same_entry(a[i], b[i])) return std::optional<std::string>(a[i].path);
    if (a[i].kind != TreeEntry::Kind::file) continue;
    Result<bool> same = same_file(expected, actual, a[i].path);
    if (!same) return Error(support::printable(a[i].path) + ": " + same.error());
    if (!*same) return std::optional<std::string>(a[i].path);
  }
  return std::optional<std::string>();
}

Result<installer::DeltaManifest> extracted_manifest(const std::string& work) {
  Result<support::UniqueFd> root = open_directory(work);
  if (!root) return std::move(root).take_error();
  Result<support::UniqueFd> fd = open_beneath(root->get(), installer::kDeltaManifestName, O_RDONLY);
  if (!fd) return Error("the delta's manifest is missing: " + fd.error());
  Result<std::string> bytes = support::read_all(fd->get());
  if (!bytes) return std::move(bytes).take_error();
  auto manifest = installer::parse_delta_manifest(*bytes);
  if (!manifest) return Error("the delta's manifest does not parse: " + manifest.error());
  return manifest;
}

}  // namespace

Result<void> check_delta(const std::string& archive, const std::string& work,
                         const std::string& old_root, const BundleTree& new_tree,
                         const std::string& bundle_name) {
  Result<void> extracted = extract_zip(archive, work);
  if (!extracted) return extracted;
  Result<installer::DeltaManifest> manifest = extracted_manifest(work);
  if (!manifest) return std::move(manifest).take_error();

  const std::string rebuilt = support::join(work, bundle_name);
  const std::string shown_new = support::printable(new_tree.root);
  Result<void> rebuild = installer::rebuild_bundle(*manifest, old_root, rebuilt);
  if (!rebuild) return Error("the delta does not rebuild " + shown_new + ": " + rebuild.error());

  Result<BundleTree> result = walk_bundle(rebuilt);
  if (!result) return std::move(result).take_error();
  Result<std::optional<std::string>> difference = first_difference(new_tree, *result);
  if (!difference) {
    return Error("cannot compare the rebuilt bundle with " + shown_new + ": " + difference.error());
  }
  if (*difference) {
    return Error("the delta does not reproduce " + shown_new + ": " + support::printable(**difference));
  }
  return support::success();
}

}  // namespace delta
