// Torrent files for tests: well-formed, of a chosen size, with their info hash.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "convert/torrent_check.h"

namespace pellucor::testing {

struct Torrent {
  std::string bytes;
  std::string hash;    // version 1: 40 upper-case hex digits, the SHA-1 of the info bytes
  std::string hashV2;  // version 2: 64, their SHA-256
};

template <size_t N>
std::string HexDigest(const std::array<uint8_t, N>& d) {
  static const char k[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t b : d) {
    s.push_back(k[b >> 4]);
    s.push_back(k[b & 15]);
  }
  return s;
}

// A torrent of exactly `size` bytes (at least about 120) whose info names `name`.
inline Torrent MakeTorrent(size_t size = 1100, const std::string& name = "file.bin") {
  const std::string info = "d6:lengthi4096e4:name" + std::to_string(name.size()) + ":" + name +
                           "12:piece lengthi16384e6:pieces20:" + std::string(20, '\x01') + "e";
  const std::string head = "d7:comment";
  const std::string tail = "4:info" + info + "e";
  size_t pad = size - head.size() - tail.size() - 2;
  while (head.size() + std::to_string(pad).size() + 1 + pad + tail.size() > size) --pad;
  return {head + std::to_string(pad) + ":" + std::string(pad, 'c') + tail, HexDigest(Sha1(info)),
          HexDigest(Sha256(info))};
}

}  // namespace pellucor::testing
