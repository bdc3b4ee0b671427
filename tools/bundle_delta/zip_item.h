// One entry of a ZIP archive as the installer's extraction (ditto -x -k)
// reads it: Unix modes in the external attributes, links stored as their
// targets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace delta
