#include "suffix_index.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace delta {
namespace {

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

SuffixIndex::SuffixIndex(std::string_view old)
    : old_(old),
      size_(old.size()),
      width_(old.size() < (std::size_t{1} << 24) ? 3 : 4),
      order_(old.size() * sizeof(std::uint32_t)) {
  if (!order_.mapped()) throw std::bad_alloc();
  // Sorted in place: saidx_t is the signed twin of the positions' type.
  static_assert(sizeof(saidx_t) == sizeof(std::uint32_t));
  if (old.empty()) return;
  divsufsort(reinterpret_cast<const sauchar_t*>(old.data()),
             reinterpret_cast<saidx_t*>(order_.data()), static_cast<saidx_t>(old.size()));
  if (width_ == 4) return;
  // Packed in place, front to back: a position's three bytes land at or
  // before its four, past every position still to be read.
  auto* bytes = reinterpret_cast<unsigned char*>(order_.data());
  for (std::size_t rank = 0; rank < size_; ++rank) {
    std::uint32_t position;
    std::memcpy(&position, bytes + rank * 4, sizeof position);
    bytes[rank * 3] = static_cast<unsigned char>(position);
    bytes[rank * 3 + 1] = static_cast<unsigned char>(position >> 8);
    bytes[rank * 3 + 2] = static_cast<unsigned char>(position >> 16);
  }
  order_.shrink(size_ * 3);
}

Match SuffixIndex::longest(std::string_view text) const {
  if (size_ == 0) return {};
  // The order holds as far as kContext bytes; compare no further.
  std::string_view key = text.substr(0, kContext);
  std::size_t low = 0;
  std::size_t high = size_ - 1;
  while (high - low > 1) {
    std::size_t middle = low + (high - low) / 2;
    if (context(at(middle)) < key)
      low = middle;
    else
      high = middle;
  }
  // The text sorts between the two, so its longest match is one of them.
  Match a{at(low), common_prefix(old_.substr(at(low)), text)};
  Match b{at(high), common_prefix(old_.substr(at(high)), text)};
  return b.length > a.length ? b : a;
}

}  // namespace delta
