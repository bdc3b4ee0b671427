#include "install_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "os_error.h"
#include "pause.h"
#include "utf8.h"

namespace installer {
namespace {

// Polls rather than blocks, so that a holder that never lets go (a run stuck
// on a tool that does not exit, say) shows in the log of every run behind it.
// Yields 0 once the lock is held, or the error that ended the wait.
int wait_for_lock(int directory, const std::string& shown, Log& log, const LockTiming& timing) {
  using Clock = std::chrono::steady_clock;
  log.line("waiting for another update installation in " + shown + " to finish...");
  const Clock::time_point start = Clock::now();
  Clock::time_point next_report = start + timing.report_interval;
  for (;;) {
    support::pause_for(timing.poll_interval);
    if (::flock(directory, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (Clock::now() >= next_report) {
      next_report += timing.report_interval;
      auto waited = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
      log.line("still waiting for another update installation in " + shown + " to finish (" +
               std::to_string(waited.count()) + " seconds so far)...");
    }
  }
}

}  // namespace

InstallLock lock_install_directory(const std::string& install_directory, Log& log,
                                   const LockTiming& timing) {
  const std::string shown = support::lossy_utf8(install_directory);
  support::UniqueFd directory(support::retry_on_eintr([&] {
    return ::open(install_directory.empty() ? "." : install_directory.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  int error = 0;
  if (!directory.valid()) {
    error = errno;
  } else if (::flock(directory.get(), LOCK_EX | LOCK_NB) == 0) {
    return InstallLock(std::move(directory));
  } else if (errno == EWOULDBLOCK) {
    error = wait_for_lock(directory.get(), shown, log, timing);
    if (error == 0) return InstallLock(std::move(directory));
  } else {
    error = errno;
  }
  // A volume without locks (some network file systems): the installation
  // still runs, as it did before there was a lock.
  log.line("could not lock " + shown + " against other update installations (" +
           support::os_error_text(error) + "); going on without the lock");
  return InstallLock();
}

}  // namespace installer
