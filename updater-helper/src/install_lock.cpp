#include "install_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "os_error.h"
#include "utf8.h"

namespace installer {

InstallLock lock_install_directory(const std::string& install_directory, Log& log) {
  const std::string shown = support::lossy_utf8(install_directory);
  support::UniqueFd directory(::open(install_directory.empty() ? "." : install_directory.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int error = 0;
  if (!directory.valid()) {
    error = errno;
  } else if (::flock(directory.get(), LOCK_EX | LOCK_NB) == 0) {
    return InstallLock(std::move(directory));
  } else if (errno == EWOULDBLOCK) {
    log.line("waiting for another update installation in " + shown + " to finish...");
    if (support::retry_on_eintr([&] { return ::flock(directory.get(), LOCK_EX); }) == 0) {
      return InstallLock(std::move(directory));
    }
    error = errno;
  } else {
    error = errno;
  }
  // A volume without locks (some network file systems): the installation
  // still runs, as it did before there was a lock.
  log.line("could not lock " + shown + " against other update installations (" +
           support::os_error_text(error) + "); going on without the lock");
  return InstallLock();
}

}  // namespace installer
