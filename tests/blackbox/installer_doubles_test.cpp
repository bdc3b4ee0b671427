// The installer with per-case test doubles for the macOS tools: tools that
// are missing, fail, are killed, or record how they were run.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "installer_harness.h"

namespace installer_test {
namespace {

using Messages = std::vector<std::string>;

std::string no_such_file() { return std::string(strerror(ENOENT)) + " (os error 2)"; }

class InstallerDoublesTest : public ::testing::Test {
 protected:
  void SetUp() override { tree.use_all_stand_ins(); }

  std::string record(const std::string& name) const { return tree.root() + "/" + name + ".record"; }

  // A double that records its arguments and descriptors, then runs the stand-in.
  void record_then_run_stand_in(const std::string& tool, const std::string& name) const {
    std::string out = " >> '" + record(name) + "'\n";
    tree.use_script(tool, "echo \"$*\"" + out + "echo stdout: $(readlink /proc/$$/fd/1)" + out +
                              "ls -l /proc/$$/fd/" + out + "exec '" + STAND_IN_ROOT + "/" + tool +
                              "' \"$@\"");
  }

  std::vector<std::string> staging_entries() const {
    std::vector<std::string> names = list_directory(tree.install_directory());
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) {
                                 return n.rfind(".zentrivale-update-staging-", 0) != 0;
                               }),
                names.end());
    return names;
  }

  std::string failure() const { return tree.log_messages().back(); }

  InstallTree tree;
};

TEST_F(InstallerDoublesTest, EachToolRunsWithItsExactArgumentsAndNoDescriptorOfOurs) {
  for (auto [tool, name] : std::vector<std::pair<std::string, std::string>>{
           {"usr/bin/ditto", "ditto"}, {"usr/libexec/PlistBuddy", "plistbuddy"},
           {"usr/bin/codesign", "codesign"}, {"usr/sbin/spctl", "spctl"}, {"usr/bin/open", "open"}}) {
    record_then_run_stand_in(tool, name);
  }
  std::string archive = tree.signed_update();
  Outcome outcome = tree.install_with_doubles(tree.standard_arguments(archive));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;

  std::string staging = tree.install_directory() + "/.zentrivale-update-staging-";
  std::string ditto = read_file(record("ditto"));
  ASSERT_EQ(ditto.rfind("-x -k " + archive + " " + staging, 0), 0u) << ditto;
  std::string plist = read_file(record("plistbuddy"));
  EXPECT_EQ(plist.rfind("-c Print :CFBundleIdentifier " + staging, 0), 0u) << plist;
  EXPECT_NE(plist.find("-c Print :CFBundleExecutable " + staging), std::string::npos) << plist;
  EXPECT_EQ(read_file(record("codesign")).rfind("--verify --deep --strict --verbose=2 " + staging, 0), 0u);
  EXPECT_EQ(read_file(record("spctl")).rfind("--assess --type execute --verbose=2 " + staging, 0), 0u);
  EXPECT_EQ(read_file(record("open")).rfind(tree.target() + "\n", 0), 0u);
  for (const char* name : {"ditto", "plistbuddy", "codesign", "spctl", "open"}) {
    EXPECT_EQ(read_file(record(name)).find("update-helper.log"), std::string::npos)
        << name << " inherited the log file:\n" << read_file(record(name));
  }
  // open's output goes nowhere.
  EXPECT_NE(read_file(record("open")).find("stdout: /dev/null\n"), std::string::npos);
  EXPECT_EQ(read_file(record("codesign")).find("stdout: /dev/null\n"), std::string::npos);
}

