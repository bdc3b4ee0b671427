// Small file-system queries and directory creation.
#pragma once

#include <string>

#include "result.h"

namespace support {

// Creates `path` and every missing parent, each new level with mode 0777
// before the umask. An existing directory, or one that appears concurrently,
// is success; a non-directory in the way is the system's EEXIST error.
Result<void> create_dir_all(const std::string& path);

// Status queries that follow symbolic links; a failing query is "no".
bool is_regular_file(const std::string& path);
bool is_directory(const std::string& path);
bool exists(const std::string& path);

}  // namespace support
