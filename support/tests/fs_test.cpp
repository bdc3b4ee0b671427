#include "fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "os_error.h"

namespace support {
namespace {

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fs-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string root_;
};

TEST_F(FsTest, CreatesEveryMissingLevel) {
  std::string path = root_ + "/Library/Application Support/Zentrivale";
  ASSERT_TRUE(create_dir_all(path).ok());
  EXPECT_TRUE(is_directory(path));
  EXPECT_TRUE(create_dir_all(path).ok()) << "an existing directory is success";
}

TEST_F(FsTest, HonoursTheUmask) {
  mode_t old = umask(027);
  Result<void> created = create_dir_all(root_ + "/a/b");
  umask(old);
  ASSERT_TRUE(created.ok());
  struct stat st;
  ASSERT_EQ(stat((root_ + "/a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST_F(FsTest, FileInThePlaceIsEexist) {
  std::ofstream(root_ + "/Library").put('x');
  Result<void> created = create_dir_all(root_ + "/Library/Logs/Zentrivale");
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error(), os_error_text(EEXIST));
  std::ofstream(root_ + "/file").put('x');
  EXPECT_EQ(create_dir_all(root_ + "/file").error(), os_error_text(EEXIST));
}

TEST_F(FsTest, RelativeAndEmptyPaths) {
  ASSERT_EQ(chdir(root_.c_str()), 0);
  EXPECT_TRUE(create_dir_all("").ok());
  EXPECT_TRUE(create_dir_all("rel/dir").ok());
  EXPECT_TRUE(is_directory(root_ + "/rel/dir"));
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FsTest, StatusQueriesFollowLinks) {
  std::ofstream(root_ + "/f").put('x');
  ASSERT_EQ(symlink("f", (root_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("missing", (root_ + "/dangling").c_str()), 0);
  EXPECT_TRUE(is_regular_file(root_ + "/link"));
  EXPECT_FALSE(is_regular_file(root_ + "/dangling"));
  EXPECT_FALSE(exists(root_ + "/dangling"));
  EXPECT_FALSE(is_regular_file(root_));
  EXPECT_TRUE(is_directory(root_));
}

}  // namespace
}  // namespace support
