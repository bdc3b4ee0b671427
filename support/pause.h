// Fixed sleeps of the polling loops.
#pragma once

#include <chrono>

namespace support {

// Sleeps the whole `duration`, resuming after signals; nothing for a duration
// of zero or less.
void pause_for(std::chrono::milliseconds duration);

}  // namespace support
