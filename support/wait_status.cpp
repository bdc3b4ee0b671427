#include "wait_status.h"

#include <sys/wait.h>

#include "platform.h"

namespace support {

std::string wait_status_text(int wait_status) {
  if (WIFEXITED(wait_status)) {
    return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
  }
  if (WIFSIGNALED(wait_status)) {
    int signal = WTERMSIG(wait_status);
    std::string text = "signal: " + std::to_string(signal);
    if (const char* name = platform::signal_name(signal)) {
      text += std::string(" (") + name + ")";
    }
    if (WCOREDUMP(wait_status)) text += " (core dumped)";
    return text;
  }
  // Stopped or continued: waitpid without WUNTRACED never reports these.
  return "wait status: " + std::to_string(wait_status);
}

}  // namespace support
