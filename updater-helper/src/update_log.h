// The installer's one log: every line to standard error and, time-stamped,
// to the per-user file "update-helper.log".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace installer {

class Log {
 public:
  // Opens (creating it and its directory as needed) the log file under HOME's
  // "Library/Logs/Zentrivale". Never fails: without HOME, or when the file
  // cannot be made, the log writes to standard error only.
  static Log open();

  // A log writing to the given file (or to standard error only when invalid).
  explicit Log(support::UniqueFd log_file) : log_file_(std::move(log_file)) {}

  // "[update-helper] {message}\n" to standard error, "[{seconds}] {message}\n"
  // to the file. Neither write can fail the caller.
  void line(std::string_view message);

  // Closes the file after the last line of a successful run.
  void close() { log_file_.reset(); }

 private:
  support::UniqueFd log_file_;
};

// Whole seconds since 1970 for a wall-clock reading in seconds; 0 before 1970.
std::uint64_t log_timestamp(std::int64_t seconds_since_epoch);

}  // namespace installer
