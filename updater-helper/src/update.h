// The update sequence, from the wait for the application to the relaunch.
#pragma once

#include "application_wait.h"
#include "arguments.h"
#include "relaunch.h"
#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

struct UpdateTiming {
  WaitTiming wait;
  RelaunchTiming relaunch;
};

// Runs every step in order and stops at the first failure, whose message it
// yields (the caller adds "update installation failed: "). The staging
// directory is cleaned up on the failure paths that own it.
support::Result<void> run(const Args& args, Log& log, const Tools& tools,
                          const UpdateTiming& timing = {});

}  // namespace installer
