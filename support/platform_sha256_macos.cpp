// macOS side of the platform layer's SHA-256: CommonCrypto, part of
// libSystem. A file of its own, like its Linux counterpart.
#include <CommonCrypto/CommonDigest.h>

#include "platform.h"

namespace support::platform {

struct Sha256::State {
  CC_SHA256_CTX context;
};

Sha256::Sha256() : state_(new State) { CC_SHA256_Init(&state_->context); }
Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
  // CC_LONG is 32 bits wide.
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    CC_LONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<CC_LONG>(size);
    CC_SHA256_Update(&state_->context, bytes, chunk);
    bytes += chunk;
    size -= chunk;
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  CC_SHA256_Final(digest.data(), &state_->context);
  return digest;
}

}  // namespace support::platform
