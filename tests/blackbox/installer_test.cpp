// The installer as the application starts it: built binary, real archives,
// real install trees.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "arguments.h"
#include "installer_harness.h"

namespace installer_test {
namespace {

using Messages = std::vector<std::string>;

std::string echo_of(const Messages& messages) {
  std::string text;
  for (const std::string& m : messages) text += "[update-helper] " + m + "\n";
  return text;
}

// Waits up to five seconds for a detached, relaunched application to record
// its start.
std::string wait_for_marker(const InstallTree& tree) {
  for (int i = 0; i < 50 && read_file(tree.marker()).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return read_file(tree.marker());
}

class InstallerTest : public ::testing::Test {
 protected:
  InstallTree tree;

  std::string backup() const {
    return tree.install_directory() + "/.Zentrivale.backup-";  // + the installer's PID
  }
  // The one entry of the install directory other than the bundle.
  std::vector<std::string> others() const {
    std::vector<std::string> names = list_directory(tree.install_directory());
    names.erase(std::remove(names.begin(), names.end(), "Zentrivale.app"), names.end());
    return names;
  }
  // Asserts the installed bundle is version 1, complete, and nothing else is left.
  void expect_untouched() const {
    EXPECT_EQ(tree.version_of(tree.target()), "1");
    EXPECT_TRUE(lexists(tree.target() + "/Contents/MacOS/Zentrivale"));
    EXPECT_EQ(others(), std::vector<std::string>{});
  }
};

TEST_F(InstallerTest, FullUpdateInstallsKeepsOneBackupAndRelaunches) {
  // Older backups of this bundle go; look-alikes stay.
  for (const char* stale : {".Zentrivale.backup-1", ".Zentrivale.backup-old"}) {
    tree.make_bundle(tree.install_directory() + "/" + stale, "0");
  }
  write_file(tree.install_directory() + "/.Zentrivale.backup-file", "plain file");
  tree.make_bundle(tree.install_directory() + "/.Other.backup-1", "0");
  tree.make_bundle(tree.install_directory() + "/.zentrivale-update-staging-1", "0");

  std::string archive = tree.signed_update();
  std::vector<std::string> arguments = tree.standard_arguments(archive);
  Outcome outcome = tree.install(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;

  EXPECT_EQ(tree.version_of(tree.target()), "2");
  std::vector<std::string> names = others();
  std::string backup_name;
  for (const std::string& name : names) {
    if (matches_with_pid(name, ".Zentrivale.backup-", "")) backup_name = name;
  }
  ASSERT_FALSE(backup_name.empty()) << ::testing::PrintToString(names);
  std::vector<std::string> expected_names{".Other.backup-1", ".Zentrivale.backup-file", backup_name};
  std::sort(expected_names.begin(), expected_names.end());
  EXPECT_EQ(names, expected_names);
  std::string backup_path = tree.install_directory() + "/" + backup_name;
  EXPECT_EQ(tree.version_of(backup_path), "1");
  EXPECT_TRUE(lexists(backup_path + "/Contents/MacOS/Zentrivale"));

  Messages log = tree.log_messages();
  Messages expected{
      "installing " + archive + " over " + tree.target() + " (parent pid " + arguments[5] + ")",
      "waiting for the application to exit...",
      "removed stale " + tree.install_directory() + "/.zentrivale-update-staging-1",
      "extracting the update archive...",
      "verifying the new application bundle...",
      "installing the new application...",
      "previous version kept as rollback backup at " + backup_path,
  };
  ASSERT_GE(log.size(), expected.size() + 4) << ::testing::PrintToString(log);
  EXPECT_EQ(Messages(log.begin(), log.begin() + 7), expected);
  // The two older backups, in listing order.
  Messages removed(log.begin() + 7, log.begin() + 9);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (Messages{"removed stale " + tree.install_directory() + "/.Zentrivale.backup-1",
                               "removed stale " + tree.install_directory() + "/.Zentrivale.backup-old"}));
  EXPECT_EQ(Messages(log.begin() + 9, log.end()),
            (Messages{"relaunching Zentrivale...", "update installed successfully"}));
  EXPECT_EQ(outcome.standard_error.find(echo_of({log.front()})), 0u);
  EXPECT_EQ(wait_for_marker(tree), "2\n");
}

TEST_F(InstallerTest, NoRelaunchStopsAfterInstalling) {
  std::vector<std::string> arguments = tree.standard_arguments(tree.signed_update());
  arguments.push_back("--no-relaunch");
  Outcome outcome = tree.install(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  Messages log = tree.log_messages();
  EXPECT_EQ(log.back(), "update installed successfully");
  EXPECT_EQ(std::count(log.begin(), log.end(), "relaunching Zentrivale..."), 0);
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(lexists(tree.marker()));
}

TEST_F(InstallerTest, RejectedCommandLineIsLoggedThenWrittenBare) {
  Outcome outcome = tree.install({});
  std::string message = std::string("--archive is required\n") + installer::kUsage;
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_EQ(outcome.standard_error,
            "[update-helper] invalid arguments: " + message + "\n" + message + "\n");
  EXPECT_EQ(outcome.standard_output, "");
  EXPECT_EQ(tree.log_messages(), Messages{"invalid arguments: " + message});
  expect_untouched();

  outcome = tree.install({"--archive", "a.zip", "--target-app", "x/Zentrivale.APP",
                          "--parent-pid", "42", "--bundle-id", "id"});
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_EQ(outcome.standard_error,
            "[update-helper] invalid arguments: --target-app must point at an .app bundle\n"
            "--target-app must point at an .app bundle\n");
  EXPECT_EQ(tree.log_messages().size(), 2u) << "a second run appends";
}

TEST_F(InstallerTest, MissingInputsFailBeforeTheWait) {
  std::vector<std::string> arguments = tree.standard_arguments(tree.root() + "/missing.zip");
  Outcome outcome = tree.install(arguments);
  EXPECT_EQ(outcome.exit_status, 1);
  std::string failure = "update installation failed: update archive does not exist: " +
                        tree.root() + "/missing.zip";
  EXPECT_EQ(tree.log_messages().back(), failure);
  EXPECT_EQ(tree.log_messages().size(), 2u);
  EXPECT_EQ(outcome.standard_error.substr(outcome.standard_error.size() - failure.size() - 1),
            failure + "\n");

  std::string archive = tree.signed_update();
  arguments = tree.standard_arguments(archive);
  arguments[3] = tree.install_directory() + "/Missing.app";
  outcome = tree.install(arguments);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: target application bundle is invalid: " + arguments[3]);
  expect_untouched();
}

TEST_F(InstallerTest, UnsignedOrTamperedUpdateIsRefused) {
  std::string archive = tree.signed_update();
  // A file changed after signing.
  write_file(tree.root() + "/source/Zentrivale.app/Contents/Resources/version.txt", "evil\n");
  unlink(archive.c_str());
  tree.zip(tree.root() + "/source", {"Zentrivale.app"});
  Outcome outcome = tree.install(tree.standard_arguments(archive));
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: the updated application's code signature is invalid");
  expect_untouched();
}

TEST_F(InstallerTest, WrongIdentifierIsRefusedBeforeAnySignatureCheck) {
  std::string archive = tree.signed_update("2", "com.example.Zentrivale");
  Outcome outcome = tree.install(tree.standard_arguments(archive));
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: bundle identifier mismatch: expected "
            "com.example.zentrivale, got com.example.Zentrivale");
  expect_untouched();
}

TEST_F(InstallerTest, ArchiveProblemsLeaveTheInstalledBundleAlone) {
  struct Case {
    std::string name;
    std::function<std::string()> make_archive;
    std::string message;
    std::string suffix = "";  // after the staging directory's process ID
  };
  std::string source = tree.root() + "/source";
  std::vector<Case> cases{
      {"not a zip", [&] { return tree.junk_archive(); },
       "could not extract the update archive (corrupt ZIP?)"},
      {"two bundles",
       [&] {
         tree.make_bundle(source + "/Zentrivale.app", "2");
         tree.make_bundle(source + "/Other.app", "2");
         return tree.zip(source, {"Zentrivale.app", "Other.app"}, "two.zip");
       },
       "expected exactly one .app bundle at the ZIP root; found 2"},
      {"nested bundle",
       [&] {
         mkdir((source + "/folder").c_str(), 0755);
         tree.make_bundle(source + "/folder/Zentrivale.app", "2");
         return tree.zip(source, {"folder"}, "nested.zip");
       },
       "expected exactly one .app bundle at the ZIP root; found 0"},
      {"other name",
       [&] { return tree.wrongly_named_update(); },
       "archive contains Some(\"Other.app\"), expected Some(\"Zentrivale.app\")"},
      {"symlinked bundle",
       [&] {
         tree.make_bundle(source + "/Real", "2");
         symlink("Real", (source + "/Zentrivale.app").c_str());
         return tree.zip(source, {"Real", "Zentrivale.app"}, "link.zip");
       },
       "refusing symlinked application bundle in archive: " + tree.install_directory() +
           "/.zentrivale-update-staging-",
       "/Zentrivale.app"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + source + "'/*").c_str());
    Outcome outcome = tree.install(tree.standard_arguments(c.make_archive()));
    EXPECT_EQ(outcome.exit_status, 1);
    std::string last = tree.log_messages().back();
    std::string expected = "update installation failed: " + c.message;
    if (c.suffix.empty()) {
      EXPECT_EQ(last, expected);
    } else {
      EXPECT_TRUE(matches_with_pid(last, expected, c.suffix));
    }
    expect_untouched();
  }
}

// --- The signing team ---------------------------------------------------------

constexpr const char* kTeam = "ABCDE12345";
constexpr const char* kTeamIdentity = "Developer ID Application: Some Name (ABCDE12345)";

class InstallerTeamTest : public InstallerTest {
 protected:
  // Same entries, same bytes, same links as before; nothing left beside it.
  void expect_byte_for_byte_untouched() const {
    EXPECT_TRUE(tree.target_matches_snapshot());
    expect_untouched();
  }
  Outcome install_for_team(const std::string& archive, std::vector<std::string> extra = {}) const {
    std::vector<std::string> arguments = tree.standard_arguments(archive);
    arguments.insert(arguments.end(), {"--team-id", kTeam, "--no-relaunch"});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return tree.install(arguments);
  }
};

TEST_F(InstallerTeamTest, UpdateOfTheSameTeamInstalls) {
  Outcome outcome = install_for_team(tree.signed_update("2", "com.example.zentrivale", kTeamIdentity));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  // The log is the same as without the option: the team check adds no line.
  Messages log = tree.log_messages();
  EXPECT_EQ(std::count(log.begin(), log.end(), "verifying the new application bundle..."), 1);
  EXPECT_EQ(log.back(), "update installed successfully");
  EXPECT_EQ(log.size(), 7u) << ::testing::PrintToString(log);
  EXPECT_NE(outcome.standard_error.find(": explicit requirement satisfied\n"), std::string::npos)
      << "codesign's output reaches standard error";
}

TEST_F(InstallerTeamTest, AnotherTeamOrAnAdHocSignatureIsRefused) {
  tree.snapshot_target();
  struct Case {
    std::string name, identity;
  };
  for (const Case& c : {Case{"another team", "Developer ID Application: Someone Else (ZYXWV98765)"},
                        Case{"ad hoc", "-"}}) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + tree.root() + "/source'/*").c_str());
    Outcome outcome = install_for_team(tree.signed_update("2", "com.example.zentrivale", c.identity));
    EXPECT_EQ(outcome.exit_status, 1);
    std::string failure = "update installation failed: the updated application is not signed by "
                          "team ABCDE12345";
    EXPECT_EQ(tree.log_messages().back(), failure);
    EXPECT_EQ(outcome.standard_error.substr(outcome.standard_error.size() - failure.size() - 17),
              "[update-helper] " + failure + "\n");
    expect_byte_for_byte_untouched();
  }
}

