#include "archive_contents.h"

#include <map>
#include <set>

#include "delta_manifest.h"
#include "path.h"

namespace delta {
namespace {

std::string below(const std::string& bundle_name, const std::string& path) {
  return bundle_name + "/" + path;
}

ZipItem bundle_directory(const BundleTree& tree, const std::string& bundle_name) {
  return {ZipItem::Kind::directory, bundle_name, tree.root_mode, {}, {}};
}

ZipItem item_of(const TreeEntry& entry, const std::string& bundle_name) {
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
                                   const std::string& manifest_bytes) {
  const std::set<std::string> directories = directories_above(plan.stored);
  std::map<std::string, const StoredFile*> stored;
  for (const StoredFile& file : plan.stored) stored[file.path] = &file;

  std::vector<ZipItem> items{bundle_directory(new_tree, bundle_name)};
  for (const TreeEntry& entry : new_tree.entries) {
    if (entry.kind == TreeEntry::Kind::directory && directories.count(entry.path)) {
      items.push_back(item_of(entry, bundle_name));
      continue;
    }
    auto file = stored.find(entry.path);
    if (file == stored.end()) continue;
    ZipItem item = item_of(entry, bundle_name);
    if (file->second->source == installer::DeltaEntry::Source::patched) {
      item.source_path.clear();
      item.bytes = file->second->patch;
    }
    items.push_back(std::move(item));
  }
  items.push_back({ZipItem::Kind::file, installer::kDeltaManifestName, 0644, manifest_bytes, {}});
  return items;
}

std::vector<ZipItem> full_archive(const BundleTree& new_tree, const std::string& bundle_name) {
  std::vector<ZipItem> items{bundle_directory(new_tree, bundle_name)};
  for (const TreeEntry& entry : new_tree.entries) items.push_back(item_of(entry, bundle_name));
  return items;
}

}  // namespace delta
