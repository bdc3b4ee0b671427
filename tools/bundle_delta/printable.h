// Paths in the tool's messages and report, which are lines of text.
#pragma once

#include <string>
#include <string_view>

namespace delta {

// `bytes` as UTF-8 (invalid sequences replaced by U+FFFD) with control
// characters and backslashes escaped ("\n", "\x01", "\\"), so that a name
// holding a line feed still takes one line.
std::string printable(std::string_view bytes);

}  // namespace delta
