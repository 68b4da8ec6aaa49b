// The torrent store: info hash → the torrent's raw bytes and what they describe, in SQLite.
// Plain rows: one per torrent in "torrents", keyed by TorrentMeta::infoHash, and one row in
// "hash_aliases" for each other hash a v2 or hybrid torrent is known by (its SHA-256, and for a
// hybrid torrent the truncated SHA-256).
// Write-ahead logging, one transaction per write, so a process killed during an import leaves
// the store as it was before that import or after it, never in between.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "service/torrent_meta.h"

struct sqlite3;

namespace pellucor::service {

struct StoredTorrent {
  TorrentMeta meta;
  std::string bytes;    // byte-identical to what was added
  int64_t addedAt = 0;  // seconds since 1970
  std::string source;   // how it came: "import", "swarm", "demo"
};

class Store {
 public:
  // Opens the database file at `path`, creating it and its tables when needed. Nothing (and
  // `*error` set) when it cannot be opened.
  static std::unique_ptr<Store> Open(const std::string& path, std::string* error);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Adds a torrent after DescribeTorrent accepted it. A hash already stored keeps its first
  // bytes (true, nothing written). False with `*error` set for a refused file or a failed write.
  bool Add(std::string_view torrentBytes, const std::string& source, std::string* error,
           TorrentMeta* meta = nullptr);
  // The torrent of this info hash (40 or 64 hex digits, either case): the key of a row, or one
  // of its aliases.
  std::optional<StoredTorrent> Find(std::string_view infoHash);
  int64_t Count();

 private:
  explicit Store(sqlite3* db) : db_(db) {}
  // Brings a store written before v2 hashes were kept up to date; see Open.
  bool Upgrade(std::string* error);
  std::mutex mutex_;  // one connection, used from any thread
  sqlite3* db_;
};

}  // namespace pellucor::service
