// SHA-256 (FIPS 180-4), enough to seal a bundle's files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace stand_in {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t size);
  void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
  // The digest as 64 lower-case hexadecimal digits; the object is spent after it.
  std::string hex_digest();

 private:
  void compress(const unsigned char* block);

  std::array<uint32_t, 8> state_;
  std::array<unsigned char, 64> block_{};
  size_t block_used_ = 0;
  uint64_t total_bytes_ = 0;
};

// The digest of `bytes` in hexadecimal.
std::string sha256_hex(std::string_view bytes);

}  // namespace stand_in
