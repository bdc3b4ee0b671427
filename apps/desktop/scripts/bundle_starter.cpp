// bundle_starter: the main executable of Zentrivale.app. It prepares the
// per-user directories and the media environment, starts the backend, waits
// until the backend accepts connections, runs the frontend, stops the backend
// and exits with the frontend's status. Ended from outside (quit, logout,
// Ctrl-C), it still stops the backend; a backend stranded by a launcher that
// was killed is stopped by the next launch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "fs.h"
#include "full_io.h"
#include "os_error.h"
#include "path.h"
#include "pause.h"
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
constexpr const char* kEndpointTaken = "another backend is already listening on 127.0.0.1:3000";

// In the cache directory: the lock that lets one launch run at a time, and
// the record of the backend that launch started.
constexpr const char* kLockName = "launch.lock";
constexpr const char* kBackendRecordName = "backend.pid";

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
  // How long a stopped stranded backend's port may take to come free.
  milliseconds endpoint_release{10'000};
};

// (variable name, value) pairs, applied in order over the inherited environment.
using Variables = std::vector<std::pair<std::string, std::string>>;

struct BundleLayout {
  std::string executable_directory;
  std::string contents_directory;
  std::string resources_directory;
};

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

// ---- Termination signals
//
// From just before the backend starts until the launcher exits, SIGTERM,
// SIGINT and SIGHUP (and SIGCHLD, which ends the wait for the frontend) are
// held blocked and taken with sigwait: a blocked signal stays pending until
// it is taken, so none is lost between a check and a wait, and no handler
// runs. Children start with an empty mask and default dispositions
// (support::Child::spawn).

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t held_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kTerminationSignals) sigaddset(&set, signal);
  sigaddset(&set, SIGCHLD);
  return set;
}

// Never runs (SIGCHLD stays blocked); with it SIGCHLD is caught rather than
// ignored by default, which the system may discard instead of keeping pending.
void note_child_status(int) {}

Result<void> hold_signals() {
  struct sigaction caught {};
  caught.sa_handler = note_child_status;
  caught.sa_flags = SA_NOCLDSTOP | SA_RESTART;
  sigemptyset(&caught.sa_mask);
  if (::sigaction(SIGCHLD, &caught, nullptr) != 0) return support::os_error(errno);
  sigset_t held = held_signals();
  if (::sigprocmask(SIG_BLOCK, &held, nullptr) != 0) return support::os_error(errno);
  return support::success();
}

int take_signal(const sigset_t& set) {
  int signal = 0;
  while (::sigwait(&set, &signal) == EINTR) {
  }
  return signal;
}

// A termination signal that has arrived, taken; nothing when none has. Does
// not block.
std::optional<int> take_termination_signal() {
  sigset_t pending;
  if (::sigpending(&pending) != 0) return std::nullopt;
  for (int signal : kTerminationSignals) {
    if (sigismember(&pending, signal) != 1) continue;
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, signal);
    return take_signal(just_this);
  }
  return std::nullopt;
}

// Blocks until a held signal arrives, and takes it.
int wait_for_signal() { return take_signal(held_signals()); }

std::string signal_text(int signal) {
  const char* name = support::platform::signal_name(signal);
  return name ? name : std::to_string(signal);
}

// ---- The record of the backend
//
// What identifies the backend a launch started, kept in the cache directory
// while it runs, so that the next launch can tell a backend stranded by a
// launcher that was killed from any other process on the port.

struct BackendIdentity {
  pid_t pid = 0;
  uint64_t start_time = 0;
  bool operator==(const BackendIdentity& other) const {
    return pid == other.pid && start_time == other.start_time;
  }
};

// "{pid} {start time}\n", both in decimal.
std::string backend_record_text(const BackendIdentity& backend) {
  return std::to_string(backend.pid) + " " + std::to_string(backend.start_time) + "\n";
}

// Digits only, no sign, no leading zero, at most `limit`.
std::optional<uint64_t> decimal(std::string_view text, uint64_t limit) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The record as backend_record_text writes it, or nothing for anything else.
std::optional<BackendIdentity> parse_backend_record(std::string_view text) {
  if (text.empty() || text.back() != '\n') return std::nullopt;
  text.remove_suffix(1);
  size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::optional<uint64_t> pid = decimal(text.substr(0, blank), INT32_MAX);
  std::optional<uint64_t> start = decimal(text.substr(blank + 1), UINT64_MAX);
  if (!pid || *pid == 0 || !start) return std::nullopt;
  return BackendIdentity{static_cast<pid_t>(*pid), *start};
}

