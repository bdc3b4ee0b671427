// The three trees of a delta update's rebuild, made from one description of
// the new bundle: the installed bundle, the staged archive (added files and
// patches only) and the new bundle as the rebuild must leave it.
#pragma once

#include <string>
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
  std::string data;             // a file's bytes, a link's target
  Source source = Source::added;
  std::string old_data;         // kept and patched: the installed bytes
  std::string base_path;        // patched: defaults to `path`
};

Item directory(const std::string& path, unsigned mode = 0755);
Item link(const std::string& path, const std::string& target);
Item added(const std::string& path, const std::string& data, unsigned mode = 0644);
Item kept(const std::string& path, const std::string& data, unsigned mode = 0644);
Item patched(const std::string& path, const std::string& old_data, const std::string& data,
             unsigned mode = 0644, const std::string& base_path = {});

struct Trees {
  test_support::TempDir root;
  std::string installed = root / "Old.app";
  std::string staged = root / "staging/New.app";
  std::string expected = root / "New.app";
  installer::DeltaManifest manifest;
};

// Makes the trees of `items`; `patch(old, new)` makes a patched file's patch.
void make_trees(Trees& trees, const std::vector<Item>& items,
                std::string (*patch)(const std::string&, const std::string&) = nullptr);

}  // namespace delta_test
