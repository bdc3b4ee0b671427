#include "bundle_swap.h"

#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using core_test::lexists;
using core_test::make_dir;
using core_test::read_file;
using core_test::write_file;

TEST(BackupPrefix, UsesTheTargetsFileStem) {
  EXPECT_EQ(installer::backup_prefix("/Applications/Zentrivale.app"), ".Zentrivale.backup-");
  EXPECT_EQ(installer::backup_prefix("Zentrivale.app/"), ".Zentrivale.backup-");
  EXPECT_EQ(installer::backup_prefix("/Applications/.app"), "..app.backup-");
  EXPECT_EQ(installer::backup_prefix("/Applications/.."), ".Zentrivale.backup-");
  EXPECT_EQ(installer::backup_prefix("/x/Z\xff.app"), ".Z\xef\xbf\xbd.backup-");
  EXPECT_EQ(installer::backup_path("/Applications", "/Applications/Zentrivale.app"),
            "/Applications/.Zentrivale.backup-" + std::to_string(::getpid()));
}

TEST(SwapBundles, RefusesPathsWithNul) {
  using namespace std::string_literals;
  support::Result<installer::SwapOutcome> candidate =
      installer::swap_bundles("/s/Zentrivale.app\0x"s, "/a/Zentrivale.app", "/a/.b");
  ASSERT_FALSE(candidate);
  EXPECT_EQ(candidate.error(), "candidate path contains NUL");
  support::Result<installer::SwapOutcome> target =
      installer::swap_bundles("/s/Zentrivale.app", "/a/Zentrivale.app\0x"s, "/a/.b");
  ASSERT_FALSE(target);
  EXPECT_EQ(target.error(), "target path contains NUL");
}

// An install directory with the installed bundle (version "old"), an older
// backup, and a staging directory holding the new bundle (version "new").
class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dir(install + "/Zentrivale.app/Contents");
    write_file(install + "/Zentrivale.app/Contents/version", "old");
    make_dir(older_backup + "/Contents");
    make_dir(candidate + "/Contents");
    write_file(candidate + "/Contents/version", "new");
  }

  std::string version_at(const std::string& bundle) const {
    return lexists(bundle + "/Contents/version") ? read_file(bundle + "/Contents/version")
                                                 : "(absent)";
  }

  support::Result<void> install_bundle() {
    return installer::install_bundle(candidate, target, install, staging, capture.log);
  }

  core_test::TempDir root;
  std::string install = root / "Applications";
  std::string target = install + "/Zentrivale.app";
  std::string older_backup = install + "/.Zentrivale.backup-1";
  std::string backup = install + "/.Zentrivale.backup-" + std::to_string(::getpid());
  std::string staging = install + "/.zentrivale-update-staging-" + std::to_string(::getpid());
  std::string candidate = staging + "/Zentrivale.app";
  core_test::LogCapture capture;
};

TEST_F(Installation, ExchangeKeepsThePreviousVersionAsTheOnlyBackup) {
  support::Result<void> installed = install_bundle();
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    "installing the new application...",
                                    "previous version kept as rollback backup at " + backup,
                                    "removed stale " + older_backup,
                                }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(backup), "old");
  EXPECT_FALSE(lexists(staging));
  EXPECT_FALSE(lexists(older_backup));
}

TEST_F(Installation, NonEmptyDirectoryAtTheBackupPathAfterTheExchange) {
  make_dir(backup + "/left-by-an-earlier-run");
  support::Result<void> installed = install_bundle();
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{
                "installing the new application...",
                "could not preserve rollback backup: Directory not empty (os error 39)",
                "previous version left at " + candidate,
                "removed stale " + older_backup,
            }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(candidate), "old");
  EXPECT_TRUE(lexists(backup + "/left-by-an-earlier-run"));
}

#ifdef __linux__
TEST_F(Installation, RefusedExchangeEndsTheSameByTwoRenames) {
  core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}};
  support::Result<void> installed = install_bundle();
  EXPECT_EQ(fault.failures("FAULT_RENAMEAT2"), 1);
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    "installing the new application...",
                                    "previous version kept as rollback backup at " + backup,
                                    "removed stale " + older_backup,
                                }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(backup), "old");
  EXPECT_FALSE(lexists(staging));
  EXPECT_FALSE(lexists(older_backup));
}

TEST_F(Installation, MovingAsideFailsAndNothingMoves) {
  make_dir(backup + "/left-by-an-earlier-run");
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not move the existing application aside: Directory not empty (os error 39)");
  EXPECT_EQ(capture.messages(), std::vector<std::string>{"installing the new application..."});
  EXPECT_EQ(version_at(target), "old");
  EXPECT_TRUE(lexists(backup + "/left-by-an-earlier-run"));
  EXPECT_TRUE(lexists(older_backup));
  EXPECT_FALSE(lexists(staging));
}

TEST_F(Installation, FailedInstallIsRolledBack) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}, {"FAULT_RENAME", "2:EACCES"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not install the new application (rolled back): Permission denied (os error 13)");
  EXPECT_EQ(version_at(target), "old");
  EXPECT_FALSE(lexists(backup));
  EXPECT_TRUE(lexists(older_backup));
  EXPECT_FALSE(lexists(staging));
}

TEST_F(Installation, FailedRollbackNamesWhereThePreviousVersionIs) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}, {"FAULT_RENAME", "2+:EACCES"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not install the new application (Permission denied (os error 13)) and "
            "rollback also failed (Permission denied (os error 13)); previous version is at " +
                backup);
  EXPECT_FALSE(lexists(target));
  EXPECT_EQ(version_at(backup), "old");
  EXPECT_TRUE(lexists(older_backup));
}

TEST_F(Installation, FailedPreservingAfterTheExchangeKeepsTheStagingDirectory) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAME", "EIO"}};
    return install_bundle();
  }();
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    "installing the new application...",
                                    "could not preserve rollback backup: Input/output error (os "
                                    "error 5)",
                                    "previous version left at " + candidate,
                                    "removed stale " + older_backup,
                                }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(candidate), "old");
  EXPECT_FALSE(lexists(backup));
}
#endif

}  // namespace
