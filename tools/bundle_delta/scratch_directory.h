// Where a run keeps its archives and its self-check until it succeeds.
#pragma once

#include <string>

#include "result.h"

namespace delta {

// A new directory beside `output` (same volume, so the finished archive is
// renamed into place), removed with everything below it when the object
// goes; a failed run leaves nothing behind.
class ScratchDirectory {
 public:
  // Error: "cannot create a temporary directory beside {output}: {cause}".
  static support::Result<ScratchDirectory> beside(const std::string& output);

  ScratchDirectory(ScratchDirectory&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
  }
  ScratchDirectory& operator=(ScratchDirectory&&) = delete;
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  explicit ScratchDirectory(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace delta
