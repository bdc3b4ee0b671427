// The installer under hostile environments and command lines: HOME that is
// missing, empty, not UTF-8 or not a directory; PATH and other variables
// pointing at look-alike tools, which must never run; arguments that are not
// text. The update itself must go on exactly as usual.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arguments.h"
#include "installer_harness.h"

namespace hostile {
namespace {

using namespace installer_test;
using Messages = std::vector<std::string>;

// The messages of a log file, time stamps removed.
Messages messages_in(const std::string& log_file) {
  Messages messages;
  std::istringstream lines(read_file(log_file));
  std::string line;
  while (std::getline(lines, line)) {
    size_t close = line.find("] ");
    EXPECT_TRUE(line.size() > 1 && line[0] == '[' && close != std::string::npos) << line;
    if (close != std::string::npos) messages.push_back(line.substr(close + 2));
  }
  return messages;
}

// The installer's own lines on standard error; the tools may add theirs.
Messages echoed(const std::string& standard_error) {
  Messages messages;
  std::istringstream lines(standard_error);
  std::string line;
  const std::string prefix = "[update-helper] ";
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) messages.push_back(line.substr(prefix.size()));
  }
  return messages;
}

// Checks the messages of a successful update, relaunch or not.
void expect_success_messages(const Messages& log, const InstallTree& tree,
                             const std::vector<std::string>& args, bool relaunched) {
  Messages expected{
      "installing " + args[1] + " over " + args[3] + " (parent pid " + args[5] + ")",
      "waiting for the application to exit...",
      "extracting the update archive...",
      "verifying the new application bundle...",
      "installing the new application...",
  };
  ASSERT_EQ(log.size(), expected.size() + (relaunched ? 3 : 2)) << ::testing::PrintToString(log);
  EXPECT_EQ(Messages(log.begin(), log.begin() + static_cast<long>(expected.size())), expected);
  EXPECT_TRUE(matches_with_pid(log[expected.size()], "previous version kept as rollback backup at " +
                                                         tree.install_directory() +
                                                         "/.Zentrivale.backup-",
                               ""));
  if (relaunched) {
    EXPECT_EQ(log[log.size() - 2], "relaunching Zentrivale...");
  }
  EXPECT_EQ(log.back(), "update installed successfully");
}

// The installer by way of timeout(1), so that a hang fails the case instead
// of the whole run.
Outcome install_within(const InstallTree& tree, const std::vector<std::string>& args,
                       const std::vector<std::string>& environment, int seconds = 30) {
  std::vector<std::string> command{std::to_string(seconds), INSTALLER_PROGRAM};
  command.insert(command.end(), args.begin(), args.end());
  return run_program("/usr/bin/timeout", command, environment, tree.root());
}

TEST(HostileEnvironment, HomeThatIsNoUsableDirectory) {
  struct Case {
    std::string name;
    // HOME under the tree root T, or nothing to leave it unset.
    std::optional<std::string> home;
    // Where the log file must be, relative to T; empty: nowhere.
    std::string log_file;
    std::string setup = "";  // shell command run in T first
  };
  const std::string log = "Library/Logs/Zentrivale/update-helper.log";
  const std::vector<Case> cases{
      {"unset", std::nullopt, ""},
      {"empty: the working directory", "", log},
      {"relative", "relative-home", "relative-home/" + log},
      {"not UTF-8", "/h\xff\xfeome", "h\xff\xfeome/" + log},
      {"a file", "/home-file", "", "echo x > home-file"},
      {"a link to itself", "/loop", "", "ln -s loop loop"},
      {"a dangling link", "/dangling", "", "ln -s missing/deeper dangling"},
      {"log file is a directory", "/home", "", "mkdir -p home/" + log},
      {"log file is a FIFO", "/home", "", "mkdir -p home/Library/Logs/Zentrivale && mkfifo home/" + log},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstallTree tree;
    if (!c.setup.empty()) {
      ASSERT_EQ(std::system(("cd '" + tree.root() + "' && " + c.setup).c_str()), 0);
    }
    std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
    if (c.home) {
      bool absolute = !c.home->empty() && (*c.home)[0] == '/';
      environment.push_back("HOME=" + (absolute ? tree.root() + *c.home : *c.home));
    }
    std::vector<std::string> args = tree.standard_arguments(tree.signed_update());
    args.push_back("--no-relaunch");

    Outcome outcome = install_within(tree, args, environment);

    ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
    EXPECT_EQ(tree.version_of(tree.target()), "2");
    Messages echo = echoed(outcome.standard_error);
    expect_success_messages(echo, tree, args, false);
    if (c.log_file.empty()) {
      EXPECT_FALSE(lexists(tree.root() + "/Library"));
      if (c.home && c.name.rfind("log file", 0) != 0) {
        EXPECT_FALSE(lexists(tree.home() + "/Library"));
      }
    } else {
      EXPECT_EQ(messages_in(tree.root() + "/" + c.log_file), echo);
    }
  }
}

