#include "full_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os_error.h"

namespace support {

Result<std::string> read_all(int fd) { return read_at_most(fd, std::string().max_size()); }

Result<std::string> read_at_most(int fd, std::size_t most) {
  std::string bytes;
  char buffer[65536];
  while (bytes.size() < most) {
    const std::size_t wanted = std::min(sizeof buffer, most - bytes.size());
    const ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer, wanted); });
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
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
