// Whole-file reading for the stand-ins.
#pragma once

#include <string>
#include <string_view>

#include "result.h"

namespace stand_in {

// The file's bytes; `extra_flags` are added to open's (e.g. O_NOFOLLOW).
// Error: the system's error text.
support::Result<std::string> read_file(const std::string& path, int extra_flags = 0);

}  // namespace stand_in
