// Starting the application again once the update is in place.
#pragma once

#include <chrono>
#include <string>

#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

struct RelaunchTiming {
  int attempts = 5;
  std::chrono::milliseconds pause_after_failure{2000};
};

// Runs "open BUNDLE" until it exits 0, at most five times, logging
// "relaunch attempt {} failed: {}" and pausing after each failure. Error:
// "the update was installed, but the application could not be relaunched: {}".
support::Result<void> relaunch(const std::string& bundle, Log& log, const Tools& tools,
                               const RelaunchTiming& timing = {});

}  // namespace installer
