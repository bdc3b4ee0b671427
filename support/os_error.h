// Rendering of system errors, in exactly one place.
#pragma once

#include <cerrno>
#include <string>

#include "result.h"

namespace support {

// "{description} (os error {number})", e.g. "No such file or directory (os error 2)".
// The path concerned is never part of it: callers name paths themselves.
std::string os_error_text(int error_number);

// An Error carrying os_error_text(error_number).
Error os_error(int error_number);

// Calls f until it no longer fails with EINTR; returns its last result.
template <typename F>
auto retry_on_eintr(F f) -> decltype(f()) {
  decltype(f()) result;
  do {
    result = f();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace support

