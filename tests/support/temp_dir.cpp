#include "temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "files.h"

namespace test_support {

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() { remove_all(path_); }

}  // namespace test_support
