// Directory listings owned like descriptors.
#pragma once

#include <dirent.h>

#include <memory>

#include "result.h"

namespace support {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// A listing of the directory open at `directory`, from its first entry,
// through a close-on-exec duplicate: `directory` stays open and its own.
// Error: the system's.
Result<DirStream> listing_from_start(int directory);

// The same, empty with errno set on failure.
DirStream listing_from_start_or_errno(int directory);

}  // namespace support