TEST_F(InstallerDoublesTest, TeamCheckIsOneMoreCodesignRunBeforeGatekeeper) {
  // One record per run, in order, across codesign and spctl.
  std::string order = " >> '" + record("order") + "'\n";
  tree.use_script("usr/bin/codesign", "printf 'codesign' " + order + "for a in \"$@\"; do printf '|%s' \"$a\"" +
                                          order + "done; echo" + order + "exec '" + STAND_IN_ROOT +
                                          "/usr/bin/codesign' \"$@\"");
  tree.use_script("usr/sbin/spctl", "echo spctl" + order + "exec '" + STAND_IN_ROOT +
                                        "/usr/sbin/spctl' \"$@\"");
  std::vector<std::string> arguments = tree.standard_arguments(
      tree.signed_update("2", "com.example.zentrivale",
                         "Developer ID Application: Some Name (ABCDE12345)"));
  arguments.insert(arguments.end(), {"--team-id", "ABCDE12345", "--no-relaunch"});
  Outcome outcome = tree.install_with_doubles(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;

  std::string staging = tree.install_directory() + "/.zentrivale-update-staging-";
  std::vector<std::string> runs;
  std::istringstream lines(read_file(record("order")));
  for (std::string line; std::getline(lines, line);) runs.push_back(line);
  ASSERT_EQ(runs.size(), 3u) << read_file(record("order"));
  EXPECT_TRUE(matches_with_pid(runs[0], "codesign|--verify|--deep|--strict|--verbose=2|" + staging,
                               "/Zentrivale.app"));
  // The requirement is one argument, the team ID in double quotes inside it.
  EXPECT_TRUE(matches_with_pid(runs[1],
                               "codesign|--verify|--strict|--test-requirement|=anchor apple generic "
                               "and certificate 1[field.1.2.840.113635.100.6.2.6] exists and "
                               "certificate leaf[field.1.2.840.113635.100.6.1.13] exists and "
                               "certificate leaf[subject.OU] = \"ABCDE12345\"|" + staging,
                               "/Zentrivale.app"));
  EXPECT_EQ(runs[2], "spctl");
}

TEST_F(InstallerDoublesTest, WithoutTeamIdCodesignRunsOnce) {
  tree.use_script("usr/bin/codesign", "echo \"$*\" >> '" + record("codesign") + "'\nexec '" +
                                          STAND_IN_ROOT + "/usr/bin/codesign' \"$@\"");
  // Signed for a team, but no team is asked for: nothing about teams happens.
  std::vector<std::string> arguments = tree.standard_arguments(tree.signed_update(
      "2", "com.example.zentrivale", "Developer ID Application: Some Name (ABCDE12345)"));
  arguments.push_back("--no-relaunch");
  Outcome outcome = tree.install_with_doubles(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  std::string calls = read_file(record("codesign"));
  EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 1) << calls;
  EXPECT_EQ(calls.rfind("--verify --deep --strict --verbose=2 ", 0), 0u) << calls;
  EXPECT_EQ(outcome.standard_error.find("explicit requirement"), std::string::npos);
}

TEST_F(InstallerDoublesTest, MissingDittoLeavesTheStagingDirectory) {
  unlink((tree.root() + "/tool-root/usr/bin/ditto").c_str());
  Outcome outcome = tree.install_with_doubles(tree.standard_arguments(tree.signed_update()));
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(failure(), "update installation failed: could not run ditto: " + no_such_file());
  EXPECT_EQ(staging_entries().size(), 1u);
  EXPECT_EQ(tree.version_of(tree.target()), "1");

  // The next run clears it.
  tree.use_stand_in("usr/bin/ditto");
  outcome = tree.install_with_doubles(tree.standard_arguments(tree.signed_update()));
  EXPECT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  EXPECT_EQ(staging_entries().size(), 0u);
}

TEST_F(InstallerDoublesTest, VerificationToolFailures) {
  struct Case {
    std::string tool, script, message;
  };
  std::vector<Case> cases{
      {"usr/libexec/PlistBuddy", "exit 1",
       "could not read CFBundleIdentifier from the application's Info.plist"},
      {"usr/libexec/PlistBuddy", "echo '   '", "CFBundleIdentifier in the application's Info.plist is empty"},
      {"usr/bin/codesign", "", "could not run codesign: " + no_such_file()},
      {"usr/bin/codesign", "kill -9 $$", "the updated application's code signature is invalid"},
      {"usr/bin/codesign", "exit 1", "the updated application's code signature is invalid"},
      {"usr/sbin/spctl", "", "could not run Gatekeeper assessment: " + no_such_file()},
      {"usr/sbin/spctl", "exit 3", "Gatekeeper rejected the updated application"},
  };
  std::string archive = tree.signed_update();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + ": " + c.script);
    tree.use_all_stand_ins();
    if (c.script.empty()) {
      unlink((tree.root() + "/tool-root/" + c.tool).c_str());
    } else {
      tree.use_script(c.tool, c.script);
    }
    // Gatekeeper is never asked after a codesign failure.
    if (c.tool == "usr/bin/codesign") tree.use_script("usr/sbin/spctl", "touch '" + record("spctl") + "'");
    Outcome outcome = tree.install_with_doubles(tree.standard_arguments(archive));
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(failure(), "update installation failed: " + c.message);
    EXPECT_FALSE(lexists(record("spctl")));
    EXPECT_EQ(staging_entries().size(), 0u);
    EXPECT_EQ(tree.version_of(tree.target()), "1");
  }
}

