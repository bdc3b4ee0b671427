#include "delta_rebuild.h"

#ifdef __linux__
#include <sys/xattr.h>
#endif

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delta_test_trees.h"
#include "files.h"
#include "platform.h"
#include "tree_snapshot.h"

namespace {

using namespace delta_test;
using test_support::make_dir;
using test_support::make_symlink;
using test_support::same_tree;
using test_support::snapshot;
using test_support::write_file;

// A small bundle with every kind of entry but patches.
std::vector<Item> bundle() {
  const std::string z = "Contents/Frameworks/Z.framework";
  return {directory("Contents"), directory("Contents/MacOS"),
          kept("Contents/MacOS/Zentrivale", "old and new binary", 0755),
          kept("Contents/Info.plist", "<plist/>"), directory("Contents/Frameworks"),
          directory(z), directory(z + "/Versions"), directory(z + "/Versions/A", 0750),
          added(z + "/Versions/A/Z", "new library", 0555),
          symbolic_link(z + "/Versions/Current", "A"),
          symbolic_link(z + "/Z", "Versions/Current/Z"), directory("Contents/Resources"),
          directory("Contents/Resources/Empty", 0700), kept("Contents/Resources/kept.txt", "kept"),
          added("Contents/Resources/new.txt", "new", 0600), directory("Contents/Locked", 0555),
          kept("Contents/Locked/inside", "", 0400),
          symbolic_link("Contents/Resources/up", "../MacOS")};
}

support::Result<void> rebuild(const Trees& trees) {
  return installer::rebuild_bundle(trees.manifest, trees.installed, trees.staged);
}

TEST(RebuildBundle, RebuildsEveryKindOfEntryWithItsModeAndNoAttributes) {
  Trees trees;
  make_trees(trees, bundle());
  write_file(trees.installed + "/Contents/Resources/removed", "gone in the new version");
  const std::string added = trees.staged + "/Contents/Resources/new.txt";
#ifdef __linux__  // macOS declares the calls differently, in a header its toolchains may lack
  ASSERT_EQ(::setxattr(added.c_str(), support::platform::kQuarantineAttribute, "0081;", 5, 0), 0);
#endif
  test_support::Snapshot installed = snapshot(trees.installed);

  support::Result<void> rebuilt = rebuild(trees);
  ASSERT_TRUE(rebuilt) << rebuilt.error();
  EXPECT_TRUE(same_tree(snapshot(trees.expected), snapshot(trees.staged)));
  EXPECT_TRUE(same_tree(installed, snapshot(trees.installed)));
#ifdef __linux__
  EXPECT_EQ(::listxattr(added.c_str(), nullptr, 0), 0);
#endif
}

std::string mismatch(const std::string& path) {
  return "the installed application does not match this delta update: " + path;
}
std::string invalid(const std::string& what) {
  return "the delta update's manifest is invalid: " + what;
}

TEST(RebuildBundle, RefusesTreesThatDoNotMatchWithoutTouchingTheInstalledOne) {
  const std::string kept = "/Contents/Resources/kept.txt";
  const struct {
    const char* name;
    std::function<void(const Trees&)> change;
    std::string message;
  } cases[] = {
      {"installed file with other bytes",
       [](const Trees& t) { write_file(t.installed + "/Contents/Info.plist", "<other/>"); },
       mismatch("Contents/Info.plist")},
      {"installed file a link to the same bytes",
       [&](const Trees& t) {
         write_file(t.root / "outside/kept.txt", "kept");
         test_support::remove_all(t.installed + kept);
         make_symlink(t.root / "outside/kept.txt", t.installed + kept);
       },
       mismatch("Contents/Resources/kept.txt")},
      {"installed directory a link on the way",
       [](const Trees& t) {
         make_dir(t.root / "outside");
         ::rename((t.installed + "/Contents/Resources").c_str(), (t.root / "outside/R").c_str());
         make_symlink(t.root / "outside/R", t.installed + "/Contents/Resources");
       },
       mismatch("Contents/Resources/kept.txt")},
      {"unlisted staged link",
       [](const Trees& t) { make_symlink("/", t.staged + "/Contents/Resources/Empty/x\xff"); },
       invalid("the archive holds Contents/Resources/Empty/x\\xff, which the manifest "
               "does not list")},
      {"staged file where a directory belongs",
       [](const Trees& t) { write_file(t.staged + "/Contents/MacOS"); },
       invalid("the archive holds Contents/MacOS, which the manifest lists as a directory")},
      {"added file a link",
       [&](const Trees& t) {
         test_support::remove_all(t.staged + "/Contents/Resources/new.txt");
         make_symlink(t.installed + kept, t.staged + "/Contents/Resources/new.txt");
       },
       invalid("the archive holds Contents/Resources/new.txt, which is not a file")},
      {"added file with other bytes",
       [](const Trees& t) { write_file(t.staged + "/Contents/Resources/new.txt", "old"); },
       invalid("Contents/Resources/new.txt does not have the digest the manifest records")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Trees trees;
    make_trees(trees, bundle());
    c.change(trees);
    test_support::Snapshot installed = snapshot(trees.installed);
    test_support::Snapshot outside = snapshot(trees.root / "outside");
    EXPECT_EQ(rebuild(trees).error(), c.message);
    EXPECT_TRUE(same_tree(installed, snapshot(trees.installed)));
    EXPECT_TRUE(same_tree(outside, snapshot(trees.root / "outside")));
  }
}

}  // namespace
