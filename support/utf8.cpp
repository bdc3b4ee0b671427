#include "utf8.h"

#include <cstdio>

namespace support {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the valid sequence at `pos`, or 0 when it is invalid; in that case
// `subpart` is the length of the maximal subpart to replace (at least 1).
size_t valid_sequence_length(std::string_view s, size_t pos, size_t& subpart) {
  unsigned char lead = static_cast<unsigned char>(s[pos]);
  subpart = 1;
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (pos + i >= s.size()) return 0;
    unsigned char b = static_cast<unsigned char>(s[pos + i]);
    bool fits = i == 1 ? (b >= low && b <= high) : is_continuation(b);
    if (!fits) return 0;
    subpart = i + 1;
  }
  return length;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t subpart;
    size_t length = valid_sequence_length(bytes, pos, subpart);
    if (length == 0) {
      out.append(kReplacement);
      pos += subpart;
    } else {
      out.append(bytes.substr(pos, length));
      pos += length;
    }
  }
  return out;
}

std::string printable(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  auto escape = [&out](const char* format, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    out += text;
  };
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t subpart;
    const size_t length = valid_sequence_length(bytes, pos, subpart);
    if (length == 0) {
      for (size_t i = 0; i < subpart; ++i) {
        escape("\\x%02x", static_cast<unsigned char>(bytes[pos + i]));
      }
      pos += subpart;
      continue;
    }
    size_t next = pos;
    const char32_t c = next_code_point(bytes, next);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      escape("\\x%02x", static_cast<unsigned>(c));
    } else if ((c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029) {
      escape("\\u{%04x}", static_cast<unsigned>(c));
    } else {
      out.append(bytes.substr(pos, length));
    }
    pos += length;
  }
  return out;
}

std::string printable_below(std::string_view base, std::string_view path) {
  if (path.substr(0, base.size()) != base) return printable(path);
  return lossy_utf8(base) + printable(path.substr(base.size()));
}

bool is_valid_utf8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t subpart;
    size_t length = valid_sequence_length(bytes, pos, subpart);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

char32_t next_code_point(std::string_view text, size_t& pos) {
  unsigned char lead = static_cast<unsigned char>(text[pos++]);
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t c = lead & (0x3F >> extra);
  for (int i = 0; i < extra && pos < text.size(); ++i) {
    c = (c << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3F);
  }
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string trim_unicode_white_space(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  size_t pos = 0;
  bool seen_text = false;
  while (pos < text.size()) {
    char32_t c = next_code_point(text, pos);
    if (is_unicode_white_space(c)) {
      if (!seen_text) begin = pos;
    } else {
      seen_text = true;
      end = pos;
    }
  }
  if (!seen_text) return {};
  return std::string(text.substr(begin, end - begin));
}

}  // namespace support
