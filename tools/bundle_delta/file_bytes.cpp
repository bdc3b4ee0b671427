#include "file_bytes.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "full_io.h"
#include "os_error.h"

namespace delta {

support::Result<FileBytes> FileBytes::read(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return support::os_error(errno);
  if (!S_ISREG(st.st_mode)) return support::os_error(EINVAL);
  const auto length = static_cast<std::size_t>(st.st_size);
  if (length == 0) return FileBytes(nullptr, 0);
  void* data = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  if (data == MAP_FAILED) return support::os_error(errno);
  FileBytes bytes(static_cast<char*>(data), length);
  // Shorter than it was: what it holds now.
  support::Result<std::size_t> read = support::read_up_to(fd, bytes.data_, length);
  if (!read) return std::move(read).take_error();
  bytes.size_ = *read;
  return bytes;
}

FileBytes::FileBytes(FileBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      size_(std::exchange(other.size_, 0)) {}

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

FileBytes::~FileBytes() { release(); }

void FileBytes::release() {
  if (mapped_ != 0) ::munmap(data_, mapped_);
  data_ = nullptr;
  mapped_ = size_ = 0;
}

}  // namespace delta
