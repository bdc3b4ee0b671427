// A file's bytes in memory mapped for them alone.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "result.h"

namespace delta {

// Zeroed memory in pages of its own, given back to the system when the
// object goes. The allocator would keep a large block it gives back for
// later ones, and the system would count its pages in the run's peak
// whether or not they are used again.
class PageMemory {
 public:
  // `size` bytes, or nothing when they cannot be had.
  explicit PageMemory(std::size_t size);
  PageMemory() = default;
  PageMemory(PageMemory&& other) noexcept;
  PageMemory& operator=(PageMemory&& other) noexcept;
  PageMemory(const PageMemory&) = delete;
  PageMemory& operator=(const PageMemory&) = delete;
  ~PageMemory();

  // Gives back the whole pages past the first `size` bytes.
  void shrink(std::size_t size);

  // False when a size was asked for and could not be had.
  bool mapped() const { return data_ != nullptr || size_ == 0; }
  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  void release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// The bytes live in pages of their own, given back to the system as soon as
// the object goes: a large file read and dropped leaves nothing behind in
// the allocator's heap, so a run's peak memory is the largest pair of files
// it holds, not the sum of what it has read.
class FileBytes {
 public:
  // What the regular file `fd` holds from its start, up to the size it has
  // when opened. Error: the system's.
  static support::Result<FileBytes> read(int fd);

  FileBytes(FileBytes&& other) noexcept;
  FileBytes& operator=(FileBytes&& other) noexcept;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes() = default;

  std::string_view view() const { return {pages_.data(), size_}; }

 private:
  explicit FileBytes(PageMemory pages) : pages_(std::move(pages)) {}

  PageMemory pages_;
  std::size_t size_ = 0;  // bytes read
};

}  // namespace delta
