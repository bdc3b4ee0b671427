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
// place): four bytes per byte of the file while it sorts, then three for a
// file under 16 MiB, whose positions fit in 24 bits. An index of every 16th suffix took
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
    const auto* bytes = reinterpret_cast<const unsigned char*>(order_.data()) + rank * width_;
    std::uint32_t position = bytes[0] | bytes[1] << 8 | std::uint32_t{bytes[2]} << 16;
    return width_ == 3 ? position : position | std::uint32_t{bytes[3]} << 24;
  }

  std::string_view old_;
  std::size_t size_;    // suffixes
  std::size_t width_;   // bytes a position takes
  PageMemory order_;    // the positions, in order; pages of their own

};

}  // namespace delta
