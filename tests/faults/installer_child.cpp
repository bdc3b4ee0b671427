#include "installer_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "digest.h"
#include "tools.h"
#include "update.h"
#include "update_log.h"

extern "C" void fault_injection_reset(void);

namespace faults {
namespace {

using Clock = std::chrono::steady_clock;

pid_t vanished_process() {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

void set_or_clear(const char* name, const std::string& value) {
  if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
}

// What main does with run's result, without the command line.
[[noreturn]] void update_in_child(const ChildUpdate& update, pid_t parent) {
  ::setpgid(0, 0);
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
  if (null > 2) ::close(null);
  ::signal(SIGPIPE, SIG_IGN);
  ::setenv("HOME", update.home.c_str(), 1);
  set_or_clear("FAULT_RENAMEAT2", update.exchange_refused ? "EXDEV" : "");
  set_or_clear("FAULT_STOP", update.stop_at > 0 ? std::to_string(update.stop_at) : "");
  set_or_clear("FAULT_TRACE", update.trace);
  fault_injection_reset();

  installer::Log log = installer::Log::open();
  installer::Args args;
  args.archive = update.archive;
  args.target_app = update.target;
  args.parent_pid = parent;
  args.bundle_id = "com.example.zentrivale";
  args.relaunch_after_install = false;
  if (!update.delta_sha256.empty()) {
    args.delta = true;
    args.archive_sha256 = support::digest_from_hex(update.delta_sha256);
  }
  installer::UpdateTiming timing;
  timing.wait = installer::WaitTiming{std::chrono::milliseconds(0), 1200,
                                      std::chrono::milliseconds(0)};
  support::Result<void> outcome =
      installer::run(args, log, installer::Tools::under(update.stand_in_root), timing);
  if (!outcome) {
    log.line("update installation failed: " + outcome.error());
    ::_exit(1);
  }
  log.line("update installed successfully");
  log.close();
  ::_exit(0);
}

pid_t start(const ChildUpdate& update) {
  pid_t parent = vanished_process();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) update_in_child(update, parent);
  // Both sides set the group, so that it exists whichever runs first.
  ::setpgid(pid, pid);
  return pid;
}

// Kills the child's group, reaps the child and every orphan that came here.
void kill_and_reap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  for (;;) {
    pid_t reaped = ::waitpid(-1, nullptr, 0);
    if (reaped < 0 && errno == EINTR) continue;
    if (reaped < 0) break;  // ECHILD: nothing left
  }
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void finish(ChildOutcome& outcome, int status) {
  outcome.ending = Ending::completed;
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // Tools of a completed run have all been awaited by it.
  for (;;) {
    pid_t reaped = ::waitpid(-1, nullptr, WNOHANG);
    if (reaped > 0 || (reaped < 0 && errno == EINTR)) continue;
    break;
  }
}

}  // namespace

void reap_orphans_here() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

ChildOutcome run_update(const ChildUpdate& update) {
  Clock::time_point started = Clock::now();
  ChildOutcome outcome;
  outcome.pid = start(update);
  int status = 0;
  while (::waitpid(outcome.pid, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
  outcome.seconds = since(started);
  if (WIFSTOPPED(status)) {
    kill_and_reap(outcome.pid);
    outcome.ending = Ending::killed;
  } else {
    finish(outcome, status);
  }
  return outcome;
}

ChildOutcome run_update_killed_after(const ChildUpdate& update, std::chrono::microseconds delay) {
  Clock::time_point started = Clock::now();
  ChildOutcome outcome;
  outcome.pid = start(update);
  timespec remaining{static_cast<time_t>(delay.count() / 1000000),
                     static_cast<long>(delay.count() % 1000000) * 1000L};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
  int status = 0;
  pid_t ended = ::waitpid(outcome.pid, &status, WNOHANG);
  outcome.seconds = since(started);
  if (ended == outcome.pid) {
    finish(outcome, status);
  } else {
    kill_and_reap(outcome.pid);
    outcome.ending = Ending::killed;
  }
  return outcome;
}

}  // namespace faults
