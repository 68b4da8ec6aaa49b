// The SQLite back end: one file, one connection (used from any thread under a mutex), write-ahead
// logging.
#include <sqlite3.h>

#include <mutex>
#include <utility>
#include <vector>

#include "service/store/store.h"
#include "torrent/info_hash.h"

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

// The other hashes `meta`'s torrent is known by, pointing at its row `key`.
bool AddAliases(sqlite3* db, const std::string& key, const TorrentMeta& meta) {
  for (const std::string& alias : AliasesOf(meta)) {
    Statement insert(db, "INSERT OR IGNORE INTO hash_aliases(alias, info_hash) VALUES (?, ?)");
    if (!insert.ok() || !insert.BindText(1, alias) || !insert.BindText(2, key) ||
        sqlite3_step(insert.get()) != SQLITE_DONE)
      return false;
  }
  return true;
}

// The version of the schema this code writes. 1: v2 hashes kept (info_hash_v2, piece_layers,
// hash_aliases).
constexpr int64_t kSchemaVersion = 1;

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(sqlite3* db) : db_(db) {}
  ~SqliteStore() override { sqlite3_close_v2(db_); }

  // Brings a store written before v2 hashes were kept up to date; see OpenSqliteStore.
  bool Upgrade(std::string* error);

  std::optional<StoredTorrent> Find(std::string_view infoHash) override;
  int64_t Count() override;
  bool Reachable(std::string* error) override;
  bool ForEach(const std::function<bool(const StoredTorrent&)>& visit, std::string* error) override;
  bool ForEachAlias(
      const std::function<void(const std::string& alias, const std::string& key)>& visit,
      std::string* error) override;

 protected:
  bool Insert(const TorrentMeta& meta, std::string_view bytes, const std::string& source,
              int64_t addedAt, std::string* error) override;
  bool CheckEngine(std::vector<std::string>* problems) override;

 private:
  std::mutex mutex_;  // one connection, used from any thread
  sqlite3* db_;
};

// The columns of a torrents row, in the order ReadRow takes them.
constexpr char kRowColumns[] =
    "name, total_size, files, bytes, added_at, source, info_hash, info_hash_v2, piece_layers";

// False when the file list does not decode; every other field is read all the same.
bool ReadRow(const Statement& row, StoredTorrent* t) {
  t->meta.name = row.ColumnBytes(0);
  t->meta.totalSize = row.ColumnInt(1);
  t->bytes = row.ColumnBytes(3);
  t->addedAt = row.ColumnInt(4);
  t->source = row.ColumnBytes(5);
  t->meta.infoHash = row.ColumnBytes(6);
  t->meta.infoHashV2 = row.ColumnBytes(7);  // NULL reads as empty
  t->meta.pieceLayers = row.ColumnInt(8) != 0;
  t->meta.files.clear();
  if (DecodeFiles(row.ColumnBytes(2), &t->meta.files)) return true;
  t->meta.files.clear();
  return false;
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    SetError(error, path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_close(db);
    return nullptr;
  }
  // Closes the connection on every return below.
  std::unique_ptr<SqliteStore> store = std::make_unique<SqliteStore>(db);
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
      !store->Upgrade(error)) {
    if (error) *error = path + ": " + *error;
    return nullptr;
  }
  return store;
}

