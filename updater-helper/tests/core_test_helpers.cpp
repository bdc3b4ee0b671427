#include "core_test_helpers.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "fs.h"
#include "path.h"

#ifdef CORE_TEST_FAULT_INJECTION
extern "C" void fault_injection_reset(void);
extern "C" long fault_injection_failures(const char* variable);
#endif

namespace core_test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/installer-core-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests take permissions away; give them back so that everything goes.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string& relative) const {
  return support::join(path_, relative);
}

void make_dir(const std::string& path, unsigned mode) {
  ASSERT_TRUE(support::create_dir_all(path)) << path;
  ::chmod(path.c_str(), mode);
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  std::ofstream(path, std::ios::binary) << content;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void make_symlink(const std::string& target, const std::string& link) {
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool lexists(const std::string& path) {
  struct stat status;
  return ::lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> names_in(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

LogCapture::LogCapture()
    : log(support::UniqueFd(
          ::open((dir_ / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644))) {}

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> messages;
  std::istringstream records(read_file(dir_ / "log"));
  std::string record;
  while (std::getline(records, record)) {
    size_t end = record.find("] ");
    messages.push_back(end == std::string::npos ? record : record.substr(end + 2));
  }
  return messages;
}

ChildOutput in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, "pipe failed"};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string text = body();
    ssize_t ignored = ::write(fds[1], text.data(), text.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) text += "(child did not finish)";
  return {pid, text};
}

bool can_switch_user() { return ::geteuid() == 0; }

ChildOutput as_nobody(const std::function<std::string()>& body) {
  return in_child([&]() -> std::string {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      return "could not become nobody";
    }
    return body();
  });
}

int run_in(const std::string& directory, const std::vector<std::string>& argv) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    if (::chdir(directory.c_str()) == 0) ::execv(pointers[0], pointers.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

installer::Tools test_tools() { return installer::Tools::under(ZENTRIVALE_TEST_TOOL_ROOT); }

#ifdef CORE_TEST_FAULT_INJECTION
ScopedFault::ScopedFault(std::initializer_list<std::pair<const char*, const char*>> variables)
    : variables_(variables) {
  for (const auto& [name, value] : variables_) ::setenv(name, value, 1);
  fault_injection_reset();
}

ScopedFault::~ScopedFault() {
  for (const auto& variable : variables_) ::unsetenv(variable.first);
  fault_injection_reset();
}

long ScopedFault::failures(const char* variable) const {
  return fault_injection_failures(variable);
}
#endif

}  // namespace core_test
