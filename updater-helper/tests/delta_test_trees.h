// The three trees of a delta update's rebuild, made from one description of
// the new bundle: the installed bundle, the staged archive (added files and
// patches only) and the new bundle as the rebuild must leave it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "delta_manifest.h"
#include "temp_dir.h"

namespace delta_test {

using Kind = installer::DeltaEntry::Kind;
using Source = installer::DeltaEntry::Source;

struct Item {
  Kind kind;
  std::string path;
  unsigned mode = 0;
  std::string data = {};  // a file's bytes, a link's target
  Source source = Source::added;
  std::string old_data = {};   // kept and patched: the installed bytes
  std::string base_path = {};  // patched: the installed file, when not at `path`
};

using Text = const std::string&;
inline Item directory(Text path, unsigned mode = 0755) { return {Kind::directory, path, mode}; }
inline Item symbolic_link(Text path, Text target) { return {Kind::symlink, path, 0, target}; }
inline Item added(Text path, Text data, unsigned mode = 0644) {
  return {Kind::file, path, mode, data};
}
inline Item kept(Text path, Text data, unsigned mode = 0644) {
  return {Kind::file, path, mode, data, Source::kept, data};
}
inline Item patched(Text path, Text old_data, Text data, unsigned mode, Text base = {}) {
  return {Kind::file, path, mode, data, Source::patched, old_data, base};
}

struct Trees {
  test_support::TempDir root;
  std::string installed = root / "Old.app";
  std::string staged = root / "staging/New.app";
  std::string expected = root / "New.app";
  installer::DeltaManifest manifest;
};

installer::DeltaEntry entry_of(const Item& item);

// Makes the trees of `items`; `patch(old, new)` makes a patched file's patch.
using PatchMaker = std::string (*)(std::string_view, std::string_view);
void make_trees(Trees& trees, const std::vector<Item>& items, PatchMaker patch = nullptr);

}  // namespace delta_test
