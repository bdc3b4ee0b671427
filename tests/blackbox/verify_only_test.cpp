// `bundle_installer --verify-only`, as the application runs it before it
// quits: the built program, real archives, real install trees.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "installer_harness.h"

namespace installer_test {
namespace {

using Messages = std::vector<std::string>;

constexpr const char* kTeamIdentity = "Developer ID Application: Some Name (ABCDE12345)";

class VerifyOnlyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree.use_all_stand_ins();
    // open would start the application: it must never run.
    tree.use_script("usr/bin/open", "touch '" + open_record() + "'");
  }

  std::string open_record() const { return tree.root() + "/open.record"; }
  // The installed bundle has its entries and bytes from before, and nothing
  // lies beside it: no staging directory, no backup.
  void expect_untouched() const {
    EXPECT_TRUE(tree.target_matches_snapshot());
    EXPECT_EQ(list_directory(tree.install_directory()), std::vector<std::string>{"Zentrivale.app"});
    EXPECT_FALSE(lexists(open_record()));
  }

  // The arguments of a verification, without --parent-pid.
  std::vector<std::string> verify_arguments(const std::string& archive) const {
    return {"--verify-only", "--archive", archive, "--target-app", tree.target(), "--bundle-id",
            "com.example.zentrivale"};
  }

  InstallTree tree;
};

// A process that stays alive until the test ends it.
class RunningApplication {
 public:
  RunningApplication() {
    pid_ = fork();
    if (pid_ == 0) {
      execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~RunningApplication() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  RunningApplication(const RunningApplication&) = delete;
  RunningApplication& operator=(const RunningApplication&) = delete;
  pid_t pid() const { return pid_; }
  bool running() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_;
};

TEST_F(VerifyOnlyTest, AcceptedUpdateChangesNothingAndWaitsForNobody) {
  tree.make_bundle(tree.install_directory() + "/.zentrivale-update-staging-1", "0");
  tree.snapshot_target();
  std::string archive = tree.signed_update("2", "com.example.zentrivale", kTeamIdentity);
  RunningApplication application;
  std::vector<std::string> arguments = verify_arguments(archive);
  arguments.insert(arguments.end(),
                   {"--parent-pid", std::to_string(application.pid()), "--team-id", "ABCDE12345"});

  auto started = std::chrono::steady_clock::now();
  Outcome outcome = tree.install_with_doubles(arguments);
  auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_LT(took, std::chrono::seconds(10)) << "it waited for the application";
  EXPECT_TRUE(application.running());

  EXPECT_EQ(tree.log_messages(),
            (Messages{"verifying " + archive + " for " + tree.target(),
                      "removed stale " + tree.install_directory() + "/.zentrivale-update-staging-1",
                      "extracting the update archive...", "verifying the new application bundle...",
                      "update verified; nothing was installed"}));
  std::string last = "[update-helper] update verified; nothing was installed\n";
  ASSERT_GE(outcome.standard_error.size(), last.size());
  EXPECT_EQ(outcome.standard_error.substr(outcome.standard_error.size() - last.size()), last);
  EXPECT_EQ(outcome.standard_output.find("update-helper"), std::string::npos);
  expect_untouched();
}

TEST_F(VerifyOnlyTest, EveryRefusalGivesTheInstallationsMessage) {
  tree.snapshot_target();
  struct Case {
    std::string name;
    std::function<std::string()> make_archive;
    std::string message;
    std::vector<std::string> extra = {};
  };
  std::string source = tree.root() + "/source";
  std::vector<Case> cases{
      {"not a zip", [&] { return tree.junk_archive(); },
       "could not extract the update archive (corrupt ZIP?)"},
      {"no bundle",
       [&] {
         write_file(source + "/README", "no application here");
         return tree.zip(source, {"README"}, "nobundle.zip");
       },
       "expected exactly one .app bundle at the ZIP root; found 0"},
      {"wrong name",
       [&] { return tree.wrongly_named_update(); },
       "archive contains Some(\"Other.app\"), expected Some(\"Zentrivale.app\")"},
      {"wrong identifier", [&] { return tree.signed_update("2", "com.example.other"); },
       "bundle identifier mismatch: expected com.example.zentrivale, got com.example.other"},
      {"codesign refuses",
       [&] {
         std::string archive = tree.signed_update();
         write_file(source + "/Zentrivale.app/Contents/Resources/version.txt", "evil\n");
         unlink(archive.c_str());
         return tree.zip(source, {"Zentrivale.app"});
       },
       "the updated application's code signature is invalid"},
      {"Gatekeeper refuses",
       [&] {
         tree.use_script("usr/sbin/spctl", "exit 3");
         return tree.signed_update();
       },
       "Gatekeeper rejected the updated application"},
      {"another team",
       [&] {
         return tree.signed_update("2", "com.example.zentrivale",
                                   "Developer ID Application: Someone Else (ZYXWV98765)");
       },
       "the updated application is not signed by team ABCDE12345", {"--team-id", "ABCDE12345"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + source + "'/* '" + tree.home() + "'").c_str());
    tree.use_stand_in("usr/sbin/spctl");
    std::vector<std::string> arguments = verify_arguments(c.make_archive());
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    Outcome outcome = tree.install_with_doubles(arguments);
    EXPECT_EQ(outcome.exit_status, 1);
    Messages log = tree.log_messages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "verifying " + arguments[2] + " for " + tree.target());
    EXPECT_EQ(log.back(), "update verification failed: " + c.message);
    EXPECT_EQ(std::count(log.begin(), log.end(), "waiting for the application to exit..."), 0);
    expect_untouched();
  }
}

TEST_F(VerifyOnlyTest, ChecksBeforeStagingFailTheSameWay) {
  tree.snapshot_target();
  Outcome outcome = tree.install_with_doubles(verify_arguments(tree.root() + "/missing.zip"));
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update verification failed: update archive does not exist: " + tree.root() +
                "/missing.zip");

