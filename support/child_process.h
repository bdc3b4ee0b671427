// Child processes: started by full path with posix_spawn, owned until reaped.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result.h"

namespace support {

// What one of the child's standard streams is connected to.
struct Stream {
  enum Kind { inherit, null_device, descriptor };
  Kind kind = inherit;
  int fd = -1;  // for `descriptor`: duplicated onto the stream in the child

  static Stream inherited() { return {}; }
  static Stream null() { return {null_device, -1}; }
  static Stream from(int fd) { return {descriptor, fd}; }
};

// A child's environment: the entries it inherits, as the program's own
// strings (no copy), then the entries added for it, which it owns. The
// inherited entries stay valid while the program's environment is unchanged.
struct Environment {
  std::vector<const char*> inherited;
  std::vector<std::string> added;  // "NAME=value"

  // Every entry in order, null-terminated, as posix_spawn takes them.
  std::vector<char*> entries() const;
};

struct SpawnRequest {
  std::string program;             // full path; never searched in PATH
  std::vector<std::string> argv;   // argv[0] included
  // Nothing means the program's own environment.
  std::optional<Environment> environment;
  Stream stdin_stream, stdout_stream, stderr_stream;
};

// Opens the null device on any of descriptors 0, 1 and 2 that is closed, so
// that no descriptor the program opens later (a log file, a pipe, a socket)
// can take a standard stream's number and be written to, or handed to a
// child, by mistake.
void ensure_standard_streams_open();

// The program's environment with each (name, value) added after it, in
// order; every inherited entry of one of those names is left out.
Environment environment_with(
    const std::vector<std::pair<std::string, std::string>>& variables);

// A started child. It keeps its wait status once reaped, so it is never
// waited for (or signalled) again under a process ID that may have been reused.
class Child {
 public:
  // Starts the child with default signal dispositions and an empty signal
  // mask, in the caller's process group. Error: the system's error.
  static Result<Child> spawn(const SpawnRequest& request);

  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // A child still unreaped here is killed and reaped, so none outlives its
  // owner as a zombie or an orphan.
  ~Child();

  pid_t pid() const { return pid_; }

  // Without blocking: the wait status once the child has ended, nothing while
  // it runs, or the system's error when the query fails.
  Result<std::optional<int>> try_wait();

  // Blocks until the child has ended; yields its wait status.
  Result<int> wait();

 private:
  explicit Child(pid_t pid) : pid_(pid) {}
  void discard();

  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace support
