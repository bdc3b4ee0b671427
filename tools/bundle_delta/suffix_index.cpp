#include "suffix_index.h"

#include <divsufsort.h>

#include <algorithm>

namespace delta {
namespace {

// Slices this many at the least: sorting one takes four bytes a byte of it.
constexpr std::size_t kSlices = 16;
constexpr std::size_t kSmallestSlice = std::size_t{64} << 10;

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

SuffixIndex::SuffixIndex(std::string_view old) : old_(old) {
  std::size_t slice = std::max(kSmallestSlice, (old.size() + kSlices - 1) / kSlices);
  slice += kSampling - slice % kSampling;
  order_.reserve(old.size() / kSampling + 1);
  std::vector<std::size_t> starts;  // of each slice's run in order_
  std::vector<saidx_t> sorted;
  for (std::size_t start = 0; start < old.size(); start += slice) {
    // A slice is sorted with kContext bytes after it, so that its order holds
    // that far for every suffix.
    std::size_t owned = std::min(slice, old.size() - start);
    std::size_t seen = std::min(owned + kContext, old.size() - start);
    sorted.resize(seen);
    divsufsort(reinterpret_cast<const sauchar_t*>(old.data() + start), sorted.data(),
               static_cast<saidx_t>(seen));
    starts.push_back(order_.size());
    for (saidx_t at : sorted) {
      auto offset = static_cast<std::size_t>(at);
      if (offset < owned && offset % kSampling == 0)
        order_.push_back(static_cast<std::uint32_t>(start + offset));
    }
  }
  sorted = {};
  // Merge the runs pairwise until one is left.
  auto before = [this](std::uint32_t a, std::uint32_t b) { return context(a) < context(b); };
  starts.push_back(order_.size());
  while (starts.size() > 2) {
    std::vector<std::size_t> merged;
    for (std::size_t i = 0; i + 2 < starts.size(); i += 2) {
      std::inplace_merge(order_.begin() + starts[i], order_.begin() + starts[i + 1],
                         order_.begin() + starts[i + 2], before);
      merged.push_back(starts[i]);
    }
    if (starts.size() % 2 == 0) merged.push_back(starts[starts.size() - 2]);
    merged.push_back(order_.size());
    starts = std::move(merged);
  }
}

Match SuffixIndex::longest(std::string_view text) const {
  if (order_.empty()) return {};
  // The order holds as far as kContext bytes; compare no further.
  std::string_view key = text.substr(0, kContext);
  std::size_t low = 0;
  std::size_t high = order_.size() - 1;
  while (high - low > 1) {
    std::size_t middle = low + (high - low) / 2;
    if (context(order_[middle]) < key)
      low = middle;
    else
      high = middle;
  }
  // The text sorts between the two, so its longest match is one of them.
  Match a{order_[low], common_prefix(old_.substr(order_[low]), text)};
  Match b{order_[high], common_prefix(old_.substr(order_[high]), text)};
  return b.length > a.length ? b : a;
}

}  // namespace delta
