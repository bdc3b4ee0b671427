#include "bundle_discovery.h"

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using core_test::make_dir;
using core_test::make_symlink;
using core_test::TempDir;
using core_test::write_file;

std::string found_or_error(const std::string& staging) {
  support::Result<std::string> found = installer::find_app_bundle(staging);
  return found ? found.value() : found.error();
}

TEST(FindAppBundle, FindsTheOneBundleDirectoryAmongOtherEntries) {
  TempDir staging;
  make_dir(staging / "Zentrivale.app/Contents");
  make_dir(staging / "__MACOSX/Zentrivale.app");
  make_dir(staging / "Zentrivale.APP");
  make_dir(staging / ".app");
  make_dir(staging / "folder/Other.app");
  write_file(staging / "Readme.app");
  make_symlink(staging / "Zentrivale.app", staging / "link-to-bundle");
  EXPECT_EQ(found_or_error(staging.path()), staging / "Zentrivale.app");
}

TEST(FindAppBundle, CountsOnlyBundleDirectoriesAtTheRoot) {
  const std::string none = "expected exactly one .app bundle at the ZIP root; found 0";
  TempDir empty;
  EXPECT_EQ(found_or_error(empty.path()), none);

  TempDir nested;
  make_dir(nested / "Zentrivale/Zentrivale.app");
  EXPECT_EQ(found_or_error(nested.path()), none);

  TempDir file;
  write_file(file / "Zentrivale.app");
  EXPECT_EQ(found_or_error(file.path()), none);

  TempDir two;
  make_dir(two / "Zentrivale.app");
  make_dir(two / "Other.app");
  EXPECT_EQ(found_or_error(two.path()), "expected exactly one .app bundle at the ZIP root; found 2");

  TempDir hidden;
  make_dir(hidden / ".Zentrivale.app");
  EXPECT_EQ(found_or_error(hidden.path()), hidden / ".Zentrivale.app");
}

TEST(FindAppBundle, RefusesASymbolicLinkNamedLikeABundle) {
  TempDir staging;
  make_dir(staging / "real");
  make_dir(staging / "Zentrivale.app");
  make_symlink(staging / "real", staging / "Other.app");
  EXPECT_EQ(found_or_error(staging.path()),
            "refusing symlinked application bundle in archive: " + (staging / "Other.app"));

  TempDir dangling;
  make_symlink("missing", dangling / "Zentrivale.app");
  EXPECT_EQ(found_or_error(dangling.path()),
            "refusing symlinked application bundle in archive: " + (dangling / "Zentrivale.app"));
}

TEST(FindAppBundle, MissingStagingCannotBeListed) {
  TempDir root;
  EXPECT_EQ(found_or_error(root / "missing"),
            "could not list staging: No such file or directory (os error 2)");
}

std::string name_check(const std::string& found, const std::string& target) {
  support::Result<void> checked = installer::check_bundle_name(found, target);
  return checked ? "match" : checked.error();
}

TEST(CheckBundleName, ComparesFileNamesExactly) {
  EXPECT_EQ(name_check("/s/Zentrivale.app", "/Applications/Zentrivale.app/"), "match");
  EXPECT_EQ(name_check("/s/zentrivale.app", "/Applications/Zentrivale.app"),
            "archive contains Some(\"zentrivale.app\"), expected Some(\"Zentrivale.app\")");
  EXPECT_EQ(name_check("/s/Other.app", "/Applications/.."),
            "archive contains Some(\"Other.app\"), expected None");
  EXPECT_EQ(name_check("/", "a/.."), "match");
}

TEST(DebugName, EscapesQuotesControlsAndInvisibleCharacters) {
  EXPECT_EQ(installer::debug_name(std::nullopt), "None");
  EXPECT_EQ(installer::debug_name(std::string("a\"b\\c\td\re\nf\0g", 13)),
            "Some(\"a\\\"b\\\\c\\td\\re\\nf\\0g\")");
  EXPECT_EQ(installer::debug_name(std::string("x\x01\x7f\xc2\x85\xc2\xa0 y")),
            "Some(\"x\\u{1}\\u{7f}\\u{85}\\u{a0} y\")");
  // Soft hyphen, zero-width space, line separator, byte-order mark,
  // private use, a noncharacter; then printable text left as is.
  EXPECT_EQ(installer::debug_name(std::string("\xc2\xad\xe2\x80\x8b\xe2\x80\xa8\xef\xbb\xbf"
                                              "\xee\x80\x80\xef\xbf\xbf\xf4\x8f\xbf\xbd")),
            "Some(\"\\u{ad}\\u{200b}\\u{2028}\\u{feff}\\u{e000}\\u{ffff}\\u{10fffd}\")");
  EXPECT_EQ(installer::debug_name(std::string("Z\xc3\xa9ntrivale \xe6\x97\xa5'.app")),
            "Some(\"Z\xc3\xa9ntrivale \xe6\x97\xa5'.app\")");
  EXPECT_EQ(installer::debug_name(std::string("bad\xff.app")), "Some(\"bad\xef\xbf\xbd.app\")");
}

}  // namespace
