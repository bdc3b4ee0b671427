// Invariant checks for the fuzz targets: a failed check prints what broke
// and aborts, which libFuzzer (and the corpus replay) reports as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition,
                              const std::string& detail) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n%s\n", file, line, condition,
               detail.c_str());
  std::abort();
}

// Bytes shown with non-printable ones escaped, so that a report is readable.
inline std::string shown(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out + "\"";
}

}  // namespace fuzz

#define FUZZ_CHECK(condition, detail)                                          \
  do {                                                                         \
    if (!(condition)) ::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)
