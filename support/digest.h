// SHA-256 digests of files and their hexadecimal form.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform.h"
#include "result.h"

namespace support {

using Sha256Digest = platform::Sha256Digest;

// The digest of what `fd` holds from its current offset to its end, read in
// fixed-size chunks. Error: the system's error.
Result<Sha256Digest> sha256_of_descriptor(int fd);

// 64 lower-case hexadecimal digits.
std::string to_hex(const Sha256Digest& digest);

// Exactly 64 hexadecimal digits, either case; nothing otherwise.
std::optional<Sha256Digest> digest_from_hex(std::string_view text);

}  // namespace support
