// One update installation per install directory at a time.
#pragma once

#include <chrono>
#include <string>

#include "unique_fd.h"
#include "update_log.h"

namespace installer {

// Holds the exclusive lock of an install directory until it is destroyed.
// The lock is taken on the directory itself, so nothing is left in it.
class InstallLock {
 public:
  InstallLock() = default;
  explicit InstallLock(support::UniqueFd directory) : directory_(std::move(directory)) {}
  bool held() const { return directory_.valid(); }

 private:
  support::UniqueFd directory_;
};

struct LockTiming {
  std::chrono::milliseconds poll_interval{250};
  std::chrono::milliseconds report_interval{60000};
};

// Takes the lock of `install_directory` (the working directory when empty).
// When another run holds it, logs "waiting for another update installation
// in {install directory} to finish..." and waits: the application has quit
// already, so giving up would leave the user with none. While it waits it
// logs "still waiting for another update installation in {} to finish ({}
// seconds so far)..." once a minute, so that a holder that never finishes
// shows in the log. Where the directory cannot be locked, logs why and goes
// on without the lock.
InstallLock lock_install_directory(const std::string& install_directory, Log& log,
                                   const LockTiming& timing = {});

}  // namespace installer
