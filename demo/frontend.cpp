// The demo application's frontend: reports which version of the bundle it
// belongs to, which of the launcher's variables it received and what the
// backend answers, then exits. The report goes to standard output and is
// appended to a report file, because after a relaunch through `open` the
// application's output is not shown anywhere.
//
// Read from the bundle, in Contents/Resources/frontend-assets:
//   "version"      the version text of this bundle;
//   "report-file"  optional: the report file's absolute path. Without it the
//                  report goes to "frontend-report.log" in the data directory
//                  under HOME. The demo names its own file here because macOS
//                  starts a relaunched application with the login session's
//                  environment, not with the HOME the demo set.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "os_error.h"
#include "path.h"
#include "platform.h"
#include "result.h"
#include "unique_fd.h"
#include "utf8.h"

namespace {

using support::Error;
using support::Result;
using support::UniqueFd;

constexpr uint16_t kPort = 3000;
constexpr int kConnectTimeoutMilliseconds = 2000;
constexpr int kReplyTimeoutMilliseconds = 2000;

// What the launcher sets for the frontend, and ZENTRIVALE_DATA_DIR, which it
// sets for the backend only.
const char* const kLauncherVariables[] = {
    "ZENTRIVALE_DATA_DIR",     "ZENTRIVALE_ASSETS_DIR",      "ZENTRIVALE_DEMO",
    "GST_PLUGIN_PATH_1_0",     "GST_PLUGIN_SYSTEM_PATH_1_0", "GST_PLUGIN_SCANNER",
    "GST_REGISTRY",            "GIO_MODULE_DIR",             "FONTCONFIG_FILE",
};

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

Result<std::string> read_small_file(const std::string& path) {
  UniqueFd fd(support::retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return support::os_error(errno);
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = support::retry_on_eintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return support::os_error(errno);
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

// The trimmed contents of an asset, or nothing when it cannot be read.
std::string asset(const std::string& name) {
  std::string assets = variable("ZENTRIVALE_ASSETS_DIR");
  if (assets.empty()) return "";
  auto text = read_small_file(support::join(assets, name));
  if (!text) return "";
  return support::trim_unicode_white_space(support::lossy_utf8(*text));
}

Result<void> wait_for(int fd, short events, int timeout_milliseconds, const char* what) {
  pollfd entry{fd, events, 0};
  int n = support::retry_on_eintr([&] { return ::poll(&entry, 1, timeout_milliseconds); });
  if (n < 0) return support::os_error(errno);
  if (n == 0) return Error(std::string("timed out ") + what);
  return support::success();
}

// One connection to the backend; its first line, without the line feed.
Result<std::string> ask_backend() {
  auto socket = support::platform::nonblocking_tcp_socket();
  if (!socket) return std::move(socket).take_error();
  int fd = socket->get();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) return support::os_error(errno);
    auto connected = wait_for(fd, POLLOUT, kConnectTimeoutMilliseconds, "connecting");
    if (!connected) return std::move(connected).take_error();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return support::os_error(errno);
    if (error != 0) return support::os_error(error);
  }
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    auto readable = wait_for(fd, POLLIN, kReplyTimeoutMilliseconds, "waiting for the answer");
    if (!readable) return std::move(readable).take_error();
    char buffer[256];
    ssize_t n = support::retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return support::os_error(errno);
    if (n == 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  std::string line = reply.substr(0, reply.find('\n'));
  if (line.empty()) return Error("the backend closed the connection without an answer");
  return support::lossy_utf8(line);
}

std::string report_file() {
  std::string named = asset("report-file");
  if (!named.empty()) return named;
  return support::join(variable("HOME"), "Library/Application Support/Zentrivale/frontend-report.log");
}

// The whole report in one write, so that a reader polling the file never
// sees half of it.
Result<void> append_report(const std::string& path, const std::string& report) {
  UniqueFd fd(support::retry_on_eintr([&] {
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }));
  if (!fd.valid()) return support::os_error(errno);
  ssize_t n = support::retry_on_eintr([&] { return ::write(fd.get(), report.data(), report.size()); });
  if (n < 0) return support::os_error(errno);
  if (static_cast<size_t>(n) != report.size()) return Error("short write");
  return support::success();
}

}  // namespace

int main() {
  std::string version = asset("version");
  if (version.empty()) version = "unknown";

  std::string report =
      "Zentrivale demo frontend, version " + version + " (pid " + std::to_string(::getpid()) + ")\n";
  for (const char* name : kLauncherVariables) {
    const char* value = std::getenv(name);
    report += std::string("  ") + name + (value ? "=" + std::string(value) : " is not set") + "\n";
  }
  auto answer = ask_backend();
  report += answer ? "  the backend answered: " + *answer + "\n"
                   : "  the backend could not be asked: " + answer.error() + "\n";
  report += "frontend version " + version + (answer ? " done" : " failed") + "\n";

  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);

  std::string path = report_file();
  auto appended = append_report(path, report);
  if (!appended) {
    std::fprintf(stderr, "demo frontend: could not append to %s: %s\n",
                 support::lossy_utf8(path).c_str(), appended.error().c_str());
    return 1;
  }
  return answer ? 0 : 1;
}
