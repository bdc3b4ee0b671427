#include "application_wait.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Above any pid_max Linux allows, so never a process.
constexpr pid_t kAbsentPid = 0x3FFFFFFF;

long elapsed_ms(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(ApplicationWait, AbsentProcessTakesOneProbeAndTheClosingPause) {
  core_test::LogCapture capture;
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(installer::wait_for_application_exit(kAbsentPid, capture.log));
  long elapsed = elapsed_ms(start);
  EXPECT_GE(elapsed, 750);
  EXPECT_LT(elapsed, 1200);
  EXPECT_EQ(capture.messages(),
            std::vector<std::string>{"waiting for the application to exit..."});
}

TEST(ApplicationWait, ExitIsNoticedAtTheNextProbe) {
  // Ignoring SIGCHLD lets the child vanish at exit instead of lingering as a
  // zombie, which signal 0 would still find.
  void (*previous)(int) = ::signal(SIGCHLD, SIG_IGN);
  pid_t child = ::fork();
  if (child == 0) {
    ::usleep(300000);
    ::_exit(0);
  }
  core_test::LogCapture capture;
  Clock::time_point start = Clock::now();
  installer::WaitTiming timing{100ms, 1200, 100ms};
  support::Result<void> waited = installer::wait_for_application_exit(child, capture.log, timing);
  long elapsed = elapsed_ms(start);
  ::signal(SIGCHLD, previous);
  EXPECT_TRUE(waited) << waited.error();
  EXPECT_GE(elapsed, 400);
  EXPECT_LT(elapsed, 900);
}

TEST(ApplicationWait, ProcessStillThereAfterTheLastPollTimesOut) {
  core_test::LogCapture capture;
  Clock::time_point start = Clock::now();
  support::Result<void> waited =
      installer::wait_for_application_exit(::getpid(), capture.log, {20ms, 5, 0ms});
  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error(), "timed out waiting for Zentrivale to exit");
  EXPECT_GE(elapsed_ms(start), 100);
}

TEST(ApplicationWait, ProcessOfAnotherUserCountsAsRunning) {
  if (!core_test::can_switch_user()) GTEST_SKIP() << "needs root to probe as another user";
  pid_t root_process = ::getpid();
  core_test::ChildOutput output = core_test::as_nobody([&] {
    if (::kill(root_process, 0) == 0 || errno != EPERM) return std::string("probe not refused");
    installer::Log log{support::UniqueFd()};
    support::Result<void> waited =
        installer::wait_for_application_exit(root_process, log, {10ms, 3, 0ms});
    return waited ? std::string("gone") : waited.error();
  });
  EXPECT_EQ(output.text, "timed out waiting for Zentrivale to exit");
}

}  // namespace
