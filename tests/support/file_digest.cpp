#include "file_digest.h"

#include <fcntl.h>

#include "digest.h"
#include "os_error.h"
#include "unique_fd.h"

namespace test_support {

std::string sha256_hex_of_file(const std::string& path) {
  support::UniqueFd fd(
      support::retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  support::Result<support::Sha256Digest> digest = support::sha256_of_descriptor(fd.get());
  return digest ? support::to_hex(*digest) : "unreadable";
}

}  // namespace test_support
