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

Result<std::size_t> read_up_to(int fd, void* buffer, std::size_t size) {
  char* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retry_on_eintr([&] { return ::read(fd, bytes + done, size - done); });
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

Result<std::size_t> pread_up_to(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  char* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retry_on_eintr(
        [&] { return ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + done)); });
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
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
