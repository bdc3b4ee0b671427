#include "directory_listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace support {

DirStream listing_from_start_or_errno(int directory) {
  int listing_fd = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return nullptr;
  DirStream listing(::fdopendir(listing_fd));
  if (!listing) {
    int error = errno;
    ::close(listing_fd);
    errno = error;
    return nullptr;
  }
  // The duplicate shares its offset with every earlier listing of `directory`.
  ::rewinddir(listing.get());
  return listing;
}

Result<DirStream> listing_from_start(int directory) {
  DirStream listing = listing_from_start_or_errno(directory);
  if (!listing) return os_error(errno);
  return listing;
}

}  // namespace support
