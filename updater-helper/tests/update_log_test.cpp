#include "update_log.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using core_test::read_file;
using core_test::TempDir;

constexpr char kLogFile[] = "Library/Logs/Zentrivale/update-helper.log";

// Puts `fd` in place of standard error (closes it for -1) for the scope.
class StderrReplaced {
 public:
  explicit StderrReplaced(int fd) : saved_(::dup(STDERR_FILENO)) {
    if (fd < 0) {
      ::close(STDERR_FILENO);
    } else {
      ::dup2(fd, STDERR_FILENO);
    }
  }
  ~StderrReplaced() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

// HOME and the working directory as a test needs them, restored afterwards.
class Environment {
 public:
  Environment(std::optional<std::string> home, const std::string& directory) {
    if (const char* old = std::getenv("HOME")) old_home_ = old;
    if (home) {
      ::setenv("HOME", home->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
    char buffer[4096];
    old_directory_ = ::getcwd(buffer, sizeof buffer) ? buffer : "/";
    EXPECT_EQ(::chdir(directory.c_str()), 0);
  }
  ~Environment() {
    if (old_home_) {
      ::setenv("HOME", old_home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
    EXPECT_EQ(::chdir(old_directory_.c_str()), 0);
  }

 private:
  std::optional<std::string> old_home_;
  std::string old_directory_;
};

// The file's records with each time stamp taken between `from` and `to`
// written as "T", so that whole contents can be compared.
std::string with_stamps_masked(const std::string& text, time_t from, time_t to) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string record = text.substr(pos, end - pos);
    size_t close = record.find("] ");
    if (record.rfind("[", 0) == 0 && close != std::string::npos) {
      std::string stamp = record.substr(1, close - 1);
      bool digits = !stamp.empty() && stamp.find_first_not_of("0123456789") == std::string::npos &&
                    (stamp == "0" || stamp[0] != '0');
      if (digits && std::stoll(stamp) >= from && std::stoll(stamp) <= to) {
        record = "[T" + record.substr(close);
      }
    }
    out += record;
    pos = end;
  }
  return out;
}

TEST(UpdateLog, EchoesToStandardErrorAndAppendsStampedRecords) {
  TempDir home;
  core_test::make_dir(home / "Library/Logs/Zentrivale");
  core_test::write_file(home / kLogFile, "[1] from an earlier run\n");
  TempDir out;
  Environment environment(home.path(), home.path());
  time_t from = std::time(nullptr);
  {
    int capture = ::open((out / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    StderrReplaced replaced(capture);
    ::close(capture);
    installer::Log log = installer::Log::open();
    log.line("first");
    log.line("invalid arguments: --archive is required\nusage: ...");
  }
  time_t to = std::time(nullptr);
  EXPECT_EQ(read_file(out / "stderr"),
            "[update-helper] first\n"
            "[update-helper] invalid arguments: --archive is required\nusage: ...\n");
  EXPECT_EQ(with_stamps_masked(read_file(home / kLogFile), from, to),
            "[1] from an earlier run\n"
            "[T] first\n"
            "[T] invalid arguments: --archive is required\nusage: ...\n");
}

TEST(UpdateLog, WithoutHomeOnlyStandardErrorIsWritten) {
  TempDir directory;
  TempDir out;
  Environment environment(std::nullopt, directory.path());
  {
    int capture = ::open((out / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    StderrReplaced replaced(capture);
    ::close(capture);
    installer::Log::open().line("hello");
  }
  EXPECT_EQ(read_file(out / "stderr"), "[update-helper] hello\n");
  EXPECT_TRUE(core_test::list_directory(directory.path()).empty());
}

TEST(UpdateLog, EmptyHomeLogsUnderTheWorkingDirectory) {
  TempDir directory;
  Environment environment(std::string(), directory.path());
  installer::Log::open().line("hello");
  EXPECT_EQ(with_stamps_masked(read_file(directory / kLogFile), 0, std::time(nullptr)),
            "[T] hello\n");
}

TEST(UpdateLog, FileGetsEveryRecordWhenStandardErrorIsClosed) {
  TempDir home;
  Environment environment(home.path(), home.path());
  {
    // Closed before opening: the file must not take descriptor 2 and so
    // receive the echo as well.
    StderrReplaced closed(-1);
    installer::Log log = installer::Log::open();
    log.line("one");
    log.line("two");
  }
  EXPECT_EQ(with_stamps_masked(read_file(home / kLogFile), 0, std::time(nullptr)),
            "[T] one\n[T] two\n");
}

TEST(UpdateLog, FileGetsEveryRecordWhenStandardErrorIsABrokenPipe) {
  TempDir home;
  Environment environment(home.path(), home.path());
  installer::Log log = installer::Log::open();
  void (*previous)(int) = ::signal(SIGPIPE, SIG_IGN);  // as the installer's main does
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  {
    StderrReplaced broken(fds[1]);
    log.line("after the reader left");
  }
  ::close(fds[1]);
  ::signal(SIGPIPE, previous);
  EXPECT_EQ(with_stamps_masked(read_file(home / kLogFile), 0, std::time(nullptr)),
            "[T] after the reader left\n");
}

TEST(UpdateLog, TimeStampIsWholeSecondsAndZeroBefore1970) {
  EXPECT_EQ(installer::log_timestamp(-1), 0u);
  EXPECT_EQ(installer::log_timestamp(INT64_MIN), 0u);
  EXPECT_EQ(installer::log_timestamp(0), 0u);
  EXPECT_EQ(installer::log_timestamp(1700000000), 1700000000u);
}

}  // namespace