// Version 1 of the schema keeps v2 hashes. A store of version 0 (made before) gets the two
// columns, and its v2 and hybrid torrents their hashes and aliases, in one transaction. A store
// of a later version is refused: this code would write rows that version does not expect.
bool SqliteStore::Upgrade(std::string* error) {
  {
    Statement version(db_, "PRAGMA user_version");
    if (!version.ok() || sqlite3_step(version.get()) != SQLITE_ROW) {
      SetError(error, sqlite3_errmsg(db_));
      return false;
    }
    const int64_t found = version.ColumnInt(0);
    if (found > kSchemaVersion) {
      SetError(error, "written by a newer pellucor-service (schema version " +
                          std::to_string(found) + ", this one knows " +
                          std::to_string(kSchemaVersion) + ")");
      return false;
    }
    if (found == kSchemaVersion) return true;
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

bool SqliteStore::Insert(const TorrentMeta& meta, std::string_view bytes, const std::string& source,
                         int64_t addedAt, std::string* error) {
  const std::string files = EncodeFiles(meta.files);
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
    const bool v2 = !meta.infoHashV2.empty();
    written = insert.ok() && insert.BindText(1, meta.infoHash) && insert.BindText(2, meta.name) &&
              insert.BindInt(3, meta.totalSize) && insert.BindText(4, files) &&
              insert.BindBlob(5, bytes) && insert.BindInt(6, addedAt) &&
              insert.BindText(7, source) &&
              (v2 ? insert.BindText(8, meta.infoHashV2)
                  : sqlite3_bind_null(insert.get(), 8) == SQLITE_OK) &&
              insert.BindInt(9, meta.pieceLayers ? 1 : 0) &&
              sqlite3_step(insert.get()) == SQLITE_DONE && AddAliases(db_, meta.infoHash, meta);
    if (!written) SetError(error, sqlite3_errmsg(db_));
  }
  if (!written || !Execute(db_, "COMMIT", error)) {
    Execute(db_, "ROLLBACK", nullptr);
    return false;
  }
  return true;
}

std::optional<StoredTorrent> SqliteStore::Find(std::string_view infoHash) {
  const std::optional<InfoHash> parsed = InfoHash::FromHex(infoHash);
  const std::optional<std::string> hash =
      parsed ? std::optional<std::string>(parsed->Hex()) : std::nullopt;
  if (!hash) return std::nullopt;

  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_, (std::string("SELECT ") + kRowColumns +
                         " FROM torrents WHERE info_hash ="
                         " COALESCE((SELECT info_hash FROM hash_aliases WHERE alias = ?1), ?1)")
                            .c_str());
  const int step =
      select.ok() && select.BindText(1, *hash) ? sqlite3_step(select.get()) : SQLITE_ERROR;
  if (step == SQLITE_DONE) {
    ReadEnded(*hash, "");
    return std::nullopt;
  }
  if (step != SQLITE_ROW) {
    ReadEnded(*hash, sqlite3_errmsg(db_));
    return std::nullopt;
  }
  StoredTorrent t;
  if (!ReadRow(select, &t)) {
    ReadEnded(*hash, "the row could not be read");
    return std::nullopt;
  }
  ReadEnded(*hash, "");
  return t;
}

int64_t SqliteStore::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement count(db_, "SELECT COUNT(*) FROM torrents");
  if (!count.ok() || sqlite3_step(count.get()) != SQLITE_ROW) return -1;
  return count.ColumnInt(0);
}

bool SqliteStore::Reachable(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement probe(db_, "SELECT 1 FROM torrents LIMIT 1");
  if (probe.ok()) {
    const int rc = sqlite3_step(probe.get());
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
  }
  SetError(error, sqlite3_errmsg(db_));
  return false;
}

bool SqliteStore::ForEach(const std::function<bool(const StoredTorrent&)>& visit,
                          std::string* error) {
  // In pages, so that the lock is not held while `visit` runs.
  std::string after;
  for (;;) {
    std::vector<StoredTorrent> page;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Statement rows(db_, (std::string("SELECT ") + kRowColumns +
                           " FROM torrents WHERE info_hash > ? ORDER BY info_hash LIMIT 64")
                              .c_str());
      if (!rows.ok() || !rows.BindText(1, after)) {
        SetError(error, sqlite3_errmsg(db_));
        return false;
      }
      int rc;
      while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        StoredTorrent t;
        // A file list that does not decode reads as empty, which no torrent has: the check
        // names the row.
        ReadRow(rows, &t);
        page.push_back(std::move(t));
      }
      if (rc != SQLITE_DONE) {
        SetError(error, sqlite3_errmsg(db_));
        return false;
      }
    }
    if (page.empty()) return true;
    after = page.back().meta.infoHash;
    for (const StoredTorrent& t : page)
      if (!visit(t)) return true;
  }
}

bool SqliteStore::ForEachAlias(
    const std::function<void(const std::string& alias, const std::string& key)>& visit,
    std::string* error) {
  std::vector<std::pair<std::string, std::string>> aliases;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Statement rows(db_, "SELECT alias, info_hash FROM hash_aliases ORDER BY alias");
    int rc = SQLITE_ERROR;
    while (rows.ok() && (rc = sqlite3_step(rows.get())) == SQLITE_ROW)
      aliases.emplace_back(rows.ColumnBytes(0), rows.ColumnBytes(1));
    if (rc != SQLITE_DONE) {
      SetError(error, sqlite3_errmsg(db_));
      return false;
    }
  }
  for (const auto& [alias, key] : aliases) visit(alias, key);
  return true;
}

bool SqliteStore::CheckEngine(std::vector<std::string>* problems) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement check(db_, "PRAGMA integrity_check");
  if (!check.ok()) {
    problems->push_back(std::string("integrity check: ") + sqlite3_errmsg(db_));
    return false;
  }
  bool ok = true;
  while (sqlite3_step(check.get()) == SQLITE_ROW) {
    const std::string line = check.ColumnBytes(0);
    if (line == "ok") continue;
    problems->push_back("integrity check: " + line);
    ok = false;
  }
  return ok;
}

}  // namespace pellucor::service
