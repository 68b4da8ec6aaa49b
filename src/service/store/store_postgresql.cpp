// The PostgreSQL back end: the rows of the SQLite store in a database that several service
// instances share, through a pool of connections. Names and file lists are bytea, like the
// torrent's bytes: a torrent may name itself in any encoding, and the database keeps bytes
// exactly as they came.
#include <utility>

#include "service/store/postgresql_pool.h"
#include "service/store/store.h"
#include "torrent/info_hash.h"

namespace pellucor::service {
namespace {

// The version of the schema this code writes.
constexpr int kSchemaVersion = 1;
// The advisory lock that instances starting side by side take while they create the schema
// (CREATE TABLE IF NOT EXISTS run at once by two sessions can fail in one of them).
constexpr int64_t kSchemaLock = 0x70656c6c75636f72;  // "pellucor"

const PgStatement kLockSchema{"lock_schema", "SELECT pg_advisory_xact_lock($1)"};
const PgStatement kInsertTorrent{
    "insert_torrent",
    "INSERT INTO torrents(info_hash, name, total_size, files, bytes, added_at, source,"
    " info_hash_v2, piece_layers) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)"
    " ON CONFLICT (info_hash) DO NOTHING"};
const PgStatement kInsertAlias{
    "insert_alias",
    "INSERT INTO hash_aliases(alias, info_hash) VALUES ($1, $2) ON CONFLICT (alias) DO NOTHING"};
#define PELLUCOR_ROW_COLUMNS \
  "name, total_size, files, bytes, added_at, source, info_hash, info_hash_v2, piece_layers"
const PgStatement kFind{"find_torrent",
                        "SELECT " PELLUCOR_ROW_COLUMNS
                        " FROM torrents WHERE info_hash ="
                        " COALESCE((SELECT info_hash FROM hash_aliases WHERE alias = $1), $1)"};
const PgStatement kPage{"torrents_after", "SELECT " PELLUCOR_ROW_COLUMNS
                                          " FROM torrents WHERE info_hash > $1"
                                          " ORDER BY info_hash LIMIT 64"};
#undef PELLUCOR_ROW_COLUMNS
const PgStatement kCount{"count_torrents", "SELECT COUNT(*) FROM torrents"};
const PgStatement kAliases{"all_aliases",
                           "SELECT alias, info_hash FROM hash_aliases ORDER BY alias"};
const PgStatement kPing{"ping", "SELECT 1"};

const char kCreateSchema[] =
    "CREATE TABLE IF NOT EXISTS torrents("
    "info_hash text PRIMARY KEY,"
    "name bytea NOT NULL,"
    "total_size bigint NOT NULL,"
    "files bytea NOT NULL,"  // one "size<TAB>path" line per file
    "bytes bytea NOT NULL,"
    "added_at bigint NOT NULL,"
    "source text NOT NULL,"
    "info_hash_v2 text,"  // 64 hex digits, or NULL for a v1 torrent
    "piece_layers boolean NOT NULL DEFAULT true);"
    "CREATE TABLE IF NOT EXISTS hash_aliases("
    "alias text PRIMARY KEY,"
    "info_hash text NOT NULL);"
    // Leases on lookups (lookup_lease_postgresql.cpp): an owner while an instance searches, NULL
    // with a report once it missed.
    "CREATE TABLE IF NOT EXISTS lookup_leases("
    "info_hash text PRIMARY KEY,"
    "owner text,"
    "expires_at timestamptz NOT NULL,"
    "report text)";

pqxx::binarystring Bytes(std::string_view bytes) {
  return pqxx::binarystring(bytes.data(), bytes.size());
}

std::string BytesOf(const pqxx::field& field) {
  return pqxx::binarystring(field).str();
}

StoredTorrent ReadRow(const pqxx::row& row) {
  StoredTorrent t;
  t.meta.name = BytesOf(row[0]);
  t.meta.totalSize = row[1].as<int64_t>();
  // A file list that does not decode reads as empty, which no torrent has: the check names
  // the row.
  if (!DecodeFiles(BytesOf(row[2]), &t.meta.files)) t.meta.files.clear();
  t.bytes = BytesOf(row[3]);
  t.addedAt = row[4].as<int64_t>();
  t.source = row[5].as<std::string>();
  t.meta.infoHash = row[6].as<std::string>();
  t.meta.infoHashV2 = row[7].is_null() ? std::string() : row[7].as<std::string>();
  t.meta.pieceLayers = row[8].as<bool>();
  return t;
}

class PostgresqlStore final : public Store {
 public:
  explicit PostgresqlStore(std::shared_ptr<PostgresqlPool> pool) : pool_(std::move(pool)) {}

