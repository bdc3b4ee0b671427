#include "path.h"

#include <gtest/gtest.h>

namespace support {
namespace {

TEST(JoinTest, PutsOneSeparatorBetweenBaseAndComponent) {
  EXPECT_EQ(join("/Users/u", "Library/Caches/Zentrivale"), "/Users/u/Library/Caches/Zentrivale");
  EXPECT_EQ(join("/Users/u/", "Library"), "/Users/u/Library");
  EXPECT_EQ(join("", "Library"), "Library");
  EXPECT_EQ(join("/", "x"), "/x");
}

TEST(JoinTest, AbsoluteComponentReplacesBase) {
  EXPECT_EQ(join("/A/Contents/MacOS", "/bin/sh"), "/bin/sh");
}

TEST(ParentTest, DropsLastComponent) {
  EXPECT_EQ(parent("/A/Contents/MacOS/bundle_starter"), "/A/Contents/MacOS");
  EXPECT_EQ(parent("/app"), "/");
  EXPECT_EQ(parent("/Applications/Zentrivale.app/"), "/Applications");
  EXPECT_EQ(parent("Zentrivale.app"), "");
  EXPECT_EQ(parent("a//b"), "a");
  EXPECT_EQ(parent("a/b/."), "a");
}

TEST(ParentTest, RootAndEmptyHaveNone) {
  EXPECT_EQ(parent("/"), std::nullopt);
  EXPECT_EQ(parent("//"), std::nullopt);
  EXPECT_EQ(parent(""), std::nullopt);
}

TEST(FileNameTest, IgnoresTrailingSeparatorsAndDots) {
  EXPECT_EQ(file_name("/Applications/Zentrivale.app"), "Zentrivale.app");
  EXPECT_EQ(file_name("Zentrivale.app/"), "Zentrivale.app");
  EXPECT_EQ(file_name("Zentrivale.app/."), "Zentrivale.app");
  EXPECT_EQ(file_name("/a/.."), std::nullopt);
  EXPECT_EQ(file_name("/"), std::nullopt);
  EXPECT_EQ(file_name(""), std::nullopt);
}

TEST(ExtensionTest, FollowsTheLastFullStop) {
  EXPECT_EQ(extension("Zentrivale.app"), "app");
  EXPECT_EQ(extension("Zentrivale.app/"), "app");
  EXPECT_EQ(extension(".Zentrivale.app"), "app");
  EXPECT_EQ(extension("Zentrivale.APP"), "APP");
  EXPECT_EQ(extension(".app"), std::nullopt);
  EXPECT_EQ(extension("archive.tar.gz"), "gz");
  EXPECT_EQ(extension("name."), "");
  EXPECT_EQ(extension("noext"), std::nullopt);
}

TEST(FileStemTest, DropsOnlyTheFinalExtension) {
  EXPECT_EQ(file_stem("/Applications/Zentrivale.app"), "Zentrivale");
  EXPECT_EQ(file_stem("a.b.app"), "a.b");
  EXPECT_EQ(file_stem(".app"), ".app");
  EXPECT_EQ(file_stem("/"), std::nullopt);
}

TEST(SameComponentsTest, IgnoresDoubledAndTrailingSeparators) {
  EXPECT_TRUE(same_components("/x//.Zentrivale.backup-1/", "/x/.Zentrivale.backup-1"));
  EXPECT_TRUE(same_components("/x/./y", "/x/y"));
  EXPECT_FALSE(same_components("x/y", "/x/y"));
  EXPECT_FALSE(same_components("/x/y", "/x/Y"));
}

}  // namespace
}  // namespace support
