// What the service knows of a .torrent file: checked once, when it enters the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellucor::service {

struct TorrentFile {
  std::string path;  // UTF-8, the path inside the torrent, components joined by "/"
  int64_t size = 0;
};

struct TorrentMeta {
  std::string infoHash;  // 40 lower-case hex digits: SHA-1 of the raw "info" bytes
  std::string name;      // UTF-8 ("name.utf-8" when present, else "name")
  int64_t totalSize = 0;
  std::vector<TorrentFile> files;  // a single-file torrent lists one file, named `name`
};

// Checks and describes a .torrent: exactly one bencoded dictionary holding an "info"
// dictionary with a name and either a length or a list of files (each with a length and a
// non-empty path list); for v2-only torrents the "file tree". Nothing for anything else:
// malformed bencoding, trailing bytes, negative sizes, path components that are empty, "." or
// "..". The info hash is taken from the raw info bytes, so it matches what peers use.
std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes);

// 40 hex digits in either case → lower case; anything else → nothing.
std::optional<std::string> NormaliseInfoHash(std::string_view hex);

}  // namespace pellucor::service
