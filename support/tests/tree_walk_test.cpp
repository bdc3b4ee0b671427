#include "tree_walk.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "os_error.h"
#include "temp_dir.h"

namespace support {
namespace {

class TreeWalkTest : public ::testing::Test {
 protected:
  void make(const std::vector<std::string>& directories, const std::vector<std::string>& files) {
    for (const std::string& d : directories) ASSERT_EQ(::mkdir((root_ + "/" + d).c_str(), 0755), 0);
    for (const std::string& f : files) {
      FILE* file = std::fopen((root_ + "/" + f).c_str(), "w");
      ASSERT_NE(file, nullptr);
      std::fclose(file);
    }
  }
  test_support::TempDir dir_{"tree-walk-test"};
  const std::string& root_ = dir_.path();
};

int open_descriptors() {
  int count = 0;
  DIR* listing = ::opendir("/proc/self/fd");
  if (!listing) return -1;
  while (::readdir(listing)) ++count;
  ::closedir(listing);
  return count;
}

TEST_F(TreeWalkTest, VisitsInTheOrderAsked) {
  make({"b", "b/d", "a"}, {"c", "b/e", "b/d/f", "a/g"});
  ASSERT_EQ(::symlink("b", (root_ + "/link").c_str()), 0);
  struct Case {
    TreeVisitor::Order order;
    bool enter_b;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {TreeVisitor::Order::sorted, true, {"a", "a/g", "b", "b/d", "b/d/f", "b/e", "c", "link"}},
      {TreeVisitor::Order::sorted, false, {"a", "a/g", "b", "c", "link"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> seen;
    TreeVisitor visitor;
    visitor.order = c.order;
    visitor.visit = [&](const WalkEntry& entry) -> Result<bool> {
      seen.push_back(entry.path);
      return c.enter_b || entry.path != "b";
    };
    visitor.failed = [](const WalkFailure& failure) -> Result<void> {
      return Error(failure.path + ": " + os_error_text(failure.error));
    };
    UniqueFd top(open_directory(root_.c_str()));
    ASSERT_TRUE(walk_tree(top.get(), visitor));
    EXPECT_EQ(seen, c.expected);
  }

  // As listed: a directory's entries all before any subdirectory's.
  std::vector<std::string> seen;
  TreeVisitor visitor;
  visitor.visit = [&](const WalkEntry& entry) -> Result<bool> {
    seen.push_back(entry.path);
    return true;
  };
  visitor.failed = [](const WalkFailure&) -> Result<void> { return Error("failed"); };
  UniqueFd top(open_directory(root_.c_str()));
  ASSERT_TRUE(walk_tree(top.get(), visitor));
  ASSERT_EQ(seen.size(), 8u);
  std::vector<std::string> first(seen.begin(), seen.begin() + 4);
  std::sort(first.begin(), first.end());
  EXPECT_EQ(first, (std::vector<std::string>{"a", "b", "c", "link"}));
}

TEST_F(TreeWalkTest, HoldsFewDescriptorsAtAnyDepth) {
  std::string deep;
  std::vector<std::string> levels;
  for (int i = 0; i < 300; ++i) levels.push_back(deep += (deep.empty() ? "d" : "/d"));
  make(levels, {deep + "/end"});
  const int before = open_descriptors();
  int most = 0;
  std::string deepest;
  TreeVisitor visitor;
  visitor.order = TreeVisitor::Order::sorted;
  visitor.visit = [&](const WalkEntry& entry) -> Result<bool> {
    most = std::max(most, open_descriptors());
    if (entry.path.size() > deepest.size()) deepest = entry.path;
    return true;
  };
  visitor.failed = [](const WalkFailure& f) -> Result<void> { return os_error(f.error); };
  UniqueFd top(open_directory(root_.c_str()));
  ASSERT_TRUE(walk_tree(top.get(), visitor));
  EXPECT_EQ(deepest, deep + "/end");
  // The top, the current directory, and the listing counted while open.
  EXPECT_LE(most - before, 3);
}

TEST_F(TreeWalkTest, ClimbRefusesADirectoryMovedMeanwhile) {
  make({"a", "a/b", "a/b/c", "other"}, {});
  UniqueFd top(open_directory(root_.c_str()));
  DirectoryTrail trail(top.get());
  ASSERT_EQ(trail.descend("a"), 0);
  ASSERT_EQ(trail.descend("b"), 0);
  ASSERT_EQ(trail.descend("c"), 0);
  ASSERT_EQ(::rename((root_ + "/a/b/c").c_str(), (root_ + "/other/c").c_str()), 0);
  EXPECT_EQ(trail.climb(), ESTALE);
  EXPECT_EQ(trail.depth(), 3u);
  ASSERT_EQ(::rename((root_ + "/other/c").c_str(), (root_ + "/a/b/c").c_str()), 0);
  UniqueFd left;
  EXPECT_EQ(trail.climb(&left), 0);
  EXPECT_TRUE(left.valid());
  EXPECT_EQ(trail.climb(), 0);
  EXPECT_EQ(trail.climb(), 0);
  EXPECT_EQ(trail.current(), top.get());
  EXPECT_EQ(trail.descend("missing"), ENOENT);
  ASSERT_EQ(::symlink("a", (root_ + "/link").c_str()), 0);
  // Never through a link: ELOOP or, on Linux with O_DIRECTORY, ENOTDIR.
  const int through_link = trail.descend("link");
  EXPECT_TRUE(through_link == ELOOP || through_link == ENOTDIR) << through_link;
  EXPECT_EQ(trail.depth(), 0u);
}

}  // namespace
}  // namespace support
