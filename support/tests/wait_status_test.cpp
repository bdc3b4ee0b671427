#include "wait_status.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform.h"

namespace support {
namespace {

// Real wait statuses, from real children.
int status_of_child(void (*body)()) {
  pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(WaitStatusTest, NormalExitShowsTheCode) {
  EXPECT_EQ(wait_status_text(status_of_child([] { _exit(0); })), "exit status: 0");
  EXPECT_EQ(wait_status_text(status_of_child([] { _exit(255); })), "exit status: 255");
}

TEST(WaitStatusTest, SignalShowsNumberAndName) {
  EXPECT_EQ(wait_status_text(status_of_child([] { raise(SIGKILL); })), "signal: 9 (SIGKILL)");
  EXPECT_EQ(wait_status_text(status_of_child([] { raise(SIGTERM); })), "signal: 15 (SIGTERM)");
}

TEST(WaitStatusTest, CoreDumpIsNamed) {
  // The status a core dump produces, without writing one.
  int status = SIGABRT | 0x80;
  ASSERT_TRUE(WIFSIGNALED(status) && WCOREDUMP(status));
  EXPECT_EQ(wait_status_text(status), "signal: 6 (SIGABRT) (core dumped)");
}

TEST(WaitStatusTest, EverySignalFromOneTo31HasItsPlatformName) {
  for (int signal = 1; signal <= 31; ++signal) {
    EXPECT_NE(platform::signal_name(signal), nullptr) << signal;
  }
  EXPECT_STREQ(platform::signal_name(SIGBUS), "SIGBUS");
  EXPECT_STREQ(platform::signal_name(SIGUSR1), "SIGUSR1");
  EXPECT_STREQ(platform::signal_name(SIGSYS), "SIGSYS");
  EXPECT_EQ(platform::signal_name(0), nullptr);
  EXPECT_EQ(platform::signal_name(40), nullptr);
}

TEST(WaitStatusTest, UnnamedSignalShowsOnlyTheNumber) {
  int status = 40;  // ended by real-time signal 40
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(wait_status_text(status), "signal: 40");
}

}  // namespace
}  // namespace support
