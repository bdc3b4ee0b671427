#include "bundle_version.h"

#include "plist_reader.h"

namespace delta {

support::Result<std::string> bundle_version(const BundleTree& tree) {
  const std::string path = "Contents/Info.plist";
  const std::string shown = shown_path(tree, path);
  support::Result<FileBytes> bytes = read_tree_file(tree, path);
  if (!bytes) return std::move(bytes).take_error();
  auto entries = property_list::parse_top_level(bytes->view());
  if (!entries) return support::Error(shown + ": " + entries.error());
  auto version = entries->find("CFBundleVersion");
  if (version == entries->end()) return support::Error(shown + " has no CFBundleVersion");
  if (!version->second) return support::Error(shown + ": CFBundleVersion is not a string");
  return *version->second;
}

}  // namespace delta
