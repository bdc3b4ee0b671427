#include "install_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core_test_helpers.h"

namespace core_test {
namespace {

using std::chrono::milliseconds;

TEST(InstallLockTest, ALongWaitForTheLockIsLoggedAgainAtEachIntervalUntilItIsFree) {
  TempDir dir("install-lock");
  // Another run's hold: a lock on another open description of the directory.
  int holder = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  std::thread release([holder] {
    std::this_thread::sleep_for(milliseconds(1300));
    ::close(holder);
  });

  LogCapture capture;
  installer::InstallLock lock = installer::lock_install_directory(
      dir.path(), capture.log, installer::LockTiming{milliseconds(10), milliseconds(500)});
  release.join();

  EXPECT_TRUE(lock.held());
  const std::string still = "still waiting for another update installation in " + dir.path() +
                            " to finish (";
  std::vector<std::string> expected{"waiting for another update installation in " + dir.path() +
                                    " to finish...",
                                    still + "0 seconds so far)...", still + "1 seconds so far)..."};
  EXPECT_EQ(capture.messages(), expected);
}

}  // namespace
}  // namespace core_test
