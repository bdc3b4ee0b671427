// Reading a descriptor to its end and writing all of a buffer, resuming after
// short transfers and EINTR.
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace support {

// Everything `fd` holds from its current offset. Error: the system's.
Result<std::string> read_all(int fd);

// Writes all of `bytes`. Error: the system's, at the first failing write.
Result<void> write_all(int fd, std::string_view bytes);

}  // namespace support
