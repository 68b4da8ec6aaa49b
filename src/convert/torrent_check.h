// Deciding whether a service's reply is really a torrent before it is saved as one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/text.h"

namespace pellucor {

// The raw bytes of the "info" value when `bytes` is exactly one bencoded dictionary that holds
// an "info" dictionary (nothing before or after it); nothing otherwise.
//   "d4:infod4:name1:xee" -> "d4:name1:xe"
std::optional<std::string_view> TorrentInfoBytes(std::string_view bytes);

// Whether `reply` is a torrent, and — when `magnetHash` is 40 hexadecimal digits (either case)
// — the torrent of that info hash: the SHA-1 of its "info" bytes.
bool IsTorrentFor(const ByteBuffer& reply, const GbkText& magnetHash);

// SHA-1 from the platform (CNG on Windows, libcrypto elsewhere).
std::array<uint8_t, 20> Sha1(std::string_view bytes);

}  // namespace pellucor
