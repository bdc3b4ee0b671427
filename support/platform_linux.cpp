// Linux side of the platform layer (development and tests).
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string_view>

#include "full_io.h"
#include "os_error.h"
#include "platform.h"

namespace support::platform {

Result<std::string> executable_path() {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) return os_error(errno);
  if (static_cast<size_t>(length) == sizeof buffer) return os_error(ENAMETOOLONG);
  return std::string(buffer, static_cast<size_t>(length));
}

int exchange(const char* a, const char* b) {
  // Through glibc's wrapper (not syscall()) so that tests can intercept it.
  return ::renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) == 0 ? 0 : errno;
}

namespace {

// The start time in the text of /proc/<pid>/stat: field 22, counted from the
// pid; the name in field 2 may hold blanks and parentheses of its own, so
// fields are counted from the last ")". Nothing for a process that has ended.
std::optional<uint64_t> start_time_in_stat(std::string_view stat) {
  size_t name_end = stat.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(name_end + 1);
  for (int field = 3; field <= 22; ++field) {
    if (rest.empty() || rest.front() != ' ') return std::nullopt;
    rest.remove_prefix(1);
    size_t end = rest.find_first_of(" \n");
    if (end == std::string_view::npos) return std::nullopt;  // cut off
    std::string_view value = rest.substr(0, end);
    rest.remove_prefix(end);
    if (field == 3 && (value == "Z" || value == "X")) return std::nullopt;
    if (field != 22) continue;
    uint64_t ticks = 0;
    for (char c : value) {
      if (c < '0' || c > '9' || ticks > (UINT64_MAX - 9) / 10) return std::nullopt;
      ticks = ticks * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value.empty()) return std::nullopt;
    return ticks;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> process_start_time(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  UniqueFd file(retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!file.valid()) return std::nullopt;
  // Field 22 lies well within the first kilobyte: a short name and twenty
  // numbers come before it.
  char buffer[1024];
  Result<size_t> size = read_up_to(file.get(), buffer, sizeof buffer);
  if (!size) return std::nullopt;
  return start_time_in_stat(std::string_view(buffer, *size));
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGKILL: return "SIGKILL";
    case SIGUSR1: return "SIGUSR1";
    case SIGSEGV: return "SIGSEGV";
    case SIGUSR2: return "SIGUSR2";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
    case SIGSTKFLT: return "SIGSTKFLT";
    case SIGCHLD: return "SIGCHLD";
    case SIGCONT: return "SIGCONT";
    case SIGSTOP: return "SIGSTOP";
    case SIGTSTP: return "SIGTSTP";
    case SIGTTIN: return "SIGTTIN";
    case SIGTTOU: return "SIGTTOU";
    case SIGURG: return "SIGURG";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGWINCH: return "SIGWINCH";
    case SIGIO: return "SIGIO";
    case SIGPWR: return "SIGPWR";
    case SIGSYS: return "SIGSYS";
    default: return nullptr;
  }
}

Result<Pipe> cloexec_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return os_error(errno);
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

Result<UniqueFd> nonblocking_tcp_socket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return os_error(errno);
  return UniqueFd(fd);
}

const char* const kQuarantineAttribute = "user.com.apple.quarantine";

Result<bool> remove_extended_attribute(int fd, const char* name) {
  if (::fremovexattr(fd, name) == 0) return true;
  // A volume without extended attributes holds none of that name either.
  if (errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP) return false;
  return os_error(errno);
}

// The kernel refuses attributes of the user namespace on anything but
// regular files and directories, so no link carries one.
Result<bool> remove_link_extended_attribute(int, const char*, const char*) { return false; }

Result<std::vector<std::string>> extended_attribute_names(int fd) {
  for (;;) {
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return os_error(errno);
    std::vector<char> names(static_cast<size_t>(size));
    ssize_t got = size == 0 ? 0 : ::flistxattr(fd, names.data(), names.size());
    if (got < 0 && errno == ERANGE) continue;  // an attribute appeared meanwhile
    if (got < 0) return os_error(errno);
    std::vector<std::string> result;
    for (size_t start = 0; start < static_cast<size_t>(got);) {
      std::string name(names.data() + start);
      start += name.size() + 1;
      result.push_back(std::move(name));
    }
    return result;
  }
}

// Linux has no clone that creates its destination; callers copy instead.
int clone_file(int, int, const char*) { return ENOTSUP; }

int copy_file_data(int src_fd, int dst_fd) {
  loff_t from = 0, to = 0;
  for (;;) {
    ssize_t copied = retry_on_eintr([&] {
      return ::copy_file_range(src_fd, &from, dst_fd, &to, std::size_t{1} << 30, 0);
    });
    if (copied == 0) return 0;
    if (copied > 0) continue;
    // Older kernels refuse across volumes, some file systems refuse at all.
    const bool unsupported =
        errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS;
    return unsupported && to == 0 ? ENOTSUP : errno;
  }
}

}  // namespace support::platform
