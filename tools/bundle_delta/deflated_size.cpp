#include "deflated_size.h"

#include <algorithm>
#include <climits>

namespace delta {

DeflatedSize::DeflatedSize(int level) {
  ready_ = ::deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

DeflatedSize::~DeflatedSize() {
  if (ready_) ::deflateEnd(&stream_);
}

void DeflatedSize::run(int flush) {
  unsigned char buffer[65536];
  int status = Z_OK;
  do {
    stream_.next_out = buffer;
    stream_.avail_out = sizeof buffer;
    status = ::deflate(&stream_, flush);
    if (status == Z_STREAM_ERROR) return;
    total_ += sizeof buffer - stream_.avail_out;
  } while (flush == Z_FINISH ? status != Z_STREAM_END : stream_.avail_in != 0);
}

void DeflatedSize::add(std::string_view bytes) {
  fed_ += bytes.size();
  if (!ready_) return;
  while (!bytes.empty()) {
    const std::size_t chunk = std::min<std::size_t>(bytes.size(), UINT_MAX);
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream_.avail_in = static_cast<uInt>(chunk);
    run(Z_NO_FLUSH);
    bytes.remove_prefix(chunk);
  }
}

std::uint64_t DeflatedSize::finish() {
  if (!ready_) return fed_;
  run(Z_FINISH);
  return total_;
}

std::uint64_t deflated_size(std::string_view bytes, int level, std::uint64_t limit) {
  // Fed in slices so that a file that will not beat its patch is given up on
  // soon after its output passes the patch's size.
  constexpr std::size_t kSlice = 16384;
  DeflatedSize size(level);
  while (!bytes.empty()) {
    const std::size_t slice = std::min(bytes.size(), kSlice);
    size.add(bytes.substr(0, slice));
    bytes.remove_prefix(slice);
    if (size.so_far() > limit) return size.so_far();
  }
  return size.finish();
}

support::Result<std::uint64_t> deflated_file_size(const BundleTree& tree, const std::string& path,
                                                 int level, std::uint64_t limit) {
  DeflatedSize size(level);
  support::Result<void> read = read_tree_file_in_chunks(tree, path, [&](std::string_view chunk) {
    if (size.so_far() <= limit) size.add(chunk);
  });
  if (!read) return std::move(read).take_error();
  return size.so_far() > limit ? size.so_far() : size.finish();
}

}  // namespace delta
