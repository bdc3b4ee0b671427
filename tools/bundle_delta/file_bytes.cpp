#include "file_bytes.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "full_io.h"
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
  // Shorter than it was: what it holds now.
  support::Result<std::size_t> read = support::read_up_to(fd, bytes.pages_.data(), length);
  if (!read) return std::move(read).take_error();
  bytes.size_ = *read;
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
