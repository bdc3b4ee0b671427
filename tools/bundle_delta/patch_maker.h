// Making the binary patch that turns one file into another.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "suffix_index.h"
#include "xz_encoding.h"

namespace delta {

// An old file ready to be patched against: indexed once, before any new
// file's bytes are needed, so that the index is built with only the old
// file in memory.
class PatchBase {
 public:
  // `old_bytes` must outlive the object.
  explicit PatchBase(std::string_view old_bytes);

  // A patch that installer::apply_patch turns, applied to the old file, into
  // exactly `new_bytes`.
  std::string patch_to(std::string_view new_bytes, const XzSettings& settings = {}) const;

 private:
  std::string_view old_;
  std::optional<SuffixIndex> index_;  // none for a file beyond its reach
};

// A patch that installer::apply_patch turns, applied to `old_bytes`, into
// exactly `new_bytes`. Compressed already: the delta archive stores it as it is.
std::string make_patch(std::string_view old_bytes, std::string_view new_bytes);
std::string make_patch(std::string_view old_bytes, std::string_view new_bytes,
                       const XzSettings& settings);

}  // namespace delta
