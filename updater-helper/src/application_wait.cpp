#include "application_wait.h"

#include <signal.h>

#include <cerrno>

#include "os_error.h"
#include "pause.h"

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

support::Result<void> wait_for_application_exit(pid_t pid, Log& log, const WaitTiming& timing) {
  log.line("waiting for the application to exit...");
  for (int poll = 0; poll < timing.polls; ++poll) {
    support::Result<Presence> presence = probe(pid);
    if (!presence) return std::move(presence).take_error();
    if (presence.value() == Presence::gone) {
      support::pause_for(timing.pause_after_exit);
      return support::success();
    }
    support::pause_for(timing.poll_interval);
  }
  return support::Error("timed out waiting for Zentrivale to exit");
}

}  // namespace installer
