// Making a patch in the format installer::apply_patch reads (described in
// updater-helper/src/delta_patch_format.h), the way bsdiff finds its matches: a
// suffix array of the old file, then one pass over the new file looking for
// stretches of the old one that, aligned, agree on most bytes. Each such
// stretch is stored as differences (of words where it can), nearly all zero;
// what lies between two stretches is stored as it is.

#include "patch_maker.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <utility>
#include <vector>

#include "delta_patch_format.h"
#include "suffix_index.h"
#include "xz_encoding.h"

namespace delta {
namespace {

namespace format = installer::patch_format;
// A match has to beat the alignment already under way by this many bytes to
// start a new record: fewer, and the record costs more than it saves.
constexpr std::size_t kBetterBy = 8;

// x86 code for the x86 rule: a Mach-O or ELF program of x86-64 (a universal
// binary's slices differ, so the aligned rule, which arm64's fits). Measured
// on real x86-64 releases, the x86 rule makes patches 4 to 5 % smaller.
format::WordRule word_rule(std::string_view file) {
  auto byte = [&](std::size_t i) { return i < file.size() ? static_cast<unsigned char>(file[i]) : 0u; };
  const bool mach_o_x86_64 = byte(0) == 0xcf && byte(1) == 0xfa && byte(2) == 0xed &&
                             byte(3) == 0xfe && byte(4) == 0x07 && byte(7) == 0x01;
  const bool elf_x86_64 = byte(0) == 0x7f && byte(1) == 'E' && byte(2) == 'L' && byte(3) == 'F' &&
                          byte(5) == 1 && byte(18) == 0x3e && byte(19) == 0;
  return mach_o_x86_64 || elf_x86_64 ? format::WordRule::x86 : format::WordRule::aligned;
}

// A stretch of new aligned with old, then bytes only new has: new[from,
// from + aligned) against old[old_from, ...), then new[from + aligned, ... +
// extra); the next alignment starts at old position next_old.
struct Alignment {
  std::size_t from;
  std::size_t old_from;
  std::size_t aligned;
  std::size_t extra;
  std::size_t next_old;
};

// Writes the records of the alignments.
class PatchWriter {
 public:
  PatchWriter(std::string_view old, std::string_view target)
      : old_(old), new_(target), rule_(word_rule(target)), words_(rule_) {}

  // One alignment's records. Long stretches where the two agree become
  // records of their own, kept out of the diff bytes.
  void alignment(std::size_t from, std::size_t old_from, std::size_t aligned, std::size_t extra,
                 std::size_t next_old) {
    std::size_t start = 0;
    while (true) {
      std::size_t same = agreeing(from, old_from, start, aligned);
      if (same < kLongAgreement) same = 0;
      std::size_t end = start + same;
      while (end < aligned) {
        std::size_t run = agreeing(from, old_from, end, aligned);
        if (run >= kLongAgreement) break;
        end += run + 1;
      }
      end = std::min(end, aligned);
      bool last = end == aligned;
      std::uint64_t move = last ? static_cast<std::uint64_t>(next_old) -
                                      static_cast<std::uint64_t>(old_from + aligned)
                                : 0;
      record(from + start, old_from + start, same, end - start - same, last ? extra : 0, move);
      if (last) return;
      start = end;
    }
  }

  // The streams, moved out: the writer is spent.
  UncompressedPatch finish() {
    return {new_.size(), rule_, std::move(records_), std::move(diff_), std::move(extra_)};
  }

 private:
  // Agreement this long costs less as a record than as diff bytes. LZMA
  // codes a run of zeros as a few repeated matches, so only long runs pay
  // for a record's 32 bytes and the break in the diff bytes' context
  // (measured on real releases: 1 KiB gave patches 1 % larger).
  static constexpr std::size_t kLongAgreement = 16 * 1024;

  // How many bytes agree from `start` of the alignment on, up to `limit`.
  std::size_t agreeing(std::size_t from, std::size_t old_from, std::size_t start,
                       std::size_t limit) const {
    std::size_t i = start;
    while (i < limit && new_[from + i] == old_[old_from + i]) ++i;
    return i - start;
  }

  // A record: `same` bytes as they are in old, `add` diff bytes, `extra` new
  // bytes, then the old position moves by `move`.
  void record(std::size_t from, std::size_t old_from, std::size_t same, std::size_t add,
              std::size_t extra, std::uint64_t move) {
    format::append_record(records_, {same, add, extra, move});
    words_.pass(bytes(new_, from), same);
    words_.start_run(add);
    words_.subtract(diff_, bytes(new_, from + same), bytes(old_, old_from + same), add);
    words_.pass(bytes(new_, from + same + add), extra);
    extra_.append(new_.substr(from + same + add, extra));
  }

