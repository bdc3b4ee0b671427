// Lossy UTF-8, which turns every path and tool output into message text.
// Checked against a reference decoder written here from Unicode's table of
// well-formed byte sequences (each maximal invalid subpart becomes one
// U+FFFD), and for its properties: the output is valid UTF-8, valid input is
// unchanged, a second pass changes nothing. Trimming and code-point decoding
// are checked on the output.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "utf8.h"

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

struct Range {
  unsigned char low, high;
};

// What may follow a lead byte, per Unicode Table 3-7: the ranges of the
// continuation bytes; `count` is -1 for a byte that cannot begin a sequence.
struct Sequence {
  int count = -1;
  Range ranges[3] = {};
};

Sequence continuation_ranges(unsigned char lead) {
  const Range any{0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) return {1, {any}};
  if (lead == 0xE0) return {2, {{0xA0, 0xBF}, any}};
  if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) return {2, {any, any}};
  if (lead == 0xED) return {2, {{0x80, 0x9F}, any}};
  if (lead == 0xF0) return {3, {{0x90, 0xBF}, any, any}};
  if (lead >= 0xF1 && lead <= 0xF3) return {3, {any, any, any}};
  if (lead == 0xF4) return {3, {{0x80, 0x8F}, any, any}};
  return {};
}

std::string reference_lossy(const std::string& in, bool& valid) {
  std::string out;
  valid = true;
  size_t i = 0;
  while (i < in.size()) {
    unsigned char lead = static_cast<unsigned char>(in[i]);
    if (lead < 0x80) {
      out += in[i++];
      continue;
    }
    Sequence sequence = continuation_ranges(lead);
    int needed = sequence.count;
    int matched = 0;
    while (needed > 0 && matched < needed && i + 1 + matched < in.size()) {
      unsigned char b = static_cast<unsigned char>(in[i + 1 + matched]);
      const Range& range = sequence.ranges[matched];
      if (b < range.low || b > range.high) break;
      ++matched;
    }
    if (needed > 0 && matched == needed) {
      out.append(in, i, static_cast<size_t>(1 + needed));
    } else {
      out += kReplacement;
      valid = false;
    }
    i += static_cast<size_t>(1 + matched);
  }
  return out;
}

// Decoding valid text and encoding it again gives the same bytes, and no
// code point is a surrogate or beyond U+10FFFF.
void check_code_points(const std::string& text) {
  std::string again;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t before = pos;
    char32_t c = support::next_code_point(text, pos);
    FUZZ_CHECK(pos > before && pos <= text.size(), fuzz::shown(text));
    FUZZ_CHECK(c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF), fuzz::shown(text));
    support::append_utf8(again, c);
  }
  FUZZ_CHECK(again == text, fuzz::shown(text) + " re-encoded as " + fuzz::shown(again));
}

bool starts_or_ends_with_white_space(const std::string& text) {
  if (text.empty()) return false;
  size_t pos = 0;
  if (support::is_unicode_white_space(support::next_code_point(text, pos))) return true;
  char32_t last = 0;
  pos = 0;
  while (pos < text.size()) last = support::next_code_point(text, pos);
  return support::is_unicode_white_space(last);
}

bool all_white_space(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    if (!support::is_unicode_white_space(support::next_code_point(text, pos))) return false;
  }
  return true;
}

void check_trim(const std::string& text) {
  std::string trimmed = support::trim_unicode_white_space(text);
  size_t at = trimmed.empty() ? 0 : text.find(trimmed);
  FUZZ_CHECK(at != std::string::npos, fuzz::shown(text) + " trimmed " + fuzz::shown(trimmed));
  FUZZ_CHECK(support::is_valid_utf8(trimmed), fuzz::shown(trimmed));
  FUZZ_CHECK(!starts_or_ends_with_white_space(trimmed), fuzz::shown(trimmed));
  if (trimmed.empty()) {
    FUZZ_CHECK(all_white_space(text), fuzz::shown(text) + " trimmed to nothing");
    return;
  }
  // What was cut off at either end is white space, and only that.
  FUZZ_CHECK(all_white_space(text.substr(0, at)), fuzz::shown(text));
  FUZZ_CHECK(all_white_space(text.substr(at + trimmed.size())), fuzz::shown(text));
  FUZZ_CHECK(support::trim_unicode_white_space(trimmed) == trimmed, fuzz::shown(trimmed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string output = support::lossy_utf8(input);

  bool valid = false;
  std::string expected = reference_lossy(input, valid);
  FUZZ_CHECK(output == expected, fuzz::shown(input) + " gave " + fuzz::shown(output) +
                                     ", expected " + fuzz::shown(expected));
  FUZZ_CHECK(support::is_valid_utf8(input) == valid, fuzz::shown(input));
  FUZZ_CHECK(support::is_valid_utf8(output), fuzz::shown(output));
  if (valid) FUZZ_CHECK(output == input, fuzz::shown(input));
  if (!valid) FUZZ_CHECK(output.find(kReplacement) != std::string::npos, fuzz::shown(input));
  FUZZ_CHECK(output.size() <= 3 * input.size(), fuzz::shown(input));
  FUZZ_CHECK(support::lossy_utf8(output) == output, fuzz::shown(output));

  check_code_points(output);
  check_trim(output);
  return 0;
}
