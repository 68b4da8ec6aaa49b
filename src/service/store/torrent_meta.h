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
  std::string name;  // "name.utf-8" when present, else "name"; shown by ShownNameComponent
                     // (torrent/shown_name.h)
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

}  // namespace pellucor::service
