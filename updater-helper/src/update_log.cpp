#include "update_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "fs.h"
#include "full_io.h"
#include "os_error.h"
#include "path.h"

namespace installer {
namespace {

constexpr char kLogDirectory[] = "Library/Logs/Zentrivale";
constexpr char kLogFileName[] = "update-helper.log";

// With standard error closed at start the file would get descriptor 2, and
// every echo would then land in the file a second time, unstamped.
support::UniqueFd above_standard_streams(support::UniqueFd fd) {
  if (!fd.valid() || fd.get() > STDERR_FILENO) return fd;
  return support::UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
}

std::int64_t wall_clock_seconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Log Log::open() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return Log(support::UniqueFd());
  std::string directory = support::join(home, kLogDirectory);
  if (!support::create_dir_all(directory)) return Log(support::UniqueFd());
  std::string file = support::join(directory, kLogFileName);
  // Non-blocking: a FIFO in the log file's place would otherwise hold the
  // installer in open() for ever. Regular files are not affected.
  int fd = support::retry_on_eintr([&] {
    return ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  });
  return Log(above_standard_streams(support::UniqueFd(fd)));
}

void Log::line(std::string_view message) {
  std::uint64_t timestamp = log_timestamp(wall_clock_seconds());

  std::string echo = "[update-helper] ";
  echo.append(message);
  echo.push_back('\n');
  // Standard error may be closed or a pipe without reader (SIGPIPE is
  // ignored by the program); the file record is written regardless.
  // A log write never stops the update: its failure is ignored.
  static_cast<void>(support::write_all(STDERR_FILENO, echo));

  if (!log_file_.valid()) return;
  std::string record = "[" + std::to_string(timestamp) + "] ";
  record.append(message);
  record.push_back('\n');
  static_cast<void>(support::write_all(log_file_.get(), record));
}

std::uint64_t log_timestamp(std::int64_t seconds_since_epoch) {
  return seconds_since_epoch < 0 ? 0 : static_cast<std::uint64_t>(seconds_since_epoch);
}

}  // namespace installer
