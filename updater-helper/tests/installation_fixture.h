// The installed bundle, an older backup and a staged new bundle, for the
// tests of the exchange (bundle_swap_test.cpp, core_fault_test.cpp).
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_swap.h"
#include "core_test_helpers.h"

// An install directory with the installed bundle (version "old"), an older
// backup, and a staging directory holding the new bundle (version "new").
class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    core_test::make_dir(install + "/Zentrivale.app/Contents");
    core_test::write_file(install + "/Zentrivale.app/Contents/version", "old");
    core_test::make_dir(older_backup + "/Contents");
    core_test::make_dir(candidate + "/Contents");
    core_test::write_file(candidate + "/Contents/version", "new");
  }

  std::string version_at(const std::string& bundle) const {
    return core_test::lexists(bundle + "/Contents/version")
               ? core_test::read_file(bundle + "/Contents/version")
               : "(absent)";
  }

  // The new version at the target, the previous one as the only backup, the
  // staging directory gone, and the log saying so.
  void expect_installed_with_one_backup() const {
    EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                      "installing the new application...",
                                      "previous version kept as rollback backup at " + backup,
                                      "removed stale " + older_backup,
                                  }));
    EXPECT_EQ(version_at(target), "new");
    EXPECT_EQ(version_at(backup), "old");
    EXPECT_FALSE(core_test::lexists(staging));
    EXPECT_FALSE(core_test::lexists(older_backup));
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
