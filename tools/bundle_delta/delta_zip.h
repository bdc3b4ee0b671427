// ZIP archives as the installer's extraction (ditto -x -k) reads them:
// Unix modes in the external attributes, links stored as their targets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace delta {

struct ZipItem {
  enum class Kind { directory, file, symlink };
  Kind kind = Kind::file;
  std::string name;          // in the archive, the names' bytes; no trailing "/"
  std::uint32_t mode = 0;    // permission bits
  // A file held in memory, or a link's target; the caller keeps the bytes
  // until write_zip returns.
  std::string_view bytes;
  std::string source_path;   // when not empty: the file's bytes, read below source_root
  int source_root = -1;      // a directory descriptor
  bool compressed = false;   // a file whose bytes are compressed already: stored as they are
};

// Writes `items` in order to `archive` (replacing it), files deflated at the
// best level (but those compressed already), with a fixed time so that equal input gives equal archives.
// Files with a source path are read one at a time while the archive is
// written. Error: "cannot write {archive}: {cause}".
support::Result<void> write_zip(const std::string& archive, const std::vector<ZipItem>& items);

// Extracts `archive` into the existing directory `destination`: directories,
// files and links with their permission bits. Refuses, before writing it,
// any entry named absolutely or with an empty, "." or ".." component, and
// never writes through a link, so nothing lands outside `destination`.
// Error: "cannot extract {archive}: {cause}".
support::Result<void> extract_zip(const std::string& archive, const std::string& destination);

}  // namespace delta
