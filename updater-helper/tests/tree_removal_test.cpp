#include "tree_removal.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core_test_helpers.h"

namespace {

using core_test::lexists;
using core_test::make_dir;
using core_test::make_symlink;
using core_test::TempDir;
using core_test::write_file;

// A directory outside the tree that links point into; it must survive whole.
void make_outside(const TempDir& root) {
  make_dir(root / "outside/sub");
  write_file(root / "outside/file", "keep");
}

void expect_outside_untouched(const TempDir& root) {
  EXPECT_EQ(core_test::read_file(root / "outside/file"), "keep");
  EXPECT_TRUE(lexists(root / "outside/sub"));
}

TEST(RemoveTree, RemovesEveryKindOfEntryWithoutFollowingLinks) {
  TempDir root;
  make_outside(root);
  make_dir(root / "tree/a/b/c");
  make_dir(root / "tree/empty");
  make_dir(root / "tree/locked", 0);
  write_file(root / "tree/a/b/c/file", "x", 0);
  write_file(root / "tree/file");
  ASSERT_EQ(::mkfifo((root / "tree/a/fifo").c_str(), 0600), 0);
  make_symlink(root / "outside", root / "tree/a/to-directory");
  make_symlink(root / "outside/file", root / "tree/to-file");
  make_symlink("../../outside", root / "tree/a/b/relative");
  make_symlink(root / "missing", root / "tree/dangling");

  support::Result<void> removed = installer::remove_tree(root / "tree");
  EXPECT_TRUE(removed) << removed.error();
  EXPECT_FALSE(lexists(root / "tree"));
  expect_outside_untouched(root);
}

TEST(RemoveTree, DeepTreeNeedsNeitherRecursionNorManyDescriptors) {
  constexpr int kDepth = 2000;
  TempDir root;
  make_outside(root);
  make_dir(root / "tree");
  // Built relative to descriptors: the whole path is longer than PATH_MAX.
  int fd = ::open((root / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < kDepth && fd >= 0; ++level) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ::close(file);
    int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::symlinkat((root / "outside").c_str(), fd, "link"), 0);
  ::close(fd);

  core_test::ChildOutput output = core_test::in_child([&] {
    struct rlimit few = {16, 16};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) return std::string("setrlimit failed");
    support::Result<void> removed = installer::remove_tree(root / "tree");
    return removed ? std::string("removed") : removed.error();
  });
  EXPECT_EQ(output.text, "removed");
  EXPECT_FALSE(lexists(root / "tree"));
  expect_outside_untouched(root);
}

TEST(RemoveTree, LinkIsRemovedItselfAndAFileIsNotADirectory) {
  TempDir root;
  make_outside(root);
  make_symlink(root / "outside", root / "link");
  EXPECT_TRUE(installer::remove_tree(root / "link"));
  EXPECT_FALSE(lexists(root / "link"));
  expect_outside_untouched(root);

  support::Result<void> file = installer::remove_tree(root / "outside/file");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), "Not a directory (os error 20)");
  expect_outside_untouched(root);

  support::Result<void> missing = installer::remove_tree(root / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

TEST(RemoveTree, StopsAtAnEntryThatCannotBeRemoved) {
  if (!core_test::can_switch_user()) GTEST_SKIP() << "needs root to act as another user";
  TempDir root;
  ::chmod(root.path().c_str(), 0755);
  make_dir(root / "tree/protected/inner");
  ASSERT_EQ(::chown((root / "tree").c_str(), 65534, 65534), 0);
  core_test::ChildOutput output = core_test::as_nobody([&] {
    support::Result<void> removed = installer::remove_tree(root / "tree");
    return removed ? std::string("removed") : removed.error();
  });
  EXPECT_EQ(output.text, "Permission denied (os error 13)");
  EXPECT_TRUE(lexists(root / "tree/protected/inner"));
}

std::vector<std::string> sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(RemoveStaleEntries, RemovesPrefixedEntriesExceptTheExceptedOne) {
  TempDir root;
  make_outside(root);
  std::string install = root / "Applications";
  make_dir(install + "/.Zentrivale.backup-1/Contents");
  make_dir(install + "/.Zentrivale.backup-old");
  make_dir(install + "/.Zentrivale.backup-7/Contents");
  make_dir(install + "/.zentrivale.backup-1");
  make_dir(install + "/.Other.backup-1");
  make_dir(install + "/.Zentrivale.backup-\xff");
  write_file(install + "/.Zentrivale.backup-file");
  make_symlink(root / "outside", install + "/.Zentrivale.backup-link");
  make_dir(install + "/Zentrivale.app");

  core_test::LogCapture capture;
  installer::remove_stale_entries_except(install, ".Zentrivale.backup-",
                                         root.path() + "//Applications/.Zentrivale.backup-7/",
                                         capture.log);
  EXPECT_EQ(sorted(capture.messages()),
            sorted({"removed stale " + install + "/.Zentrivale.backup-1",
                    "removed stale " + install + "/.Zentrivale.backup-old",
                    "removed stale " + install + "/.Zentrivale.backup-link"}));
  EXPECT_EQ(core_test::list_directory(install),
            sorted({".Other.backup-1", ".Zentrivale.backup-7", ".Zentrivale.backup-\xff",
                    ".Zentrivale.backup-file", ".zentrivale.backup-1", "Zentrivale.app"}));
  EXPECT_TRUE(lexists(install + "/.Zentrivale.backup-7/Contents"));
  expect_outside_untouched(root);
}

TEST(RemoveStaleEntries, UnlistableDirectoryIsPassedOverSilently) {
  TempDir root;
  core_test::LogCapture capture;
  installer::remove_stale_entries_except(root / "missing", ".zentrivale-update-staging-",
                                         std::nullopt, capture.log);
  EXPECT_TRUE(capture.messages().empty());
}

TEST(RemoveStaleEntries, EmptyDirectoryMeansTheWorkingDirectory) {
  TempDir root;
  make_dir(root / ".zentrivale-update-staging-5");
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(root.path().c_str()), 0);
  core_test::LogCapture capture;
  installer::remove_stale_entries_except("", ".zentrivale-update-staging-", std::nullopt,
                                         capture.log);
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_EQ(capture.messages(),
            std::vector<std::string>{"removed stale .zentrivale-update-staging-5"});
  EXPECT_FALSE(lexists(root / ".zentrivale-update-staging-5"));
}

}  // namespace
