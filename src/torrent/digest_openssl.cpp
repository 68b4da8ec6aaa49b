// SHA-1 and SHA-256 through OpenSSL's libcrypto (every build but Windows).
#if defined(_WIN32)
#error "digest_openssl.cpp is for non-Windows builds; Windows uses digest_win32.cpp"
#endif

#include <openssl/evp.h>

#include "torrent/digest.h"

namespace pellucor {

std::array<uint8_t, 20> Sha1(std::string_view bytes) {
  std::array<uint8_t, 20> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

std::array<uint8_t, 32> Sha256(std::string_view bytes) {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

}  // namespace pellucor
