#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os_error.h"

extern char** environ;

namespace support {
namespace {

// posix_spawn takes char* const[] for historical reasons; it never writes
// through them.
char* c_string(const std::string& s) { return const_cast<char*>(s.c_str()); }
char* c_string(const char* s) { return const_cast<char*>(s); }

template <typename Strings>
void append_c_strings(const Strings& strings, std::vector<char*>& pointers) {
  for (const auto& s : strings) pointers.push_back(c_string(s));
}

// posix_spawn's helpers return the error number instead of setting errno.
class FileActions {
 public:
  FileActions() {
    error_ = ::posix_spawn_file_actions_init(&actions_);
    initialised_ = error_ == 0;
  }
  ~FileActions() {
    if (initialised_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  int error() const { return error_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

  void connect(int target, const Stream& stream) {
    if (error_ != 0) return;
    if (stream.kind == Stream::null_device) {
      int mode = target == STDIN_FILENO ? O_RDONLY : O_WRONLY;
      error_ = ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", mode, 0);
    } else if (stream.kind == Stream::descriptor) {
      error_ = ::posix_spawn_file_actions_adddup2(&actions_, stream.fd, target);
    }
  }

 private:
  posix_spawn_file_actions_t actions_;
  int error_ = 0;
  bool initialised_ = false;
};

class Attributes {
 public:
  Attributes() {
    error_ = ::posix_spawnattr_init(&attributes_);
    initialised_ = error_ == 0;
    if (error_ != 0) return;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (error_ == 0) error_ = ::posix_spawnattr_setsigmask(&attributes_, &none);
    if (error_ == 0) error_ = ::posix_spawnattr_setsigdefault(&attributes_, &all);
    if (error_ == 0) {
      error_ = ::posix_spawnattr_setflags(
          &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
  }
  ~Attributes() {
    if (initialised_) ::posix_spawnattr_destroy(&attributes_);
  }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;

  int error() const { return error_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
  int error_ = 0;
  bool initialised_ = false;
};

// An entry's name: everything before its first "=", or all of it.
std::string_view variable_name(const char* entry) {
  const char* equals = std::strchr(entry, '=');
  return equals ? std::string_view(entry, static_cast<size_t>(equals - entry))
                : std::string_view(entry);
}

}  // namespace

void ensure_standard_streams_open() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open returns the lowest free number, which is this one; inherited on
    // purpose, as the standard stream it stands in for.
    int opened = retry_on_eintr(
        [&] { return ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY); });
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

std::vector<char*> Environment::entries() const {
  std::vector<char*> pointers;
  pointers.reserve(inherited.size() + added.size() + 1);
  append_c_strings(inherited, pointers);
  append_c_strings(added, pointers);
  pointers.push_back(nullptr);
  return pointers;
}

Environment environment_with(
    const std::vector<std::pair<std::string, std::string>>& variables) {
  Environment result;
  size_t count = 0;
  for (char** entry = environ; entry && *entry; ++entry) ++count;
  result.inherited.reserve(count);
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view name = variable_name(*entry);
    bool replaced = false;
    for (const auto& variable : variables) replaced = replaced || variable.first == name;
    if (!replaced) result.inherited.push_back(*entry);
  }
  result.added.reserve(variables.size());
  for (const auto& [name, value] : variables) {
    std::string& entry = result.added.emplace_back();
    entry.reserve(name.size() + 1 + value.size());
    entry.append(name).append(1, '=').append(value);
  }
  return result;
}

Result<Child> Child::spawn(const SpawnRequest& request) {
  FileActions actions;
  if (actions.error() != 0) return os_error(actions.error());
  actions.connect(STDIN_FILENO, request.stdin_stream);
  actions.connect(STDOUT_FILENO, request.stdout_stream);
  actions.connect(STDERR_FILENO, request.stderr_stream);
  if (actions.error() != 0) return os_error(actions.error());

  Attributes attributes;
  if (attributes.error() != 0) return os_error(attributes.error());

  std::vector<char*> argv;
  argv.reserve(request.argv.size() + 1);
  append_c_strings(request.argv, argv);
  argv.push_back(nullptr);
  std::vector<char*> environment;
  char** envp = environ;
  if (request.environment) {
    environment = request.environment->entries();
    envp = environment.data();
  }

  pid_t pid = -1;
  int error = ::posix_spawn(&pid, request.program.c_str(), actions.get(), attributes.get(),
                            argv.data(), envp);
  if (error != 0) return os_error(error);
  return Child(pid);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    discard();
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
  }
  return *this;
}

Child::~Child() { discard(); }

void Child::discard() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGKILL);
  (void)wait();
}

Result<std::optional<int>> Child::try_wait() {
  if (status_) return std::optional<int>(*status_);
  int status = 0;
  pid_t result = retry_on_eintr([&] { return ::waitpid(pid_, &status, WNOHANG); });
  if (result < 0) return os_error(errno);
  if (result == 0) return std::optional<int>();
  status_ = status;
  return std::optional<int>(status);
}

Result<int> Child::wait() {
  if (status_) return *status_;
  int status = 0;
  pid_t result = retry_on_eintr([&] { return ::waitpid(pid_, &status, 0); });
  if (result < 0) return os_error(errno);
  status_ = status;
  return status;
}

}  // namespace support
