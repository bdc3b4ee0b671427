// The fault-injection library's own promises, with the library linked into
// this test: each intercepted call fails the way the system would fail it,
// only where the variables select it, and the process stops where asked.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "error_texts.h"
#include "fault_injection.h"

extern char** environ;

namespace faults {
namespace {

// FAULT_* variables for the lifetime of one case.
class Faults {
 public:
  using Variables = std::vector<std::pair<std::string, std::string>>;
  explicit Faults(Variables variables) : variables_(std::move(variables)) {
    for (const auto& [name, value] : variables_) ::setenv(name.c_str(), value.c_str(), 1);
    fault_injection_reset();
  }
  ~Faults() {
    for (const auto& variable : variables_) ::unsetenv(variable.first.c_str());
    fault_injection_reset();
  }
  Faults(const Faults&) = delete;
  Faults& operator=(const Faults&) = delete;

 private:
  std::vector<std::pair<std::string, std::string>> variables_;
};

struct Failure {
  long result;
  int error;
};

template <typename Call>
Failure attempt(Call call) {
  errno = 0;
  long result = static_cast<long>(call());
  return {result, errno};
}

TEST(FaultShim, EachCallFailsAsTheSystemWould) {
  TempDir dir("faults-shim");
  std::string file = dir.path() + "/file";
  write_file(file, "x");
  {
    Faults on({{"FAULT_STAT", "EACCES"}, {"FAULT_LSTAT", "ELOOP"}, {"FAULT_OPEN", "EMFILE"},
               {"FAULT_OPENAT", "ENFILE"}, {"FAULT_OPENDIR", "ENOTDIR"},
               {"FAULT_FDOPENDIR", "ENOMEM"}, {"FAULT_KILL", "EPERM"}});
    struct stat status;
    Failure failed = attempt([&] { return ::stat(file.c_str(), &status); });
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.error, EACCES);
    EXPECT_EQ(attempt([&] { return ::lstat(file.c_str(), &status); }).error, ELOOP);
    EXPECT_EQ(attempt([&] { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }).error, EMFILE);
    EXPECT_EQ(attempt([&] { return ::openat(AT_FDCWD, file.c_str(), O_RDONLY); }).error, ENFILE);
    errno = 0;
    EXPECT_EQ(::opendir(dir.path().c_str()), nullptr);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(::fdopendir(STDIN_FILENO), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(attempt([] { return ::kill(::getpid(), 0); }).error, EPERM);
    EXPECT_EQ(fault_injection_failures("FAULT_KILL"), 1);
  }
  struct stat status;
  EXPECT_EQ(::stat(file.c_str(), &status), 0) << "the faults end with their variables";
}

TEST(FaultShim, ReaddirFailsWithNullAndErrnoThenGoesOn) {
  TempDir dir("faults-shim");
  for (const char* name : {"a", "b", "c"}) write_file(dir.path() + "/" + name, "");
  Faults on({{"FAULT_READDIR", "2:EIO"}, {"FAULT_READDIR_PATH", dir.path() + "$"}});
  DIR* listing = ::opendir(dir.path().c_str());
  ASSERT_NE(listing, nullptr);
  errno = 0;
  EXPECT_NE(::readdir(listing), nullptr);
  EXPECT_EQ(errno, 0) << "a call that goes through leaves errno alone";
  EXPECT_EQ(::readdir(listing), nullptr);
  EXPECT_EQ(errno, EIO);
  int entries = 0;
  errno = 0;
  while (::readdir(listing) != nullptr) ++entries;
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(entries, 4) << "., .., a, b, c less the one read before the failure";
  ::closedir(listing);
}

TEST(FaultShim, PosixSpawnReturnsTheErrorAndLeavesErrnoAlone) {
  Faults on({{"FAULT_POSIX_SPAWN", "ENOEXEC"}, {"FAULT_POSIX_SPAWN_PATH", "/true$"}});
  pid_t pid = -1;
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  errno = 0;
  EXPECT_EQ(::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ), ENOEXEC);
  EXPECT_EQ(errno, 0);
  char other[] = "/bin/false";
  char* other_argv[] = {other, nullptr};
  ASSERT_EQ(::posix_spawn(&pid, "/bin/false", nullptr, nullptr, other_argv, environ), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(FaultShim, WaitpidAndConnectFailAtTheChosenCall) {
  // The child runs until the pipe closes, so that the WNOHANG call below
  // cannot reap it.
  int release[2];
  ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
  pid_t child = ::fork();
  if (child == 0) {
    char byte;
    ::close(release[1]);
    while (::read(release[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::_exit(3);
  }
  ::close(release[0]);
  {
    Faults on({{"FAULT_WAITPID", "1:ECHILD"}, {"FAULT_WAITPID_PATH", "blocking"},
               {"FAULT_CONNECT", "ENETUNREACH"}});
    Failure running = attempt([&] { return ::waitpid(child, nullptr, WNOHANG); });
    EXPECT_EQ(running.result, 0);
    EXPECT_EQ(running.error, 0) << "WNOHANG is not selected";
    ::close(release[1]);
    Failure failed = attempt([&] { return ::waitpid(child, nullptr, 0); });
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.error, ECHILD);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child) << "only the first blocking call fails";
    EXPECT_EQ(WEXITSTATUS(status), 3);

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    EXPECT_EQ(attempt([&] {
                return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
              }).error,
              ENETUNREACH);
    ::close(fd);
  }
}

TEST(FaultShim, WritesAreChosenByDescriptorPathOrCount) {
  TempDir dir("faults-shim");
  std::string log = dir.path() + "/chosen.log";
  int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  {
    Faults on({{"FAULT_WRITE", "EPIPE"}, {"FAULT_WRITE_FD", std::to_string(fds[1])}});
    EXPECT_EQ(attempt([&] { return ::write(fds[1], "x", 1); }).error, EPIPE);
    EXPECT_EQ(::write(file, "x", 1), 1);
  }
  {
    Faults on({{"FAULT_WRITE", "ENOSPC"}, {"FAULT_WRITE_PATH", "chosen.log"}});
    EXPECT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_EQ(attempt([&] { return ::write(file, "x", 1); }).error, ENOSPC);
  }
  {
    Faults on(Faults::Variables{{"FAULT_WRITE", "2:EIO"}});
    EXPECT_EQ(::write(file, "a", 1), 1);
    EXPECT_EQ(attempt([&] { return ::write(fds[1], "b", 1); }).error, EIO);
    EXPECT_EQ(::write(file, "c", 1), 1);
  }
  ::close(file);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(read_file(log), "xac");
}

TEST(FaultShim, NothingCountsBeforeTheGateCall) {
  TempDir dir("faults-shim");
  Faults on(Faults::Variables{{"FAULT_AFTER", "MKDIR:gate"}, {"FAULT_STAT", "1:EACCES"}});
  struct stat status;
  EXPECT_EQ(::stat(dir.path().c_str(), &status), 0);
  EXPECT_EQ(::mkdir((dir.path() + "/gate").c_str(), 0755), 0);
  EXPECT_EQ(attempt([&] { return ::stat(dir.path().c_str(), &status); }).error, EACCES);
  EXPECT_EQ(::stat(dir.path().c_str(), &status), 0);
}

// The child makes three mkdir calls; the variables say where it stops.
std::vector<std::string> stopped_after(const std::vector<std::pair<std::string, std::string>>& stop) {
  TempDir dir("faults-shim");
  pid_t child = ::fork();
  if (child == 0) {
    for (const auto& [name, value] : stop) ::setenv(name.c_str(), value.c_str(), 1);
    fault_injection_reset();
    for (const char* name : {"/a", "/b", "/c"}) ::mkdir((dir.path() + name).c_str(), 0755);
    ::_exit(0);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WUNTRACED), child);
  EXPECT_TRUE(WIFSTOPPED(status)) << "the child did not stop";
  std::vector<std::string> made = list_directory(dir.path());
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  return made;
}

TEST(FaultShim, StopsJustBeforeTheChosenCall) {
  EXPECT_EQ(stopped_after({{"FAULT_STOP", "3"}}), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(stopped_after({{"FAULT_MKDIR_STOP", "2"}}), std::vector<std::string>{"a"});
  EXPECT_EQ(stopped_after({{"FAULT_MKDIR_STOP", "1"}, {"FAULT_MKDIR_PATH", "/b$"}}),
            std::vector<std::string>{"a"});
}

TEST(FaultShim, TraceRecordsEveryCallWithItsCountAndError) {
  TempDir dir("faults-shim");
  std::string trace = dir.path() + "/trace";
  {
    Faults on({{"FAULT_TRACE", trace}, {"FAULT_MKDIR", "2:EEXIST"},
               {"FAULT_MKDIR_PATH", dir.path() + "/m"}});
    ::mkdir((dir.path() + "/m1").c_str(), 0755);
    ::mkdir((dir.path() + "/other").c_str(), 0755);
    ::mkdir((dir.path() + "/m2").c_str(), 0755);
    int fd = ::open((dir.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(::write(fd, "hello\nworld", 11), 11);
    ::close(fd);
  }
  std::vector<TraceLine> lines = read_trace(trace);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].call, "MKDIR");
  EXPECT_EQ(lines[0].count, 1);
  EXPECT_EQ(lines[1].count, 0) << "left out by the filter";
  EXPECT_EQ(lines[2].count, 2);
  EXPECT_EQ(lines[2].error, EEXIST);
  EXPECT_EQ(lines[2].subject, dir.path() + "/m2");
  EXPECT_EQ(lines[3].call, "OPEN");
  EXPECT_EQ(lines[4].call, "WRITE");
  EXPECT_EQ(lines[4].subject, dir.path() + "/out");
  EXPECT_EQ(lines[4].detail, "hello");
  EXPECT_GE(lines[4].fd, 3);
  EXPECT_EQ(lines[4].sequence, 5);
}

}  // namespace
}  // namespace faults
