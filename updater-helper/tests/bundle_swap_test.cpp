#include "bundle_swap.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <gtest/gtest.h>

#include "core_test_helpers.h"
#include "installation_fixture.h"
#include "os_error.h"

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

TEST_F(Installation, ExchangeKeepsThePreviousVersionAsTheOnlyBackup) {
  support::Result<void> installed = install_bundle();
  ASSERT_TRUE(installed) << installed.error();
  expect_installed_with_one_backup();
}

TEST_F(Installation, NonEmptyDirectoryAtTheBackupPathAfterTheExchange) {
  make_dir(backup + "/left-by-an-earlier-run");
  support::Result<void> installed = install_bundle();
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{
                "installing the new application...",
                "could not preserve rollback backup: " + support::os_error_text(ENOTEMPTY),
                "previous version left at " + candidate,
                "removed stale " + older_backup,
            }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(candidate), "old");
  EXPECT_TRUE(lexists(backup + "/left-by-an-earlier-run"));
}


}  // namespace
