// Compressing a patch's records for the installer's decoder: one .xz stream
// of LZMA2 (the form macOS's Compression library reads), with an integrity
// check every xz decoder knows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace delta {

struct XzSettings {
  // LZMA's literal context, literal position and position bits.
  std::uint32_t lc = 3;
  std::uint32_t lp = 0;
  std::uint32_t pb = 2;
  bool extreme = true;
};

// `data` as one xz stream at LZMA's strongest setting (9, extreme, the match
// finder at its own depth), its dictionary the data's size (at least 4 KiB),
// at most 512 KiB.
std::string xz_compress(std::string_view data, const XzSettings& settings = {});

// What xz_compress's encoder allocates for `size` bytes of data.
std::uint64_t xz_encoder_memory(std::uint64_t size);

}  // namespace delta
