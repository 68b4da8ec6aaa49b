#include "service/store.h"

#include <sqlite3.h>

#include <ctime>
#include <utility>
#include <vector>

namespace pellucor::service {
namespace {

void SetError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

// A prepared statement, finalised when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  sqlite3_stmt* get() const { return stmt_; }

  // The bound text and blobs must outlive the statement (SQLITE_STATIC spares a copy).
  bool BindText(int index, std::string_view text) {
    return sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC,
                               SQLITE_UTF8) == SQLITE_OK;
  }
  bool BindBlob(int index, std::string_view blob) {
    return sqlite3_bind_blob64(stmt_, index, blob.data(), blob.size(), SQLITE_STATIC) == SQLITE_OK;
  }
  bool BindInt(int index, int64_t value) {
    return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
  }

  std::string ColumnBytes(int column) const {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
                : std::string();
  }
  int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs fixed SQL that takes no input.
bool Execute(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  SetError(error, message ? message : sqlite3_errmsg(db));
  sqlite3_free(message);
  return false;
}

// The file list as one line per file, "size<TAB>path". The size never holds a tab, so the first
// one ends it; backslash and line feed in paths are escaped so that any path survives the trip.
std::string EncodeFiles(const std::vector<TorrentFile>& files) {
  std::string out;
  for (const TorrentFile& f : files) {
    out += std::to_string(f.size);
    out += '\t';
    for (char c : f.path) {
      switch (c) {
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        default:
          out += c;
      }
    }
    out += '\n';
  }
  return out;
}

bool DecodeFiles(std::string_view text, std::vector<TorrentFile>* files) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const size_t tab = line.find('\t');
    if (tab == 0 || tab == std::string_view::npos) return false;
    TorrentFile f;
    for (char c : line.substr(0, tab)) {
      if (c < '0' || c > '9') return false;
      f.size = f.size * 10 + (c - '0');
    }
    for (size_t i = tab + 1; i < line.size(); ++i) {
      if (line[i] != '\\') {
        f.path += line[i];
        continue;
      }
      if (++i == line.size()) return false;
      switch (line[i]) {
        case '\\':
          f.path += '\\';
          break;
        case 'n':
          f.path += '\n';
          break;
        default:
          return false;
      }
    }
    files->push_back(std::move(f));
  }
  return true;
}

