#include "staging.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "bundles.h"
#include "core_test_helpers.h"

namespace {

using core_test::lexists;
using core_test::make_dir;
using core_test::TempDir;
using core_test::write_file;

std::string own_staging(const std::string& install) {
  return install + "/.zentrivale-update-staging-" + std::to_string(::getpid());
}

// A ZIP holding Zentrivale.app with an executable and a symbolic link.
std::string make_update_archive(const TempDir& root) {
  make_dir(root / "source/Zentrivale.app/Contents/MacOS");
  write_file(root / "source/Zentrivale.app/Contents/MacOS/bundle_starter", "#!/bin/sh\n", 0755);
  EXPECT_EQ(::symlink("MacOS/bundle_starter",
                      (root / "source/Zentrivale.app/Contents/starter-link").c_str()),
            0);
  test_support::zip_entries(root / "source", {"Zentrivale.app"}, root / "update.zip");
  return root / "update.zip";
}

TEST(Staging, ExtractsIntoAFreshStagingDirectoryAfterRemovingLeftovers) {
  TempDir root;
  std::string archive = make_update_archive(root);
  std::string install = root / "Applications";
  make_dir(install + "/.zentrivale-update-staging-1/Zentrivale.app");
  make_dir(own_staging(install) + "/old");

  core_test::LogCapture capture;
  support::Result<std::string> staging =
      installer::prepare_and_extract(install, archive, capture.log, core_test::test_tools());
  ASSERT_TRUE(staging) << staging.error();
  EXPECT_EQ(staging.value(), own_staging(install));

  std::vector<std::string> messages = capture.messages();
  ASSERT_EQ(messages.size(), 3u);
  std::sort(messages.begin(), messages.begin() + 2);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "removed stale " + install + "/.zentrivale-update-staging-1",
                          "removed stale " + own_staging(install),
                          "extracting the update archive...",
                      }));
  EXPECT_EQ(core_test::list_directory(install), std::vector<std::string>{
                                              ".zentrivale-update-staging-" +
                                              std::to_string(::getpid())});
  EXPECT_EQ(core_test::list_directory(staging.value()), std::vector<std::string>{"Zentrivale.app"});
  struct stat status;
  ASSERT_EQ(::stat((staging.value() + "/Zentrivale.app/Contents/MacOS/bundle_starter").c_str(),
                   &status),
            0);
  EXPECT_TRUE(status.st_mode & S_IXUSR);
  ASSERT_EQ(::lstat((staging.value() + "/Zentrivale.app/Contents/starter-link").c_str(), &status),
            0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST(Staging, RejectedArchiveLeavesNoStagingDirectory) {
  TempDir root;
  write_file(root / "update.zip", "this is not a ZIP archive\n");
  make_dir(root / "Applications");
  core_test::LogCapture capture;
  support::Result<std::string> staging = installer::prepare_and_extract(
      root / "Applications", root / "update.zip", capture.log, core_test::test_tools());
  ASSERT_FALSE(staging);
  EXPECT_EQ(staging.error(), "could not extract the update archive (corrupt ZIP?)");
  EXPECT_EQ(capture.messages(), std::vector<std::string>{"extracting the update archive..."});
  EXPECT_TRUE(core_test::list_directory(root / "Applications").empty());
}

TEST(Staging, DittoThatCannotStartLeavesTheStagingDirectory) {
  TempDir root;
  make_dir(root / "Applications");
  write_file(root / "update.zip", "an archive ditto never reads\n");
  core_test::LogCapture capture;
  support::Result<std::string> staging =
      installer::prepare_and_extract(root / "Applications", root / "update.zip", capture.log,
                                     installer::Tools::under(root / "no-tools"));
  ASSERT_FALSE(staging);
  EXPECT_EQ(staging.error(), "could not run ditto: No such file or directory (os error 2)");
  EXPECT_TRUE(lexists(own_staging(root / "Applications")));
}

TEST(Staging, PlainFileAtTheStagingPathCannotBeCleared) {
  TempDir root;
  std::string install = root / "Applications";
  make_dir(install);
  write_file(own_staging(install), "in the way");
  write_file(root / "update.zip", "an archive ditto never reads\n");
  core_test::LogCapture capture;
  support::Result<std::string> staging = installer::prepare_and_extract(
      install, root / "update.zip", capture.log, core_test::test_tools());
  ASSERT_FALSE(staging);
  EXPECT_EQ(staging.error(), "could not clear staging: Not a directory (os error 20)");
  EXPECT_TRUE(capture.messages().empty());
  EXPECT_EQ(core_test::read_file(own_staging(install)), "in the way");
}

TEST(Staging, InstallDirectoryWithoutWritePermission) {
  if (!core_test::can_switch_user()) GTEST_SKIP() << "needs root to act as another user";
  TempDir root;
  ::chmod(root.path().c_str(), 0755);
  std::string install = root / "Applications";
  make_dir(install, 0755);
  write_file(root / "update.zip", "an archive ditto never reads\n");
  core_test::ChildOutput output = core_test::as_nobody([&] {
    installer::Log log{support::UniqueFd()};
    support::Result<std::string> staging = installer::prepare_and_extract(
        install, root / "update.zip", log, core_test::test_tools());
    return staging ? std::string("created") : staging.error();
  });
  EXPECT_EQ(output.text, "could not create staging directory " + install +
                             "/.zentrivale-update-staging-" + std::to_string(output.pid) +
                             " (is " + install + " writable?): Permission denied (os error 13)");
}

TEST(Staging, FailedCleanUpIsLoggedWithoutTheSystemError) {
  TempDir root;
  write_file(root / "not-a-directory");
  core_test::LogCapture capture;
  installer::clean_up_staging(root / "not-a-directory", capture.log);
  EXPECT_EQ(capture.messages(), std::vector<std::string>{"could not remove staging directory " +
                                                         (root / "not-a-directory")});
}

}  // namespace
