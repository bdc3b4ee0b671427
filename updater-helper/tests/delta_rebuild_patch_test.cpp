// Patched files, with patches made by the release tool's maker.
#include <string>

#include <gtest/gtest.h>

#include "delta_rebuild.h"
#include "delta_test_trees.h"
#include "files.h"
#include "patch_maker.h"
#include "tree_snapshot.h"

namespace {

using delta_test::directory;
using delta_test::Item;
using delta_test::patched;
using delta_test::Trees;

std::string make_patch(const std::string& old_bytes, const std::string& new_bytes) {
  return delta::make_patch(old_bytes, new_bytes);
}

std::string old_binary() {
  std::string bytes;
  for (int i = 0; i < 20000; ++i) bytes += "instruction " + std::to_string(i % 997) + "\n";
  return bytes;
}

std::vector<Item> patched_bundle() {
  std::string old_bytes = old_binary();
  std::string new_bytes = old_bytes;
  new_bytes.replace(1000, 50, "a changed function");
  new_bytes += "and more at the end";
  return {directory("Contents"), directory("Contents/MacOS"),
          patched("Contents/MacOS/Zentrivale", old_bytes, new_bytes, 0755),
          patched("Contents/MacOS/renamed", "version 1", "version 2", 0700,
                  "Contents/MacOS/old name")};
}

TEST(RebuildBundle, AppliesPatchesToTheirInstalledBasesInPlaceOfThePatch) {
  Trees trees;
  delta_test::make_trees(trees, patched_bundle(), make_patch);
  test_support::Snapshot installed = test_support::snapshot(trees.installed);

  support::Result<void> rebuilt =
      installer::rebuild_bundle(trees.manifest, trees.installed, trees.staged);
  ASSERT_TRUE(rebuilt) << rebuilt.error();
  EXPECT_TRUE(test_support::same_tree(test_support::snapshot(trees.expected),
                                      test_support::snapshot(trees.staged)));
  EXPECT_TRUE(test_support::same_tree(installed, test_support::snapshot(trees.installed)));
}

TEST(RebuildBundle, RefusesPatchesThatCannotBeApplied) {
  Trees damaged;
  delta_test::make_trees(damaged, patched_bundle(), make_patch);
  test_support::write_file(damaged.staged + "/Contents/MacOS/Zentrivale", "not a patch");
  support::Result<void> rebuilt =
      installer::rebuild_bundle(damaged.manifest, damaged.installed, damaged.staged);
  ASSERT_FALSE(rebuilt);
  EXPECT_EQ(rebuilt.error(),
            "could not rebuild Contents/MacOS/Zentrivale: the patch is damaged: it ends inside "
            "its header");
  EXPECT_EQ(test_support::list_directory(damaged.staged + "/Contents/MacOS"),
            (std::vector<std::string>{"Zentrivale", "renamed"}));  // no temporary left

  Trees other_base;
  delta_test::make_trees(other_base, patched_bundle(), make_patch);
  test_support::write_file(other_base.installed + "/Contents/MacOS/old name", "version 0");
  rebuilt = installer::rebuild_bundle(other_base.manifest, other_base.installed, other_base.staged);
  ASSERT_FALSE(rebuilt);
  EXPECT_EQ(rebuilt.error(),
            "the installed application does not match this delta update: Contents/MacOS/old name");
}

}  // namespace
