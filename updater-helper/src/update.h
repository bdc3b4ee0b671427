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

// `--verify-only`: logs "verifying {archive} for {target}", then runs the
// installation's own checks up to and including verification (stale staging
// directories removed, extraction, discovery, name check, verify_bundle) and
// removes its staging directory. Never waits for a process, never touches the
// installed bundle or a backup, never relaunches. Its message on failure is
// the one the installation would have failed with (the caller adds
// "update verification failed: ").
support::Result<void> verify_update(const Args& args, Log& log, const Tools& tools);

}  // namespace installer