TEST_F(InstallerTeamTest, SkipFlagSkipsTheTeamCheck) {
  std::string archive =
      tree.signed_update("2", "com.example.zentrivale", "Developer ID Application: X (ZYXWV98765)");
  Outcome outcome = install_for_team(archive, {"--insecure-skip-signature-verification"});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  Messages log = tree.log_messages();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "WARNING: skipping code-signature and Gatekeeper verification (development flag)"),
            1);
}

TEST_F(InstallerTeamTest, InvalidTeamIdIsAnArgumentError) {
  std::vector<std::string> arguments = tree.standard_arguments(tree.signed_update());
  arguments.insert(arguments.end(), {"--team-id", "abcde12345"});
  Outcome outcome = tree.install(arguments);
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_EQ(outcome.standard_error,
            "[update-helper] invalid arguments: --team-id must be a 10-character Apple team ID\n"
            "--team-id must be a 10-character Apple team ID\n");
  expect_untouched();
}

TEST_F(InstallerTest, BareNameTargetWorksInTheWorkingDirectory) {
  std::string archive = tree.signed_update();
  std::vector<std::string> arguments = tree.standard_arguments(archive);
  arguments[3] = "Zentrivale.app";
  arguments.push_back("--no-relaunch");
  Outcome outcome = run_program(INSTALLER_PROGRAM, arguments, tree.environment(),
                                tree.install_directory());
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  ASSERT_EQ(others().size(), 1u);
  Messages log = tree.log_messages();
  ASSERT_GE(log.size(), 6u);
  EXPECT_TRUE(matches_with_pid(log[5], "previous version kept as rollback backup at .Zentrivale.backup-", ""))
      << ::testing::PrintToString(log);
}