  std::vector<std::string> arguments = verify_arguments(tree.signed_update());
  arguments[4] = tree.install_directory() + "/Missing.app";
  outcome = tree.install_with_doubles(arguments);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update verification failed: target application bundle is invalid: " + arguments[4]);
  EXPECT_EQ(tree.log_messages().size(), 4u);
  expect_untouched();
}

TEST_F(VerifyOnlyTest, ArgumentErrorsStillEndWithStatusTwo) {
  std::vector<std::string> arguments = verify_arguments(tree.signed_update());
  arguments.insert(arguments.end(), {"--parent-pid", "1"});
  Outcome outcome = tree.install_with_doubles(arguments);
  EXPECT_EQ(outcome.exit_status, 2);
  EXPECT_EQ(outcome.standard_error,
            "[update-helper] invalid arguments: --parent-pid must be a real process ID\n"
            "--parent-pid must be a real process ID\n");
}

TEST_F(VerifyOnlyTest, SkipFlagWarnsAndSkipsTheSignatureTools) {
  tree.snapshot_target();
  tree.use_script("usr/bin/codesign", "exit 1");
  tree.use_script("usr/sbin/spctl", "exit 1");
  std::vector<std::string> arguments = verify_arguments(tree.signed_update());
  arguments.insert(arguments.end(),
                   {"--insecure-skip-signature-verification", "--no-relaunch", "--team-id",
                    "ABCDE12345"});
  Outcome outcome = tree.install_with_doubles(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  Messages log = tree.log_messages();
  ASSERT_EQ(log.size(), 5u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[3],
            "WARNING: skipping code-signature and Gatekeeper verification (development flag)");
  EXPECT_EQ(log[4], "update verified; nothing was installed");
  expect_untouched();
}

TEST_F(VerifyOnlyTest, VerifiedArchiveThenInstalls) {
  std::string archive = tree.signed_update();
  Outcome verified = tree.install(verify_arguments(archive));
  ASSERT_EQ(verified.exit_status, 0) << verified.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "1");

  std::vector<std::string> arguments = tree.standard_arguments(archive);
  arguments.push_back("--no-relaunch");
  Outcome installed = tree.install(arguments);
  ASSERT_EQ(installed.exit_status, 0) << installed.standard_error;
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  EXPECT_EQ(tree.log_messages().back(), "update installed successfully");
}

}  // namespace
}  // namespace installer_test
