#include "program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "files.h"
#include "temp_dir.h"

extern char** environ;

namespace test_support {
namespace {

class Descriptor {
 public:
  Descriptor(const std::string& path, int flags)
      : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, const std::string& directory) {
  TempDir streams("program-streams");
  const std::string out_path = streams / "out";
  const std::string err_path = streams / "err";
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env_strings = environment;
  std::vector<char*> argv = pointers(argv_strings);
  std::vector<char*> envp = pointers(env_strings);

  ProgramRun run;
  auto started = std::chrono::steady_clock::now();
  {
    Descriptor in("/dev/null", O_RDONLY);
    Descriptor out(out_path, O_WRONLY | O_CREAT | O_TRUNC);
    Descriptor err(err_path, O_WRONLY | O_CREAT | O_TRUNC);
    run.pid = ::fork();
    if (run.pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      if (::dup2(in.get(), 0) < 0 || ::dup2(out.get(), 1) < 0 || ::dup2(err.get(), 2) < 0 ||
          ::chdir(directory.c_str()) != 0) {
        ::_exit(127);
      }
      ::execve(program.c_str(), argv.data(), envp.data());
      ::_exit(127);
    }
  }
  if (run.pid < 0) throw std::runtime_error("fork failed");
  while (::waitpid(run.pid, &run.wait_status, 0) < 0 && errno == EINTR) {
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.exit_status = WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1;
  run.standard_output = read_file(out_path);
  run.standard_error = read_file(err_path);
  return run;
}

std::vector<std::string> current_environment() {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) result.push_back(*entry);
  return result;
}

}  // namespace test_support
