// bundle_starter: the main executable of Zentrivale.app. It prepares the
// per-user directories and the media environment, starts the backend, waits
// until the backend accepts connections, runs the frontend, stops the backend
// and exits with the frontend's status.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "fs.h"
#include "os_error.h"
#include "path.h"
#include "platform.h"
#include "result.h"
#include "unique_fd.h"
#include "wait_status.h"

namespace {

using support::Child;
using support::Error;
using support::Result;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kBackendAddress = "127.0.0.1";
constexpr uint16_t kBackendPort = 3000;

// One attempt before anything is started: a refused attempt returns at once,
// only a silent endpoint costs the whole time-out.
constexpr milliseconds kPrecheckTimeout{250};

struct BackendTiming {
  milliseconds readiness_limit{120'000};
  milliseconds connect_timeout{200};
  milliseconds poll_interval{200};
  // A backend that ignores SIGTERM must not keep port 3000 busy for ever.
  milliseconds stop_grace{10'000};
  milliseconds stop_poll_interval{10};
};

// (variable name, value) pairs, applied in order over the inherited environment.
using Variables = std::vector<std::pair<std::string, std::string>>;

struct BundleLayout {
  std::string executable_directory;
  std::string contents_directory;
  std::string resources_directory;
};

// Sleeps the whole duration, resuming after signals.
void pause_for(milliseconds duration) {
  if (duration.count() <= 0) return;
  timespec remaining{static_cast<time_t>(duration.count() / 1000),
                     static_cast<long>(duration.count() % 1000) * 1'000'000L};
  while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

// No directory name is checked: any executable with two directory levels
// above it is accepted.
Result<BundleLayout> bundle_layout(const std::string& executable_path) {
  std::optional<std::string> executable_directory = support::parent(executable_path);
  if (!executable_directory) return Error("application executable has no parent directory");
  std::optional<std::string> contents_directory = support::parent(*executable_directory);
  if (!contents_directory) return Error("application executable is outside Contents/MacOS");
  std::string resources_directory = support::join(*contents_directory, "Resources");
  return BundleLayout{std::move(*executable_directory), std::move(*contents_directory),
                      std::move(resources_directory)};
}

std::string data_directory(const std::string& home) {
  return support::join(home, "Library/Application Support/Zentrivale");
}

std::string cache_directory(const std::string& home) {
  return support::join(home, "Library/Caches/Zentrivale");
}

// The six variables that point GStreamer, GIO and fontconfig at the bundle's
// private copies, and GStreamer's registry at the per-user cache.
Variables media_variables(const std::string& contents_directory, const std::string& home) {
  std::string plugins = support::join(contents_directory, "Frameworks/gst-plugins");
  std::string scanner = support::join(contents_directory, "Helpers/gst-plugin-scanner");
  std::string resources = support::join(contents_directory, "Resources");
  return {
      {"GST_PLUGIN_PATH_1_0", plugins},
      {"GST_PLUGIN_SYSTEM_PATH_1_0", plugins},
      {"GST_PLUGIN_SCANNER", scanner},
      {"GST_REGISTRY", support::join(cache_directory(home), "gstreamer-registry.bin")},
      {"GIO_MODULE_DIR", support::join(resources, "gio-modules")},
      {"FONTCONFIG_FILE", support::join(resources, "fonts/fonts.conf")},
  };
}

// The media environment; creates the cache directory that holds the registry.
Result<Variables> gstreamer_environment(const std::string& contents_directory,
                                        const std::string& home) {
  if (auto created = support::create_dir_all(cache_directory(home)); !created) {
    return std::move(created).take_error();
  }
  return media_variables(contents_directory, home);
}

sockaddr_in backend_endpoint() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kBackendPort);
  ::inet_pton(AF_INET, kBackendAddress, &address.sin_addr);
  return address;
}

// Waits until `fd` is writable or `timeout` has passed; a signal only costs
// the time it took.
bool wait_writable(int fd, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    if (left.count() < 0) left = milliseconds{0};
    pollfd entry{fd, POLLOUT, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

// One TCP connection attempt, closed at once without data. Every failure
// (refused, timed out, no socket) only means "not accepted".
bool accepts_connection(const sockaddr_in& endpoint, milliseconds timeout) {
  Result<support::UniqueFd> socket = support::platform::nonblocking_tcp_socket();
  if (!socket) return false;
  int fd = socket->get();
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0) {
    return true;
  }
  // An interrupted non-blocking connect goes on in the background, like one
  // in progress.
  if (errno != EINPROGRESS && errno != EINTR) return false;
  if (!wait_writable(fd, timeout)) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
}

std::string seconds_text(milliseconds duration) {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(duration).count());
}

Result<void> wait_for_backend(Child& backend, const sockaddr_in& endpoint,
                              const BackendTiming& timing = {}) {
  const Clock::time_point deadline = Clock::now() + timing.readiness_limit;
  for (;;) {
    Result<std::optional<int>> status = backend.try_wait();
    if (!status) return std::move(status).take_error();
    if (status.value()) {
      return Error("backend exited during startup with " +
                   support::wait_status_text(*status.value()));
    }
    if (accepts_connection(endpoint, timing.connect_timeout)) return support::success();
    // Tested after the attempt, so that an attempt that succeeds late counts.
    if (Clock::now() >= deadline) {
      return Error("backend did not become ready within " +
                   seconds_text(timing.readiness_limit) + " seconds");
    }
    pause_for(timing.poll_interval);
  }
}

// Whether the backend ended within the stop grace. A failing query counts as
// ended: there is no child left that could be waited for.
bool ended_within(Child& backend, const BackendTiming& timing) {
  const Clock::time_point deadline = Clock::now() + timing.stop_grace;
  for (;;) {
    Result<std::optional<int>> status = backend.try_wait();
    if (!status || status.value()) return true;
    if (Clock::now() >= deadline) return false;
    pause_for(timing.stop_poll_interval);
  }
}

// After this returns the backend has been reaped. A backend that already
// ended gets no signal: its process ID may belong to someone else by now.
void stop_backend(Child& backend, const BackendTiming& timing = {}) {
  Result<std::optional<int>> status = backend.try_wait();
  if (status && status.value()) return;
  ::kill(backend.pid(), SIGTERM);
  if (ended_within(backend, timing)) return;
  ::kill(backend.pid(), SIGKILL);
  (void)backend.wait();
}

Result<Child> start_child(const std::string& program, const Variables& variables) {
  support::SpawnRequest request;
  request.program = program;
  request.argv = {program};
  request.environment = support::environment_with(variables);
  return Child::spawn(request);
}

// The frontend's wait status once it has ended.
Result<int> run_frontend(const std::string& program, const Variables& variables) {
  Result<Child> frontend = start_child(program, variables);
  if (!frontend) return std::move(frontend).take_error();
  return frontend->wait();
}

Variables with_media(Variables variables, const Variables& media) {
  variables.reserve(variables.size() + media.size());
  variables.insert(variables.end(), media.begin(), media.end());
  return variables;
}

// 0 stays 0, an exit code from 1 to 255 is passed on, a signal gives 1.
uint8_t exit_status_for(int wait_status) {
  int code = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1;
  if (WIFEXITED(wait_status) && code == 0) return 0;
  return static_cast<uint8_t>(std::clamp(code, 1, 255));
}

Result<uint8_t> run(const BackendTiming& timing = {}) {
  Result<std::string> executable = support::platform::executable_path();
  if (!executable) return std::move(executable).take_error();
  Result<BundleLayout> layout = bundle_layout(executable.value());
  if (!layout) return std::move(layout).take_error();

  const char* home = std::getenv("HOME");
  if (!home) return Error("HOME is not set");
  const std::string data = data_directory(home);
  if (auto created = support::create_dir_all(data); !created) {
    return std::move(created).take_error();
  }
  Result<Variables> media = gstreamer_environment(layout->contents_directory, home);
  if (!media) return std::move(media).take_error();

  const sockaddr_in endpoint = backend_endpoint();
  // Two backends would fight over the port; an old one may still be shutting
  // down after an update.
  if (accepts_connection(endpoint, kPrecheckTimeout)) {
    return Error("another backend is already listening on 127.0.0.1:3000");
  }

  const std::string backend_program = support::join(layout->executable_directory, "backend");
  const std::string frontend_program = support::join(layout->executable_directory, "frontend");
  const std::string assets = support::join(layout->resources_directory, "frontend-assets");

  Result<Child> backend = start_child(
      backend_program,
      with_media({{"ZENTRIVALE_DATA_DIR", data}, {"ZENTRIVALE_DEMO", "0"}},
                 media.value()));
  if (!backend) return std::move(backend).take_error();
  if (auto ready = wait_for_backend(backend.value(), endpoint, timing); !ready) {
    stop_backend(backend.value(), timing);
    return std::move(ready).take_error();
  }

  Result<int> frontend = run_frontend(
      frontend_program,
      with_media({{"ZENTRIVALE_ASSETS_DIR", assets}, {"ZENTRIVALE_DEMO", "0"}}, media.value()));
  stop_backend(backend.value(), timing);
  if (!frontend) return std::move(frontend).take_error();
  return exit_status_for(frontend.value());
}

// Started with SIGCHLD ignored, the system would reap the children itself and
// the frontend's status would be lost.
Result<void> restore_child_status_reporting() {
  struct sigaction current {};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return support::os_error(errno);
  if (current.sa_handler != SIG_IGN && !(current.sa_flags & SA_NOCLDWAIT)) {
    return support::success();
  }
  struct sigaction reset {};
  reset.sa_handler = SIG_DFL;
  sigemptyset(&reset.sa_mask);
  if (::sigaction(SIGCHLD, &reset, nullptr) != 0) return support::os_error(errno);
  return support::success();
}

}  // namespace

#ifndef BUNDLE_STARTER_NO_MAIN
namespace {

// Opened from Finder, the Dock or `open`, the launcher's standard error goes
// to /dev/null; the system log (on macOS the unified log, shown by Console.app)
// is where a user or their support can find why the application did not start.
// Without a log daemon the message is dropped, which is all there is to do.
void report_to_system_log(const std::string& text) {
  ::openlog("Zentrivale", 0, LOG_USER);
  ::syslog(LOG_ERR, "%s", text.c_str());
  ::closelog();
}

}  // namespace

int main() {
  auto fail = [](const std::string& message) {
    std::string text = "Zentrivale could not start: " + message;
    std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    report_to_system_log(text);
    return 1;
  };
  support::ensure_standard_streams_open();
  if (auto restored = restore_child_status_reporting(); !restored) return fail(restored.error());
  Result<uint8_t> status = run();
  if (!status) return fail(status.error());
  return status.value();
}
#endif
