// Linux side of the platform layer's SHA-256: Nettle, GnuTLS's low-level
// crypto library (SHA-NI where the CPU has it). Nettle's hash cannot fail
// and needs no library initialisation: libcrypto's took some 2 MiB of pages
// in every process that hashed. A file of its own, linked only by what
// hashes (the installer), so that the launcher loads nothing for it.
#include <nettle/sha2.h>

#include "platform.h"

namespace support::platform {

struct Sha256::State {
  sha256_ctx context;
};

Sha256::Sha256() : state_(new State) { sha256_init(&state_->context); }
Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
  sha256_update(&state_->context, size, static_cast<const std::uint8_t*>(data));
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  sha256_digest(&state_->context, digest.size(), digest.data());
  return digest;
}

}  // namespace support::platform
