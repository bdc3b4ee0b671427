// Linux side of the platform layer's SHA-256: libcrypto. A file of its own,
// linked only by what hashes (the installer), so that the launcher does not
// load libcrypto at every start.
#include <openssl/evp.h>

#include "platform.h"

namespace support::platform {

struct Sha256::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(new State) { EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr); }
Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
  EVP_DigestUpdate(state_->context, data, size);
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  EVP_DigestFinal_ex(state_->context, digest.data(), nullptr);
  return digest;
}

}  // namespace support::platform
