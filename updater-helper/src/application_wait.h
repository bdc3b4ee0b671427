// Waiting for the running application to exit before anything is touched.
#pragma once

#include <sys/types.h>

#include <chrono>

#include "result.h"
#include "update_log.h"

namespace installer {

struct WaitTiming {
  std::chrono::milliseconds poll_interval{500};
  int polls = 1200;  // 600 s in all
  std::chrono::milliseconds pause_after_exit{750};
};

// Logs "waiting for the application to exit...", probes `pid` with signal 0
// until it is gone (EPERM counts as running), then pauses. Errors:
// "could not check the application process: {}",
// "timed out waiting for Zentrivale to exit".
support::Result<void> wait_for_application_exit(pid_t pid, Log& log,
                                                const WaitTiming& timing = {});

// Sleeps the whole duration, resuming after signals.
void pause_for(std::chrono::milliseconds duration);

}  // namespace installer
