// A file's bytes in memory mapped for them alone.
#pragma once

#include <cstddef>
#include <string_view>

#include "result.h"

namespace delta {

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
  ~FileBytes();

  std::string_view view() const { return {data_, size_}; }

 private:
  FileBytes(char* data, std::size_t mapped) : data_(data), mapped_(mapped) {}
  void release();

  char* data_ = nullptr;
  std::size_t mapped_ = 0;  // the mapping's length; 0 when there is none
  std::size_t size_ = 0;    // bytes read
};

}  // namespace delta
