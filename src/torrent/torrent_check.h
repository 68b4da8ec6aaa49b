// Deciding whether a service's reply is really a torrent before it is saved as one.
#pragma once

#include <optional>
#include <string_view>

#include "base/text.h"
#include "torrent/digest.h"

namespace pellucor {

// The raw bytes of the "info" value when `bytes` starts with one bencoded dictionary that holds
// an "info" dictionary; nothing otherwise. Bytes after that dictionary do not count (tools often
// save a line feed after a torrent; BitTorrent clients ignore what follows).
//   "d4:infod4:name1:xee"   -> "d4:name1:xe"
//   "d4:infod4:name1:xee\n" -> "d4:name1:xe"
std::optional<std::string_view> TorrentInfoBytes(std::string_view bytes);

// What `reply` is for the torrent asked for by `magnetHash`. A hash of 40 hexadecimal digits
// (either case) is a version-1 info hash, the SHA-1 of the "info" bytes, or the truncated
// SHA-256 a v2 torrent is known by on the wire; one of 64 is a version-2 hash, their SHA-256.
// Any other text cannot be checked.
enum class TorrentMatch {
  NotATorrent,
  Unchecked,  // a torrent; the hash is not one
  Matches,    // the torrent of that hash
  Differs,    // a torrent of another hash
};
TorrentMatch MatchTorrent(const ByteBuffer& reply, const GbkText& magnetHash);

}  // namespace pellucor
