#include "application_wait.h"

#include <signal.h>
#include <time.h>

#include <cerrno>

#include "os_error.h"

namespace installer {
namespace {

enum class Presence { running, gone };

// Signal 0 only asks whether the process exists. EPERM means it does, under
// another user.
support::Result<Presence> probe(pid_t pid) {
  if (::kill(pid, 0) == 0) return Presence::running;
  int error = errno;
  if (error == EPERM) return Presence::running;
  if (error == ESRCH) return Presence::gone;
  return support::Error("could not check the application process: " +
                        support::os_error_text(error));
}

}  // namespace

void pause_for(std::chrono::milliseconds duration) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(duration.count() / 1000);
  remaining.tv_nsec = static_cast<long>(duration.count() % 1000) * 1000000L;
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

support::Result<void> wait_for_application_exit(pid_t pid, Log& log, const WaitTiming& timing) {
  log.line("waiting for the application to exit...");
  for (int poll = 0; poll < timing.polls; ++poll) {
    support::Result<Presence> presence = probe(pid);
    if (!presence) return std::move(presence).take_error();
    if (presence.value() == Presence::gone) {
      pause_for(timing.pause_after_exit);
      return support::success();
    }
    pause_for(timing.poll_interval);
  }
  return support::Error("timed out waiting for Zentrivale to exit");
}

}  // namespace installer