// Look-alikes of every tool the installer or a stand-in could run, on PATH
// and wherever an environment variable might point. Each records that it ran
// and approves of everything.
class MaliciousEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string script = "#!/bin/sh\necho \"$0 $*\" >> '" + ran() + "'\nexit 0\n";
    std::system(("mkdir -p '" + evil() + "/usr/bin' '" + evil() + "/usr/libexec' '" + evil() +
                 "/usr/sbin'").c_str());
    for (const char* tool : {"ditto", "PlistBuddy", "codesign", "spctl", "open", "bsdtar", "od",
                             "mkdir", "sh", "dash", "bash", "env", "cat", "rm", "true"}) {
      write_file(evil() + "/" + tool, script, 0755);
    }
    for (const char* tool : {"usr/bin/ditto", "usr/libexec/PlistBuddy", "usr/bin/codesign",
                             "usr/sbin/spctl", "usr/bin/open"}) {
      write_file(evil() + "/" + tool, script, 0755);
    }
    write_file(evil() + "/profile.sh", "echo profile >> '" + ran() + "'\n");
  }

  std::string evil() const { return tree.root() + "/evil"; }
  std::string ran() const { return tree.root() + "/malicious-tool-ran"; }

  std::vector<std::string> environment() const {
    return {"HOME=" + tree.home(),
            "PATH=" + evil() + ":" + evil() + "/usr/bin:/usr/bin:/bin",
            "ZENTRIVALE_TOOL_ROOT=" + evil(),
            "BASH_ENV=" + evil() + "/profile.sh",
            "ENV=" + evil() + "/profile.sh",
            "SHELL=" + evil() + "/sh",
            "CDPATH=" + evil(),
            "IFS=/",
            "TMPDIR=" + evil(),
            "LC_ALL=tr_TR.UTF-8"};
  }

  InstallTree tree;
};

TEST_F(MaliciousEnvironment, ToolsOnPathAreNeverRun) {
  std::vector<std::string> args = tree.standard_arguments(tree.signed_update());

  Outcome outcome = install_within(tree, args, environment());

  ASSERT_EQ(outcome.exit_status, 0) << outcome.standard_error;
  expect_success_messages(tree.log_messages(), tree, args, true);
  EXPECT_EQ(tree.version_of(tree.target()), "2");
  // The relaunched application records its start; give it a moment.
  for (int i = 0; i < 50 && read_file(tree.marker()).empty(); ++i) ::usleep(100 * 1000);
  EXPECT_EQ(read_file(tree.marker()), "2\n");
  EXPECT_FALSE(lexists(ran())) << read_file(ran());
}

// A codesign on PATH that approves of everything must not make an unsigned
// update pass.
TEST_F(MaliciousEnvironment, ApprovingLookAlikeCannotPassAnUnsignedUpdate) {
  std::string bundle = tree.root() + "/source/Zentrivale.app";
  tree.make_bundle(bundle, "2");
  std::vector<std::string> args = tree.standard_arguments(tree.zip(tree.root() + "/source",
                                                                   {"Zentrivale.app"}));

  Outcome outcome = install_within(tree, args, environment());

  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(tree.log_messages().back(),
            "update installation failed: the updated application's code signature is invalid");
  EXPECT_EQ(tree.version_of(tree.target()), "1");
  EXPECT_FALSE(lexists(ran())) << read_file(ran());
}

TEST(HostileCommandLine, ArgumentsThatAreNotTextAreShownAsText) {
  InstallTree tree;
  const std::string usage = installer::kUsage;
  const std::string long_argument(100000, 'x');
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--no-relaunch", "x\xff\ny\x1b[2J"}, "unknown argument: x\xEF\xBF\xBD\ny\x1b[2J\n" + usage},
      {{"--archive", "a", long_argument}, "unknown argument: " + long_argument + "\n" + usage},
      {{"--parent-pid", "\xd9\xa4\xd9\xa2"}, "--parent-pid must be an integer"},
      {{"--parent-pid", " 42"}, "--parent-pid must be an integer"},
      {{"--archive", "a", "--target-app", "Z.app", "--parent-pid", "42", "--bundle-id",
        "\xe3\x80\x80\xc2\xa0\xe2\x80\xa8"},
       "--bundle-id must not be empty"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args.back().substr(0, 40));
    Outcome outcome = install_within(tree, args, tree.environment());
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_EQ(outcome.standard_error,
              "[update-helper] invalid arguments: " + message + "\n" + message + "\n");
    EXPECT_EQ(outcome.standard_output, "");
  }
  EXPECT_EQ(tree.version_of(tree.target()), "1");
  EXPECT_EQ(installer_test::list_directory(tree.install_directory()),
            std::vector<std::string>{"Zentrivale.app"});
}

}  // namespace
}  // namespace hostile
