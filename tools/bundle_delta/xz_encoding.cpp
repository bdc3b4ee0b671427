#include "xz_encoding.h"

#include <lzma.h>

#include <cstdlib>
#include <new>

#include "delta_patch_format.h"

namespace delta {

std::string xz_compress(std::string_view data, const XzSettings& settings) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 9 | (settings.extreme ? LZMA_PRESET_EXTREME : 0));
  // A dictionary larger than the data only costs the decoder memory.
  std::uint32_t dictionary = 4096;
  while (dictionary < data.size() && dictionary < installer::patch_format::kLargestDictionary)
    dictionary <<= 1;
  options.dict_size = dictionary;
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
