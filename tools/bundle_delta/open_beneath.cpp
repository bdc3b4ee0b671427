#include "open_beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace delta {
namespace {

using support::os_error;
using support::Result;
using support::retry_on_eintr;
using support::UniqueFd;

int open_raw(int directory, const std::string& name, int flags, mode_t mode) {
  return retry_on_eintr(
      [&] { return ::openat(directory, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode); });
}

Result<UniqueFd> open_at(int directory, const std::string& name, int flags, mode_t mode) {
  int fd = open_raw(directory, name, flags, mode);
  if (fd < 0) return os_error(errno);
  return UniqueFd(fd);
}

Result<UniqueFd> open_intermediate(int directory, const std::string& name, bool create) {
  const int flags = O_RDONLY | O_DIRECTORY;
  int fd = open_raw(directory, name, flags, 0);
  if (fd < 0 && create && errno == ENOENT) {
    if (::mkdirat(directory, name.c_str(), 0755) != 0 && errno != EEXIST) return os_error(errno);
    fd = open_raw(directory, name, flags, 0);
  }
  if (fd < 0) return os_error(errno);
  return UniqueFd(fd);
}

}  // namespace

Result<UniqueFd> open_directory(const std::string& path) {
  int fd = retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return os_error(errno);
  return UniqueFd(fd);
}

Result<UniqueFd> open_beneath(int root, std::string_view relative, int flags, mode_t mode,
                              bool create_directories) {
  if (relative.empty()) return open_at(root, ".", flags, mode);
  UniqueFd current;
  int directory = root;
  for (;;) {
    size_t slash = relative.find('/');
    std::string name(relative.substr(0, slash));
    if (slash == std::string_view::npos) return open_at(directory, name, flags, mode);
    Result<UniqueFd> next = open_intermediate(directory, name, create_directories);
    if (!next) return next;
    current = std::move(next.value());
    directory = current.get();
    relative.remove_prefix(slash + 1);
  }
}

}  // namespace delta
