// Finding where in the old file a text matches longest: a suffix array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "file_bytes.h"

namespace delta {

struct Match {
  std::size_t position = 0;  // in the old file
  std::size_t length = 0;
};

// Holds every suffix of the old file in sorted order (libdivsufsort, in
// place): four bytes per byte of the file. An index of every 16th suffix took
// a quarter byte a byte, but found matches only a few bytes into them, which
// made the LZMA patches of real releases 5 to 13 % larger.
// Up to 2 GiB, libdivsufsort's 32-bit limit.
class SuffixIndex {
 public:
  static constexpr std::uint64_t kLargest = INT32_MAX;

  // `old` must outlive the index and hold at most kLargest bytes.
  explicit SuffixIndex(std::string_view old);

  // The longest prefix of `text` found in the old file, or, when several
  // share more than kContext bytes with it, one of them. Length 0 when none.
  Match longest(std::string_view text) const;

 private:
  // How many bytes of a suffix its place in the order is decided by.
  static constexpr std::size_t kContext = 4096;

  std::string_view context(std::uint32_t position) const { return old_.substr(position, kContext); }

  std::uint32_t at(std::size_t rank) const {
    return reinterpret_cast<const std::uint32_t*>(order_.data())[rank];
  }

  std::string_view old_;
  std::size_t size_;   // suffixes
  PageMemory order_;   // their positions, in order; pages of their own

};

}  // namespace delta
