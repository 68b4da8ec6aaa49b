// Torrent files for tests: well-formed, of a chosen size, with their info hash.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/hex.h"
#include "torrent/torrent_check.h"

namespace pellucor::testing {

struct Torrent {
  std::string bytes;
  std::string hash;    // version 1: 40 upper-case hex digits, the SHA-1 of the info bytes
  std::string hashV2;  // version 2: 64, their SHA-256
};

// A torrent of exactly `size` bytes (at least about 120) whose info names `name`.
inline Torrent MakeTorrent(size_t size = 1100, const std::string& name = "file.bin") {
  const std::string info = "d6:lengthi4096e4:name" + std::to_string(name.size()) + ":" + name +
                           "12:piece lengthi16384e6:pieces20:" + std::string(20, '\x01') + "e";
  const std::string head = "d7:comment";
  const std::string tail = "4:info" + info + "e";
  size_t pad = size - head.size() - tail.size() - 2;
  while (head.size() + std::to_string(pad).size() + 1 + pad + tail.size() > size) --pad;
  return {head + std::to_string(pad) + ":" + std::string(pad, 'c') + tail, HexEncode(Sha1(info)),
          HexEncode(Sha256(info))};
}

}  // namespace pellucor::testing
