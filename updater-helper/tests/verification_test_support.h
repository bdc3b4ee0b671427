// What the verification, relaunch and stand-in tests share: temporary trees,
// the tool double (tool_double.cpp) and a way to run built programs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "files.h"
#include "program_run.h"
#include "temp_dir.h"
#include "update_log.h"

namespace verification_test {

using test_support::identity_of_fd;
using test_support::identity_of_path;
using test_support::lexists;
using test_support::make_symlink;
using test_support::read_file;
using test_support::TempDir;
using test_support::write_file;

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
// A log whose file records go to `path`; the messages read back without stamps.
installer::Log log_to(const std::string& path);
std::vector<std::string> log_messages(const std::string& path);

using Outcome = test_support::ProgramRun;
// Runs `program` (argv[0] = program) with the test's environment, standard
// input on the null device; output is captured.
Outcome run(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace verification_test
