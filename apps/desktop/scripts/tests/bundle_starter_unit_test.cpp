// The launcher's pieces, with short timings. The program's source is compiled
// into this file without its `main`.
#define BUNDLE_STARTER_NO_MAIN
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include "../bundle_starter.cpp"
#pragma GCC diagnostic pop

#include <sys/stat.h>
#include <sys/time.h>

#include <thread>

#include <gtest/gtest.h>

#include "double_support.h"
#include "launcher_harness.h"

namespace {

using namespace std::chrono_literals;
using launcher_test::Bundle;

// Milliseconds, so that failures print readable numbers.
long long elapsed_since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A listening socket on an ephemeral loopback port.
class Listener {
 public:
  explicit Listener(int backlog = 16) {
    fd_.reset(test_support::cloexec_tcp_socket(AF_INET));
    address_.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address_.sin_addr);
    socklen_t length = sizeof address_;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address_), length) != 0 ||
        ::listen(fd_.get(), backlog) != 0 ||
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address_), &length) != 0) {
      fd_.reset();
    }
  }
  bool valid() const { return fd_.valid(); }
  const sockaddr_in& endpoint() const { return address_; }
  void close() { fd_.reset(); }

 private:
  support::UniqueFd fd_;
  sockaddr_in address_{};
};

// A listener whose queue is full: further attempts are neither accepted nor
// refused, they just time out.
class SilentEndpoint {
 public:
  SilentEndpoint() : listener_(0) {
    for (int i = 0; i < 16 && listener_.valid(); ++i) {
      Result<support::UniqueFd> socket = support::platform::nonblocking_tcp_socket();
      if (!socket) return;
      const sockaddr_in& address = listener_.endpoint();
      ::connect(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      pollfd entry{socket->get(), POLLOUT, 0};
      bool completed = ::poll(&entry, 1, 100) > 0;
      fillers_.push_back(std::move(socket.value()));
      if (!completed) {
        silent_ = true;
        return;
      }
    }
  }
  bool silent() const { return silent_; }
  const sockaddr_in& endpoint() const { return listener_.endpoint(); }

 private:
  Listener listener_;
  std::vector<support::UniqueFd> fillers_;
  bool silent_ = false;
};

// Delivers SIGALRM every two milliseconds while it lives, without SA_RESTART.
class SignalStorm {
 public:
  SignalStorm() {
    struct sigaction action {};
    action.sa_handler = [](int) { ++delivered; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, &previous_);
    itimerval every{{0, 2000}, {0, 2000}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~SignalStorm() {
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous_, nullptr);
  }
  static inline volatile sig_atomic_t delivered = 0;

 private:
  struct sigaction previous_ {};
};

Child start_double(const Bundle& bundle, const std::string& behaviour) {
  bundle.behave("backend", behaviour);
  Result<Child> child = start_child(bundle.executable_directory() + "/backend", {});
  if (!child) throw std::runtime_error(child.error());
  return std::move(child).value();
}

void wait_for_event(const Bundle& bundle, const std::string& event) {
  auto deadline = Clock::now() + 5s;
  while (!bundle.record("backend").has_event(event) && Clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
}

TEST(BundleLayout, ComesFromTheExecutablesTwoParents) {
  Result<BundleLayout> bundle = bundle_layout("/A/Zentrivale.app/Contents/MacOS/bundle_starter");
  ASSERT_TRUE(bundle.ok());
  EXPECT_EQ(bundle->executable_directory, "/A/Zentrivale.app/Contents/MacOS");
  EXPECT_EQ(bundle->contents_directory, "/A/Zentrivale.app/Contents");
  EXPECT_EQ(bundle->resources_directory, "/A/Zentrivale.app/Contents/Resources");

  Result<BundleLayout> other = bundle_layout("/opt/x/bin/app");
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other->executable_directory, "/opt/x/bin");
  EXPECT_EQ(other->contents_directory, "/opt/x");
  EXPECT_EQ(other->resources_directory, "/opt/x/Resources");

  Result<BundleLayout> top = bundle_layout("/Applications/app");
  ASSERT_TRUE(top.ok());
  EXPECT_EQ(top->executable_directory, "/Applications");
  EXPECT_EQ(top->contents_directory, "/");
  EXPECT_EQ(top->resources_directory, "/Resources");
}

TEST(BundleLayout, NeedsTwoDirectoryLevels) {
  EXPECT_EQ(bundle_layout("/app").error(), "application executable is outside Contents/MacOS");
  EXPECT_EQ(bundle_layout("/").error(), "application executable has no parent directory");
  EXPECT_EQ(bundle_layout("").error(), "application executable has no parent directory");
}

TEST(MediaEnvironment, PointsTheLibrariesIntoTheBundle) {
  Variables expected = {
      {"GST_PLUGIN_PATH_1_0", "/A/Contents/Frameworks/gst-plugins"},
      {"GST_PLUGIN_SYSTEM_PATH_1_0", "/A/Contents/Frameworks/gst-plugins"},
      {"GST_PLUGIN_SCANNER", "/A/Contents/Helpers/gst-plugin-scanner"},
      {"GST_REGISTRY", "/Users/u/Library/Caches/Zentrivale/gstreamer-registry.bin"},
      {"GIO_MODULE_DIR", "/A/Contents/Resources/gio-modules"},
      {"FONTCONFIG_FILE", "/A/Contents/Resources/fonts/fonts.conf"},
  };
  EXPECT_EQ(media_variables("/A/Contents", "/Users/u"), expected);
  EXPECT_EQ(media_variables("/A/Contents/", "/Users/u/"), expected);
}

TEST(ConnectionAttempt, AcceptedRefusedOrTimedOut) {
  Listener listener;
  ASSERT_TRUE(listener.valid());
  EXPECT_TRUE(accepts_connection(listener.endpoint(), 200ms));

  const sockaddr_in closed = listener.endpoint();
  listener.close();
  auto start = Clock::now();
  EXPECT_FALSE(accepts_connection(closed, 2000ms));
  EXPECT_LT(elapsed_since(start), 500) << "a refusal must end the attempt at once";

  SilentEndpoint silent;
  if (!silent.silent()) GTEST_SKIP() << "could not make a listener that stays silent";
  start = Clock::now();
  EXPECT_FALSE(accepts_connection(silent.endpoint(), kPrecheckTimeout));
  EXPECT_GE(elapsed_since(start), kPrecheckTimeout.count());
  EXPECT_LT(elapsed_since(start), kPrecheckTimeout.count() + 500);
}

TEST(ConnectionAttempt, SignalsNeitherFailNorShortenIt) {
  Listener listener;
  SilentEndpoint silent;
  if (!silent.silent()) GTEST_SKIP() << "could not make a listener that stays silent";
  SignalStorm storm;
  sig_atomic_t before = SignalStorm::delivered;
  auto start = Clock::now();
  EXPECT_FALSE(accepts_connection(silent.endpoint(), 200ms));
  EXPECT_GE(elapsed_since(start), 200);
  EXPECT_GT(SignalStorm::delivered - before, 5);
  EXPECT_TRUE(accepts_connection(listener.endpoint(), 200ms));
}

TEST(WaitForBackend, SucceedsAtOnceWhenTheBackendAlreadyAccepts) {
  Bundle bundle;
  Child backend = start_double(bundle, "never");
  Listener listener;
  BackendTiming timing;
  timing.poll_interval = 5s;
  auto start = Clock::now();
  EXPECT_TRUE(wait_for_backend(backend, listener.endpoint(), timing).ok());
  EXPECT_LT(elapsed_since(start), 1000);
}

TEST(WaitForBackend, GivesUpAtTheLimit) {
  Bundle bundle;
  Child backend = start_double(bundle, "never");
  SilentEndpoint silent;
  if (!silent.silent()) GTEST_SKIP() << "could not make a listener that stays silent";
  BackendTiming timing;
  timing.readiness_limit = 1s;
  timing.connect_timeout = 200ms;
  timing.poll_interval = 200ms;
  SignalStorm storm;
  auto start = Clock::now();
  EXPECT_EQ(wait_for_backend(backend, silent.endpoint(), timing).error(),
            "backend did not become ready within 1 seconds");
  EXPECT_GE(elapsed_since(start), 1000);
  EXPECT_LT(elapsed_since(start), 2500);
  EXPECT_FALSE(backend.try_wait()->has_value()) << "the backend is left running";
}

TEST(StopBackend, KillsABackendThatIgnoresSigterm) {
  if (auto reason = launcher_test::backend_port_unavailable()) GTEST_SKIP() << *reason;
  Bundle bundle;
  Child backend = start_double(bundle, "ignore-term");
  wait_for_event(bundle, "ready");
  ASSERT_TRUE(bundle.record("backend").has_event("ready"));
  BackendTiming timing;
  timing.stop_grace = 300ms;
  auto start = Clock::now();
  stop_backend(backend, timing);
  EXPECT_GE(elapsed_since(start), 300);
  Result<std::optional<int>> status = backend.try_wait();
  ASSERT_TRUE(status.ok() && status->has_value());
  EXPECT_EQ(support::wait_status_text(**status), "signal: 9 (SIGKILL)");
}

TEST(BackendRecord, OnlyAWholeRecordCounts) {
  const uint64_t max = UINT64_MAX;
  EXPECT_EQ(backend_record_text({4242, 987654321}), "4242 987654321\n");
  EXPECT_EQ(parse_backend_record(backend_record_text({2147483647, max})),
            (BackendIdentity{2147483647, max}));
  EXPECT_EQ(parse_backend_record("1 0\n"), (BackendIdentity{1, 0}));
  for (const char* damaged :
       {"", "\n", "4242\n", "4242 \n", " 4242 7\n", "4242 7", "4242  7\n", "4242 7\n\n",
        "4242 7 8\n", "0 7\n", "-4242 7\n", "+4242 7\n", "04242 7\n", "4242 07\n",
        "2147483648 7\n", "4242 18446744073709551616\n", "4242 7x\n", "4242\t7\n",
        "4242 7\r\n"}) {
    EXPECT_EQ(parse_backend_record(damaged), std::nullopt) << '"' << damaged << '"';
  }
  EXPECT_EQ(parse_backend_record(std::string_view("42\0 7\n", 6)), std::nullopt);
}

TEST(BackendRecord, ReadsOnlyARegularFileOfARecordsSize) {
  launcher_test::TempDir dir;
  const std::string record = dir.path() + "/backend.pid";
  EXPECT_EQ(read_backend_record(record), std::nullopt) << "none yet";

  write_backend_record(record, {4242, 77});
  EXPECT_EQ(launcher_test::read_file(record), "4242 77\n");
  EXPECT_EQ(read_backend_record(record), (BackendIdentity{4242, 77}));
  write_backend_record(record, {4243, 78});
  EXPECT_EQ(read_backend_record(record), (BackendIdentity{4243, 78}));
  EXPECT_EQ(launcher_test::list_directory(dir.path()), std::vector<std::string>{"backend.pid"});

  launcher_test::write_file(record, "4242 7\n" + std::string(100, ' '));
  EXPECT_EQ(read_backend_record(record), std::nullopt) << "too long";
  launcher_test::write_file(dir.path() + "/elsewhere", "4242 7\n");
  ::unlink(record.c_str());
  ASSERT_EQ(::symlink("elsewhere", record.c_str()), 0);
  EXPECT_EQ(read_backend_record(record), std::nullopt) << "a link";
  ::unlink(record.c_str());
  ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
  EXPECT_EQ(read_backend_record(record), std::nullopt) << "a FIFO, not waited on";
  ::unlink(record.c_str());
  ASSERT_EQ(::mkdir(record.c_str(), 0700), 0);
  EXPECT_EQ(read_backend_record(record), std::nullopt) << "a directory";
  write_backend_record(record, {4242, 77});  // cannot replace a directory: ignored
  EXPECT_TRUE(launcher_test::is_directory(record));
  forget_backend_record(dir.path() + "/missing");  // nothing to forget: ignored
}

TEST(BackendIdentity, TellsTheVeryProcessFromALaterOneWithItsId) {
  std::optional<BackendIdentity> self = identity_of(::getpid());
  ASSERT_TRUE(self.has_value());
  EXPECT_TRUE(still_runs(*self));
  EXPECT_FALSE(still_runs({self->pid, self->start_time + 1})) << "the ID taken over later";
  EXPECT_FALSE(still_runs({self->pid, self->start_time - 1}));
  EXPECT_EQ(identity_of(0), std::nullopt);
  EXPECT_EQ(identity_of(-1), std::nullopt);

  Bundle bundle;
  Child backend = start_double(bundle, "exit 0 100");
  std::optional<BackendIdentity> child = identity_of(backend.pid());
  ASSERT_TRUE(child.has_value());
  EXPECT_GE(child->start_time, self->start_time);
  EXPECT_TRUE(still_runs(*child));
  // Ended but not yet reaped: no longer running.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(backend.pid()), &info, WEXITED | WNOWAIT), 0);
  EXPECT_FALSE(still_runs(*child));
  ASSERT_TRUE(backend.wait().ok());
  EXPECT_FALSE(still_runs(*child));
  EXPECT_EQ(identity_of(child->pid), std::nullopt);
}

}  // namespace
