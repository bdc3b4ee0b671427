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
#include <functional>
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

// Keyed faults: the call fails on the path it touches, whatever other calls
// of its kind come before it.
TEST(FaultShim, KeyedFaultsChooseCallsByThePathTheyTouch) {
  TempDir dir("faults-shim");
  std::string kept = dir.path() + "/kept.log";
  std::string moved = dir.path() + "/moved.new";
  int other = ::open((dir.path() + "/other").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  int file = ::open(moved.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::rename(moved.c_str(), kept.c_str()), 0);
  char byte = 0;
  struct Row {
    std::string variable;
    std::string value;
    std::function<long()> chosen;   // fails
    std::function<long()> elsewhere;  // goes through
    int error;
  };
  std::vector<Row> rows{
      // A descriptor keeps the path it was opened with after a rename.
      {"FAULT_WRITE", "@moved.new:EIO", [&] { return ::write(file, "x", 1); },
       [&] { return ::write(other, "x", 1); }, EIO},
      {"FAULT_READ", "@moved.new:EBADF", [&] { return ::read(file, &byte, 1); },
       [&] { return ::read(other, &byte, 1); }, EBADF},
      {"FAULT_FSYNC", "@moved.new:EIO", [&] { return ::fsync(file); },
       [&] { return ::fsync(other); }, EIO},
      {"FAULT_OPEN", "@kept.log:EACCES", [&] { return ::open(kept.c_str(), O_RDONLY | O_CLOEXEC); },
       [&] { return ::open((dir.path() + "/other").c_str(), O_RDONLY | O_CLOEXEC); }, EACCES},
      // The second path of a rename is a key too.
      {"FAULT_RENAME", "@/nowhere:EXDEV",
       [&] { return ::rename(kept.c_str(), (dir.path() + "/nowhere").c_str()); },
       [&] { return ::rename(kept.c_str(), kept.c_str()); }, EXDEV},
      {"FAULT_MKDIR", "@/made:EROFS", [&] { return ::mkdir((dir.path() + "/made").c_str(), 0755); },
       [&] { return ::mkdir((dir.path() + "/made-too").c_str(), 0755); }, EROFS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.variable + "=" + row.value);
    Faults on(Faults::Variables{{row.variable, row.value}});
    long through = row.elsewhere();
    EXPECT_GE(through, 0) << "a call on another path goes through";
    if (through > 2) ::close(static_cast<int>(through));
    Failure failed = attempt(row.chosen);
    EXPECT_EQ(failed.result, -1);
    EXPECT_EQ(failed.error, row.error);
    EXPECT_EQ(fault_injection_failures(row.variable.c_str()), 1);
  }
  ::close(file);
  ::close(other);
}

TEST(FaultShim, AKeyedCountChoosesTheNthCallOnThatPath) {
  TempDir dir("faults-shim");
  std::string base = dir.path() + "/a/shared.dat";
  for (const char* sub : {"/a", "/b"}) ::mkdir((dir.path() + sub).c_str(), 0755);
  write_file(base, "x");
  write_file(dir.path() + "/b/shared.dat.tmp", "x");
  Faults on(Faults::Variables{{"FAULT_OPENAT", "@/shared.dat:2:ENOSPC"}});
  auto open_at = [](const std::string& path) {
    return attempt([&] { return ::openat(AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC); });
  };
  Failure first = open_at(base);
  EXPECT_GE(first.result, 0);
  ::close(static_cast<int>(first.result));
  Failure unrelated = open_at(dir.path() + "/b/shared.dat.tmp");
  EXPECT_GE(unrelated.result, 0) << "not the key's path: not counted";
  ::close(static_cast<int>(unrelated.result));
  EXPECT_EQ(open_at(base).error, ENOSPC);
  Failure third = open_at(base);
  EXPECT_GE(third.result, 0);
  ::close(static_cast<int>(third.result));
}

TEST(FaultShim, KeyedFaultsReadAsTheMatrixWritesThem) {
  struct Row {
    std::string written;
    std::string variable;
  };
  for (const Row& row : std::vector<Row>{
           {"WRITE@update-helper.log:EIO", "FAULT_WRITE=@update-helper.log:EIO"},
           {"OPENAT@shared.dat:2:ENOSPC", "FAULT_OPENAT=@shared.dat:2:ENOSPC"},
           {"RENAME@Zentrivale.app:2+:EACCES", "FAULT_RENAME=@Zentrivale.app:2+:EACCES"},
           {"KILL@signal 0:EINVAL", "FAULT_KILL=@signal 0:EINVAL"},
       }) {
    Fault fault = keyed(row.written);
    EXPECT_EQ(fault.text(), row.written);
    EXPECT_EQ(fault.environment(), std::vector<std::string>{row.variable});
  }
  Fault both = keyed("OPENAT@shared.dat:2:ENOSPC");
  EXPECT_EQ(both.error_name(), "ENOSPC");
  EXPECT_TRUE(both.selects("/T/a/shared.dat"));
  EXPECT_FALSE(both.selects("/T/a/shared.dat.tmp"));
  EXPECT_TRUE(keyed("RENAME@/to:EIO").selects("/from -> /T/to"));
}

TEST(FaultShim, ReadAndFsyncAreUntracedUnlessChosen) {
  TempDir dir("faults-shim");
  std::string trace = dir.path() + "/trace";
  int fd = ::open((dir.path() + "/f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  char byte;
  {
    Faults on(Faults::Variables{{"FAULT_TRACE", trace}});
    EXPECT_EQ(::read(fd, &byte, 1), 0);
    EXPECT_EQ(::fsync(fd), 0);
    EXPECT_EQ(::write(fd, "x", 1), 1);
  }
  {
    Faults on(Faults::Variables{{"FAULT_TRACE", trace}, {"FAULT_FSYNC", "@/f:1:EIO"}});
    EXPECT_EQ(attempt([&] { return ::fsync(fd); }).error, EIO);
  }
  ::close(fd);
  std::vector<TraceLine> lines = read_trace(trace);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].call, "WRITE");
  EXPECT_EQ(lines[1].call, "FSYNC");
  EXPECT_EQ(lines[1].error, EIO);
  EXPECT_EQ(lines[1].subject, dir.path() + "/f");
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
