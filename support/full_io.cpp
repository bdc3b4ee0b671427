#include "full_io.h"

#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace support {

Result<std::string> read_all(int fd) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return os_error(errno);
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

Result<void> write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return os_error(errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return success();
}

}  // namespace support
