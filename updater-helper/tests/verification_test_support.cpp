#include "verification_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "child_process.h"
#include "fs.h"
#include "path.h"
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

TempDir::TempDir() {
  char pattern[] = "/tmp/zentrivale-verify-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string& path, const std::string& content, int mode) {
  if (auto made = support::create_dir_all(*support::parent(path)); !made) {
    throw std::runtime_error("cannot create the parent of " + path + ": " + made.error());
  }
  ::unlink(path.c_str());
  { std::ofstream(path, std::ios::binary) << content; }
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void make_symlink(const std::string& target, const std::string& path) {
  (void)support::create_dir_all(*support::parent(path));
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    throw std::runtime_error("cannot link " + path);
  }
}

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

std::string identity_of_fd(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "closed";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

std::string identity_of_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
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
  TempDir capture;
  std::string out_path = capture.path() + "/out", err_path = capture.path() + "/err";
  support::UniqueFd out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  support::UniqueFd err(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  support::SpawnRequest request;
  request.program = program;
  request.argv = {program};
  request.argv.insert(request.argv.end(), arguments.begin(), arguments.end());
  request.stdin_stream = support::Stream::null();
  request.stdout_stream = support::Stream::from(out.get());
  request.stderr_stream = support::Stream::from(err.get());
  auto child = support::Child::spawn(request);
  if (!child) throw std::runtime_error("cannot run " + program + ": " + child.error());
  auto status = child->wait();
  if (!status) throw std::runtime_error("cannot wait for " + program + ": " + status.error());
  Outcome outcome;
  outcome.exit_status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  outcome.standard_output = read_file(out_path);
  outcome.standard_error = read_file(err_path);
  return outcome;
}

}  // namespace verification_test
