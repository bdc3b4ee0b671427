#include "programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace faults {

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() { remove_all(path_); }

int ProgramRun::exit_code() const {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, const std::string& directory) {
  TempDir streams("faults-streams");
  const std::string out_path = streams.path() + "/out";
  const std::string err_path = streams.path() + "/err";
  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = environment;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0 || err < 0) throw std::runtime_error("cannot open stream files");

  auto started = std::chrono::steady_clock::now();
  ProgramRun run;
  run.pid = ::fork();
  if (run.pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(directory.c_str()) != 0) {
      ::_exit(127);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in);
  ::close(out);
  ::close(err);
  if (run.pid < 0) throw std::runtime_error("fork failed");
  while (::waitpid(run.pid, &run.wait_status, 0) < 0 && errno == EINTR) {
  }
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.standard_output = read_file(out_path);
  run.standard_error = read_file(err_path);
  return run;
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("cannot chmod " + path);
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool lexists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> entries_of(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void remove_all(const std::string& path) {
  std::error_code ignored;
  // Trees left without write permission by a test are opened up first.
  std::filesystem::remove_all(path, ignored);
  if (!lexists(path)) return;
  for (auto it = std::filesystem::recursive_directory_iterator(path, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      ::chmod(it->path().c_str(), 0700);
    }
  }
  ::chmod(path.c_str(), 0700);
  std::filesystem::remove_all(path, ignored);
}

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " +
         std::to_string(error_number) + ")";
}

int errno_number(const std::string& name) {
  static const std::map<std::string, int> numbers = {
      {"EPERM", EPERM},     {"ENOENT", ENOENT},   {"ESRCH", ESRCH},
      {"EINTR", EINTR},     {"EIO", EIO},         {"EBADF", EBADF},
      {"EAGAIN", EAGAIN},   {"ENOMEM", ENOMEM},   {"EACCES", EACCES},
      {"EBUSY", EBUSY},     {"EEXIST", EEXIST},   {"EXDEV", EXDEV},
      {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR},   {"EINVAL", EINVAL},
      {"EMFILE", EMFILE},   {"ENOSPC", ENOSPC},   {"EROFS", EROFS},
      {"ELOOP", ELOOP},     {"ENOTEMPTY", ENOTEMPTY}, {"ENOSYS", ENOSYS},
      {"ENOTSUP", ENOTSUP}, {"EDQUOT", EDQUOT},   {"ESTALE", ESTALE},
      {"ECHILD", ECHILD},   {"EPIPE", EPIPE},     {"ENFILE", ENFILE},
      {"E2BIG", E2BIG},     {"ENOEXEC", ENOEXEC}, {"ETXTBSY", ETXTBSY},
      {"ECONNREFUSED", ECONNREFUSED}, {"ENETUNREACH", ENETUNREACH},
      {"ETIMEDOUT", ETIMEDOUT}, {"EADDRNOTAVAIL", EADDRNOTAVAIL}, {"EFBIG", EFBIG},
  };
  auto found = numbers.find(name);
  if (found == numbers.end()) throw std::runtime_error("unknown errno name " + name);
  return found->second;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace faults
