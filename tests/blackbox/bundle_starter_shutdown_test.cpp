// The built launcher ended from outside, killed, started twice at once, and
// started again after a launcher was killed: what becomes of its backend and
// frontend, its exit status and its standard error.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "double_support.h"
#include "launcher_harness.h"
#include "platform.h"

namespace launcher_test {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

const std::string kEndpointTaken = "another backend is already listening on 127.0.0.1:3000";

std::string failure(const std::string& text) { return "Zentrivale could not start: " + text + "\n"; }

std::string backend_record(const Bundle& bundle) {
  return bundle.cache_directory() + "/backend.pid";
}

// The process ID that the launcher's record of its backend names.
std::string pid_in_backend_record(const Bundle& bundle) {
  std::string record = read_file(backend_record(bundle));
  return record.substr(0, record.find(' '));
}

// Waits at most five seconds for `done`.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

bool started(const Bundle& bundle, const std::string& role) {
  return eventually([&] { return bundle.record(role).exists; });
}

pid_t recorded_pid(const Bundle& bundle, const std::string& role) {
  return static_cast<pid_t>(std::stol(bundle.record(role).get("pid")));
}

// Waits for a process that is no child of this test's own making: on Linux
// orphans come to this process (see prepare_process) and are reaped here;
// elsewhere their end is only seen.
void await_orphan(pid_t pid) {
  eventually([pid] {
    int status;
    pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    return reaped == pid || (reaped < 0 && ::kill(pid, 0) != 0);
  });
}

// A process of the test's own that runs until it is killed.
class Bystander {
 public:
  Bystander() {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~Bystander() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Bystander(const Bystander&) = delete;
  Bystander& operator=(const Bystander&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

class LauncherShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = backend_port_unavailable()) GTEST_SKIP() << *reason;
  }
};

TEST_F(LauncherShutdownTest, TerminationSignalsInBothPhases) {
  struct Case {
    int signal;
    std::string name;
    bool frontend_running;  // otherwise the backend is not ready yet
    std::string frontend_behaviour;
    int exit_status;
  };
  const std::vector<Case> cases = {
      {SIGTERM, "SIGTERM", false, "", 1},
      {SIGINT, "SIGINT", false, "", 1},
      {SIGHUP, "SIGHUP", false, "", 1},
      {SIGTERM, "SIGTERM", true, "until-signal", 1},
      {SIGINT, "SIGINT", true, "until-signal", 1},
      {SIGHUP, "SIGHUP", true, "until-signal", 1},
      {SIGINT, "SIGINT", true, "until-signal 130", 130},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + (c.frontend_running ? " while the frontend runs"
                                               : " while waiting for the backend"));
    Bundle bundle;
    if (c.frontend_running) {
      bundle.behave("frontend", c.frontend_behaviour);
    } else {
      bundle.behave("backend", "never");
    }
    Started launch = start_launch(bundle);
    ASSERT_TRUE(started(bundle, c.frontend_running ? "frontend" : "backend"));
    if (c.frontend_running) {
      // The record names the very backend while it runs.
      EXPECT_EQ(pid_in_backend_record(bundle), bundle.record("backend").get("pid"));
    }
    ::kill(launch.pid, c.signal);
    Outcome outcome = wait_for_launch(launch);

    EXPECT_TRUE(outcome.exited_with(c.exit_status)) << "wait status " << outcome.wait_status;
    if (c.frontend_running) {
      EXPECT_EQ(outcome.standard_error, "");
      EXPECT_EQ(bundle.record("frontend").events, Strings{c.name});
      EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "SIGTERM"}));
    } else {
      EXPECT_EQ(outcome.standard_error,
                failure("received " + c.name + " while waiting for the backend"));
      EXPECT_FALSE(bundle.record("frontend").exists);
      EXPECT_EQ(bundle.record("backend").events, Strings{"SIGTERM"});
    }
    EXPECT_FALSE(test_support::lexists(backend_record(bundle)));
    EXPECT_EQ(clear_left_behind(bundle), std::vector<pid_t>{});
  }
}

TEST_F(LauncherShutdownTest, NextLaunchStopsTheBackendOfAKilledLauncher) {
  Bundle first;
  first.behave("frontend", "exit 0 300");
  Started killed = start_launch(first);
  ASSERT_TRUE(started(first, "frontend"));
  ::kill(killed.pid, SIGKILL);
  Outcome end = wait_for_launch(killed);
  ASSERT_TRUE(WIFSIGNALED(end.wait_status));
  const pid_t stranded = recorded_pid(first, "backend");
  ASSERT_EQ(::kill(stranded, 0), 0) << "the backend outlives its launcher";
  await_orphan(recorded_pid(first, "frontend"));

  // Same user, same cache directory; the doubles of a bundle of its own.
  Bundle next;
  LaunchOptions options;
  options.environment["HOME"] = first.home();
  Outcome outcome = wait_for_launch(start_launch(next, options));
  await_orphan(stranded);

  EXPECT_TRUE(outcome.exited_with(0)) << outcome.standard_error;
  EXPECT_EQ(outcome.standard_error,
            "Zentrivale: stopped a backend left running by an earlier launch (pid " +
                std::to_string(stranded) + ")\n");
  EXPECT_EQ(first.record("backend").events, (Strings{"ready", "SIGTERM"}));
  EXPECT_EQ(next.record("backend").events, (Strings{"ready", "SIGTERM"}));
  EXPECT_EQ(next.record("frontend").events, (Strings{"backend-accepting", "exiting 0"}));
  EXPECT_FALSE(test_support::lexists(backend_record(first)));
  EXPECT_EQ(clear_left_behind(next), std::vector<pid_t>{});
  EXPECT_EQ(clear_left_behind(first), std::vector<pid_t>{});
}

