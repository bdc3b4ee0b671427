#include "fs.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "os_error.h"
#include "path.h"

namespace support {

Result<void> create_dir_all(const std::string& path) {
  if (path.empty() || is_directory(path)) return success();
  // Walk up to the deepest existing ancestor, then create downwards; a loop
  // rather than recursion so that a very deep path cannot exhaust the stack.
  std::vector<std::string> missing{path};
  for (;;) {
    std::optional<std::string> up = parent(missing.back());
    if (!up || up->empty() || is_directory(*up)) break;
    missing.push_back(std::move(*up));
  }
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    if (::mkdir(level->c_str(), 0777) == 0) continue;
    int error = errno;
    if (error == EEXIST && is_directory(*level)) continue;
    return os_error(error);
  }
  return success();
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace support
