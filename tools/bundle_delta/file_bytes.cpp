#include "file_bytes.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "os_error.h"

namespace delta {

PageMemory::PageMemory(std::size_t size) : size_(size) {
  if (size == 0) return;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  if (data != MAP_FAILED) data_ = static_cast<char*>(data);
}

PageMemory::PageMemory(PageMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

PageMemory& PageMemory::operator=(PageMemory&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

PageMemory::~PageMemory() { release(); }

void PageMemory::shrink(std::size_t size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t kept = (size + page - 1) / page * page;
  if (data_ == nullptr || kept >= size_) return;
  if (kept == 0) return release();
  if (::munmap(data_ + kept, size_ - kept) == 0) size_ = kept;
}

void PageMemory::release() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

support::Result<FileBytes> FileBytes::read(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return support::os_error(errno);
  if (!S_ISREG(st.st_mode)) return support::os_error(EINVAL);
  const auto length = static_cast<std::size_t>(st.st_size);
  PageMemory pages(length);
  if (!pages.mapped()) return support::os_error(errno);
  FileBytes bytes(std::move(pages));
  char* data = bytes.pages_.data();
  while (bytes.size_ < length) {
    ssize_t n = support::retry_on_eintr(
        [&] { return ::read(fd, data + bytes.size_, length - bytes.size_); });
    if (n < 0) return support::os_error(errno);
    if (n == 0) break;  // shorter than it was: what it holds now
    bytes.size_ += static_cast<std::size_t>(n);
  }
  return bytes;
}

FileBytes::FileBytes(FileBytes&& other) noexcept
    : pages_(std::move(other.pages_)), size_(std::exchange(other.size_, 0)) {}

FileBytes& FileBytes::operator=(FileBytes&& other) noexcept {
  if (this != &other) {
    pages_ = std::move(other.pages_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

}  // namespace delta
