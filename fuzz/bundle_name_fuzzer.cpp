// The name check and its debug rendering, which put archive-controlled
// file names into the log. The whole input is one name for debug_name; split
// at the first NUL it is the found path and the target for check_bundle_name.
//
// debug_name must give Some("...") around text that is valid UTF-8, holds no
// raw control character or unescaped quotation mark, and reads back (by the
// escapes it documents) as the name made valid UTF-8.
#include <cstdint>
#include <optional>
#include <string>

#include "bundle_discovery.h"
#include "fuzz_check.h"
#include "path.h"
#include "utf8.h"

namespace {

// Undoes the escapes; nothing when the body is not well formed.
std::optional<std::string> unescape(const std::string& body) {
  std::string out;
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '"') return std::nullopt;  // must have been escaped
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == body.size()) return std::nullopt;
    switch (body[i]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      case 'u': {
        size_t close = body.find('}', i);
        if (i + 1 >= body.size() || body[i + 1] != '{' || close == std::string::npos ||
            close == i + 2 || close > i + 8) {
          return std::nullopt;
        }
        std::string hex = body.substr(i + 2, close - i - 2);
        if (hex.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
        unsigned long code = std::stoul(hex, nullptr, 16);
        // Plain printable ASCII is never escaped this way, and tab, carriage
        // return, line feed and NUL have escapes of their own.
        bool own_escape = code == 0 || code == '\t' || code == '\r' || code == '\n';
        if (code > 0x10FFFF || (code >= 0x20 && code < 0x7F) || own_escape) return std::nullopt;
        support::append_utf8(out, static_cast<char32_t>(code));
        i = close;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

void check_debug_name(const std::string& name) {
  std::string rendered = installer::debug_name(name);
  const std::string open = "Some(\"", close = "\")";
  FUZZ_CHECK(rendered.size() >= open.size() + close.size() && rendered.rfind(open, 0) == 0 &&
                 rendered.compare(rendered.size() - close.size(), close.size(), close) == 0,
             fuzz::shown(rendered));
  FUZZ_CHECK(support::is_valid_utf8(rendered), fuzz::shown(rendered));
  for (unsigned char c : rendered) {
    FUZZ_CHECK(c >= 0x20 && c != 0x7F, "raw control character in " + fuzz::shown(rendered));
  }
  std::string body = rendered.substr(open.size(), rendered.size() - open.size() - close.size());
  std::optional<std::string> read_back = unescape(body);
  FUZZ_CHECK(read_back.has_value(), "malformed escapes in " + fuzz::shown(rendered));
  FUZZ_CHECK(*read_back == support::lossy_utf8(name),
             fuzz::shown(name) + " rendered " + fuzz::shown(rendered) + " reads back as " +
                 fuzz::shown(*read_back));
}

void check_name_check(const std::string& found, const std::string& target) {
  support::Result<void> checked = installer::check_bundle_name(found, target);
  std::optional<std::string> found_name = support::file_name(found);
  std::optional<std::string> target_name = support::file_name(target);
  const std::string context = fuzz::shown(found) + " against " + fuzz::shown(target);
  if (found_name == target_name) {
    FUZZ_CHECK(checked.ok(), context + ": " + checked.error());
    return;
  }
  FUZZ_CHECK(!checked, context + " accepted");
  FUZZ_CHECK(checked.error() == "archive contains " + installer::debug_name(found_name) +
                                    ", expected " + installer::debug_name(target_name),
             context + ": " + fuzz::shown(checked.error()));
  // The message goes into the log as one line.
  FUZZ_CHECK(checked.error().find('\n') == std::string::npos, fuzz::shown(checked.error()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  check_debug_name(input);
  FUZZ_CHECK(installer::debug_name(std::nullopt) == "None", "");

  size_t nul = input.find('\0');
  std::string found = input.substr(0, nul);
  std::string target = nul == std::string::npos ? found : input.substr(nul + 1);
  check_name_check(found, target);
  // A name always matches itself, and also behind another directory.
  FUZZ_CHECK(installer::check_bundle_name(found, "/elsewhere/" + found + "/").ok() ||
                 !support::file_name(found),
             fuzz::shown(found));
  return 0;
}
