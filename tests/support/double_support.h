// What the test doubles share, the stand-ins for backend and frontend under
// the launcher and for the macOS tools under the installer: who they were
// started as, their record files, SIGTERM, and the backend's port.
#pragma once

#include <optional>
#include <string>

namespace test_support {

// The double's directory and the name it was started under ("backend"),
// from argv[0].
struct DoubleName {
  std::string directory;
  std::string role;
};
DoubleName double_name(const char* argv0);

// Appends `text` and a line feed to the file in one write, so that a reader
// never meets half a record. Never fails.
void append_line(const std::string& path, const std::string& text);

// A TCP socket that is close-on-exec (set by fcntl: macOS has no
// SOCK_CLOEXEC), or -1.
int cloexec_tcp_socket(int family);

// Listens on port 3000 of the loopback, 127.0.0.1 or (AF_INET6) [::1] only.
// The socket stays open for the life of the process. Error: strerror text.
std::optional<std::string> listen_on_backend_port(int family);

// SIGTERM is held back from the start and noted by a handler, so that it is
// never lost between a test of the flag and the wait.
void hold_sigterm();
bool sigterm_arrived();
// Blocks until SIGTERM arrives (never, when it is ignored).
void wait_for_sigterm();
void release_sigterm();

// Ends the process by `sig`, whatever its disposition was.
[[noreturn]] void die_by(int sig);

}  // namespace test_support
