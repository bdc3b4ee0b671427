#include "private_network.h"

#ifdef __linux__
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace test_support {

#ifdef __linux__
namespace {

bool write_proc(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

bool bring_loopback_up() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::optional<std::string> enter_private_network() {
  int original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  std::optional<std::string> failure;
  if (::unshare(CLONE_NEWNET) != 0) {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
      failure = std::string("unshare: ") + std::strerror(errno);
    } else {
      write_proc("/proc/self/setgroups", "deny");
      write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
      write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
  }
  if (!failure && !bring_loopback_up()) {
    failure = std::string("loopback: ") + std::strerror(errno);
    if (original >= 0) ::setns(original, CLONE_NEWNET);
  }
  if (original >= 0) ::close(original);
  return failure;
}
#else
std::optional<std::string> enter_private_network() {
  return std::string("network namespaces are Linux-only");
}
#endif

}  // namespace test_support