TEST_F(InstallerDoublesTest, SkippingSignaturesStillChecksIdentifierAndExecutable) {
  tree.use_script("usr/bin/codesign", "touch '" + record("codesign") + "'; exit 1");
  tree.use_script("usr/sbin/spctl", "touch '" + record("spctl") + "'; exit 1");
  std::string warning = "WARNING: skipping code-signature and Gatekeeper verification (development flag)";

  std::vector<std::string> arguments = tree.standard_arguments(tree.signed_update("2", "com.other"));
  arguments.push_back("--insecure-skip-signature-verification");
  Outcome outcome = tree.install_with_doubles(arguments);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(failure(), "update installation failed: bundle identifier mismatch: expected "
                       "com.example.zentrivale, got com.other");

  std::string source = tree.root() + "/source";
  std::system(("rm -rf '" + source + "'/*").c_str());
  tree.make_bundle(source + "/Zentrivale.app", "2");
  unlink((source + "/Zentrivale.app/Contents/MacOS/Zentrivale").c_str());
  arguments[1] = tree.zip(source, {"Zentrivale.app"}, "noexec.zip");
  outcome = tree.install_with_doubles(arguments);
  EXPECT_TRUE(matches_with_pid(failure(),
                               "update installation failed: application executable is missing: " +
                                   tree.install_directory() + "/.zentrivale-update-staging-",
                               "/Zentrivale.app/Contents/MacOS/Zentrivale"));

  arguments[1] = tree.signed_update();
  arguments.push_back("--no-relaunch");
  outcome = tree.install_with_doubles(arguments);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  Messages log = tree.log_messages();
  // Once, and only in the run whose identifier and executable passed.
  EXPECT_EQ(std::count(log.begin(), log.end(), warning), 1);
  EXPECT_FALSE(lexists(record("codesign")));
  EXPECT_FALSE(lexists(record("spctl")));
  EXPECT_EQ(tree.version_of(tree.target()), "2");
}

TEST_F(InstallerDoublesTest, RelaunchSucceedsAtTheThirdAttempt) {
  std::string count = tree.root() + "/open.count";
  tree.use_script("usr/bin/open", "echo x >> '" + count + "'\n[ $(wc -l < '" + count +
                                      "') -ge 3 ] || exit 1");
  Outcome outcome = tree.install_with_doubles(tree.standard_arguments(tree.signed_update()));
  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  Messages log = tree.log_messages();
  Messages tail(log.end() - 4, log.end());
  EXPECT_EQ(tail, (Messages{"relaunching Zentrivale...",
                            "relaunch attempt 1 failed: open exited with exit status: 1",
                            "relaunch attempt 2 failed: open exited with exit status: 1",
                            "update installed successfully"}));
}

TEST_F(InstallerDoublesTest, RelaunchFailingFiveTimesFailsTheUpdateButKeepsIt) {
  tree.use_script("usr/bin/open", "kill -9 $$");
  Outcome outcome = tree.install_with_doubles(tree.standard_arguments(tree.signed_update()));
  EXPECT_EQ(outcome.exit_status, 1);
  Messages log = tree.log_messages();
  Messages expected{"relaunching Zentrivale..."};
  for (int attempt = 1; attempt <= 5; ++attempt) {
    expected.push_back("relaunch attempt " + std::to_string(attempt) +
                       " failed: open exited with signal: 9 (SIGKILL)");
  }
  expected.push_back("update installation failed: the update was installed, but the application "
                     "could not be relaunched: open exited with signal: 9 (SIGKILL)");
  EXPECT_EQ(Messages(log.end() - 7, log.end()), expected);
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  EXPECT_EQ(staging_entries().size(), 0u);
}

}  // namespace
}  // namespace installer_test
