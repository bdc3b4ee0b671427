#include "double_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace test_support {
namespace {

volatile sig_atomic_t terminated = 0;

void on_sigterm(int) { terminated = 1; }

sigset_t sigterm_only() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

DoubleName double_name(const char* argv0) {
  std::string self = argv0;
  size_t slash = self.rfind('/');
  if (slash == std::string::npos) return {".", self};
  return {self.substr(0, slash), self.substr(slash + 1)};
}

void append_line(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string line = text + "\n";
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

int cloexec_tcp_socket(int family) {
  int fd = ::socket(family, SOCK_STREAM, 0);
  if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::optional<std::string> listen_on_backend_port(int family) {
  int fd = cloexec_tcp_socket(family);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bool bound = false;
  if (family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(3000);
    address.sin6_addr = in6addr_loopback;
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3000);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  if (!bound || ::listen(fd, 64) != 0) return std::string(std::strerror(errno));
  return std::nullopt;
}

void hold_sigterm() {
  sigset_t term = sigterm_only();
  sigprocmask(SIG_BLOCK, &term, nullptr);
  struct sigaction action {};
  action.sa_handler = on_sigterm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
}

bool sigterm_arrived() { return terminated != 0; }

void wait_for_sigterm() {
  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, nullptr, &wait_mask);
  sigdelset(&wait_mask, SIGTERM);
  while (!terminated) sigsuspend(&wait_mask);
}

void release_sigterm() {
  sigset_t term = sigterm_only();
  sigprocmask(SIG_UNBLOCK, &term, nullptr);
}

void die_by(int sig) {
  ::signal(sig, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, sig);
  sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  ::kill(::getpid(), sig);
  ::_exit(99);
}

}  // namespace test_support
