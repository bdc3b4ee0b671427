// Patched files, with patches made by the release tool's maker.
#include <string>

#include <gtest/gtest.h>

#include "delta_rebuild.h"
#include "delta_test_trees.h"
#include "files.h"
#include "patch_maker.h"
#include "tree_snapshot.h"

namespace {

using namespace delta_test;

std::vector<Item> patched_bundle() {
  std::string old_bytes;
  for (int i = 0; i < 20000; ++i) old_bytes += "instruction " + std::to_string(i % 997) + "\n";
  std::string new_bytes = old_bytes;
  new_bytes.replace(1000, 50, "a changed function");
  return {directory("Contents"), directory("Contents/MacOS"),
          patched("Contents/MacOS/Zentrivale", old_bytes, new_bytes + "and more", 0755),
          patched("Contents/MacOS/renamed", "version 1", "version 2", 0700,
                  "Contents/MacOS/old name")};
}

std::string rebuild_error(void (*change)(const Trees&)) {
  Trees trees;
  make_trees(trees, patched_bundle(), delta::make_patch);
  change(trees);
  test_support::Snapshot installed = test_support::snapshot(trees.installed);
  support::Result<void> rebuilt =
      installer::rebuild_bundle(trees.manifest, trees.installed, trees.staged);
  EXPECT_TRUE(test_support::same_tree(installed, test_support::snapshot(trees.installed)));
  if (rebuilt) {
    EXPECT_TRUE(test_support::same_tree(test_support::snapshot(trees.expected),
                                        test_support::snapshot(trees.staged)));
  }
  // What the staged directory holds: the results or the patches, never a temporary.
  EXPECT_EQ(test_support::list_directory(trees.staged + "/Contents/MacOS"),
            (std::vector<std::string>{"Zentrivale", "renamed"}));
  return rebuilt.error();
}

TEST(RebuildBundle, AppliesPatchesToTheirInstalledBasesOrRefusesThemDamaged) {
  EXPECT_EQ(rebuild_error([](const Trees&) {}), "");
  EXPECT_EQ(rebuild_error([](const Trees& t) {
              test_support::write_file(t.staged + "/Contents/MacOS/Zentrivale", "not a patch");
            }),
            "the delta update is damaged: the patch of Contents/MacOS/Zentrivale ends inside "
            "its header");
}

}  // namespace
