#include "service/lookup/torrent_cache.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <optional>

#include "service/core/log.h"

namespace pellucor::service {

TorrentCache::TorrentCache(Store& store, size_t capacityBytes, Metrics& metrics)
    : store_(store), capacity_(capacityBytes), metrics_(metrics) {}

TorrentCache::Torrent TorrentCache::Find(const std::string& hash, bool* unreadable) {
  if (unreadable) *unreadable = false;
  if (const auto it = known_.find(hash); it != known_.end()) {
    if (Torrent torrent = it->second.lock()) {
      Touch(torrent->meta.infoHash);
      return torrent;
    }
    known_.erase(it);
  }
  std::optional<StoredTorrent> found = store_.Find(hash);
  if (!found) {
    if (unreadable) *unreadable = store_.ReadFailing(nullptr);
    return nullptr;
  }
  return Remember(std::make_shared<const StoredTorrent>(std::move(*found)));
}

TorrentCache::Torrent TorrentCache::Keep(const std::string& hash, std::string bytes) {
  std::string why;
  std::optional<TorrentMeta> meta = DescribeTorrent(bytes, &why);
  if (!meta) {
    Log(LogLevel::kError, "torrent_refused",
        {{"hash", hash}, {"bytes", bytes.size()}, {"why", why}});
    return nullptr;
  }
  std::string error;
  if (!store_.Add(bytes, "swarm", &error)) {
    // The torrent is served all the same, from memory.
    Log(LogLevel::kError, "store_error", {{"hash", hash}, {"error", error}});
    metrics_.CountStoreError();
  }
  auto torrent = std::make_shared<StoredTorrent>();
  torrent->meta = std::move(*meta);
  torrent->bytes = std::move(bytes);
  torrent->addedAt = static_cast<int64_t>(std::time(nullptr));
  torrent->source = "swarm";
  return Remember(std::move(torrent));
}

TorrentCache::Torrent TorrentCache::Remember(Torrent torrent) {
  const TorrentMeta& meta = torrent->meta;
  // The same torrent may be in memory already, found under another of its hashes.
  if (const auto it = known_.find(meta.infoHash); it != known_.end())
    if (Torrent same = it->second.lock()) return same;
  known_[meta.infoHash] = torrent;
  if (!meta.infoHashV2.empty()) {
    known_[meta.infoHashV2] = torrent;
    known_[meta.infoHashV2.substr(0, 40)] = torrent;
  }
  // Hashes of torrents that left memory are dropped now and then, not one by one.
  if (known_.size() >= knownSweepAt_) {
    for (auto it = known_.begin(); it != known_.end();)
      it = it->second.expired() ? known_.erase(it) : std::next(it);
    knownSweepAt_ = std::max<size_t>(64, known_.size() * 2);
  }
  // The bytes, the description, and the two replies the sites make of the description (a page
  // and a JSON text, each about as large as the names and paths in it, and bounded).
  size_t described = meta.name.size();
  for (const TorrentFile& f : meta.files) described += sizeof(TorrentFile) + f.path.size();
  const size_t bytes = torrent->bytes.size() + sizeof(StoredTorrent) + 3 * described;
  if (bytes > capacity_ || cache_.count(meta.infoHash)) return torrent;
  recent_.push_front(meta.infoHash);
  cache_[meta.infoHash] = Cached{torrent, bytes, recent_.begin()};
  bytes_ += bytes;
  Evict();
  return torrent;
}

void TorrentCache::Evict() {
  while (bytes_ > capacity_) {
    const auto oldest = cache_.find(recent_.back());
    bytes_ -= oldest->second.bytes;
    cache_.erase(oldest);
    recent_.pop_back();
  }
}

void TorrentCache::Touch(const std::string& infoHash) {
  const auto it = cache_.find(infoHash);
  if (it != cache_.end()) recent_.splice(recent_.begin(), recent_, it->second.recent);
}

}  // namespace pellucor::service
