// Reading a descriptor to its end and writing all of a buffer, resuming after
// short transfers and EINTR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "result.h"

namespace support {

// Everything `fd` holds from its current offset. Error: the system's.
Result<std::string> read_all(int fd);

// The same, but no more than `most` bytes: a longer file gives its first
// `most`. Error: the system's.
Result<std::string> read_at_most(int fd, std::size_t most);

// Reads `size` bytes into `buffer`, fewer only at the end of the file. The
// count read, or the system's error.
Result<std::size_t> read_up_to(int fd, void* buffer, std::size_t size);

// Reads `size` bytes at `offset` into `buffer`, fewer only at the end of
// the file, without moving the file offset. The count read, or the
// system's error.
Result<std::size_t> pread_up_to(int fd, void* buffer, std::size_t size, std::uint64_t offset);

// Writes all of `bytes`. Error: the system's, at the first failing write.
Result<void> write_all(int fd, std::string_view bytes);

}  // namespace support
