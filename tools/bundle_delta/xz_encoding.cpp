#include "xz_encoding.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "delta_patch_format.h"

namespace delta {

std::string xz_compress(std::string_view data, const XzSettings& settings) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 9 | (settings.extreme ? LZMA_PRESET_EXTREME : 0));
  // A dictionary larger than the data costs the encoder ten bytes a byte
  // and the decoder one for nothing. The stream's header rounds it up to the
  // next size it can say (2^n or 3 * 2^(n-1)), which the decoder allocates.
  options.dict_size = static_cast<std::uint32_t>(std::max<std::size_t>(
      LZMA_DICT_SIZE_MIN,
      std::min<std::size_t>(data.size(), installer::patch_format::kLargestDictionary)));
  options.lc = settings.lc;
  options.lp = settings.lp;
  options.pb = settings.pb;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options},
                                 {LZMA_VLI_UNKNOWN, nullptr}};
  std::string out(lzma_stream_buffer_bound(data.size()), '\0');
  std::size_t written = 0;
  // CRC32: the check that every xz decoder must support.
  lzma_ret result = lzma_stream_buffer_encode(
      const_cast<lzma_filter*>(filters), LZMA_CHECK_CRC32, nullptr,
      reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
      reinterpret_cast<std::uint8_t*>(out.data()), &written, out.size());
  // As any allocation fails; other errors would be settings this code never gives.
  if (result == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (result != LZMA_OK) std::abort();
  out.resize(written);
  return out;
}

}  // namespace delta
