#include "verification_test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <sstream>

#include "unique_fd.h"

#ifndef TOOL_DOUBLE_PATH
#error "TOOL_DOUBLE_PATH is set by the build"
#endif

namespace verification_test {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

}  // namespace

void install_double(const std::string& path) { make_symlink(TOOL_DOUBLE_PATH, path); }

std::vector<std::vector<std::string>> calls(const std::string& tool) {
  std::vector<std::vector<std::string>> result;
  for (const std::string& line : split(read_file(tool + ".calls"), '\n')) {
    result.push_back(split(line, '\t'));
  }
  return result;
}

std::map<std::string, std::string> seen(const std::string& tool, int n) {
  std::map<std::string, std::string> record;
  for (const std::string& line : split(read_file(tool + ".seen." + std::to_string(n)), '\n')) {
    size_t colon = line.find(": ");
    if (colon != std::string::npos) record[line.substr(0, colon)] = line.substr(colon + 2);
    else if (!line.empty() && line.back() == ':') record[line.substr(0, line.size() - 1)] = "";
  }
  return record;
}

std::string expected_child_fds() {
  std::string fds = "0 1 2";
  for (int fd = 3; fd < 1024; ++fd) {
    int flags = ::fcntl(fd, F_GETFD);
    if (flags != -1 && !(flags & FD_CLOEXEC)) fds += " " + std::to_string(fd);
  }
  return fds;
}

installer::Log log_to(const std::string& path) {
  return installer::Log(support::UniqueFd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)));
}

std::vector<std::string> log_messages(const std::string& path) {
  std::vector<std::string> messages;
  for (const std::string& line : split(read_file(path), '\n')) {
    size_t stamp_end = line.find("] ");
    bool stamped = !line.empty() && line[0] == '[' && stamp_end != std::string::npos &&
                   line.find_first_not_of("0123456789", 1) == stamp_end;
    messages.push_back(stamped ? line.substr(stamp_end + 2) : "(unstamped) " + line);
  }
  return messages;
}

Outcome run(const std::string& program, const std::vector<std::string>& arguments) {
  return test_support::run_program(program, arguments, test_support::current_environment());
}

}  // namespace verification_test
