#include "bundle_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "open_beneath.h"
#include "bundle_paths.h"
#include "bundle_version.h"
#include "delta_manifest.h"
#include "os_error.h"
#include "plist_reader.h"
#include "path.h"
#include "tree_walk.h"
#include "utf8.h"

namespace delta {
namespace {

using support::Error;
using support::Result;

Error cannot_read(const BundleTree& tree, const std::string& path, const std::string& cause) {
  return Error("cannot read " + shown_path(tree, path) + ": " + cause);
}

Result<std::string> link_target(int directory, const std::string& name, off_t size) {
  std::string target(static_cast<size_t>(size) + 1, '\0');
  ssize_t n = ::readlinkat(directory, name.c_str(), target.data(), target.size());
  if (n < 0) return support::os_error(errno);
  // A link replaced by a longer one between lstat and readlink.
  if (static_cast<size_t>(n) == target.size()) return support::os_error(EAGAIN);
  target.resize(static_cast<size_t>(n));
  return target;
}

TreeEntry::Kind kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return TreeEntry::Kind::directory;
  if (S_ISREG(mode)) return TreeEntry::Kind::file;
  if (S_ISLNK(mode)) return TreeEntry::Kind::symlink;
  return TreeEntry::Kind::other;
}

// Appends every entry below the tree's root, parents first, names in byte
// order in each directory.
Result<void> walk_entries(BundleTree& tree) {
  support::TreeVisitor visitor;
  visitor.order = support::TreeVisitor::Order::sorted;
  visitor.visit = [&tree](const support::WalkEntry& found) -> Result<bool> {
    TreeEntry entry;
    entry.path = found.path;
    entry.kind = kind_of(found.status.st_mode);
    entry.mode = static_cast<std::uint32_t>(found.status.st_mode & 07777);
    if (entry.kind == TreeEntry::Kind::file) {
      entry.size = static_cast<std::uint64_t>(found.status.st_size);
    }
    if (entry.kind == TreeEntry::Kind::symlink) {
      Result<std::string> target =
          link_target(found.directory_fd, found.name, found.status.st_size);
      if (!target) return cannot_read(tree, entry.path, target.error());
      entry.link_target = std::move(*target);
    }
    tree.entries.push_back(std::move(entry));
    return true;
  };
  visitor.failed = [&tree](const support::WalkFailure& failure) -> Result<void> {
    return cannot_read(tree, failure.path, support::os_error_text(failure.error));
  };
  return support::walk_tree(tree.root_fd.get(), visitor);
}

// The installer's own rules, so that a bundle it would refuse is refused
// here, with the reason, before anything is made.
Result<void> check_entry(const BundleTree& tree, const TreeEntry& entry) {
  auto refuse = [&](const std::string& why) {
    return Error("refusing " + shown_path(tree, entry.path) + ": " + why);
  };
  if (std::optional<std::string> fault = installer::path_fault(entry.path)) {
    return refuse("the path " + *fault);
  }
  switch (entry.kind) {
    case TreeEntry::Kind::other:
      return refuse("only directories, regular files and symbolic links can be shipped");
    case TreeEntry::Kind::symlink:
      if (std::optional<std::string> fault =
              installer::link_target_fault(entry.path, entry.link_target)) {
        return refuse("the link " + *fault);
      }
      return support::success();
    case TreeEntry::Kind::file:
      if (entry.size > installer::kMaxDeltaFileSize) {
        return refuse("it is larger than " + std::to_string(installer::kMaxDeltaFileSize) +
                      " bytes");
      }
      [[fallthrough]];
    case TreeEntry::Kind::directory:
      if (entry.mode & 07000) return refuse("set-id and sticky bits cannot be shipped");
      return support::success();
  }
  return support::success();
}

}  // namespace

std::string shown_path(const BundleTree& tree, const std::string& path) {
  return support::printable(path.empty() ? tree.root : support::join(tree.root, path));
}

Result<BundleTree> walk_bundle(const std::string& root) {
  BundleTree tree;
  tree.root = root;
  Result<support::UniqueFd> fd = open_directory(root);
  if (!fd) return cannot_read(tree, "", fd.error());
  tree.root_fd = std::move(*fd);
  struct stat st;
  if (::fstat(tree.root_fd.get(), &st) != 0) {
    return cannot_read(tree, "", support::os_error_text(errno));
  }
  tree.root_mode = static_cast<std::uint32_t>(st.st_mode & 07777);

  Result<void> walked = walk_entries(tree);
  if (!walked) return std::move(walked).take_error();
  return tree;
}

Result<void> check_shippable(const BundleTree& tree) {
  if (tree.root_mode & 07000) {
    return Error("refusing " + shown_path(tree, "") + ": set-id and sticky bits cannot be shipped");
  }
  if (tree.entries.size() > installer::kMaxDeltaEntries) {
    return Error("refusing " + shown_path(tree, "") + ": it holds more than " +
                 std::to_string(installer::kMaxDeltaEntries) + " entries");
  }
  for (const TreeEntry& entry : tree.entries) {
    Result<void> checked = check_entry(tree, entry);
    if (!checked) return checked;
  }
  return support::success();
}

Result<void> read_tree_file_in_chunks(const BundleTree& tree, const std::string& path,
                                      const std::function<void(std::string_view)>& take) {
  Result<support::UniqueFd> fd = open_beneath(tree.root_fd.get(), path, O_RDONLY);
  if (!fd) return cannot_read(tree, path, fd.error());
  char buffer[65536];
  for (;;) {
    ssize_t n = support::retry_on_eintr([&] { return ::read(fd->get(), buffer, sizeof buffer); });
    if (n < 0) return cannot_read(tree, path, support::os_error_text(errno));
    if (n == 0) return support::success();
    take(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

Result<support::Sha256Digest> tree_file_digest(const BundleTree& tree, const std::string& path) {
  Result<support::UniqueFd> fd = open_beneath(tree.root_fd.get(), path, O_RDONLY);
  if (!fd) return cannot_read(tree, path, fd.error());
  Result<support::Sha256Digest> digest = support::sha256_of_descriptor(fd->get());
  if (!digest) return cannot_read(tree, path, digest.error());
  return digest;
}

Result<FileBytes> read_tree_file(const BundleTree& tree, const std::string& path) {
  Result<support::UniqueFd> fd = open_beneath(tree.root_fd.get(), path, O_RDONLY);
  if (!fd) return cannot_read(tree, path, fd.error());
  Result<FileBytes> bytes = FileBytes::read(fd->get());
  if (!bytes) return cannot_read(tree, path, bytes.error());
  return bytes;
}

Result<std::string> bundle_version(const BundleTree& tree) {
  const std::string path = "Contents/Info.plist";
  const std::string shown = shown_path(tree, path);
  Result<FileBytes> bytes = read_tree_file(tree, path);
  if (!bytes) return std::move(bytes).take_error();
  auto entries = property_list::parse_top_level(bytes->view());
  if (!entries) return Error(shown + ": " + entries.error());
  auto value = entries->find("CFBundleVersion");
  if (value == entries->end()) return Error(shown + " has no CFBundleVersion");
  if (!value->second) return Error(shown + ": CFBundleVersion is not a string");
  // As the installer will compare it, through PlistBuddy.
  std::string version = installer::comparable_bundle_version(*value->second);
  if (std::optional<std::string> fault = installer::bundle_version_fault(version)) {
    return Error("refusing " + shown + ": CFBundleVersion " + *fault);
  }
  return version;
}

}  // namespace delta
