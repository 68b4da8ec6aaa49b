// SHA-1 and SHA-256 through the Windows cryptography API (CNG).
#if !defined(_WIN32)
#error "digest_win32.cpp is the Windows back end; other builds use digest_openssl.cpp"
#endif

#include <windows.h>
// after windows.h, which defines its types
#include <bcrypt.h>

#include <algorithm>

#include "convert/torrent_check.h"

namespace pellucor {

namespace {

// The digest of `bytes` with the CNG algorithm `name`; zeros when CNG fails.
template <size_t N>
std::array<uint8_t, N> Digest(LPCWSTR name, std::string_view bytes) {
  std::array<uint8_t, N> digest{};
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, name, nullptr, 0) != 0) return digest;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
    // Fed in pieces: the length parameter is 32 bits.
    for (size_t done = 0; done < bytes.size();) {
      const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes.size() - done, 1u << 30));
      BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done)), n, 0);
      done += n;
    }
    BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return digest;
}

}  // namespace

std::array<uint8_t, 20> Sha1(std::string_view bytes) {
  return Digest<20>(BCRYPT_SHA1_ALGORITHM, bytes);
}

std::array<uint8_t, 32> Sha256(std::string_view bytes) {
  return Digest<32>(BCRYPT_SHA256_ALGORITHM, bytes);
}

}  // namespace pellucor
