// SHA-1 and SHA-256 through the Windows cryptography API (CNG).
#if !defined(_WIN32)
#error "digest_win32.cpp is the Windows back end; other builds use digest_openssl.cpp"
#endif

#include "base/utility_win32.h"
// after windows.h (from utility_win32.h), which defines its types
#include <bcrypt.h>

#include <algorithm>

#include "torrent/digest.h"

namespace pellucor {

namespace {

struct AlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static bool Valid(Handle h) { return h != nullptr; }
  static bool Close(Handle h) { return BCryptCloseAlgorithmProvider(h, 0) == 0; }
};
struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static bool Valid(Handle h) { return h != nullptr; }
  static bool Close(Handle h) { return BCryptDestroyHash(h) == 0; }
};

// The digest of `bytes` with the CNG algorithm `name`; zeros when CNG fails.
template <size_t N>
std::array<uint8_t, N> Digest(LPCWSTR name, std::string_view bytes) {
  std::array<uint8_t, N> digest{};
  BCRYPT_ALG_HANDLE a = nullptr;
  const NTSTATUS opened = BCryptOpenAlgorithmProvider(&a, name, nullptr, 0);
  const Scoped<AlgorithmTraits> algorithm(opened == 0 ? a : nullptr);
  if (!algorithm) return digest;
  BCRYPT_HASH_HANDLE h = nullptr;
  const NTSTATUS created = BCryptCreateHash(algorithm.get(), &h, nullptr, 0, nullptr, 0, 0);
  const Scoped<HashTraits> hash(created == 0 ? h : nullptr);
  if (!hash) return digest;
  // Fed in pieces: the length parameter is 32 bits.
  for (size_t done = 0; done < bytes.size();) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes.size() - done, 1u << 30));
    BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + done)), n,
                   0);
    done += n;
  }
  BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
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
