#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "os_error.h"
#include "platform.h"

extern char** environ;

namespace support {
namespace {

std::string read_all(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

// Runs a program with stdout captured; yields output and status.
std::pair<std::string, int> run_captured(std::vector<std::string> argv,
                                         std::optional<Environment> env = {}) {
  Result<platform::Pipe> pipe = platform::cloexec_pipe();
  EXPECT_TRUE(pipe.ok());
  std::string program = argv.front();
  SpawnRequest request{program, std::move(argv), std::move(env), {}, {}, {}};
  request.stdout_stream = Stream::from(pipe->write_end.get());
  Result<Child> child = Child::spawn(request);
  EXPECT_TRUE(child.ok()) << (child.ok() ? "" : child.error());
  pipe->write_end.reset();
  std::string output = read_all(pipe->read_end.get());
  Result<int> status = child->wait();
  EXPECT_TRUE(status.ok());
  return {output, status.value()};
}

// Runs /bin/sh with a script, stdout captured; yields output and status.
std::pair<std::string, int> run_shell(const std::string& script,
                                      std::optional<Environment> env = {}) {
  return run_captured({"/bin/sh", "-c", script}, std::move(env));
}

TEST(ChildTest, MissingProgramIsTheSystemError) {
  Result<Child> child = Child::spawn({"/nonexistent/tool", {"/nonexistent/tool"}, {}, {}, {}, {}});
  ASSERT_FALSE(child.ok());
  EXPECT_EQ(child.error(), os_error_text(ENOENT));
}

TEST(ChildTest, ReportsExitStatusAndKeepsIt) {
  Result<Child> child = Child::spawn({"/bin/sh", {"/bin/sh", "-c", "exit 3"}, {}, {}, {}, {}});
  ASSERT_TRUE(child.ok());
  Result<int> status = child->wait();
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(WEXITSTATUS(status.value()), 3);
  // Asking again yields the stored status, never a second waitpid.
  Result<std::optional<int>> again = child->try_wait();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), status.value());
}

TEST(ChildTest, TryWaitSeesARunningChild) {
  Result<Child> child = Child::spawn({"/bin/sleep", {"/bin/sleep", "5"}, {}, {}, {}, {}});
  ASSERT_TRUE(child.ok());
  Result<std::optional<int>> running = child->try_wait();
  ASSERT_TRUE(running.ok());
  EXPECT_FALSE(running.value().has_value());
  ASSERT_EQ(kill(child->pid(), SIGTERM), 0);
  Result<int> status = child->wait();
  ASSERT_TRUE(status.ok());
  EXPECT_TRUE(WIFSIGNALED(status.value()));
}

#ifndef SIGNAL_REPORT_PROGRAM
#error "SIGNAL_REPORT_PROGRAM is set by the build"
#endif

TEST(ChildTest, DefaultDispositionsAndEmptyMask) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigprocmask(SIG_BLOCK, &block, &old);
  signal(SIGTERM, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  auto [output, status] = run_shell("exec '" SIGNAL_REPORT_PROGRAM "'");
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "blocked:\nignored:\n");
}

TEST(ChildTest, InheritsNoDescriptorOfOurs) {
  Result<platform::Pipe> pipe = platform::cloexec_pipe();
  Result<UniqueFd> socket = platform::nonblocking_tcp_socket();
  ASSERT_TRUE(pipe.ok() && socket.ok());
  // test -e only stats /dev/fd/N, so the shell opens no descriptor that could
  // take one of these numbers.
  std::string script = "for fd in";
  for (int fd : {pipe->read_end.get(), pipe->write_end.get(), socket->get()}) {
    script += " " + std::to_string(fd);
  }
  script += "; do if [ -e /dev/fd/$fd ]; then echo \"inherited $fd\"; fi; done; echo checked";
  auto [output, status] = run_shell(script);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "checked\n");
}