TEST_F(InstallerTest, TrailingSeparatorOnTheTargetIsAccepted) {
  std::vector<std::string> arguments = tree.standard_arguments(tree.signed_update());
  arguments[3] += "/";
  arguments.push_back("--no-relaunch");
  Outcome outcome = tree.install(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
}

TEST_F(InstallerTest, ClosedStandardErrorStillLogsEverything) {
  std::vector<std::string> arguments{"-c", "exec \"$0\" \"$@\" 2>&-", INSTALLER_PROGRAM};
  std::vector<std::string> update = tree.standard_arguments(tree.signed_update());
  arguments.insert(arguments.end(), update.begin(), update.end());
  arguments.push_back("--no-relaunch");
  Outcome outcome = run_program("/bin/sh", arguments, tree.environment(), tree.root());
  ASSERT_EQ(outcome.exit_status, 0);
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(tree.log_messages().back(), "update installed successfully");
  EXPECT_EQ(tree.log_messages().size(), 7u);
  EXPECT_EQ(tree.version_of(tree.target()), "2");
}

TEST_F(InstallerTest, WithoutHomeEverythingGoesToStandardError) {
  std::string archive = tree.signed_update();
  std::vector<std::string> arguments = tree.standard_arguments(archive);
  arguments.push_back("--no-relaunch");
  Outcome outcome = run_program(INSTALLER_PROGRAM, arguments, {"PATH=/usr/bin:/bin"}, tree.root());
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_FALSE(lexists(tree.home() + "/Library"));
  EXPECT_NE(outcome.standard_error.find("[update-helper] update installed successfully\n"),
            std::string::npos);
}

#ifdef FAULT_INJECTION_LIBRARY
// The swap's other paths, with chosen renames failing inside the installer.
class InstallerSwapTest : public InstallerTest {
 protected:
  Outcome install_with_faults(const std::vector<std::string>& faults) {
    std::vector<std::string> extra{std::string("LD_PRELOAD=") + FAULT_INJECTION_LIBRARY};
    extra.insert(extra.end(), faults.begin(), faults.end());
    arguments = tree.standard_arguments(tree.signed_update());
    arguments.push_back("--no-relaunch");
    return tree.install(arguments, extra);
  }
  // The one backup in the install directory, or "".
  std::string backup_path() const {
    for (const std::string& name : list_directory(tree.install_directory())) {
      if (name.rfind(".Zentrivale.backup-", 0) == 0) return tree.install_directory() + "/" + name;
    }
    return "";
  }
  std::vector<std::string> arguments;
};

TEST_F(InstallerSwapTest, RefusedExchangeFallsBackToTwoRenamesWithTheSameResult) {
  for (const char* error : {"EINVAL", "ENOTSUP", "ENOSYS", "EXDEV"}) {
    SCOPED_TRACE(error);
    Outcome outcome = install_with_faults({std::string("FAULT_RENAMEAT2=") + error});
    ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
    EXPECT_EQ(tree.version_of(tree.target()), "2");
    ASSERT_FALSE(backup_path().empty());
    EXPECT_EQ(tree.version_of(backup_path()), "1");
    std::vector<std::string> log = tree.log_messages();
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end() - 1),
              (std::vector<std::string>{"installing the new application...",
                                        "previous version kept as rollback backup at " + backup_path()}))
        << ::testing::PrintToString(log);
    EXPECT_EQ(others(), std::vector<std::string>{backup_path().substr(tree.install_directory().size() + 1)});
    // The next round starts again from version 1.
    std::system(("rm -rf '" + tree.target() + "' '" + backup_path() + "' '" + tree.home() + "'").c_str());
    tree.make_bundle(tree.target(), "1");
  }
}

