// relaunch against a tool double standing in for open.
#include "relaunch.h"

#include <gtest/gtest.h>

#include <chrono>

#include "verification_test_support.h"

namespace installer {
namespace {

using namespace verification_test;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class RelaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { install_double(tools.open); }

  support::Result<void> run_relaunch(milliseconds pause) {
    Log log = log_to(log_path());
    auto start = Clock::now();
    auto result = relaunch(bundle, log, tools, RelaunchTiming{5, pause});
    elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    return result;
  }

  std::string log_path() const { return dir.path() + "/update-helper.log"; }

  TempDir dir;
  Tools tools = Tools::under(dir.path() + "/tools");
  std::string bundle = dir.path() + "/Applications/Zentrivale.app";
  milliseconds elapsed{0};
};

TEST_F(RelaunchTest, FirstAttemptSucceedsWithoutPause) {
  // A pause would show as a run of at least the pause's length.
  auto result = run_relaunch(milliseconds(30000));
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_LT(elapsed, milliseconds(10000));
  EXPECT_EQ(calls(tools.open), (std::vector<std::vector<std::string>>{{tools.open, bundle}}));
  EXPECT_EQ(read_file(log_path()), "");
}

TEST_F(RelaunchTest, ThirdAttemptSucceedsAfterTwoLoggedFailures) {
  write_file(tools.open + ".outcomes", "1 1 0 1");
  auto result = run_relaunch(milliseconds(100));
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(log_messages(log_path()),
            (std::vector<std::string>{"relaunch attempt 1 failed: open exited with exit status: 1",
                                      "relaunch attempt 2 failed: open exited with exit status: 1"}));
  EXPECT_EQ(calls(tools.open).size(), 3u);
  EXPECT_GE(elapsed, milliseconds(200));
}

TEST_F(RelaunchTest, FiveFailuresGiveUpWithTheLastError) {
  write_file(tools.open + ".outcomes", "1");
  auto result = run_relaunch(milliseconds(100));
  EXPECT_EQ(result.error(),
            "the update was installed, but the application could not be relaunched: open exited "
            "with exit status: 1");
  std::vector<std::string> expected;
  for (int n = 1; n <= 5; ++n) {
    expected.push_back("relaunch attempt " + std::to_string(n) +
                       " failed: open exited with exit status: 1");
  }
  EXPECT_EQ(log_messages(log_path()), expected);
  EXPECT_EQ(calls(tools.open).size(), 5u);
  EXPECT_GE(elapsed, milliseconds(500));  // the fifth failure pauses too
}

TEST_F(RelaunchTest, EveryKindOfFailureIsRetriedAndTheFifthIsReported) {
  write_file(tools.open + ".outcomes", "k9 3 k15 1 2");
  auto result = run_relaunch(milliseconds(1));
  EXPECT_EQ(result.error(),
            "the update was installed, but the application could not be relaunched: open exited "
            "with exit status: 2");
  EXPECT_EQ(log_messages(log_path()),
            (std::vector<std::string>{
                "relaunch attempt 1 failed: open exited with signal: 9 (SIGKILL)",
                "relaunch attempt 2 failed: open exited with exit status: 3",
                "relaunch attempt 3 failed: open exited with signal: 15 (SIGTERM)",
                "relaunch attempt 4 failed: open exited with exit status: 1",
                "relaunch attempt 5 failed: open exited with exit status: 2"}));
}

TEST_F(RelaunchTest, OpenThatCannotStart) {
  ::unlink(tools.open.c_str());
  auto result = run_relaunch(milliseconds(1));
  const std::string error = "could not run open: No such file or directory (os error 2)";
  EXPECT_EQ(result.error(),
            "the update was installed, but the application could not be relaunched: " + error);
  std::vector<std::string> expected;
  for (int n = 1; n <= 5; ++n) {
    expected.push_back("relaunch attempt " + std::to_string(n) + " failed: " + error);
  }
  EXPECT_EQ(log_messages(log_path()), expected);
}

TEST_F(RelaunchTest, OpenPrintsToTheNullDeviceAndInheritsOnlyStandardInput) {
  write_file(tools.open + ".out", "opening\n");
  write_file(tools.open + ".err", "LSOpenURLsWithRole() failed\n");
  ::testing::internal::CaptureStderr();
  // Taken here: the capture itself keeps a copy of standard error open.
  std::string expected_fds = expected_child_fds();
  auto result = run_relaunch(milliseconds(1));
  std::string standard_error = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(standard_error, "");

  auto record = seen(tools.open);
  EXPECT_EQ(record["fds"], expected_fds);
  EXPECT_EQ(record["stdin"], identity_of_fd(0));
  EXPECT_EQ(record["stdout"], identity_of_path("/dev/null"));
  EXPECT_EQ(record["stderr"], identity_of_path("/dev/null"));
}

}  // namespace
}  // namespace installer
