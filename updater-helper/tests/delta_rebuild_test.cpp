#include "delta_rebuild.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "delta_test_trees.h"
#include "files.h"
#include "platform.h"
#include "tree_snapshot.h"

namespace {

using delta_test::added;
using delta_test::directory;
using delta_test::Item;
using delta_test::kept;
using delta_test::link;
using delta_test::Trees;
using test_support::make_dir;
using test_support::make_symlink;
using test_support::snapshot;
using test_support::write_file;

// A small bundle with every kind of entry but patches.
std::vector<Item> bundle() {
  return {directory("Contents"),
          directory("Contents/MacOS"),
          kept("Contents/MacOS/Zentrivale", "old and new binary", 0755),
          kept("Contents/Info.plist", "<plist/>"),
          directory("Contents/Frameworks"),
          directory("Contents/Frameworks/Z.framework"),
          directory("Contents/Frameworks/Z.framework/Versions"),
          directory("Contents/Frameworks/Z.framework/Versions/A", 0750),
          added("Contents/Frameworks/Z.framework/Versions/A/Z", "new library", 0555),
          link("Contents/Frameworks/Z.framework/Versions/Current", "A"),
          link("Contents/Frameworks/Z.framework/Z", "Versions/Current/Z"),
          directory("Contents/Resources"),
          directory("Contents/Resources/Empty", 0700),
          kept("Contents/Resources/kept.txt", "kept"),
          added("Contents/Resources/new.txt", "new", 0600),
          directory("Contents/Locked", 0555),
          kept("Contents/Locked/inside", "", 0400),
          link("Contents/Resources/up", "../MacOS")};
}

support::Result<void> rebuild(const Trees& trees) {
  return installer::rebuild_bundle(trees.manifest, trees.installed, trees.staged);
}

TEST(RebuildBundle, RebuildsEveryKindOfEntryWithItsModeAndNoAttributes) {
  Trees trees;
  delta_test::make_trees(trees, bundle());
  // Removed in the new version: stays behind, only in the installed bundle.
  write_file(trees.installed + "/Contents/Resources/removed", "gone");
  const std::string added = trees.staged + "/Contents/Resources/new.txt";
  const char* quarantine = support::platform::kQuarantineAttribute;
  ASSERT_EQ(::setxattr(added.c_str(), quarantine, "0081;", 5, 0), 0);
  test_support::Snapshot installed = snapshot(trees.installed);

  support::Result<void> rebuilt = rebuild(trees);
  ASSERT_TRUE(rebuilt) << rebuilt.error();
  EXPECT_TRUE(test_support::same_tree(snapshot(trees.expected), snapshot(trees.staged)));
  EXPECT_TRUE(test_support::same_tree(installed, snapshot(trees.installed)));
  EXPECT_EQ(::listxattr(added.c_str(), nullptr, 0), 0);
}

std::string mismatch(const std::string& path) {
  return "the installed application does not match this delta update: " + path;
}
std::string invalid(const std::string& what) {
  return "the delta update's manifest is invalid: " + what;
}

TEST(RebuildBundle, RefusesTreesThatDoNotMatchWithoutTouchingTheInstalledOne) {
  const struct {
    const char* name;
    std::function<void(const Trees&)> change;
    std::string message;
  } cases[] = {
      {"installed file with other bytes",
       [](const Trees& t) { write_file(t.installed + "/Contents/Info.plist", "<other/>"); },
       mismatch("Contents/Info.plist")},
      {"installed file missing",
       [](const Trees& t) { ::unlink((t.installed + "/Contents/Info.plist").c_str()); },
       mismatch("Contents/Info.plist")},
      {"installed file a link to the same bytes",
       [](const Trees& t) {
         write_file(t.root / "outside/kept.txt", "kept");
         test_support::remove_all(t.installed + "/Contents/Resources/kept.txt");
         make_symlink(t.root / "outside/kept.txt", t.installed + "/Contents/Resources/kept.txt");
       },
       mismatch("Contents/Resources/kept.txt")},
      {"installed directory a link on the way",
       [](const Trees& t) {
         make_dir(t.root / "outside");
         ::rename((t.installed + "/Contents/Resources").c_str(), (t.root / "outside/R").c_str());
         make_symlink(t.root / "outside/R", t.installed + "/Contents/Resources");
       },
       mismatch("Contents/Resources/kept.txt")},
      {"unlisted staged entry",
       [](const Trees& t) { make_dir(t.staged + "/Contents/Resources/Empty/x"); },
       invalid("the archive holds Contents/Resources/Empty/x, which the manifest does not list")},
      {"unlisted staged link at the root",
       [](const Trees& t) { make_symlink("/", t.staged + "/root \xff"); },
       invalid("the archive holds root \xef\xbf\xbd, which the manifest does not list")},
      {"staged file where a directory belongs",
       [](const Trees& t) { write_file(t.staged + "/Contents/MacOS"); },
       invalid("the archive holds Contents/MacOS, which the manifest lists as a directory")},
      {"staged file where a kept file belongs",
       [](const Trees& t) { write_file(t.staged + "/Contents/Info.plist", "<plist/>"); },
       invalid("the archive holds Contents/Info.plist, which the manifest lists as a kept file")},
      {"staged entry where a link belongs",
       [](const Trees& t) { make_dir(t.staged + "/Contents/Resources/up"); },
       invalid("the archive holds Contents/Resources/up, which the manifest lists as a link")},
      {"added file a link",
       [](const Trees& t) {
         ::unlink((t.staged + "/Contents/Resources/new.txt").c_str());
         make_symlink(t.installed + "/Contents/Resources/kept.txt",
                      t.staged + "/Contents/Resources/new.txt");
       },
       invalid("the archive holds Contents/Resources/new.txt, which is not a file")},
      {"added file missing",
       [](const Trees& t) { ::unlink((t.staged + "/Contents/Resources/new.txt").c_str()); },
       invalid("the archive lacks Contents/Resources/new.txt")},
      {"added file of another size",
       [](const Trees& t) { write_file(t.staged + "/Contents/Resources/new.txt", "newer"); },
       invalid("Contents/Resources/new.txt has 5 bytes where the manifest records 3")},
      {"added file with other bytes",
       [](const Trees& t) { write_file(t.staged + "/Contents/Resources/new.txt", "old"); },
       invalid("Contents/Resources/new.txt does not have the digest the manifest records")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Trees trees;
    delta_test::make_trees(trees, bundle());
    c.change(trees);
    test_support::Snapshot installed = snapshot(trees.installed);
    test_support::Snapshot outside = snapshot(trees.root / "outside");

    EXPECT_EQ(rebuild(trees).error(), c.message);
    EXPECT_TRUE(test_support::same_tree(installed, snapshot(trees.installed)));
    EXPECT_TRUE(test_support::same_tree(outside, snapshot(trees.root / "outside")));
  }
}

}  // namespace
