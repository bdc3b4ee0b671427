// How a child's end reads in a message.
#pragma once

#include <string>

namespace support {

// "exit status: 3" for a normal exit; "signal: 9 (SIGKILL)" for an end by a
// signal, followed by " (core dumped)" when a core was written.
std::string wait_status_text(int wait_status);

}  // namespace support