TEST_F(InstallerSwapTest, FailedInstallIsRolledBack) {
  Outcome outcome = install_with_faults({"FAULT_RENAMEAT2=EXDEV", "FAULT_RENAME=2:EACCES"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: could not install the new application (rolled back): " +
                std::string(strerror(EACCES)) + " (os error 13)");
  expect_untouched();
}

TEST_F(InstallerSwapTest, FailedRollbackNamesWhereThePreviousVersionIs) {
  Outcome outcome = install_with_faults({"FAULT_RENAMEAT2=EXDEV", "FAULT_RENAME=2+:EACCES"});
  EXPECT_EQ(outcome.exit_status, 1);
  std::string denied = std::string(strerror(EACCES)) + " (os error 13)";
  std::string backup = backup_path();
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: could not install the new application (" + denied +
                ") and rollback also failed (" + denied + "); previous version is at " + backup);
  EXPECT_FALSE(lexists(tree.target()));
  EXPECT_EQ(tree.version_of(backup), "1");
  EXPECT_TRUE(lexists(backup + "/Contents/MacOS/Zentrivale"));
  EXPECT_EQ(others(), std::vector<std::string>{backup.substr(tree.install_directory().size() + 1)})
      << "the staging directory is removed";
}

TEST_F(InstallerSwapTest, FailedMoveAsideChangesNothing) {
  Outcome outcome = install_with_faults({"FAULT_RENAMEAT2=EXDEV", "FAULT_RENAME=1:EBUSY"});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: could not move the existing application aside: " +
                std::string(strerror(EBUSY)) + " (os error 16)");
  expect_untouched();
}

TEST_F(InstallerSwapTest, UnpreservedBackupStaysInTheStagingDirectory) {
  Outcome outcome = install_with_faults({"FAULT_RENAME=1:EACCES"});
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  std::vector<std::string> log = tree.log_messages();
  std::string staging_prefix = tree.install_directory() + "/.zentrivale-update-staging-";
  ASSERT_GE(log.size(), 3u);
  std::string preserve = "could not preserve rollback backup: " + std::string(strerror(EACCES)) +
                         " (os error 13)";
  EXPECT_EQ(std::count(log.begin(), log.end(), preserve), 1) << ::testing::PrintToString(log);
  std::string left = log[log.size() - 2];
  EXPECT_TRUE(matches_with_pid(left, "previous version left at " + staging_prefix, "/Zentrivale.app"));
  std::string kept = left.substr(std::string("previous version left at ").size());
  EXPECT_EQ(tree.version_of(kept), "1");
}
#endif

}  // namespace
}  // namespace installer_test
