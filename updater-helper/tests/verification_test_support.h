// What the verification, relaunch and stand-in tests share: temporary trees,
// the tool double (tool_double.cpp) and a way to run built programs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "update_log.h"

namespace verification_test {

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating missing parent directories.
void write_file(const std::string& path, const std::string& content, int mode = 0644);
std::string read_file(const std::string& path);  // empty when missing
bool exists(const std::string& path);            // without following links
void make_symlink(const std::string& target, const std::string& path);

// Places the tool double at `path`.
void install_double(const std::string& path);
// Each invocation's argv, argv[0] included, in order.
std::vector<std::vector<std::string>> calls(const std::string& tool);
// What invocation `n` (from 1) recorded: "fds", "stdin", "pid", "sid", "cwd"...
std::map<std::string, std::string> seen(const std::string& tool, int n = 1);
// What a child may rightly hold, in the double's "fds" form: the standard
// streams, plus any descriptor this test process was itself handed without
// close-on-exec (none under ctest; a child cannot be blamed for those).
std::string expected_child_fds();
// "device:inode" of an open descriptor or a path, as the double records it.
std::string identity_of_fd(int fd);
std::string identity_of_path(const std::string& path);

// A log whose file records go to `path`; the messages read back without stamps.
installer::Log log_to(const std::string& path);
std::vector<std::string> log_messages(const std::string& path);

struct Outcome {
  int exit_status = -1;  // -1: ended by a signal
  std::string standard_output;
  std::string standard_error;
};
// Runs `program` (argv[0] = program) with the test's environment, standard
// input on the null device; output is captured.
Outcome run(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace verification_test
