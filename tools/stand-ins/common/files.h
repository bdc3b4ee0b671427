// Whole-file reading and writing for the stand-ins.
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace stand_in {

// The file's bytes; `extra_flags` are added to open's (e.g. O_NOFOLLOW).
// Error: the system's error text.
support::Result<std::string> read_file(const std::string& path, int extra_flags = 0);

// The bytes of an open descriptor, read to its end.
support::Result<std::string> read_all(int fd);

// Writes all of `bytes`, resuming after short writes and EINTR.
support::Result<void> write_all(int fd, std::string_view bytes);

}  // namespace stand_in
