// SHA-1 and SHA-256 from the platform: CNG on Windows (digest_win32.cpp), libcrypto elsewhere
// (digest_openssl.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace pellucor {

std::array<uint8_t, 20> Sha1(std::string_view bytes);
std::array<uint8_t, 32> Sha256(std::string_view bytes);

}  // namespace pellucor
