// libzip's text for the error code that zip_open reports.
#pragma once

#include <zip.h>

#include <string>

namespace delta {

inline std::string zip_error_text(int code) {
  zip_error_t error;
  ::zip_error_init_with_code(&error, code);
  std::string text = ::zip_error_strerror(&error);
  ::zip_error_fini(&error);
  return text;
}

}  // namespace delta
