// The torrent store: info hash → the torrent's raw bytes and what they describe. One seam, two
// back ends chosen by the store's location:
//   "sqlite:PATH" or a plain PATH      one SQLite file, owned by one process (store_sqlite.cpp)
//   "postgresql://…" or "postgres://…" a PostgreSQL database that several service instances
//                                      share (store_postgresql.cpp)
// Both keep the same rows: one per torrent in "torrents", keyed by TorrentMeta::infoHash, and one
// in "hash_aliases" for each other hash a v2 or hybrid torrent is known by (its SHA-256, and for a
// hybrid torrent the truncated SHA-256). One transaction per write, so a process killed during an
// import leaves the store as it was before that import or after it, never in between.
// In the service a store runs on the io thread (serve.cpp); the PostgreSQL back end's connection
// pool is shared with the lease thread and has a lock of its own (postgresql_pool.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/store/lookup_lease.h"
#include "service/store/torrent_meta.h"

namespace pellucor::service {

struct StoredTorrent {
  TorrentMeta meta;
  std::string bytes;    // byte-identical to what was added
  int64_t addedAt = 0;  // seconds since 1970
  std::string source;   // how it came: "import", "swarm", "demo"
  // Replies made of this torrent's description (the second service's file list page, the API's
  // JSON): each built by the sites the first time it is asked for, on the io thread, then
  // shared by every reply that sends it, as the bytes are.
  mutable std::shared_ptr<const std::string> filePage, description;
};

struct StoreOptions {
  // PostgreSQL: connections kept open at most; callers beyond that wait for one to come free.
  // SQLite has one connection whatever this says.
  int connections = 4;
};

class Store {
 public:
  // Opens the store at `location` (see above), creating its tables, or bringing those of an
  // older version up to date. Nothing (and `*error` set) when it cannot be opened, or when it
  // was written by a newer version of the service.
  static std::unique_ptr<Store> Open(const std::string& location, std::string* error,
                                     const StoreOptions& options = {});
  // `location` as it may be shown: a PostgreSQL password replaced by "***".
  static std::string Shown(const std::string& location);

  virtual ~Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Adds a torrent after DescribeTorrent accepted it, as added at `addedAt` (0: now). A hash
  // already stored keeps its first bytes (true, nothing written). False with `*error` set for a
  // refused file or a failed write.
  bool Add(std::string_view torrentBytes, const std::string& source, std::string* error,
           TorrentMeta* meta = nullptr, int64_t addedAt = 0);
  // The torrent of this info hash (40 or 64 hex digits, either case): the key of a row, or one
  // of its aliases.
  virtual std::optional<StoredTorrent> Find(std::string_view infoHash) = 0;
  // Torrents stored; -1 when the store cannot be read.
  virtual int64_t Count() = 0;
  // True when the store answers a query now (the health check).
  virtual bool Reachable(std::string* error) = 0;
  // Whether the last read of a torrent failed (a damaged file, a broken connection) rather than
  // found it or found it missing; `*error` says how. Such a store may hold what it could not
  // read: the health check reports it, and the lookups do not search the swarm for it.
  bool ReadFailing(std::string* error) const;

  // Every row in key order, as stored (meta from the row's columns, not re-read from the
  // bytes), until `visit` returns false. False with `*error` set when reading failed.
  virtual bool ForEach(const std::function<bool(const StoredTorrent&)>& visit,
                       std::string* error) = 0;
  // Every alias and the key of the row it names.
  virtual bool ForEachAlias(
      const std::function<void(const std::string& alias, const std::string& key)>& visit,
      std::string* error) = 0;
  // The consistency check: the engine's own (SQLite's integrity check), then every row's bytes
  // are a torrent DescribeTorrent accepts, hashing to the row's key, with the columns saying
  // what the bytes say; every alias names a row whose torrent has that hash, and every v2 row
  // has its aliases. One line per problem found; true when there is none.
  bool Check(std::vector<std::string>* problems);

  // Which of several service instances on this store searches the swarm for a hash; nothing for
  // a store that one process owns (SQLite), whose lookups all search (lookup/null_leases.h).
  // `post` hands a callback to the thread the caller wants it run on (the io thread).
  virtual std::unique_ptr<LookupLeases> OpenLeases(const LeaseSettings& settings, Post post,
                                                   std::string* error);

  // Called for each store error no caller is told of (a read that failed, a lease statement that
  // failed), after its log line, on the thread that met it: the io thread or the lease thread
  // (the service posts each count to the io thread). A failed Add is its caller's to log and
  // count. Set before the store is used from other threads.
  void SetErrorCounter(std::function<void()> count) { errorCounter_ = std::move(count); }

 protected:
  Store() = default;
  // Logs a store error no caller is told of (event=store_error) and counts it.
  void ReportError(std::string_view during, std::string_view hash, const std::string& error);
  // A read of a torrent ended: `error` empty when it found the row or found none, else why it
  // failed (then logged and counted as ReportError does).
  void ReadEnded(std::string_view hash, const std::string& error);
  std::function<void()> errorCounter_;
  mutable std::mutex readMutex_;  // reads run on the io thread and on migrate's
  std::string readError_;         // the last read's failure; empty after a read that worked
  // Writes one described torrent and its aliases in one transaction; a key already stored is
  // left as it is (true).
  virtual bool Insert(const TorrentMeta& meta, std::string_view bytes, const std::string& source,
                      int64_t addedAt, std::string* error) = 0;
  virtual bool CheckEngine(std::vector<std::string>* problems);
};

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error);
std::unique_ptr<Store> OpenPostgresqlStore(const std::string& uri, const StoreOptions& options,
                                           std::string* error);

// The file list as a row keeps it: one line per file, "size<TAB>path"; backslash and line feed
// in paths escaped ("\\", "\n"), so that any path survives the trip.
std::string EncodeFiles(const std::vector<TorrentFile>& files);
bool DecodeFiles(std::string_view text, std::vector<TorrentFile>* files);

// The other hashes a torrent is known by: its SHA-256 and the truncated SHA-256, each unless it
// is the row's key; none for a v1 torrent.
std::vector<std::string> AliasesOf(const TorrentMeta& meta);

}  // namespace pellucor::service
