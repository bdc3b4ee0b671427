#include "launcher_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "double_support.h"
#include "private_network.h"

extern char** environ;

namespace launcher_test {
namespace {

namespace fs = std::filesystem;

bool in_private_network = false;
std::string private_network_failure = "not attempted";

void copy_executable(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::string> child_environment(const Bundle& bundle,
                                           const LaunchOptions& options) {
  std::map<std::string, std::optional<std::string>> changes = options.environment;
  changes.emplace("HOME", bundle.home());
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    if (changes.count(text.substr(0, text.find('='))) == 0) result.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

void close_descriptors_from(int first) {
#if defined(__linux__) && defined(SYS_close_range)
  if (::syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  for (int fd = first, last = ::getdtablesize(); fd < last; ++fd) ::close(fd);
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void exec_launcher(const std::string& launcher, char* const envp[],
                                const LaunchOptions& options, const char* working_directory,
                                const int streams[3]) {
  if (options.ignore_sigchld) ::signal(SIGCHLD, SIG_IGN);
  if (options.ignore_sigpipe) ::signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  if (options.block_sigusr1) sigaddset(&mask, SIGUSR1);
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  for (int fd = 0; fd < 3; ++fd) {
    if (::dup2(streams[fd], fd) < 0) ::_exit(126);
  }
  close_descriptors_from(3);
  if (::chdir(working_directory) != 0) ::_exit(126);
  char* const argv[] = {const_cast<char*>(launcher.c_str()), nullptr};
  ::execve(launcher.c_str(), argv, envp);
  ::_exit(127);
}

std::vector<pid_t> recorded_pids(const Bundle& bundle) {
  std::vector<pid_t> pids;
  for (const char* role : {"backend", "frontend"}) {
    std::string pid = bundle.record(role).get("pid");
    if (!pid.empty()) pids.push_back(static_cast<pid_t>(std::stol(pid)));
  }
  return pids;
}

// Kills and reaps whatever the launcher left: running doubles, and orphans
// (running or not) that came to this process as their subreaper.
std::vector<pid_t> clear_left_behind(const std::vector<pid_t>& known) {
  std::vector<pid_t> left;
  for (pid_t pid : known) {
    if (::kill(pid, 0) == 0) {
      left.push_back(pid);
      ::kill(pid, SIGKILL);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid > 0) {
      if (std::find(left.begin(), left.end(), pid) == left.end()) left.push_back(pid);
      continue;
    }
    if (pid < 0 && errno != EINTR) break;  // ECHILD: nothing left
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return left;
}

}  // namespace

bool private_network() { return in_private_network; }

void prepare_process() {
#ifdef __linux__
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
  std::optional<std::string> failure = test_support::enter_private_network();
  in_private_network = !failure;
  if (failure) private_network_failure = *failure;
}

BackendPortClaim::BackendPortClaim(bool listen) : fd_(test_support::cloexec_tcp_socket(AF_INET)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3000);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  claimed_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             (!listen || ::listen(fd_, 8) == 0);
}

BackendPortClaim::~BackendPortClaim() { ::close(fd_); }

std::optional<std::string> backend_port_unavailable() {
  if (in_private_network) return std::nullopt;
  if (BackendPortClaim(false).claimed()) return std::nullopt;
  return "127.0.0.1:3000 is taken outside the tests and no private network namespace "
         "could be made (" + private_network_failure + ")";
}

std::string Record::get(const std::string& key) const {
  auto found = entries.find(key);
  return found == entries.end() ? "" : found->second;
}

std::vector<std::string> Record::all(const std::string& key) const {
  std::vector<std::string> values;
  auto [first, last] = entries.equal_range(key);
  for (auto it = first; it != last; ++it) values.push_back(it->second);
  return values;
}

std::optional<std::string> Record::env(const std::string& name) const {
  for (const std::string& entry : all("env")) {
    if (entry.compare(0, name.size() + 1, name + "=") == 0) return entry.substr(name.size() + 1);
  }
  return std::nullopt;
}

size_t Record::env_count(const std::string& name) const {
  size_t count = 0;
  for (const std::string& entry : all("env")) {
    if (entry.compare(0, name.size() + 1, name + "=") == 0) ++count;
  }
  return count;
}

bool Record::has_event(const std::string& event) const {
  return std::find(events.begin(), events.end(), event) != events.end();
}

Bundle::Bundle() : Bundle(Options{}) {}

Bundle::Bundle(const Options& options) {
  executable_directory_ = root() + "/" + options.executable_directory;
  launcher_ = executable_directory_ + "/" + options.launcher_name;
  fs::create_directories(executable_directory_);
  fs::create_directories(home());
  copy_executable(LAUNCHER_BINARY, launcher_);
  if (options.backend) copy_executable(DOUBLE_BINARY, executable_directory_ + "/backend");
  if (options.frontend) copy_executable(DOUBLE_BINARY, executable_directory_ + "/frontend");
}

std::string Bundle::data_directory() const {
  return home() + "/Library/Application Support/Zentrivale";
}

std::string Bundle::cache_directory() const { return home() + "/Library/Caches/Zentrivale"; }

void Bundle::behave(const std::string& role, const std::string& behaviour) const {
  write_file(executable_directory_ + "/" + role + ".behaviour", behaviour + "\n");
}

Record Bundle::record(const std::string& role) const {
  Record record;
  std::ifstream in(executable_directory_ + "/" + role + ".record");
  record.exists = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.find(' ');
    std::string key = line.substr(0, space);
    std::string value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "event") record.events.push_back(value);
    record.entries.emplace(key, value);
  }
  return record;
}

bool Outcome::exited_with(int code) const {
  return WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
}

Started start_launch(const Bundle& bundle, const LaunchOptions& options) {
  Started started;
  started.input = bundle.root() + "/" + options.streams + ".stdin";
  started.output = bundle.root() + "/" + options.streams + ".stdout";
  started.error = bundle.root() + "/" + options.streams + ".stderr";
  write_file(started.input, "");
  int streams[3] = {
      ::open(started.input.c_str(), O_RDONLY | O_CLOEXEC),
      ::open(started.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
      -1,
  };
  if (options.closed_standard_error) {
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("pipe failed");
    ::close(ends[0]);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    streams[2] = ends[1];
  } else {
    streams[2] = ::open(started.error.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  std::vector<std::string> environment = child_environment(bundle, options);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string working_directory =
      options.working_directory.empty() ? bundle.root() : options.working_directory;

  started.pid = ::fork();
  if (started.pid == 0) {
    exec_launcher(bundle.launcher(), envp.data(), options, working_directory.c_str(), streams);
  }
  for (int fd : streams) ::close(fd);
  if (started.pid < 0) throw std::runtime_error("fork failed");
  return started;
}

Outcome wait_for_launch(const Started& started) {
  Outcome outcome;
  outcome.pid = started.pid;
  while (::waitpid(started.pid, &outcome.wait_status, 0) < 0 && errno == EINTR) {
  }
  outcome.standard_output = read_file(started.output);
  outcome.standard_error = read_file(started.error);
  outcome.stdin_identity = test_support::identity_of_path(started.input);
  outcome.stdout_identity = test_support::identity_of_path(started.output);
  outcome.stderr_identity = test_support::identity_of_path(started.error);
  return outcome;
}

std::vector<pid_t> clear_left_behind(const Bundle& bundle) {
  return clear_left_behind(recorded_pids(bundle));
}

Outcome launch(const Bundle& bundle, const LaunchOptions& options) {
  Outcome outcome = wait_for_launch(start_launch(bundle, options));
  outcome.left_behind = clear_left_behind(bundle);
  return outcome;
}

}  // namespace launcher_test
