#include "pause.h"

#include <time.h>

#include <cerrno>

namespace support {

void pause_for(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  timespec remaining{static_cast<time_t>(duration.count() / 1000),
                     static_cast<long>(duration.count() % 1000) * 1'000'000L};
  while (::nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
  }
}

}  // namespace support