// The record at `path`; nothing when there is none or it cannot be read or
// is damaged. Only a regular file is read (never a link, FIFO or device),
// and no more than a record can hold.
std::optional<BackendIdentity> read_backend_record(const std::string& path) {
  support::UniqueFd file(support::retry_on_eintr([&] {
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  }));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  char buffer[64];
  support::Result<size_t> size = support::read_up_to(file.get(), buffer, sizeof buffer);
  if (!size || *size == sizeof buffer) return std::nullopt;  // or longer than any record
  return parse_backend_record(std::string_view(buffer, *size));
}

// The identity of the running process `pid`, from the system.
std::optional<BackendIdentity> identity_of(pid_t pid) {
  std::optional<uint64_t> start = support::platform::process_start_time(pid);
  if (!start) return std::nullopt;
  return BackendIdentity{pid, *start};
}

// Whether the very process a record names still runs: its process ID may
// have gone to another process since, which then started later.
bool still_runs(const BackendIdentity& backend) {
  return identity_of(backend.pid) == backend;
}

// Written whole under another name, then renamed over the record, so that a
// reader meets the old record or the new one, never a part. Not synced: a
// crash of the system ends the backend too. A record that cannot be written
// only costs the next launch its recovery, so failures are ignored.
void write_backend_record(const std::string& path, const BackendIdentity& backend) {
  const std::string temporary = path + ".new";
  support::UniqueFd file(support::retry_on_eintr([&] {
    return ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!file.valid()) return;
  const std::string text = backend_record_text(backend);
  const bool written = static_cast<bool>(support::write_all(file.get(), text));
  file.reset();
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
  }
}

void forget_backend_record(const std::string& path) { ::unlink(path.c_str()); }

// ---- One launch at a time

// Takes the lock in the cache directory and holds it for the life of the
// process: the system lets go of it however the launcher ends, SIGKILL
// included. Yields the held lock; an invalid descriptor where the volume
// keeps no locks (the launch then goes on without, and stops no stranded
// backend); or, when another launcher holds it, the pre-check's error, since
// that launcher's backend is running or about to.
Result<support::UniqueFd> take_launch_lock(const std::string& cache) {
  const std::string path = support::join(cache, kLockName);
  support::UniqueFd lock(support::retry_on_eintr([&] {
    return ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  }));
  if (!lock.valid()) return support::os_error(errno);
  if (support::retry_on_eintr([&] { return ::flock(lock.get(), LOCK_EX | LOCK_NB); }) == 0) {
    return Result<support::UniqueFd>(std::move(lock));
  }
  int error = errno;
  if (error == EWOULDBLOCK) return Error(kEndpointTaken);
  if (error == ENOTSUP || error == EOPNOTSUPP || error == ENOLCK) return support::UniqueFd();
  return support::os_error(error);
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
    bool ready = accepts_connection(endpoint, timing.connect_timeout);
    // Taken after the attempt, so that a signal that came during the pause
    // or the attempt is seen before the frontend starts.
    if (std::optional<int> signal = take_termination_signal()) {
      return Error("received " + signal_text(*signal) + " while waiting for the backend");
    }
    if (ready) return support::success();
    // Tested after the attempt, so that an attempt that succeeds late counts.
    if (Clock::now() >= deadline) {
      return Error("backend did not become ready within " +
                   seconds_text(timing.readiness_limit) + " seconds");
    }
    support::pause_for(timing.poll_interval);
  }
}

// Whether `ended` came true within `limit`, tested every `interval`.
template <typename Ended>
bool ended_within(Ended ended, milliseconds limit, milliseconds interval) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (ended()) return true;
    if (Clock::now() >= deadline) return false;
    support::pause_for(interval);
  }
}

// After this returns the backend has been reaped. A backend that already
// ended gets no signal: its process ID may belong to someone else by now.
void stop_backend(Child& backend, const BackendTiming& timing = {}) {
  Result<std::optional<int>> status = backend.try_wait();
  if (status && status.value()) return;
  ::kill(backend.pid(), SIGTERM);
  // A failing query counts as ended: there is no child left to wait for.
  auto ended = [&backend] {
    Result<std::optional<int>> now = backend.try_wait();
    return !now || now.value();
  };
  if (ended_within(ended, timing.stop_grace, timing.stop_poll_interval)) return;
  ::kill(backend.pid(), SIGKILL);
  (void)backend.wait();
}

