// Files below a directory descriptor, reached without following any link:
// bundles are walked and read this way whatever the depth of their paths.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "result.h"
#include "unique_fd.h"

namespace delta {

// The directory at `path`, which must not be a symbolic link. Error: the
// system's.
support::Result<support::UniqueFd> open_directory(const std::string& path);

// Opens `relative` ("/"-separated components) below the directory `root`
// with `flags`, every component opened without following a link. With
// `create_directories`, missing intermediate directories are made (0755).
// An empty `relative` opens `root` itself. Error: the system's.
support::Result<support::UniqueFd> open_beneath(int root, std::string_view relative, int flags,
                                                mode_t mode = 0,
                                                bool create_directories = false);

}  // namespace delta
