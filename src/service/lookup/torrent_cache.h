// Stored torrents in memory, in front of the store. Each torrent is one immutable buffer that
// every reply sending it shares; the cache holds up to `capacityBytes` of them (least recently
// used first out, a torrent counted with its description), and a torrent that is being sent
// stays shared even when it has left the cache. A torrent in memory is known by each of its
// hashes (v1, v2, truncated v2), so a hybrid torrent asked for by another of them is the same
// buffer, not a second read of the store.
//   Find("<v2 hash>") after Find("<v1 hash>") of one hybrid torrent -> the same pointer
// Runs on the io thread (serve.cpp): the store reads it makes answer requests.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "service/core/metrics.h"
#include "service/store/store.h"

namespace pellucor::service {

class TorrentCache {
 public:
  using Torrent = std::shared_ptr<const StoredTorrent>;

  TorrentCache(Store& store, size_t capacityBytes, Metrics& metrics);
  TorrentCache(const TorrentCache&) = delete;
  TorrentCache& operator=(const TorrentCache&) = delete;

  // The stored torrent of `hash` (40 or 64 lower-case hex), from memory or else the store; null
  // when there is none, or when the store could not be read (`*unreadable` set then).
  Torrent Find(const std::string& hash, bool* unreadable = nullptr);
  // A torrent the swarm gave for `hash`: stored (a failed write is logged as event=store_error
  // and counted, and the torrent is served all the same) and kept in memory. Null, and logged
  // as event=torrent_refused, when the bytes are not a torrent the store takes.
  Torrent Keep(const std::string& hash, std::string bytes);
  // Memory the cached torrents hold now (the pellucor_cache_bytes gauge).
  size_t Bytes() const { return bytes_; }
  // Whether the store answers now, for the health check; `*error` says why not.
  // The store answers now, and its last read of a torrent worked.
  bool StoreHealthy(std::string* error) {
    return store_.Reachable(error) && !store_.ReadFailing(error);
  }

 private:
  // `torrent` under every hash it is known by, and in the cache when it fits; the one already in
  // memory when there is one.
  Torrent Remember(Torrent torrent);
  void Touch(const std::string& infoHash);
  void Evict();

  struct Cached {
    Torrent torrent;
    size_t bytes;
    std::list<std::string>::iterator recent;
  };

  Store& store_;
  const size_t capacity_;
  Metrics& metrics_;
  std::unordered_map<std::string, Cached> cache_;  // by TorrentMeta::infoHash
  std::list<std::string> recent_;                  // cache keys, most recently used first
  size_t bytes_ = 0;
  // Every hash a torrent in memory is known by (v1, v2, truncated v2), cached or being sent.
  std::unordered_map<std::string, std::weak_ptr<const StoredTorrent>> known_;
  size_t knownSweepAt_ = 64;
};

}  // namespace pellucor::service
