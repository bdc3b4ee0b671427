// The installer's steps when a system call fails (through the linked-in
// fault injection) and in bounded memory (read from /proc): Linux only.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "application_wait.h"
#include "core_test_helpers.h"
#include "installation_fixture.h"
#include "tree_removal.h"

namespace {

using namespace std::chrono_literals;
using core_test::lexists;
using core_test::make_dir;
using core_test::TempDir;
using core_test::write_file;

TEST(ApplicationWait, OtherProbeFailureEndsTheWait) {
  core_test::LogCapture capture;
  support::Result<void> waited = [&] {
    core_test::ScopedFault fault{{"FAULT_KILL", "EINVAL"}};
    return installer::wait_for_application_exit(::getpid(), capture.log, {10ms, 3, 0ms});
  }();
  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error(), "could not check the application process: Invalid argument (os error 22)");
}

TEST_F(Installation, RefusedExchangeEndsTheSameByTwoRenames) {
  core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}};
  support::Result<void> installed = install_bundle();
  EXPECT_EQ(fault.failures("FAULT_RENAMEAT2"), 1);
  ASSERT_TRUE(installed) << installed.error();
  expect_installed_with_one_backup();
}

TEST_F(Installation, MovingAsideFailsAndNothingMoves) {
  make_dir(backup + "/left-by-an-earlier-run");
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not move the existing application aside: Directory not empty (os error 39)");
  EXPECT_EQ(capture.messages(), std::vector<std::string>{"installing the new application..."});
  EXPECT_EQ(version_at(target), "old");
  EXPECT_TRUE(lexists(backup + "/left-by-an-earlier-run"));
  EXPECT_TRUE(lexists(older_backup));
  EXPECT_FALSE(lexists(staging));
}

TEST_F(Installation, FailedInstallIsRolledBack) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}, {"FAULT_RENAME", "2:EACCES"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not install the new application (rolled back): Permission denied (os error 13)");
  EXPECT_EQ(version_at(target), "old");
  EXPECT_FALSE(lexists(backup));
  EXPECT_TRUE(lexists(older_backup));
  EXPECT_FALSE(lexists(staging));
}

TEST_F(Installation, FailedRollbackNamesWhereThePreviousVersionIs) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAMEAT2", "EXDEV"}, {"FAULT_RENAME", "2+:EACCES"}};
    return install_bundle();
  }();
  ASSERT_FALSE(installed);
  EXPECT_EQ(installed.error(),
            "could not install the new application (Permission denied (os error 13)) and "
            "rollback also failed (Permission denied (os error 13)); previous version is at " +
                backup);
  EXPECT_FALSE(lexists(target));
  EXPECT_EQ(version_at(backup), "old");
  EXPECT_TRUE(lexists(older_backup));
}

TEST_F(Installation, FailedPreservingAfterTheExchangeKeepsTheStagingDirectory) {
  support::Result<void> installed = [&] {
    core_test::ScopedFault fault{{"FAULT_RENAME", "EIO"}};
    return install_bundle();
  }();
  ASSERT_TRUE(installed) << installed.error();
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{
                                    "installing the new application...",
                                    "could not preserve rollback backup: Input/output error (os "
                                    "error 5)",
                                    "previous version left at " + candidate,
                                    "removed stale " + older_backup,
                                }));
  EXPECT_EQ(version_at(target), "new");
  EXPECT_EQ(version_at(candidate), "old");
  EXPECT_FALSE(lexists(backup));
}

// AddressSanitizer reserves and keeps memory of its own, so a data limit
// says nothing about what the removal holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kDataLimitMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kDataLimitMeaningful = false;
#else
constexpr bool kDataLimitMeaningful = true;
#endif
#else
constexpr bool kDataLimitMeaningful = true;
#endif

// This process's private writable memory in kB (what RLIMIT_DATA counts).
long data_kb() {
  std::string status = core_test::read_file("/proc/self/status");
  size_t at = status.find("VmData:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 7);
}

TEST(RemoveTree, LargeDirectoryIsRemovedInBoundedMemory) {
  if (!kDataLimitMeaningful) GTEST_SKIP() << "AddressSanitizer's own memory defeats the limit";
  constexpr int kFiles = 50000;
  TempDir root;
  make_dir(root / "tree");
  int fd = ::open((root / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < kFiles; ++i) {
    int file = ::openat(fd, ("f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC,
                        0644);
    ASSERT_GE(file, 0);
    ::close(file);
  }
  ::close(fd);
  // Directories among the files: each batch may hold some to descend into.
  for (const char* sub : {"tree/sub-a/inner", "tree/sub-b", "tree/sub-c"}) make_dir(root / sub);
  write_file(root / "tree/sub-a/inner/file");

  // The whole listing of 50,000 names would take several MiB.
  core_test::ChildOutput output = core_test::in_child([&]() -> std::string {
    long limit = (data_kb() + 1024) * 1024;
    struct rlimit data = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (::setrlimit(RLIMIT_DATA, &data) != 0) return "setrlimit failed";
    try {
      support::Result<void> removed = installer::remove_tree(root / "tree");
      return removed ? "removed" : removed.error();
    } catch (const std::bad_alloc&) {
      return "out of memory with 1 MiB to spare";
    }
  });
  EXPECT_EQ(output.text, "removed");
  EXPECT_FALSE(lexists(root / "tree"));
}

// A large directory lists in the order of its names' hashes on ext4 (and
// newest first on tmpfs): each batch is unlinked in inode order instead, so
// the inode tables are met in sequence.
TEST(RemoveTree, EachBatchOfALargeDirectoryIsUnlinkedInInodeOrder) {
  constexpr int kFiles = 3000;
  TempDir root;
  make_dir(root / "tree");
  std::map<std::string, ino_t> inodes;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = "f" + std::to_string(i);
    write_file(root / ("tree/" + name));
    struct stat status;
    ASSERT_EQ(::lstat((root / ("tree/" + name)).c_str(), &status), 0);
    inodes[name] = status.st_ino;
  }
  const std::string trace = root / "trace";
  {
    core_test::ScopedFault tracing{{"FAULT_TRACE", trace.c_str()}};
    support::Result<void> removed = installer::remove_tree(root / "tree");
    ASSERT_TRUE(removed) << removed.error();
  }
  std::vector<ino_t> order;
  for (const faults::TraceLine& line : faults::read_trace(trace)) {
    if (line.call == "UNLINKAT" && inodes.count(line.subject) != 0) {
      order.push_back(inodes[line.subject]);
    }
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(kFiles));
  int descents = 0;
  for (size_t i = 1; i < order.size(); ++i) descents += order[i] < order[i - 1];
  // One a batch at most: three batches of 1,024 entries.
  EXPECT_LE(descents, 2);
}

}  // namespace
