// The launcher's failure line also goes to the system log (ident Zentrivale,
// LOG_ERR), and a launch that succeeds logs nothing. The system log is
// replaced by the preloaded syslog_capture library.
#include <syslog.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "launcher_harness.h"

namespace launcher_test {
namespace {

#ifndef SYSLOG_CAPTURE_LIBRARY
#error "SYSLOG_CAPTURE_LIBRARY is set by the build"
#endif

class LauncherSystemLogTest : public ::testing::Test {
 protected:
  Outcome launch_captured(const Bundle& bundle, LaunchOptions options = {}) {
    options.environment["LD_PRELOAD"] = SYSLOG_CAPTURE_LIBRARY;
    options.environment["SYSLOG_CAPTURE"] = capture_;
    return launch(bundle, options);
  }

  std::string captured() const {
    return std::filesystem::exists(capture_) ? read_file(capture_) : "(nothing logged)";
  }

  TempDir scratch_;
  std::string capture_ = scratch_.path() + "/syslog";
};

TEST_F(LauncherSystemLogTest, FailureLineGoesToTheSystemLogAsAnError) {
  Bundle bundle;
  LaunchOptions options;
  options.environment["HOME"] = std::nullopt;
  Outcome outcome = launch_captured(bundle, options);

  const std::string text = "Zentrivale could not start: HOME is not set";
  EXPECT_TRUE(outcome.exited_with(1)) << "wait status " << outcome.wait_status;
  EXPECT_EQ(outcome.standard_error, text + "\n");
  EXPECT_EQ(captured(), "openlog Zentrivale 0 " + std::to_string(LOG_USER) + "\n" +
                            "syslog " + std::to_string(LOG_ERR) + " " + text + "\n" +
                            "closelog\n");
  // The log is the only trace: the bundle's directory holds what it held.
  EXPECT_EQ(list_directory(bundle.root()),
            (std::vector<std::string>{"Zentrivale.app", "home", "launcher.stderr",
                                      "launcher.stdin", "launcher.stdout"}));
}

TEST_F(LauncherSystemLogTest, SuccessfulLaunchLogsNothing) {
  if (auto reason = backend_port_unavailable()) GTEST_SKIP() << *reason;
  Bundle bundle;
  bundle.behave("frontend", "exit 0");
  Outcome outcome = launch_captured(bundle);

  EXPECT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(captured(), "(nothing logged)");
}

}  // namespace
}  // namespace launcher_test
