// The installer's update sequence (installer::run) in a forked child with
// every pause set to zero, in a process group of its own, so that a test can
// stop it at a chosen call or kill it, and its tools with it, at any instant.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace faults {

struct ChildUpdate {
  std::string home;
  std::string archive;
  std::string target;
  std::string stand_in_root;
  bool exchange_refused = false;  // the volume refuses the atomic exchange
  std::string delta_sha256;       // a delta update with this digest, when not empty
  long stop_at = 0;               // stop before this intercepted call (0: never)
  std::string trace;              // the fault library's trace, when not empty
};

enum class Ending { completed, killed };

struct ChildOutcome {
  pid_t pid = -1;
  Ending ending = Ending::completed;
  int exit_code = -1;  // when completed
  double seconds = 0;
};

// Makes this process the reaper of orphaned descendants, so that the tools of
// a killed installer are collected here.
void reap_orphans_here();

// Runs the update to its end, or until it stops itself at `stop_at`, where
// it is killed with SIGKILL together with its process group.
ChildOutcome run_update(const ChildUpdate& update);

// Runs the update and kills it with its process group after `delay`, unless
// it has completed by then.
ChildOutcome run_update_killed_after(const ChildUpdate& update, std::chrono::microseconds delay);

}  // namespace faults