// A backend another launcher started and could not stop: SIGTERM, the same
// grace as stop_backend, then SIGKILL. Each signal goes only to the very
// process the record names; it is not this launcher's child, so its end is
// seen by its identity, not by waiting for it.
void stop_stranded_backend(const BackendIdentity& backend, const BackendTiming& timing = {}) {
  auto ended = [&backend] { return !still_runs(backend); };
  if (ended()) return;
  ::kill(backend.pid, SIGTERM);
  if (ended_within(ended, timing.stop_grace, timing.stop_poll_interval)) return;
  if (ended()) return;
  ::kill(backend.pid, SIGKILL);
  (void)ended_within(ended, timing.stop_grace, timing.stop_poll_interval);
}

// Whether the endpoint stopped accepting connections within the release time.
bool endpoint_freed(const sockaddr_in& endpoint, const BackendTiming& timing) {
  return ended_within([&] { return !accepts_connection(endpoint, timing.connect_timeout); },
                      timing.endpoint_release, timing.poll_interval);
}

// The line that tells the user what a launch did beyond its usual steps.
void tell(const std::string& text) {
  std::string line = "Zentrivale: " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The pre-check found the endpoint taken. With the lock held, no other
// launcher runs; if the record names a backend that still runs, the launcher
// that started it is gone, and it is stopped so that this launch can go on.
// Anything else on the endpoint (a backend without a record, a process ID
// now used by another process, another program) refuses the launch.
Result<void> claim_endpoint(const sockaddr_in& endpoint, bool locked, const std::string& record,
                            const BackendTiming& timing = {}) {
  std::optional<BackendIdentity> stranded =
      locked ? read_backend_record(record) : std::nullopt;
  if (!stranded || !still_runs(*stranded)) return Error(kEndpointTaken);
  stop_stranded_backend(*stranded, timing);
  forget_backend_record(record);
  tell("stopped a backend left running by an earlier launch (pid " +
       std::to_string(stranded->pid) + ")");
  if (!endpoint_freed(endpoint, timing)) return Error(kEndpointTaken);
  return support::success();
}

Result<Child> start_child(const std::string& program, const Variables& variables) {
  support::SpawnRequest request;
  request.program = program;
  request.argv = {program};
  request.environment = support::environment_with(variables);
  return Child::spawn(request);
}

// The frontend's wait status once it has ended. A termination signal that
// reaches the launcher meanwhile is passed on to the frontend, whose end
// then ends the launch as usual.
Result<int> run_frontend(const std::string& program, const Variables& variables) {
  Result<Child> frontend = start_child(program, variables);
  if (!frontend) return std::move(frontend).take_error();
  for (;;) {
    Result<std::optional<int>> status = frontend->try_wait();
    if (!status) return std::move(status).take_error();
    if (status.value()) return *status.value();
    int signal = wait_for_signal();
    if (signal != SIGCHLD) ::kill(frontend->pid(), signal);
  }
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
  const std::string cache = cache_directory(home);
  Result<support::UniqueFd> lock = take_launch_lock(cache);
  if (!lock) return std::move(lock).take_error();
  const std::string record = support::join(cache, kBackendRecordName);

  const sockaddr_in endpoint = backend_endpoint();
  // Two backends would fight over the port; an old one may still be shutting
  // down after an update.
  if (accepts_connection(endpoint, kPrecheckTimeout)) {
    if (auto claimed = claim_endpoint(endpoint, lock->valid(), record, timing); !claimed) {
      return std::move(claimed).take_error();
    }
  }

  const std::string backend_program = support::join(layout->executable_directory, "backend");
  const std::string frontend_program = support::join(layout->executable_directory, "frontend");
  const std::string assets = support::join(layout->resources_directory, "frontend-assets");

  if (auto held = hold_signals(); !held) return std::move(held).take_error();
  Result<Child> backend = start_child(
      backend_program,
      with_media({{"ZENTRIVALE_DATA_DIR", data}, {"ZENTRIVALE_DEMO", "0"}},
                 media.value()));
  if (!backend) return std::move(backend).take_error();
  if (std::optional<BackendIdentity> started = identity_of(backend->pid())) {
    write_backend_record(record, *started);
  }

  Result<void> ready = wait_for_backend(backend.value(), endpoint, timing);
  Result<int> frontend =
      ready ? run_frontend(frontend_program,
                           with_media({{"ZENTRIVALE_ASSETS_DIR", assets}, {"ZENTRIVALE_DEMO", "0"}},
                                      media.value()))
            : Result<int>(std::move(ready).take_error());
  stop_backend(backend.value(), timing);
  forget_backend_record(record);
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
  // A closed standard error must not change how the launch ends; children
  // get SIGPIPE's default back (support::Child::spawn).
  ::signal(SIGPIPE, SIG_IGN);
  if (auto restored = restore_child_status_reporting(); !restored) return fail(restored.error());
  Result<uint8_t> status = run();
  if (!status) return fail(status.error());
  return status.value();
}
#endif
