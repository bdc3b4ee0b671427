// The built launcher with one system call failing at a time, in a private
// network namespace beside the backend and frontend doubles: the exit status
// and the one line each fault gives, and what became of the children.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <regex>

#include "error_texts.h"
#include "fault_matrix.h"
#include "launcher_harness.h"

#ifndef FAULT_INJECTION_LIBRARY
#error "FAULT_INJECTION_LIBRARY comes from the build"
#endif

namespace faults {
namespace {

using launcher_test::Bundle;
using launcher_test::LaunchOptions;
using launcher_test::Outcome;
using launcher_test::Record;

struct LauncherCase : MatrixCase<LauncherCase> {
  std::string error;         // after "Zentrivale could not start: "; "" for none
  // Whether each double started (and so left its record); nothing where the
  // launcher may stop it before it could write one.
  std::optional<bool> backend = true;
  std::optional<bool> frontend = true;
  bool terminated = true;    // the backend received SIGTERM (when it was started)
  double at_least = 0;       // seconds the launch must take
  std::string frontend_behaviour;  // the double's; "" for its default

  using MatrixCase::MatrixCase;

  LauncherCase& fails(const std::string& error_name) {
    exit_status = 1;
    error = os_error_text(errno_number(error_name));
    return *this;
  }
  LauncherCase& before_children() {
    backend = frontend = false;
    return *this;
  }
  LauncherCase& without_frontend() {
    frontend = false;
    return *this;
  }
  // Stopped or killed so soon after its start that its record may be missing.
  LauncherCase& backend_may_be_cut_short() {
    backend = std::nullopt;
    return *this;
  }
  LauncherCase& frontend_may_be_cut_short() {
    frontend = std::nullopt;
    return *this;
  }
  // SIGKILL may overtake the SIGTERM sent just before it.
  LauncherCase& sigterm_may_be_overtaken() {
    terminated = false;
    return *this;
  }
  LauncherCase& taking(double seconds) {
    at_least = seconds;
    return *this;
  }
  LauncherCase& with_frontend(const std::string& behaviour) {
    frontend_behaviour = behaviour;
    return *this;
  }
};

std::vector<LauncherCase> launcher_cases() {
  std::vector<LauncherCase> all;
  auto add = [&all](LauncherCase c) { all.push_back(std::move(c)); };
  add(LauncherCase("data_directory_status", "is the data directory there")
          .inject("STAT@Application Support/Zentrivale:1:EACCES"));
  add(LauncherCase("data_directory_created", "creating the data directory")
          .inject("MKDIR@Application Support:1:EACCES")
          .fails("EACCES")
          .before_children());
  add(LauncherCase("cache_directory_status", "is the cache directory there")
          .inject("STAT@Caches/Zentrivale:1:EACCES"));
  add(LauncherCase("cache_directory_created", "creating the cache directory")
          .inject("MKDIR@Library/Caches:1:EROFS")
          .fails("EROFS")
          .before_children());
  add(LauncherCase("launch_lock_opened", "opening the launch lock")
          .inject("OPEN@launch.lock:1:EACCES")
          .fails("EACCES")
          .before_children());
  add(LauncherCase("precheck_connection", "is another backend listening (pre-check)")
          .inject("CONNECT", "1:EACCES", "127.0.0.1:3000", "127.0.0.1:3000"));
  add(LauncherCase("backend_started", "starting the backend")
          .inject("POSIX_SPAWN@/backend:EACCES")
          .fails("EACCES")
          .before_children());
  // The record of the backend only helps a later launch: failing to keep it
  // changes nothing in this one.
  add(LauncherCase("backend_identity", "reading the backend's start time")
          .inject("OPEN@/stat:1:EACCES"));
  add(LauncherCase("backend_record_opened", "writing the backend's record")
          .inject("OPEN@backend.pid.new:1:ENOSPC"));
  add(LauncherCase("backend_record_written", "writing the backend's record")
          .inject("WRITE@backend.pid.new:1:ENOSPC"));
  add(LauncherCase("backend_record_renamed", "putting the backend's record in place")
          .inject("RENAME@backend.pid:1:EACCES"));
  add(LauncherCase("readiness_connection", "first readiness attempt")
          .inject("CONNECT", "2:ENETUNREACH", "127.0.0.1:3000", "127.0.0.1:3000"));
  add(LauncherCase("readiness_status_query", "has the backend exited (readiness)")
          .inject("WAITPID", "1:ECHILD", "WNOHANG", "WNOHANG")
          .fails("ECHILD")
          .without_frontend()
          .backend_may_be_cut_short());
  add(LauncherCase("frontend_started", "starting the frontend")
          .inject("POSIX_SPAWN@/frontend:ENOMEM")
          .fails("ENOMEM")
          .without_frontend());
  add(LauncherCase("frontend_awaited", "has the frontend exited")
          .inject("WAITPID", "1:ECHILD", "WNOHANG", "WNOHANG")
          .after("POSIX_SPAWN:/frontend")
          .fails("ECHILD")
          .frontend_may_be_cut_short());
  add(LauncherCase("frontend_wait_interrupted", "has the frontend exited")
          .inject("WAITPID", "1:EINTR", "WNOHANG", "WNOHANG")
          .after("POSIX_SPAWN:/frontend"));
  // The frontend runs through one query and ends before the second: the
  // third is the backend's.
  add(LauncherCase("stop_status_query", "has the backend exited (stopping)")
          .inject("WAITPID", "3:ECHILD", "WNOHANG", "WNOHANG")
          .after("POSIX_SPAWN:/frontend")
          .with_frontend("exit 0 300"));
  add(LauncherCase("stop_grace_query", "has the backend ended after SIGTERM")
          .inject("WAITPID", "1:ECHILD", "WNOHANG", "WNOHANG")
          .after("KILL:signal 15")
          .sigterm_may_be_overtaken());
  add(LauncherCase("sigterm_refused", "SIGTERM to the backend")
          .inject("KILL", "1:EPERM", "signal 15", "signal 15")
          .sigterm_may_be_overtaken()
          .taking(10));
  add(LauncherCase("backend_record_removed", "removing the backend's record")
          .inject("UNLINK@backend.pid:1:EACCES"));
  return all;
}

struct Launch {
  Outcome outcome;
  std::vector<TraceLine> trace;
  double seconds = 0;
};

Launch launch_with(const Bundle& bundle, const std::vector<Fault>& faults) {
  LaunchOptions options;
  std::string trace = bundle.root() + "/trace";
  for (const std::string& variable : shim_environment(FAULT_INJECTION_LIBRARY, trace, faults)) {
    size_t equals = variable.find('=');
    options.environment[variable.substr(0, equals)] = variable.substr(equals + 1);
  }
  Launch launch;
  auto started = std::chrono::steady_clock::now();
  launch.outcome = launcher_test::launch(bundle, options);
  launch.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  launch.trace = read_trace(trace);
  return launch;
}

// What the children went through, as the matrix shows it.
std::string children(const LauncherCase& c, const Record& backend, const Record& frontend) {
  if (!backend.exists && !c.backend) return "backend stopped before it wrote its record, reaped";
  if (!backend.exists) return "none started";
  std::string text = "backend ";
  text += backend.has_event("SIGTERM") ? "ended on SIGTERM" : "killed";
  text += ", reaped; frontend ";
  text += frontend.exists ? "ran" : c.frontend ? "not started" : "killed before it wrote its record";
  return text;
}

class LauncherFaultMatrix : public ::testing::TestWithParam<size_t> {
 protected:
  void SetUp() override {
    if (auto reason = launcher_test::backend_port_unavailable()) GTEST_SKIP() << *reason;
  }
};

TEST_P(LauncherFaultMatrix, Row) {
  const LauncherCase c = launcher_cases()[GetParam()];
  Bundle bundle;
  if (!c.frontend_behaviour.empty()) bundle.behave("frontend", c.frontend_behaviour);
  Launch launch = launch_with(bundle, {c.fault});
  Record backend = bundle.record("backend");
  Record frontend = bundle.record("frontend");
  std::vector<std::string> violations;

  std::string expected_error = c.error.empty() ? "" : "Zentrivale could not start: " + c.error + "\n";
  if (!launch.outcome.exited_with(c.exit_status)) {
    violations.push_back("exit status, designed " + std::to_string(c.exit_status));
  }
  if (launch.outcome.standard_error != expected_error) {
    violations.push_back("standard error, designed: " + expected_error);
  }
  if (!launch.outcome.left_behind.empty()) {
    violations.push_back(std::to_string(launch.outcome.left_behind.size()) +
                         " processes left behind or unreaped");
  }
  if (c.backend && backend.exists != *c.backend) {
    violations.push_back(backend.exists ? "the backend was started" : "the backend was not started");
  }
  if (c.frontend && frontend.exists != *c.frontend) {
    violations.push_back(frontend.exists ? "the frontend was started"
                                         : "the frontend was not started");
  }
  if (c.backend.value_or(false) && c.terminated && !backend.has_event("SIGTERM")) {
    violations.push_back("the backend got no SIGTERM");
  }
  if (launch.seconds < c.at_least) violations.push_back("took less than the designed wait");
  check_faults_hit({c.fault}, c.hits, launch.trace, violations);

  RowOutcome outcome;
  outcome.exit_status = launch.outcome.exited_with(c.exit_status) ? std::to_string(c.exit_status)
                                                                  : "other";
  std::string shown = launch.outcome.standard_error;
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  outcome.message = shown.empty() ? "(nothing)" : shown;
  outcome.previous = children(c, backend, frontend);
  outcome.violations = violations;
  conclude_row(Program::launcher, GetParam(), c.step, {c.fault}, outcome);
}

std::string case_name(const ::testing::TestParamInfo<size_t>& info) {
  return launcher_cases()[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Launcher, LauncherFaultMatrix,
                         ::testing::Range<size_t>(0, launcher_cases().size()), case_name);

// The launcher logs nothing; its phases show in the trace as the backend's
// start, the frontend's start and the SIGTERM.
std::string launcher_phase(const TraceLine& line) {
  if (line.call == "POSIX_SPAWN" && line.subject.find("/backend") != std::string::npos) {
    return "backend started";
  }
  if (line.call == "POSIX_SPAWN" && line.subject.find("/frontend") != std::string::npos) {
    return "frontend started";
  }
  if (line.call == "KILL") return "SIGTERM sent";
  return "";
}

TEST(LauncherCallSites, EveryCallSiteOfALaunchIsFailedByARow) {
  if (auto reason = launcher_test::backend_port_unavailable()) GTEST_SKIP() << *reason;
  Bundle bundle;
  Launch launch = launch_with(bundle, {});
  ASSERT_TRUE(launch.outcome.exited_with(0)) << launch.outcome.standard_error;
  std::vector<std::pair<std::string, Fault>> named;
  for (const LauncherCase& c : launcher_cases()) named.emplace_back(c.name, c.fault);
  size_t checked = 0;
  std::vector<CallSite> sites = check_call_sites(
      launch.trace, launcher_phase,
      [&bundle](const TraceLine& line, const std::string& phase) {
        std::string subject = replace_all(line.subject, bundle.root(), "T");
        // Every level of a per-user directory is one site of its creation;
        // a file in the cache directory is a site of its own.
        if (subject.rfind("T/home/Library/Caches/Zentrivale/", 0) == 0) {
          // named as it is
        } else if (subject.rfind("T/home", 0) == 0) {
          subject = subject.find("Caches") != std::string::npos
                        ? "a level of T/home/Library/Caches/Zentrivale"
                        : "a level of T/home/Library/Application Support/Zentrivale";
        }
        subject = std::regex_replace(subject, std::regex("pid [0-9]+"), "pid <pid>");
        subject = std::regex_replace(subject, std::regex("/proc/[0-9]+/"), "/proc/<pid>/");
        return line.call + " " + subject + " [after: " + (phase.empty() ? "(start)" : phase) + "]";
      },
      named, {}, checked);
  record_call_sites(Program::launcher, sites);
  EXPECT_GT(checked, 0u);
}

}  // namespace
}  // namespace faults