  static const unsigned char* bytes(std::string_view of, std::size_t at) {
    return reinterpret_cast<const unsigned char*>(of.data()) + at;
  }

  std::string_view old_;
  std::string_view new_;
  format::WordRule rule_;
  format::DiffWords words_;
  std::string records_;  // the three streams, uncompressed
  std::string diff_;
  std::string extra_;
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

// Where, in the overlap of the previous alignment extended forward and the
// next one extended backward, the first should end: the split that keeps
// the most agreeing bytes. Returns how much of the overlap the first keeps.
std::size_t split_overlap(std::string_view old, std::string_view target, std::size_t overlap_start,
                          std::size_t overlap, std::size_t first_old, std::size_t second_old) {
  std::ptrdiff_t score = 0;
  std::ptrdiff_t best = 0;
  std::size_t split = 0;
  for (std::size_t i = 0; i < overlap; ++i) {
    if (target[overlap_start + i] == old[first_old + i]) ++score;
    if (target[overlap_start + i] == old[second_old + i]) --score;
    if (score > best) {
      best = score;
      split = i + 1;
    }
  }
  return split;
}

// The alignments of new against old, found with the old file's suffix index.
std::vector<Alignment> align(const SuffixIndex& index, std::string_view old_bytes,
                             std::string_view new_bytes) {
  std::vector<Alignment> alignments;
  const std::size_t size = new_bytes.size();
  std::size_t scan = 0;
  Match match;
  std::size_t last_scan = 0;       // where the pending alignment starts in new
  std::size_t last_position = 0;   // and in old
  std::ptrdiff_t last_offset = 0;  // old position minus new position there
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

    // Close the pending alignment: extended forward, the new match
    // backward, the overlap split where it scores best.
    std::size_t forward =
        forward_extent(old_bytes, new_bytes, last_scan, last_position, scan - last_scan);
    std::size_t backward =
        scan < size ? backward_extent(old_bytes, new_bytes, scan, match.position, scan - last_scan)
                    : 0;
    if (last_scan + forward > scan - backward) {
      std::size_t overlap = last_scan + forward - (scan - backward);
      std::size_t kept =
          split_overlap(old_bytes, new_bytes, scan - backward, overlap,
                        last_position + forward - overlap, match.position - backward);
      forward = forward - overlap + kept;
      backward -= kept;
    }
    std::size_t next_position = scan < size ? match.position - backward : last_position + forward;
    alignments.push_back({last_scan, last_position, forward,
                          (scan - backward) - (last_scan + forward), next_position});
    last_scan = scan - backward;
    last_position = next_position;
    last_offset = static_cast<std::ptrdiff_t>(match.position) - static_cast<std::ptrdiff_t>(scan);
  }
  return alignments;
}

}  // namespace

PatchBase::PatchBase(std::string_view old_bytes) : old_(old_bytes) {
  if (old_bytes.size() <= SuffixIndex::kLargest) index_.emplace(old_bytes);
}

UncompressedPatch PatchBase::streams_to(std::string_view new_bytes) && {
  std::vector<Alignment> alignments;
  if (index_) {
    alignments = align(*index_, old_, new_bytes);
    index_.reset();
  } else if (!new_bytes.empty()) {
    alignments.push_back({0, 0, 0, new_bytes.size(), 0});  // beyond the index's reach: whole
  }
  PatchWriter writer(old_, new_bytes);
  for (const Alignment& a : alignments)
    writer.alignment(a.from, a.old_from, a.aligned, a.extra, a.next_old);
  return writer.finish();
}

std::string compress_patch(const UncompressedPatch& patch, const XzSettings& settings) {
  auto small = std::async(std::launch::async, [&] {
    return std::make_pair(xz_compress(patch.records, settings), xz_compress(patch.extra, settings));
  });
  std::string diff = xz_compress(patch.diff, settings);
  auto [records, extra] = small.get();
  return format::header({patch.new_size, patch.rule, records.size(), diff.size()}) + records +
         diff + extra;
}

std::string make_patch(std::string_view old_bytes, std::string_view new_bytes) {
  return make_patch(old_bytes, new_bytes, XzSettings{});
}

std::string make_patch(std::string_view old_bytes, std::string_view new_bytes,
                       const XzSettings& settings) {
  return compress_patch(PatchBase(old_bytes).streams_to(new_bytes), settings);
}

}  // namespace delta
