// Text from bytes: how paths and tool output become readable messages.
#pragma once

#include <string>
#include <string_view>

namespace support {

// The bytes read as UTF-8, each maximal invalid subsequence replaced by one
// U+FFFD (Unicode's "maximal subpart" practice); valid text is unchanged.
std::string lossy_utf8(std::string_view bytes);

// `bytes` as one line of text for a message or a log record, so that no
// name or value read from a file can start a line of its own: valid UTF-8 is
// kept; a backslash becomes \\; line feed, carriage return and tab become \n,
// \r and \t; other C0 controls, DEL and each byte of an invalid sequence
// become \xNN; C1 controls and U+2028, U+2029 become \u{NNNN}. Text without
// any of these is shown unchanged.
std::string printable(std::string_view bytes);

// A path for a message that is `base` (a path the program was given, shown
// as lossy_utf8 shows it) followed by names read from the disk (shown as
// printable shows them, so that a name cannot start a line of its own).
// A `path` that does not begin with `base` is shown whole as printable.
std::string printable_below(std::string_view base, std::string_view path);

// Whether `bytes` is well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Decodes the next code point of valid UTF-8 text at `pos` and advances it.
char32_t next_code_point(std::string_view text, size_t& pos);

// Appends the UTF-8 encoding of the code point `c` (at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Unicode's White_Space property.
bool is_unicode_white_space(char32_t c);

// `text` (valid UTF-8) without white space at either end.
std::string trim_unicode_white_space(std::string_view text);

}  // namespace support
