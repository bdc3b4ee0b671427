// Making the binary patch that turns one file into another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "delta_patch_format.h"
#include "suffix_index.h"
#include "xz_encoding.h"

namespace delta {

// A patch's three streams before compression, holding none of the index
// that found them.
struct UncompressedPatch {
  std::uint64_t new_size = 0;
  installer::patch_format::WordRule rule = installer::patch_format::WordRule::aligned;
  std::string records;
  std::string diff;
  std::string extra;
};

// The patch as the archive stores it: the header, then the three streams
// compressed, the two small ones on a second thread while the diff bytes
// take the first.
std::string compress_patch(const UncompressedPatch& patch, const XzSettings& settings = {});

// An old file ready to be patched against: indexed once, before any new
// file's bytes are needed, so that the index is built with only the old
// file in memory.
class PatchBase {
 public:
  // `old_bytes` must outlive the object.
  explicit PatchBase(std::string_view old_bytes);

  // The streams of the patch that installer::apply_patch turns, applied to
  // the old file, into exactly `new_bytes`. Spends the index: it is freed
  // once the new file is aligned, before the streams are written, so that
  // the index (four bytes a byte of the old file) is never in memory with
  // them or with their compression.
  UncompressedPatch streams_to(std::string_view new_bytes) &&;

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
