#include "os_error.h"

#include <cstring>

namespace support {

std::string os_error_text(int error_number) {
  // The programs are single-threaded, so strerror's shared buffer is safe and
  // avoids the GNU/XSI strerror_r split.
  return std::string(std::strerror(error_number)) + " (os error " +
         std::to_string(error_number) + ")";
}

Error os_error(int error_number) { return Error(os_error_text(error_number)); }

}  // namespace support
