// macOS side of the platform layer: the shipped programs.
#include <fcntl.h>
#include <libproc.h>
#include <mach-o/dyld.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/clonefile.h>
#include <sys/proc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "os_error.h"
#include "platform.h"

// The SDK's <sys/xattr.h> is not in every macOS toolchain; libSystem exports
// these (listxattr(2), removexattr(2)).
extern "C" {
ssize_t flistxattr(int fd, char* namebuf, size_t size, int options);
int fremovexattr(int fd, const char* name, int options);
}

namespace support::platform {
namespace {

// macOS has neither pipe2 nor SOCK_CLOEXEC. The programs are single-threaded,
// so no spawn can slip in between creating a descriptor and flagging it.
bool set_flags(int fd, bool nonblocking) {
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return false;
  if (!nonblocking) return true;
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

Result<std::string> executable_path() {
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);  // reports the size needed
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return os_error(ENAMETOOLONG);
  return std::string(buffer.data());
}

int exchange(const char* a, const char* b) {
  return ::renamex_np(a, b, RENAME_SWAP) == 0 ? 0 : errno;
}

std::optional<uint64_t> process_start_time(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  proc_bsdinfo info{};
  int size = ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info);
  if (size != static_cast<int>(sizeof info) || info.pbi_status == SZOMB) return std::nullopt;
  return info.pbi_start_tvsec * 1'000'000 + info.pbi_start_tvusec;
}

const char* signal_name(int signal) {
  switch (signal) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    case SIGEMT: return "SIGEMT";
    case SIGFPE: return "SIGFPE";
    case SIGKILL: return "SIGKILL";
    case SIGBUS: return "SIGBUS";
    case SIGSEGV: return "SIGSEGV";
    case SIGSYS: return "SIGSYS";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
    case SIGURG: return "SIGURG";
    case SIGSTOP: return "SIGSTOP";
    case SIGTSTP: return "SIGTSTP";
    case SIGCONT: return "SIGCONT";
    case SIGCHLD: return "SIGCHLD";
    case SIGTTIN: return "SIGTTIN";
    case SIGTTOU: return "SIGTTOU";
    case SIGIO: return "SIGIO";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGWINCH: return "SIGWINCH";
    case SIGINFO: return "SIGINFO";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    default: return nullptr;
  }
}

Result<Pipe> cloexec_pipe() {
  int fds[2];
  if (::pipe(fds) != 0) return os_error(errno);
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (!set_flags(fds[0], false) || !set_flags(fds[1], false)) return os_error(errno);
  return pipe;
}

Result<UniqueFd> nonblocking_tcp_socket() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return os_error(errno);
  UniqueFd socket(fd);
  if (!set_flags(fd, true)) return os_error(errno);
  // A write to a peer that has gone must not kill the program with SIGPIPE.
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
  return socket;
}

const char* const kQuarantineAttribute = "com.apple.quarantine";

Result<bool> remove_extended_attribute(int fd, const char* name) {
  if (::fremovexattr(fd, name, 0) == 0) return true;
  // A volume without extended attributes holds none of that name either.
  if (errno == ENOATTR || errno == ENOTSUP || errno == EOPNOTSUPP) return false;
  return os_error(errno);
}

// O_SYMLINK opens the link itself; a link carries attributes of its own on
// macOS (removexattr(2) names XATTR_NOFOLLOW for it), and fremovexattr on
// that descriptor takes them from the link.
Result<bool> remove_link_extended_attribute(int directory, const char* link, const char* name) {
  UniqueFd fd(retry_on_eintr(
      [&] { return ::openat(directory, link, O_RDONLY | O_SYMLINK | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) return os_error(errno);
  return remove_extended_attribute(fd.get(), name);
}

Result<std::vector<std::string>> extended_attribute_names(int fd) {
  for (;;) {
    ssize_t size = ::flistxattr(fd, nullptr, 0, 0);
    if (size < 0) return os_error(errno);
    std::vector<char> names(static_cast<size_t>(size));
    ssize_t got = size == 0 ? 0 : ::flistxattr(fd, names.data(), names.size(), 0);
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

// From the descriptor, so that the file cloned is the one the caller opened
// and checked, whatever its name has become since.
int clone_file(int src_fd, int dst_dir_fd, const char* dst_name) {
  return ::fclonefileat(src_fd, dst_dir_fd, dst_name, CLONE_NOOWNERCOPY) == 0 ? 0 : errno;
}

// Where clone_file cannot clone, the file is copied by the caller.
int copy_file_data(int, int) { return ENOTSUP; }

}  // namespace support::platform