  // Creates the schema in an empty database; see OpenPostgresqlStore.
  bool Prepare(std::string* error) {
    int found = 0;
    const bool ran = pool_->Run(
        [&](pqxx::work& t) {
          Exec(t, kLockSchema, kSchemaLock);
          t.exec("CREATE TABLE IF NOT EXISTS schema_version(version integer NOT NULL)");
          const pqxx::result version = t.exec("SELECT max(version) FROM schema_version");
          found = version[0][0].is_null() ? 0 : version[0][0].as<int>();
          if (found >= kSchemaVersion) return;
          // Later versions add their steps here, each from the version before.
          t.exec(kCreateSchema);
          t.exec("DELETE FROM schema_version");
          t.exec("INSERT INTO schema_version(version) VALUES (" + std::to_string(kSchemaVersion) +
                 ")");
        },
        error);
    if (!ran) return false;
    if (found > kSchemaVersion) {
      if (error)
        *error = "written by a newer pellucor-service (schema version " + std::to_string(found) +
                 ", this one knows " + std::to_string(kSchemaVersion) + ")";
      return false;
    }
    return true;
  }

  std::optional<StoredTorrent> Find(std::string_view infoHash) override {
    const std::optional<InfoHash> parsed = InfoHash::FromHex(infoHash);
    const std::optional<std::string> hash =
        parsed ? std::optional<std::string>(parsed->Hex()) : std::nullopt;
    if (!hash) return std::nullopt;
    std::optional<StoredTorrent> found;
    std::string error;
    if (!pool_->Run(
            [&](pqxx::work& t) {
              const pqxx::result rows = Exec(t, kFind, *hash);
              if (!rows.empty()) found = ReadRow(rows[0]);
            },
            &error)) {
      ReadEnded(*hash, error);
      return std::nullopt;
    }
    ReadEnded(*hash, "");
    return found;
  }

  int64_t Count() override {
    int64_t count = -1;
    std::string error;
    pool_->Run([&](pqxx::work& t) { count = Exec(t, kCount)[0][0].as<int64_t>(); }, &error);
    return count;
  }

  bool Reachable(std::string* error) override {
    return pool_->Run([](pqxx::work& t) { Exec(t, kPing); }, error);
  }

  bool ForEach(const std::function<bool(const StoredTorrent&)>& visit,
               std::string* error) override {
    std::string after;
    for (;;) {
      std::vector<StoredTorrent> page;
      if (!pool_->Run(
              [&](pqxx::work& t) {
                page.clear();
                for (const pqxx::row& row : Exec(t, kPage, after)) page.push_back(ReadRow(row));
              },
              error))
        return false;
      if (page.empty()) return true;
      after = page.back().meta.infoHash;
      for (const StoredTorrent& torrent : page)
        if (!visit(torrent)) return true;
    }
  }

  bool ForEachAlias(
      const std::function<void(const std::string& alias, const std::string& key)>& visit,
      std::string* error) override {
    std::vector<std::pair<std::string, std::string>> aliases;
    if (!pool_->Run(
            [&](pqxx::work& t) {
              aliases.clear();
              for (const pqxx::row& row : Exec(t, kAliases))
                aliases.emplace_back(row[0].as<std::string>(), row[1].as<std::string>());
            },
            error))
      return false;
    for (const auto& [alias, key] : aliases) visit(alias, key);
    return true;
  }

  std::unique_ptr<LookupLeases> OpenLeases(const LeaseSettings& settings, Post post,
                                           std::string* error) override {
    return OpenPostgresqlLeases(pool_, settings, std::move(post), error, errorCounter_);
  }

 protected:
  bool Insert(const TorrentMeta& meta, std::string_view bytes, const std::string& source,
              int64_t addedAt, std::string* error) override {
    const std::string files = EncodeFiles(meta.files);
    const char* v2 = meta.infoHashV2.empty() ? nullptr : meta.infoHashV2.c_str();
    return pool_->Run(
        [&](pqxx::work& t) {
          Exec(t, kInsertTorrent, meta.infoHash, Bytes(meta.name), meta.totalSize, Bytes(files),
               Bytes(bytes), addedAt, source, v2, meta.pieceLayers);
          for (const std::string& alias : AliasesOf(meta))
            Exec(t, kInsertAlias, alias, meta.infoHash);
        },
        error);
  }

 private:
  std::shared_ptr<PostgresqlPool> pool_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresqlStore(const std::string& uri, const StoreOptions& options,
                                           std::string* error) {
  auto store =
      std::make_unique<PostgresqlStore>(std::make_shared<PostgresqlPool>(uri, options.connections));
  if (!store->Prepare(error)) {
    if (error) *error = Store::Shown(uri) + ": " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace pellucor::service
