#include "xz_encoding.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "delta_patch_format.h"

namespace delta {

namespace {

// The dictionary a stream gets at most, half the installer's largest: a
// patch's streams find their matches close by, and the encoder holds about
// thirteen bytes a byte of it. Measured on real releases, 512 KiB with the
// match finder at its own depth made patches 0.04 % smaller than 1 MiB at
// extreme's depth (512), with 5.7 MiB less an encoder; 256 KiB, 0.2 % larger.
constexpr std::uint64_t kDictionary = std::uint64_t{512} << 10;
static_assert(kDictionary <= installer::patch_format::kLargestDictionary);

lzma_options_lzma options_for(std::uint64_t size, const XzSettings& settings) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 9 | (settings.extreme ? LZMA_PRESET_EXTREME : 0));
  if (settings.extreme) options.depth = 0;  // the match finder's own
  // A dictionary larger than the data costs the encoder ten bytes a byte
  // and the decoder one for nothing. The stream's header rounds it up to the
  // next size it can say (2^n or 3 * 2^(n-1)), which the decoder allocates.
  options.dict_size = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(LZMA_DICT_SIZE_MIN, std::min(size, kDictionary)));
  options.lc = settings.lc;
  options.lp = settings.lp;
  options.pb = settings.pb;
  return options;
}

}  // namespace

std::uint64_t xz_encoder_memory(std::uint64_t size) {
  lzma_options_lzma options = options_for(size, XzSettings{});
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  return lzma_raw_encoder_memusage(filters);
}

std::string xz_compress(std::string_view data, const XzSettings& settings) {
  lzma_options_lzma options = options_for(data.size(), settings);
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options},
                                 {LZMA_VLI_UNKNOWN, nullptr}};
  // Room for the worst case, left untouched: only the pages the stream
  // fills are ever resident, not the input's size again.
  const std::size_t room = lzma_stream_buffer_bound(data.size());
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[room]);
  std::size_t written = 0;
  // CRC32: the check that every xz decoder must support.
  lzma_ret result = lzma_stream_buffer_encode(
      const_cast<lzma_filter*>(filters), LZMA_CHECK_CRC32, nullptr,
      reinterpret_cast<const std::uint8_t*>(data.data()), data.size(),
      out.get(), &written, room);
  // As any allocation fails; other errors would be settings this code never gives.
  if (result == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (result != LZMA_OK) std::abort();
  return std::string(reinterpret_cast<const char*>(out.get()), written);
}

}  // namespace delta
