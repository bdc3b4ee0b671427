#include "file_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "full_io.h"
#include "os_error.h"
#include "unique_fd.h"

namespace stand_in {

support::Result<std::string> read_file(const std::string& path, int extra_flags) {
  support::UniqueFd fd(support::retry_on_eintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags); }));
  if (!fd.valid()) return support::os_error(errno);
  return support::read_all(fd.get());
}

}  // namespace stand_in
