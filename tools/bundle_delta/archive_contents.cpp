#include "archive_contents.h"

#include <algorithm>
#include <map>
#include <set>

#include "deflated_size.h"
#include "delta_manifest.h"
#include "path.h"

namespace delta {
namespace {

using support::Result;

std::string below(const std::string& bundle_name, const std::string& path) {
  return bundle_name + "/" + path;
}

ZipItem bundle_directory(const BundleTree& tree, const std::string& bundle_name) {
  return {ZipItem::Kind::directory, bundle_name, tree.root_mode, {}, {}, -1};
}

ZipItem item_of(const BundleTree& tree, const TreeEntry& entry, const std::string& bundle_name) {
  ZipItem item;
  item.name = below(bundle_name, entry.path);
  item.mode = entry.mode;
  switch (entry.kind) {
    case TreeEntry::Kind::directory:
      item.kind = ZipItem::Kind::directory;
      break;
    case TreeEntry::Kind::symlink:
      item.kind = ZipItem::Kind::symlink;
      item.mode = 0777;
      item.bytes = entry.link_target;
      break;
    case TreeEntry::Kind::file:
    case TreeEntry::Kind::other:  // refused before any archive is written
      item.kind = ZipItem::Kind::file;
      item.source_path = entry.path;
      item.source_root = tree.root_fd.get();
      break;
  }
  return item;
}

// The directories above each stored file.
std::set<std::string> directories_above(const std::vector<StoredFile>& stored) {
  std::set<std::string> directories;
  for (const StoredFile& file : stored) {
    std::optional<std::string> up = support::parent(file.path);
    while (up && !up->empty() && directories.insert(*up).second) up = support::parent(*up);
  }
  return directories;
}

}  // namespace

std::vector<ZipItem> delta_archive(const DeltaPlan& plan, const BundleTree& new_tree,
                                   const std::string& bundle_name,
                                   const std::string& manifest_bytes, int patch_directory) {
  const std::set<std::string> directories = directories_above(plan.stored);
  std::map<std::string, const StoredFile*> stored;
  for (const StoredFile& file : plan.stored) stored[file.path] = &file;

  std::vector<ZipItem> items{bundle_directory(new_tree, bundle_name)};
  for (const TreeEntry& entry : new_tree.entries) {
    if (entry.kind == TreeEntry::Kind::directory && directories.count(entry.path)) {
      items.push_back(item_of(new_tree, entry, bundle_name));
      continue;
    }
    auto file = stored.find(entry.path);
    if (file == stored.end()) continue;
    ZipItem item = item_of(new_tree, entry, bundle_name);
    if (file->second->source == installer::DeltaEntry::Source::patched) {
      item.source_path = file->second->patch_name;
      item.source_root = patch_directory;
      item.compressed = true;
    }
    items.push_back(std::move(item));
  }
  items.push_back(
      {ZipItem::Kind::file, installer::kDeltaManifestName, 0644, manifest_bytes, {}, -1});
  return items;
}

Result<std::uint64_t> full_archive_size(const BundleTree& new_tree,
                                        const std::string& bundle_name) {
  // A local header (30 bytes and the name) and a central directory record
  // (46 and the name) an entry, and the end record.
  constexpr std::uint64_t kHeaders = 30 + 46;
  constexpr std::uint64_t kEndRecord = 22;
  std::uint64_t total = kEndRecord + kHeaders + bundle_name.size() + 1;
  for (const TreeEntry& entry : new_tree.entries) {
    total += kHeaders + below(bundle_name, entry.path).size();
    switch (entry.kind) {
      case TreeEntry::Kind::directory:
        total += 1;  // the name's trailing "/"
        break;
      case TreeEntry::Kind::symlink:
        total += entry.link_target.size();
        break;
      case TreeEntry::Kind::file:
      case TreeEntry::Kind::other: {
        // Deflated as a full archive deflates it.
        Result<std::uint64_t> deflated = deflated_file_size(new_tree, entry.path, kDefaultLevel);
        if (!deflated) return deflated;
        total += std::min(*deflated, entry.size);  // stored when deflate does not pay
        break;
      }
    }
  }
  return total;
}

}  // namespace delta