TEST(ChildTest, NullDeviceStreams) {
  Result<platform::Pipe> pipe = platform::cloexec_pipe();
  ASSERT_TRUE(pipe.ok());
  SpawnRequest request{"/bin/sh", {"/bin/sh", "-c", "echo out; echo err >&2; cat"}, {}, {}, {}, {}};
  request.stdin_stream = Stream::null();
  request.stdout_stream = Stream::null();
  request.stderr_stream = Stream::from(pipe->write_end.get());
  Result<Child> child = Child::spawn(request);
  ASSERT_TRUE(child.ok());
  pipe->write_end.reset();
  EXPECT_EQ(read_all(pipe->read_end.get()), "err\n");
  EXPECT_EQ(child->wait().value(), 0);
}

TEST(StandardStreamsTest, ClosedStreamsGetTheNullDevice) {
  pid_t pid = fork();
  if (pid == 0) {
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    ensure_standard_streams_open();
    // Both now stand open on the null device, so the next descriptor is 3 or more.
    struct stat error_stream, null_device;
    bool null = fstat(STDERR_FILENO, &error_stream) == 0 &&
                stat("/dev/null", &null_device) == 0 &&
                error_stream.st_rdev == null_device.st_rdev && S_ISCHR(error_stream.st_mode);
    int next = open("/dev/null", O_RDONLY | O_CLOEXEC);
    _exit(null && next > STDERR_FILENO && fcntl(STDOUT_FILENO, F_GETFD) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(EnvironmentTest, AddsAndReplacesVariables) {
  setenv("ZV_TEST_KEEP", "kept", 1);
  setenv("ZV_TEST_REPLACE", "old", 1);
  Environment env = environment_with({{"ZV_TEST_REPLACE", "new"}, {"ZV_TEST_ADD", "a=b"}});
  auto [output, status] = run_shell("env | grep '^ZV_TEST_' | sort", env);
  unsetenv("ZV_TEST_KEEP");
  unsetenv("ZV_TEST_REPLACE");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "ZV_TEST_ADD=a=b\nZV_TEST_KEEP=kept\nZV_TEST_REPLACE=new\n");
}

// The whole environment a child gets, entry for entry and in order, built
// over `inherited` in place of the program's own.
std::vector<std::string> child_environment(
    std::vector<std::string> inherited,
    const std::vector<std::pair<std::string, std::string>>& variables) {
  std::vector<char*> pointers;
  for (std::string& entry : inherited) pointers.push_back(entry.data());
  pointers.push_back(nullptr);
  char** own = environ;
  environ = pointers.data();
  Environment env = environment_with(variables);
  environ = own;
  // env itself, not a shell, which would rebuild the environment its own way.
  auto [output, status] = run_captured({"/usr/bin/env"}, env);
  EXPECT_EQ(status, 0);
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(EnvironmentTest, ReplacesByWholeNameAndKeepsTheOrder) {
  // FO, FOOBAR and FOO_ share a prefix with the replaced FOO; FOO appears
  // twice and an entry without "=" is kept as it is.
  EXPECT_EQ(child_environment({"FO=1", "FOO=old", "FOOBAR=2", "PATH=/bin", "FOO=again",
                               "FOO_=3", "NOVALUE", "ZV=4"},
                              {{"FOO", "new"}, {"ZV_ADDED", "a=b"}, {"NOVALUE", "set"}}),
            (std::vector<std::string>{"FO=1", "FOOBAR=2", "PATH=/bin", "FOO_=3", "ZV=4",
                                      "FOO=new", "ZV_ADDED=a=b", "NOVALUE=set"}));
  EXPECT_EQ(child_environment({"B=1", "A=2", "B=3"}, {}),
            (std::vector<std::string>{"B=1", "A=2", "B=3"}));
  EXPECT_EQ(child_environment({"A=1"}, {{"FOO", ""}, {"A", "x"}}),
            (std::vector<std::string>{"FOO=", "A=x"}));
}

}  // namespace
}  // namespace support
