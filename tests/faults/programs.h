// Running the built programs black-box, and small helpers on real files.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace faults {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "faults");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ProgramRun {
  pid_t pid = -1;
  int wait_status = -1;
  std::string standard_output;
  std::string standard_error;
  double seconds = 0;

  // The exit code, or -1 when the program did not exit normally.
  int exit_code() const;
};

// Runs `program` with `arguments` in `directory` with exactly `environment`;
// its standard streams go to files that are read back.
ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, const std::string& directory);

void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);
bool lexists(const std::string& path);
// Entry names of a directory, sorted; empty when it cannot be listed.
std::vector<std::string> entries_of(const std::string& directory);
void remove_all(const std::string& path);

// The system's error text as the programs render it: "{} (os error {})".
std::string os_error_text(int error_number);
// An errno name the fault library knows ("EACCES") as its number.
int errno_number(const std::string& name);

// `text` with every occurrence of `from` replaced by `to`.
std::string replace_all(std::string text, const std::string& from, const std::string& to);

}  // namespace faults