TEST_F(LauncherShutdownTest, OneLaunchAtATime) {
  {
    SCOPED_TRACE("a second launch while the first runs");
    Bundle bundle;
    bundle.behave("frontend", "until-signal 7");
    Started first = start_launch(bundle);
    ASSERT_TRUE(started(bundle, "frontend"));
    LaunchOptions second_streams;
    second_streams.streams = "second";
    Outcome second = wait_for_launch(start_launch(bundle, second_streams));
    EXPECT_TRUE(second.exited_with(1));
    EXPECT_EQ(second.standard_error, failure(kEndpointTaken));
    EXPECT_EQ(bundle.record("backend").events, Strings{"ready"}) << "the first is untouched";

    ::kill(first.pid, SIGTERM);
    Outcome outcome = wait_for_launch(first);
    EXPECT_TRUE(outcome.exited_with(7)) << outcome.standard_error;
    EXPECT_EQ(bundle.record("backend").all("pid").size(), 1u);
    EXPECT_EQ(bundle.record("frontend").all("pid").size(), 1u);
    EXPECT_EQ(clear_left_behind(bundle), std::vector<pid_t>{});
  }
  {
    SCOPED_TRACE("two launches at the same instant");
    Bundle bundle;
    // Both pre-checks come before the backend listens.
    bundle.behave("backend", "listen 300");
    LaunchOptions one, two;
    one.streams = "one";
    two.streams = "two";
    Started a = start_launch(bundle, one);
    Started b = start_launch(bundle, two);
    std::vector<Outcome> outcomes = {wait_for_launch(a), wait_for_launch(b)};
    int ran = 0, refused = 0;
    for (const Outcome& outcome : outcomes) {
      if (outcome.exited_with(0) && outcome.standard_error.empty()) ++ran;
      if (outcome.exited_with(1) && outcome.standard_error == failure(kEndpointTaken)) ++refused;
    }
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(bundle.record("backend").all("pid").size(), 1u);
    EXPECT_EQ(bundle.record("backend").events, (Strings{"ready", "SIGTERM"}));
    EXPECT_EQ(bundle.record("frontend").events, (Strings{"backend-accepting", "exiting 0"}));
    EXPECT_EQ(clear_left_behind(bundle), std::vector<pid_t>{});
  }
}

// With something else on the port, the record decides nothing unless it
// names a process that still runs as the very one it was.
TEST_F(LauncherShutdownTest, ForeignListenerIsRefusedWhateverTheRecordSays) {
  Bystander bystander;
  ASSERT_TRUE(eventually([&] {
    return support::platform::process_start_time(bystander.pid()).has_value();
  }));
  const uint64_t start = *support::platform::process_start_time(bystander.pid());
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);

  const std::vector<std::pair<std::string, std::optional<std::string>>> records = {
      {"no record", std::nullopt},
      {"a damaged record", "12 x\n"},
      {"an empty record", ""},
      {"a process ID now used by another process",
       std::to_string(bystander.pid()) + " " + std::to_string(start + 1) + "\n"},
      {"a process ID that no process uses", std::to_string(gone) + " 1\n"},
  };
  // Something other than a backend, listening on 127.0.0.1:3000.
  launcher_test::BackendPortClaim listener(true);
  ASSERT_TRUE(listener.claimed());
  for (const auto& [name, record] : records) {
    SCOPED_TRACE(name);
    Bundle bundle;
    if (record) write_file(backend_record(bundle), *record);
    // Refused before any child starts; launch() would also wait for the
    // bystander, a child of this process, to be reaped.
    Outcome outcome = wait_for_launch(start_launch(bundle));

    EXPECT_TRUE(outcome.exited_with(1));
    EXPECT_EQ(outcome.standard_error, failure(kEndpointTaken));
    EXPECT_FALSE(bundle.record("backend").exists);
    EXPECT_TRUE(bystander.running());
  }
}

TEST(LauncherStandardError, ClosedStandardErrorKeepsTheExitStatus) {
  Bundle bundle;
  LaunchOptions options;
  options.environment = {{"HOME", std::nullopt}};
  options.closed_standard_error = true;
  Outcome outcome = launch(bundle, options);
  EXPECT_TRUE(outcome.exited_with(1)) << "wait status " << outcome.wait_status;
}

}  // namespace
}  // namespace launcher_test
