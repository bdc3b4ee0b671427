// Making a patch in the format installer::apply_patch reads (described in
// updater-helper/src/delta_patch.cpp), the way bsdiff finds its matches: a
// suffix array of the old file, then one pass over the new file looking for
// stretches of the old one that, aligned, agree on most bytes. Each such
// stretch is stored as byte differences, nearly all zero; what lies between
// two stretches is stored as it is.

#include "patch_maker.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace delta {
namespace {

constexpr char kMagic[8] = {'Z', 'T', 'V', 'P', 'T', 'C', 'H', '1'};
// A match has to beat the alignment already under way by this many bytes to
// start a new record: fewer, and the record costs more than it saves.
constexpr std::size_t kBetterBy = 8;

void put_u64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

struct Match {
  std::size_t position = 0;  // in the old file
  std::size_t length = 0;
};

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t limit = std::min(a.size(), b.size());
  std::size_t i = 0;
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// The old file's suffixes in order, to find the longest match of any text.
class SuffixIndex {
 public:
  explicit SuffixIndex(std::string_view old) : old_(old), order_(old.size()) {
    if (!old.empty())
      divsufsort(reinterpret_cast<const sauchar_t*>(old.data()), order_.data(),
                 static_cast<saidx_t>(old.size()));
  }

  // The longest prefix of `text` found anywhere in the old file.
  Match longest(std::string_view text) const {
    if (order_.empty()) return {};
    std::size_t low = 0;
    std::size_t high = order_.size() - 1;
    while (high - low > 1) {
      std::size_t middle = low + (high - low) / 2;
      if (suffix(middle).compare(text) < 0)
        low = middle;
      else
        high = middle;
    }
    // The text sorts between the two; its longest match is one of them.
    Match a{static_cast<std::size_t>(order_[low]), common_prefix(suffix(low), text)};
    Match b{static_cast<std::size_t>(order_[high]), common_prefix(suffix(high), text)};
    return b.length > a.length ? b : a;
  }

 private:
  std::string_view suffix(std::size_t rank) const {
    return old_.substr(static_cast<std::size_t>(order_[rank]));
  }

  std::string_view old_;
  std::vector<saidx_t> order_;
};

// Writes the records while the scan finds the alignments.
class PatchWriter {
 public:
  PatchWriter(std::string_view old, std::string_view target) : old_(old), new_(target) {
    out_.reserve(16 + target.size() + target.size() / 64);
    out_.append(kMagic, sizeof kMagic);
    put_u64(out_, target.size());
  }

  // new[from, from + add) against old[old_from, ...), then new[from + add,
  // from + add + extra) as it is, then the old position moves to `next_old`.
  void record(std::size_t from, std::size_t old_from, std::size_t add, std::size_t extra,
              std::size_t next_old) {
    put_u64(out_, add);
    put_u64(out_, extra);
    put_u64(out_, static_cast<std::uint64_t>(next_old) -
                      static_cast<std::uint64_t>(old_from + add));
    for (std::size_t i = 0; i < add; ++i)
      out_.push_back(static_cast<char>(new_[from + i] - old_[old_from + i]));
    out_.append(new_.substr(from + add, extra));
  }

  std::string finish() { return std::move(out_); }

 private:
  std::string_view old_;
  std::string_view new_;
  std::string out_;
};

// Whether new[n] equals the old byte `offset` away, where there is one.
bool agrees(std::string_view old, std::string_view target, std::size_t n, std::ptrdiff_t offset) {
  std::ptrdiff_t o = static_cast<std::ptrdiff_t>(n) + offset;
  return o >= 0 && static_cast<std::size_t>(o) < old.size() &&
         old[static_cast<std::size_t>(o)] == target[n];
}

// How far to extend the previous alignment forward from (scan, position):
// the length where agreements minus disagreements peak.
std::size_t forward_extent(std::string_view old, std::string_view target, std::size_t scan,
                           std::size_t position, std::size_t limit) {
  std::ptrdiff_t score = 0;
  std::ptrdiff_t best = 0;
  std::size_t extent = 0;
  for (std::size_t i = 0; i < limit && position + i < old.size(); ++i) {
    score += old[position + i] == target[scan + i] ? 1 : -1;
    if (score > best) {
      best = score;
      extent = i + 1;
    }
  }
  return extent;
}

// Likewise backwards from the start (scan, position) of the next match.
std::size_t backward_extent(std::string_view old, std::string_view target, std::size_t scan,
                            std::size_t position, std::size_t limit) {
  std::ptrdiff_t score = 0;
  std::ptrdiff_t best = 0;
  std::size_t extent = 0;
  for (std::size_t i = 1; i <= limit && i <= position; ++i) {
    score += old[position - i] == target[scan - i] ? 1 : -1;
    if (score > best) {
      best = score;
      extent = i;
    }
  }
  return extent;
}

}  // namespace

std::string make_patch(std::string_view old_bytes, std::string_view new_bytes) {
  PatchWriter writer(old_bytes, new_bytes);
  // The suffix array indexes with 32 bits; an old file beyond that gives
  // the new file whole.
  if (old_bytes.size() > static_cast<std::size_t>(std::numeric_limits<saidx_t>::max())) {
    if (!new_bytes.empty()) writer.record(0, 0, 0, new_bytes.size(), 0);
    return writer.finish();
  }
  SuffixIndex index(old_bytes);
  const std::size_t size = new_bytes.size();

  std::size_t scan = 0;
  Match match;
  std::size_t last_scan = 0;      // where the pending record starts in new
  std::size_t last_position = 0;  // and in old
  std::ptrdiff_t last_offset = 0; // old position minus new position of the alignment
  while (scan < size) {
    // Look for a match that beats the current alignment clearly.
    std::size_t old_score = 0;
    std::size_t scored = scan += match.length;
    for (; scan < size; ++scan) {
      match = index.longest(new_bytes.substr(scan));
      for (; scored < scan + match.length; ++scored)
        if (agrees(old_bytes, new_bytes, scored, last_offset)) ++old_score;
      if ((match.length == old_score && match.length != 0) || match.length > old_score + kBetterBy)
        break;
      if (agrees(old_bytes, new_bytes, scan, last_offset)) --old_score;
    }
    if (match.length == old_score && scan != size) continue;

    // Close the pending record: the old alignment extended forward, the new
    // match backward, the overlap split where it scores best.
    std::size_t forward = forward_extent(old_bytes, new_bytes, last_scan, last_position,
                                         scan - last_scan);
    std::size_t backward = scan < size ? backward_extent(old_bytes, new_bytes, scan,
                                                         match.position, scan - last_scan)
                                       : 0;
    if (last_scan + forward > scan - backward) {
      std::size_t overlap = last_scan + forward - (scan - backward);
      std::ptrdiff_t score = 0;
      std::ptrdiff_t best = 0;
      std::size_t split = 0;
      for (std::size_t i = 0; i < overlap; ++i) {
        std::size_t n = last_scan + forward - overlap + i;
        if (new_bytes[n] == old_bytes[last_position + forward - overlap + i]) ++score;
        if (new_bytes[scan - backward + i] == old_bytes[match.position - backward + i]) --score;
        if (score > best) {
          best = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    std::size_t next_position = scan < size ? match.position - backward : last_position + forward;
    writer.record(last_scan, last_position, forward, (scan - backward) - (last_scan + forward),
                  next_position);
    last_scan = scan - backward;
    last_position = next_position;
    last_offset = static_cast<std::ptrdiff_t>(match.position) - static_cast<std::ptrdiff_t>(scan);
  }
  return writer.finish();
}

}  // namespace delta
