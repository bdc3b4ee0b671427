// The demo application's backend: listens on 127.0.0.1:3000, answers every
// connection with one short line and ends on SIGTERM. bundle_starter waits
// for this listener before it starts the frontend.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "os_error.h"
#include "platform.h"
#include "result.h"
#include "unique_fd.h"

namespace {

using support::Result;
using support::UniqueFd;

constexpr uint16_t kPort = 3000;
// How often the accept loop looks at the stop flag; bounds the delay between
// SIGTERM and the exit.
constexpr int kStopCheckMilliseconds = 100;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

Result<void> install_signal_handling() {
  // The launcher's readiness probe connects and hangs up at once, so the
  // answer often goes to a closed connection: that must not end the backend.
  if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return support::os_error(errno);
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll returns at once on SIGTERM
  if (::sigaction(SIGTERM, &action, nullptr) != 0) return support::os_error(errno);
  return support::success();
}

Result<UniqueFd> listen_on_loopback() {
  auto socket = support::platform::nonblocking_tcp_socket();
  if (!socket) return support::Error("could not create a socket: " + socket.error());
  UniqueFd fd = std::move(socket.value());
  // A relaunched backend must be able to listen while the previous one's
  // connections are still in TIME_WAIT.
  int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return support::Error("could not set SO_REUSEADDR: " + support::os_error_text(errno));
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return support::Error("could not listen on 127.0.0.1:3000: " + support::os_error_text(errno));
  }
  if (::listen(fd.get(), 16) != 0) {
    return support::Error("could not listen on 127.0.0.1:3000: " + support::os_error_text(errno));
  }
  return fd;
}

// Best effort: a client that has gone away simply misses the line.
void answer(int connection, const std::string& line) {
  size_t written = 0;
  while (written < line.size()) {
    ssize_t n = ::write(connection, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<size_t>(n);
  }
}

Result<void> serve(int listener) {
  const std::string line =
      "hello from the Zentrivale demo backend (pid " + std::to_string(::getpid()) + ")\n";
  while (!stop_requested) {
    pollfd ready{listener, POLLIN, 0};
    int n = ::poll(&ready, 1, kStopCheckMilliseconds);
    if (n < 0) {
      if (errno == EINTR) continue;
      return support::Error("could not wait for connections: " + support::os_error_text(errno));
    }
    if (n == 0) continue;
    UniqueFd connection(::accept(listener, nullptr, nullptr));
    if (!connection.valid()) continue;  // the client gave up meanwhile, or EINTR
    ::fcntl(connection.get(), F_SETFD, FD_CLOEXEC);
    // macOS hands out accepted sockets with the listener's O_NONBLOCK.
    int flags = ::fcntl(connection.get(), F_GETFL);
    if (flags >= 0) ::fcntl(connection.get(), F_SETFL, flags & ~O_NONBLOCK);
    answer(connection.get(), line);
  }
  return support::success();
}

}  // namespace

int main() {
  auto handled = install_signal_handling();
  if (!handled) {
    std::fprintf(stderr, "demo backend: %s\n", handled.error().c_str());
    return 1;
  }
  auto listener = listen_on_loopback();
  if (!listener) {
    std::fprintf(stderr, "demo backend: %s\n", listener.error().c_str());
    return 1;
  }
  std::printf("demo backend: listening on 127.0.0.1:3000 (pid %d)\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  auto served = serve(listener->get());
  if (!served) {
    std::fprintf(stderr, "demo backend: %s\n", served.error().c_str());
    return 1;
  }
  std::printf("demo backend: stopped by SIGTERM\n");
  return 0;
}
