// Real temporary trees, a log that can be read back, and child processes
// (also under an unprivileged user) for the tests of the installer's steps.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fault_injection.h"
#include "files.h"
#include "program_run.h"
#include "temp_dir.h"
#include "tools.h"
#include "update_log.h"

namespace core_test {

using test_support::lexists;
using test_support::list_directory;
using test_support::make_dir;
using test_support::make_symlink;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

// A Log writing to a file of its own; messages() reads its records back
// without their time stamps.
class LogCapture {
 private:
  TempDir dir_;  // before `log`, which opens a file in it

 public:
  LogCapture();
  installer::Log log;
  std::vector<std::string> messages() const;
};

// Runs `body` in a forked child; yields the child's process ID and the text
// the body returned (or a note when the child did not finish normally).
struct ChildOutput {
  pid_t pid;
  std::string text;
};
ChildOutput in_child(const std::function<std::string()>& body);

// The same, after the child has become user and group 65534 ("nobody").
// Needs root; the test skips itself otherwise.
ChildOutput as_nobody(const std::function<std::string()>& body);
bool can_switch_user();

// Runs argv[0] by full path in `directory`, output captured and dropped;
// yields its exit code (-1 when it did not exit normally).
int run_in(const std::string& directory, const std::vector<std::string>& argv);

// The macOS tool stand-ins (or on macOS the tools themselves).
installer::Tools test_tools();

#ifdef CORE_TEST_FAULT_INJECTION
using faults::ScopedFault;
#endif

}  // namespace core_test
