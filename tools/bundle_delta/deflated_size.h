// How large bytes become deflated, to judge whether a patch pays and what a
// full archive would take, keeping none of the output.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "bundle_tree.h"
#include "result.h"

namespace delta {

// The delta archive's level, and zlib's default, which zip(1) uses for the
// full archives releases ship.
constexpr int kBestLevel = 9;
constexpr int kDefaultLevel = 6;

// Counts the deflated bytes of what is added to it, as one raw deflate
// stream (a ZIP entry's).
class DeflatedSize {
 public:
  explicit DeflatedSize(int level);
  ~DeflatedSize();
  DeflatedSize(const DeflatedSize&) = delete;
  DeflatedSize& operator=(const DeflatedSize&) = delete;

  void add(std::string_view bytes);
  // The stream's size; the object is spent.
  std::uint64_t finish();
  // What is out so far: the stream will be at least this long.
  std::uint64_t so_far() const { return total_; }

 private:
  void run(int flush);

  z_stream stream_{};
  bool ready_ = false;
  std::uint64_t fed_ = 0;  // when deflate cannot start, the input's size stands in
  std::uint64_t total_ = 0;
};

// `bytes` deflated at `level`. With a limit the deflate stops once its
// output passes it, and the result is then only known to exceed the limit.
std::uint64_t deflated_size(std::string_view bytes, int level,
                            std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

// Likewise for the file `path` of the tree, read in chunks rather than held
// whole (its chunks are only read once past the limit). Error: "cannot read
// {path}: {cause}".
support::Result<std::uint64_t> deflated_file_size(
    const BundleTree& tree, const std::string& path, int level,
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max());

}  // namespace delta
