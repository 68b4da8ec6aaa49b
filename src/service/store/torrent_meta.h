// What the service knows of a .torrent file: checked once, when it enters the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor::service {

struct TorrentFile {
  std::string path;  // the path inside the torrent, components joined by "/", made UTF-8 like
                     // the name
  int64_t size = 0;
};

struct TorrentMeta {
  // 40 lower-case hex digits: the SHA-1 of the raw "info" bytes, or for a v2-only torrent the
  // first 20 bytes of their SHA-256 (what v2 peers use on the wire)
  std::string infoHash;
  // 64 lower-case hex digits, the SHA-256 of the raw "info" bytes, for v2 and hybrid torrents
  // ("meta version" 2 and a "file tree"); empty for v1 torrents
  std::string infoHashV2;
  // False for a v2 or hybrid torrent that lacks the "piece layers" a file larger than one piece
  // needs (the metadata exchange carries only the info dictionary); true otherwise
  bool pieceLayers = true;
  std::string name;  // "name.utf-8" when present, else "name"; made UTF-8 by ReadableUtf8
  int64_t totalSize = 0;
  std::vector<TorrentFile> files;  // a single-file torrent lists one file, named `name`
};

// The largest .torrent the service takes (about 100 MiB; real ones stay far below).
constexpr size_t kMaxTorrentBytes = 100 * 1024 * 1024;

// Checks and describes a .torrent as libtorrent loads it (lt::torrent_info; up to 10 M bencode
// tokens, kMaxTorrentBytes): nothing, with `*why` in libtorrent's words ("invalid or missing
// 'piece length' entry in torrent file"), for a file it refuses. Bytes after the torrent's
// dictionary do not count. The info hash is taken from the raw info bytes, so it matches what
// peers use. Names and path components are shown cleaned (never refused) and cut to 255 bytes
// (ending in "…"); padding and symlink entries
// are left out of the file list and the size.
std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes, std::string* why = nullptr);

// A name from a torrent as UTF-8: UTF-8 as it is; otherwise read as code page 936 (the legacy
// Chinese encoding older clients wrote) when every byte pair is a character of it; otherwise
// each malformed sequence becomes U+FFFD.
//   "\xe7\x94\xb5" (电, UTF-8) -> itself;  "\xb5\xe7" (电, GBK) -> "\xe7\x94\xb5";
//   "a\x81" (a lead byte without its pair) -> "a\xef\xbf\xbd"
std::string ReadableUtf8(std::string_view raw);

}  // namespace pellucor::service
