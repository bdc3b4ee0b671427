#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"
#include "unique_fd.h"

namespace stand_in {

support::Result<std::string> read_all(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = support::retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return support::os_error(errno);
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

support::Result<std::string> read_file(const std::string& path, int extra_flags) {
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags); }));
  if (!fd.valid()) return support::os_error(errno);
  return read_all(fd.get());
}

support::Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n =
        support::retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return support::os_error(errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return support::success();
}

}  // namespace stand_in
