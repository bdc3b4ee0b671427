#include "relaunch.h"

#include <algorithm>

#include "child_process.h"
#include "pause.h"
#include "wait_status.h"

namespace installer {
namespace {

// One run of "open BUNDLE". What open prints is of no use to the user of the
// update, so it goes to the null device; standard input is inherited.
support::Result<void> open_once(const std::string& bundle, const Tools& tools) {
  support::SpawnRequest request;
  request.program = tools.open;
  request.argv = {tools.open, bundle};
  request.stdout_stream = support::Stream::null();
  request.stderr_stream = support::Stream::null();
  auto child = support::Child::spawn(request);
  if (!child) return support::Error("could not run open: " + child.error());
  auto status = child->wait();
  if (!status) return support::Error("could not run open: " + status.error());
  if (*status != 0) return support::Error("open exited with " + support::wait_status_text(*status));
  return support::success();
}

}  // namespace

support::Result<void> relaunch(const std::string& bundle, Log& log, const Tools& tools,
                               const RelaunchTiming& timing) {
  const int attempts = std::max(timing.attempts, 1);
  std::string last_error;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    auto opened = open_once(bundle, tools);
    if (opened) return support::success();
    last_error = opened.error();
    log.line("relaunch attempt " + std::to_string(attempt) + " failed: " + last_error);
    // The last failure pauses too: a relaunch that gives up always takes the
    // same time, whatever its attempts failed with.
    support::pause_for(timing.pause_after_failure);
  }
  return support::Error("the update was installed, but the application could not be relaunched: " +
                        last_error);
}

}  // namespace installer
