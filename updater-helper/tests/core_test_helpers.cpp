#include "core_test_helpers.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>


namespace core_test {

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
  std::vector<std::string> arguments(argv.begin() + 1, argv.end());
  return test_support::run_program(argv[0], arguments, test_support::current_environment(),
                                   directory)
      .exit_status;
}

installer::Tools test_tools() { return installer::Tools::under(ZENTRIVALE_TEST_TOOL_ROOT); }


}  // namespace core_test
