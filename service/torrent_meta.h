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
  // 40 lower-case hex digits: the SHA-1 of the raw "info" bytes, or for a v2-only torrent the
  // first 20 bytes of their SHA-256 (what v2 peers use on the wire)
  std::string infoHash;
  // 64 lower-case hex digits, the SHA-256 of the raw "info" bytes, for v2 and hybrid torrents
  // ("meta version" 2 and a "file tree"); empty for v1 torrents
  std::string infoHashV2;
  // False for a v2 or hybrid torrent that lacks the "piece layers" a file larger than one piece
  // needs (the metadata exchange carries only the info dictionary); true otherwise
  bool pieceLayers = true;
  std::string name;  // UTF-8 ("name.utf-8" when present, else "name")
  int64_t totalSize = 0;
  std::vector<TorrentFile> files;  // a single-file torrent lists one file, named `name`
};

// Checks and describes a .torrent: exactly one bencoded dictionary holding an "info"
// dictionary with a name and either a length or a list of files (each with a length and a
// non-empty path list); for v2-only torrents the "file tree". Padding files (BEP 47 "attr"
// with "p") are left out of the list. Nothing for anything else:
// malformed bencoding, trailing bytes, negative sizes, path components that are empty, "." or
// "..". The info hash is taken from the raw info bytes, so it matches what peers use.
std::optional<TorrentMeta> DescribeTorrent(std::string_view bytes);

// 40 or 64 hex digits in either case → lower case; anything else → nothing.
std::optional<std::string> NormaliseInfoHash(std::string_view hex);

}  // namespace pellucor::service
