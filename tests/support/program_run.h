// Running a built program as its users do, and reading back what it did.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

struct ProgramRun {
  pid_t pid = -1;
  int wait_status = -1;
  int exit_status = -1;  // -1: the program did not exit normally
  std::string standard_output;
  std::string standard_error;
  double seconds = 0;
};

// Runs `program` (argv[0] = program) with `arguments` in `directory`, with
// exactly `environment`, standard input on the null device and its output
// and error captured through files, and waits for it.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment,
                       const std::string& directory = ".");

// This process's own environment, as run_program takes one.
std::vector<std::string> current_environment();

}  // namespace test_support
