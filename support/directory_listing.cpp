#include "directory_listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace support {

Result<DirStream> listing_from_start(int directory) {
  int listing_fd = ::fcntl(directory, F_DUPFD_CLOEXEC, 0);
  if (listing_fd < 0) return os_error(errno);
  DirStream listing(::fdopendir(listing_fd));
  if (!listing) {
    int error = errno;
    ::close(listing_fd);
    return os_error(error);
  }
  // The duplicate shares its offset with every earlier listing of `directory`.
  ::rewinddir(listing.get());
  return listing;
}

}  // namespace support
