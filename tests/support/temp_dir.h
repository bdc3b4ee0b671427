// A fresh directory for one test, removed with everything in it.
#pragma once

#include <string>

namespace test_support {

class TempDir {
 public:
  // Under TMPDIR (or /tmp), named "<prefix>-XXXXXX". Throws when it cannot
  // be made, which fails the test that asked for it.
  explicit TempDir(const std::string& prefix = "zentrivale-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `relative` inside the directory.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

}  // namespace test_support