// The other hashes `meta`'s torrent is known by, pointing at its row `key`.
bool AddAliases(sqlite3* db, const std::string& key, const TorrentMeta& meta) {
  if (meta.infoHashV2.empty()) return true;
  for (const std::string& alias : {meta.infoHashV2, meta.infoHashV2.substr(0, 40)}) {
    if (alias == key) continue;
    Statement insert(db, "INSERT OR IGNORE INTO hash_aliases(alias, info_hash) VALUES (?, ?)");
    if (!insert.ok() || !insert.BindText(1, alias) || !insert.BindText(2, key) ||
        sqlite3_step(insert.get()) != SQLITE_DONE)
      return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Store> Store::Open(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    SetError(error, path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(db));  // closes the connection on every return below
  // Another process (or a second Store) may hold the write lock for a moment.
  sqlite3_busy_timeout(db, 5000);

  // Write-ahead logging: a commit is one append to the log, so a process killed mid-write leaves
  // the last committed state, and readers never see a half-written import.
  {
    Statement wal(db, "PRAGMA journal_mode=WAL");
    if (!wal.ok() || sqlite3_step(wal.get()) != SQLITE_ROW) {
      SetError(error, path + ": " + sqlite3_errmsg(db));
      return nullptr;
    }
    const unsigned char* mode = sqlite3_column_text(wal.get(), 0);
    if (!mode || std::string_view(reinterpret_cast<const char*>(mode)) != "wal") {
      SetError(error, path + ": write-ahead logging is not available");
      return nullptr;
    }
  }
  // FULL syncs the log at every commit. NORMAL would already survive a killed process, but could
  // lose the last imports on power loss after Add had reported them stored; imports come one at
  // a time from people, so the extra sync per commit costs nothing that matters.
  if (!Execute(db, "PRAGMA synchronous=FULL", error)) return nullptr;
  if (!Execute(db,
               "CREATE TABLE IF NOT EXISTS torrents("
               "info_hash TEXT PRIMARY KEY NOT NULL,"
               "name TEXT NOT NULL,"
               "total_size INTEGER NOT NULL,"
               "files TEXT NOT NULL,"  // one "size<TAB>path" line per file
               "bytes BLOB NOT NULL,"
               "added_at INTEGER NOT NULL,"
               "source TEXT NOT NULL,"
               "info_hash_v2 TEXT,"  // 64 hex digits, or NULL for a v1 torrent
               "piece_layers INTEGER NOT NULL DEFAULT 1);"
               "CREATE TABLE IF NOT EXISTS hash_aliases("
               "alias TEXT PRIMARY KEY NOT NULL,"
               "info_hash TEXT NOT NULL)",
               error) ||
      !store->Upgrade(error))
    return nullptr;
  return store;
}

// Version 1 of the schema keeps v2 hashes. A store of version 0 (made before) gets the two
// columns, and its v2 and hybrid torrents their hashes and aliases, in one transaction.
bool Store::Upgrade(std::string* error) {
  {
    Statement version(db_, "PRAGMA user_version");
    if (!version.ok() || sqlite3_step(version.get()) != SQLITE_ROW) {
      SetError(error, sqlite3_errmsg(db_));
      return false;
    }
    if (version.ColumnInt(0) >= 1) return true;
  }
  if (!Execute(db_, "BEGIN IMMEDIATE", error)) return false;
  bool ok = true;
  if (Statement probe(db_, "SELECT info_hash_v2 FROM torrents LIMIT 0"); !probe.ok()) {
    ok = Execute(db_,
                 "ALTER TABLE torrents ADD COLUMN info_hash_v2 TEXT;"
                 "ALTER TABLE torrents ADD COLUMN piece_layers INTEGER NOT NULL DEFAULT 1",
                 error);
  }
  std::vector<std::pair<std::string, TorrentMeta>> v2;  // row key → what its bytes say
  if (ok) {
    Statement rows(db_, "SELECT info_hash, bytes FROM torrents");
    ok = rows.ok();
    while (ok && sqlite3_step(rows.get()) == SQLITE_ROW) {
      std::optional<TorrentMeta> meta = DescribeTorrent(rows.ColumnBytes(1));
      if (meta && !meta->infoHashV2.empty()) v2.emplace_back(rows.ColumnBytes(0), *meta);
    }
  }
  for (const auto& [key, meta] : v2) {
    Statement update(db_,
                     "UPDATE torrents SET info_hash_v2 = ?, piece_layers = ? WHERE info_hash = ?");
    ok = ok && update.ok() && update.BindText(1, meta.infoHashV2) &&
         update.BindInt(2, meta.pieceLayers ? 1 : 0) && update.BindText(3, key) &&
         sqlite3_step(update.get()) == SQLITE_DONE && AddAliases(db_, key, meta);
  }
  if (!ok || !Execute(db_, "PRAGMA user_version = 1", error) || !Execute(db_, "COMMIT", error)) {
    if (ok) SetError(error, sqlite3_errmsg(db_));
    Execute(db_, "ROLLBACK", nullptr);
    return false;
  }
  return true;
}

Store::~Store() {
  sqlite3_close_v2(db_);
}

bool Store::Add(std::string_view torrentBytes, const std::string& source, std::string* error,
                TorrentMeta* meta) {
  const std::optional<TorrentMeta> described = DescribeTorrent(torrentBytes);
  if (!described) {
    SetError(error, "not a valid torrent file");
    return false;
  }
  const std::string files = EncodeFiles(described->files);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));

  std::lock_guard<std::mutex> lock(mutex_);
  // IMMEDIATE takes the write lock up front, so waiting for another writer happens here under
  // the busy timeout rather than failing halfway through.
  if (!Execute(db_, "BEGIN IMMEDIATE", error)) return false;
  bool written = false;
  {
    Statement insert(db_,
                     "INSERT OR IGNORE INTO torrents"
                     "(info_hash, name, total_size, files, bytes, added_at, source, info_hash_v2,"
                     " piece_layers) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const bool v2 = !described->infoHashV2.empty();
    written = insert.ok() && insert.BindText(1, described->infoHash) &&
              insert.BindText(2, described->name) && insert.BindInt(3, described->totalSize) &&
              insert.BindText(4, files) && insert.BindBlob(5, torrentBytes) &&
              insert.BindInt(6, now) && insert.BindText(7, source) &&
              (v2 ? insert.BindText(8, described->infoHashV2)
                  : sqlite3_bind_null(insert.get(), 8) == SQLITE_OK) &&
              insert.BindInt(9, described->pieceLayers ? 1 : 0) &&
              sqlite3_step(insert.get()) == SQLITE_DONE &&
              AddAliases(db_, described->infoHash, *described);
    if (!written) SetError(error, sqlite3_errmsg(db_));
  }
  if (!written || !Execute(db_, "COMMIT", error)) {
    Execute(db_, "ROLLBACK", nullptr);
    return false;
  }
  if (meta) *meta = *described;
  return true;
}

std::optional<StoredTorrent> Store::Find(std::string_view infoHash) {
  const std::optional<std::string> hash = NormaliseInfoHash(infoHash);
  if (!hash) return std::nullopt;

  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_,
                   "SELECT name, total_size, files, bytes, added_at, source, info_hash,"
                   " info_hash_v2, piece_layers FROM torrents WHERE info_hash ="
                   " COALESCE((SELECT info_hash FROM hash_aliases WHERE alias = ?1), ?1)");
  if (!select.ok() || !select.BindText(1, *hash) || sqlite3_step(select.get()) != SQLITE_ROW)
    return std::nullopt;
  StoredTorrent t;
  t.meta.name = select.ColumnBytes(0);
  t.meta.totalSize = select.ColumnInt(1);
  if (!DecodeFiles(select.ColumnBytes(2), &t.meta.files)) return std::nullopt;
  t.bytes = select.ColumnBytes(3);
  t.addedAt = select.ColumnInt(4);
  t.source = select.ColumnBytes(5);
  t.meta.infoHash = select.ColumnBytes(6);
  t.meta.infoHashV2 = select.ColumnBytes(7);  // NULL reads as empty
  t.meta.pieceLayers = select.ColumnInt(8) != 0;
  return t;
}

int64_t Store::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement count(db_, "SELECT COUNT(*) FROM torrents");
  if (!count.ok() || sqlite3_step(count.get()) != SQLITE_ROW) return -1;
  return count.ColumnInt(0);
}

}  // namespace pellucor::service
