#include "deflated_size.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace delta {

std::uint64_t deflated_size(std::string_view bytes) {
  z_stream stream{};
  // Raw deflate, as in a ZIP entry; only the output's length is kept.
  if (::deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
    return bytes.size();
  }
  unsigned char buffer[65536];
  std::uint64_t total = 0;
  int flush = Z_NO_FLUSH;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (stream.avail_in == 0 && flush == Z_NO_FLUSH) {
      const size_t chunk = std::min<size_t>(bytes.size(), UINT_MAX);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
      stream.avail_in = static_cast<uInt>(chunk);
      bytes.remove_prefix(chunk);
      if (bytes.empty()) flush = Z_FINISH;
    }
    stream.next_out = buffer;
    stream.avail_out = sizeof buffer;
    status = ::deflate(&stream, flush);
    if (status == Z_STREAM_ERROR) break;
    total += sizeof buffer - stream.avail_out;
  }
  ::deflateEnd(&stream);
  return total;
}

}  // namespace delta
