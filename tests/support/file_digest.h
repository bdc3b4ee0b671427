// The SHA-256 of a file, as `--archive-sha256` takes it. A file of its own in
// test_support, so that only the tests that call it link the digest.
#pragma once

#include <string>

namespace test_support {

// Lower-case hexadecimal; "unreadable" when the file cannot be read.
std::string sha256_hex_of_file(const std::string& path);

}  // namespace test_support
