// The Linux stand-in for ditto: what it extracts, and what it refuses
// without writing anything outside the destination.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using core_test::lexists;
using core_test::make_dir;
using core_test::TempDir;
using core_test::write_file;

constexpr char kBsdtar[] = "/usr/bin/bsdtar";

class DittoStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(root / "source");
    make_dir(root / "outside");
    make_dir(root / "dest");
  }

  // Archives `entries` of root/source as ZIP, with bsdtar's extra options
  // (renames, absolute paths) in front.
  std::string make_zip(std::vector<std::string> options, const std::vector<std::string>& entries) {
    std::vector<std::string> argv{kBsdtar, "--format", "zip", "-cf", root / "archive.zip"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), entries.begin(), entries.end());
    EXPECT_EQ(core_test::run_in(root / "source", argv), 0);
    return root / "archive.zip";
  }

  int ditto(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{core_test::test_tools().ditto};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return core_test::run_in(root.path(), argv);
  }

  void expect_nothing_outside_dest() {
    EXPECT_TRUE(core_test::list_directory(root / "outside").empty());
    EXPECT_EQ(core_test::list_directory(root.path()),
              (std::vector<std::string>{"archive.zip", "dest", "outside", "source"}));
  }

  TempDir root;
};

TEST_F(DittoStandIn, ExtractsFilesLinksAndExecuteBits) {
  make_dir(root / "source/A.app/Contents/MacOS");
  write_file(root / "source/A.app/Contents/MacOS/run", "#!/bin/sh\n", 0755);
  core_test::make_symlink("MacOS/run", root / "source/A.app/Contents/link");
  std::string archive = make_zip({}, {"A.app"});
  EXPECT_EQ(ditto({"-x", "-k", archive, root / "dest/new"}), 0);
  struct stat status;
  ASSERT_EQ(::lstat((root / "dest/new/A.app/Contents/MacOS/run").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0111, 0111u);
  ASSERT_EQ(::lstat((root / "dest/new/A.app/Contents/link").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST_F(DittoStandIn, RefusesWhatIsNotAZipOrIsTruncated) {
  write_file(root / "source/file", std::string(100000, 'x'));
  std::vector<std::string> tar{kBsdtar, "-cf", root / "archive.zip", "file"};
  ASSERT_EQ(core_test::run_in(root / "source", tar), 0);
  EXPECT_EQ(ditto({"-x", "-k", root / "archive.zip", root / "dest"}), 1);
  EXPECT_TRUE(core_test::list_directory(root / "dest").empty());

  std::string archive = make_zip({"--options", "zip:compression=store"}, {"file"});
  ASSERT_EQ(::truncate(archive.c_str(), 50000), 0);
  EXPECT_NE(ditto({"-x", "-k", archive, root / "dest"}), 0);
  expect_nothing_outside_dest();
}

TEST_F(DittoStandIn, RefusesAbsoluteEntries) {
  write_file(root / "source/file", "x");
  make_zip({"-P", "-s", ",^.*$," + root / "outside/escaped" + ","}, {"file"});
  EXPECT_EQ(ditto({"-x", "-k", root / "archive.zip", root / "dest"}), 1);
  EXPECT_TRUE(core_test::list_directory(root / "dest").empty());
  expect_nothing_outside_dest();
}

TEST_F(DittoStandIn, RefusesEntriesWithParentComponents) {
  write_file(root / "source/file", "x");
  make_zip({"-s", ",^file$,../outside/escaped,"}, {"file"});
  EXPECT_NE(ditto({"-x", "-k", root / "archive.zip", root / "dest"}), 0);
  expect_nothing_outside_dest();
}

TEST_F(DittoStandIn, RefusesExtractionThroughALinkFromTheArchive) {
  core_test::make_symlink(root / "outside", root / "source/link");
  make_dir(root / "source/real");
  write_file(root / "source/real/escaped", "x");
  make_zip({"-s", ",^real/,link/,"}, {"link", "real/escaped"});
  EXPECT_NE(ditto({"-x", "-k", root / "archive.zip", root / "dest"}), 0);
  expect_nothing_outside_dest();
}

TEST_F(DittoStandIn, AcceptsOnlyItsOneForm) {
  EXPECT_EQ(ditto({"-x", root / "archive.zip", root / "dest"}), 2);
  EXPECT_EQ(ditto({"-c", "-k", root / "source", root / "archive.zip"}), 2);
  EXPECT_EQ(ditto({"-x", "-k", root / "archive.zip", root / "dest", "extra"}), 2);
}

}  // namespace
