#include "digest.h"

#include <unistd.h>

#include <cerrno>

#include "os_error.h"

namespace support {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Result<Sha256Digest> sha256_of_descriptor(int fd) {
  platform::Sha256 hasher;
  char buffer[65536];
  for (;;) {
    ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return os_error(errno);
    if (n == 0) return hasher.finish();
    hasher.update(buffer, static_cast<size_t>(n));
  }
}

std::string to_hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (unsigned char byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text;
}

std::optional<Sha256Digest> digest_from_hex(std::string_view text) {
  Sha256Digest digest{};
  if (text.size() != digest.size() * 2) return std::nullopt;
  for (size_t i = 0; i < digest.size(); ++i) {
    int high = hex_value(text[2 * i]), low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return digest;
}

}  // namespace support
