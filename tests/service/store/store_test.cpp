#include "service/store/store.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <libtorrent/bdecode.hpp>

#include "base/hex.h"
#include "base/text.h"
#include "service/store/stored_count.h"
#include "service/store/torrent_meta.h"
#include "support/postgres_server.h"
#include "support/real_torrents.h"
#include "support/sandbox.h"
#include "support/torrents.h"
#include "torrent/digest.h"
#include "torrent/torrent_check.h"

namespace pellucor::service {
namespace {

using pellucor::testing::PostgresServer;

using Dict = Bencode::Dict;
using List = Bencode::List;
using testing::FileEntry;
using testing::HybridInfo;
using testing::InOrder;
using testing::kPiecesRoot;
using testing::Leaf;
using testing::MultiFile;
using testing::Pieces;
using testing::SingleFile;
using testing::TorrentOf;
using testing::V2Info;
constexpr auto Raw = Bencode::Raw;

// A torrent of `info` with an announce URL beside it, as most have.
std::string Torrent(const Bencode& info, const std::string& announce = "http://t.test/a") {
  return TorrentOf(info, {{"announce", announce}}).bytes;
}
std::string Encoded(const Bencode& value) {
  return value.Encode();
}
std::string Nested(int depth) {
  return std::string(depth, 'l') + std::string(depth, 'e');
}

std::string Hex(const std::array<uint8_t, 20>& digest) {
  return HexEncode(digest, HexCase::Lower);
}

std::vector<std::string> Column(const std::string& path, const char* sql);

std::string ToBytes(const std::array<uint8_t, 32>& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// "size path" per line, to compare file lists readably.
std::string Listing(const std::vector<TorrentFile>& files) {
  std::string out;
  for (const TorrentFile& f : files) out += std::to_string(f.size) + " " + f.path + "\n";
  return out;
}

// Every torrent of libtorrent's own test suite, read as libtorrent 2.0.8 reads it (what its
// Python bindings said of each file, in tests/data/torrents/expected.tsv): the same refusals in
// its words, the same hashes, names, file counts and sizes (padding and symlinks left out).
// Bytes after the torrent change nothing.
TEST(DescribeTorrent, ReadsRealTorrentsAsLibtorrentDoes) {
  const std::vector<testing::RealTorrent> rows = testing::RealTorrents();
  ASSERT_GT(rows.size(), 90u);
  for (const testing::RealTorrent& row : rows) {
    SCOPED_TRACE(row.file);
    const std::string bytes = testing::ReadWholeFile(testing::RealTorrentsDir() + row.file);
    ASSERT_FALSE(bytes.empty());
    std::string why;
    const std::optional<TorrentMeta> meta = DescribeTorrent(bytes, &why);
    if (!row.loads) {
      EXPECT_FALSE(meta);
      EXPECT_EQ(why, row.reason);
      continue;
    }
    ASSERT_TRUE(meta) << why;
    EXPECT_EQ(meta->infoHash, row.hash);
    EXPECT_EQ(meta->infoHashV2, row.hashV2);
    EXPECT_EQ(meta->name, row.name);
    EXPECT_EQ(meta->files.size(), row.files);
    EXPECT_EQ(meta->totalSize, row.size);
    const std::optional<TorrentMeta> followed = DescribeTorrent(bytes + "\n");
    ASSERT_TRUE(followed);
    EXPECT_EQ(followed->infoHash, meta->infoHash);
  }
}

TEST(DescribeTorrent, ShowsNamesAndFilesAsClientsWriteThem) {
  struct Case {
    const char* label;
    Bencode info;
    std::string name;
    int64_t total;
    std::string files;
  };
  const std::string kGbkFilm = "\xb5\xe7\xd3\xb0";  // 电影 in the Chinese code page
  const Dict one = {{"piece length", 16384}, {"pieces", std::string(20, 'p')}};
  auto with = [&one](Dict info) {
    info.insert(one.begin(), one.end());
    return info;
  };
  auto pad = [](int64_t length, Bencode::List path) {
    return FileEntry::Of(length, {{"attr", "p"}, {"length", length}, {"path", std::move(path)}});
  };
  const Case cases[] = {
      {"single file", SingleFile("file.bin", 12345), "file.bin", 12345, "12345 file.bin\n"},
      {"multi file", MultiFile({FileEntry(5, {"dir", "sub", "a.txt"}), FileEntry(7, {"b.txt"})}),
       "album", 12, "5 dir/sub/a.txt\n7 b.txt\n"},
      {"utf-8 keys preferred",
       with({{"files", List{Dict{{"length", 9},
                                 {"path", List{kGbkFilm, "1.mkv"}},
                                 {"path.utf-8", List{"电影", "1.mkv"}}}}},
             {"name", kGbkFilm},
             {"name.utf-8", "电影合集"}}),
       "电影合集", 9, "9 电影/1.mkv\n"},
      {"chinese utf-8 names", MultiFile({FileEntry(3, {"第一季", "第一集.mkv"})}), "album", 3,
       "3 第一季/第一集.mkv\n"},
      {"chinese single file", SingleFile("中文名称.mp4", 42), "中文名称.mp4", 42,
       "42 中文名称.mp4\n"},
      {"v2 file tree", V2Info({{"b.txt", Leaf(4)}, {"dir", Dict{{"a.txt", Leaf(3)}}}}), "v2", 7,
       "4 b.txt\n3 dir/a.txt\n"},
      {"hybrid uses the v1 list", HybridInfo(16384), "h", 16389, "16384 big\n5 small\n"},
      // libtorrent's bencoding: integers with leading zeros, repeated keys (the first counts)
      {"integer forms", with({{"length", Raw("i007e")}, {"name", Raw("01:n")}, {"x", Raw("i-0e")}}),
       "n", 7, "7 n\n"},
      {"repeated keys",
       InOrder({{"length", 2},
                {"name", "first"},
                {"name", "second"},
                {"piece length", 16384},
                {"pieces", std::string(20, 'p')}}),
       "first", 2, "2 first\n"},
      // names that are not UTF-8: code page 936 when it reads so, else U+FFFD
      {"gbk name", with({{"length", 1}, {"name", kGbkFilm}}), "电影", 1, "1 电影\n"},
      {"gbk path", MultiFile({FileEntry(1, {kGbkFilm, "a\xff\x81"})}), "album", 1,
       "1 电影/a\uFFFD\uFFFD\n"},
      // unusual paths are cleaned as clients clean what they write: "." and ".." left out, an
      // empty component "_", "/" and "\" and direction changes taken out, controls "_"
      {"unusual paths",
       MultiFile({FileEntry(1, {"a", "", "b"}), FileEntry(1, {".", "c"}),
                  FileEntry(1, {"d", "..", "e"}), FileEntry(1, {"f/g", "h\\i"}),
                  FileEntry(1, {"\xE2\x80\xAEj\x01"})}),
       "album", 5, "1 a/_/b\n1 c\n1 d/e\n1 fg/hi\n1 j_\n"},
      {"name with slash", SingleFile("a/b", 1), "ab", 1, "1 ab\n"},
      // padding (BEP 47 and the older "_____padding_file_" kind) and symlinks are no files
      {"padding and symlinks",
       MultiFile(
           {FileEntry(1, {"a"}), pad(16383, {".pad", "16383"}), FileEntry(2, {"b"}),
            FileEntry::Of(0, {{"attr", "l"}, {"path", List{"link"}}, {"symlink path", List{"b"}}}),
            FileEntry(16382, {"_____padding_file_0_if you see this file, please update"}),
            pad(5, {})}),
       "album", 3, "1 a\n2 b\n"},
  };
  for (const Case& c : cases) {
    std::string why;
    const std::optional<TorrentMeta> meta = DescribeTorrent(Torrent(c.info), &why);
    ASSERT_TRUE(meta.has_value()) << c.label << ": " << why;
    EXPECT_EQ(meta->name, c.name) << c.label;
    EXPECT_EQ(meta->totalSize, c.total) << c.label;
    EXPECT_EQ(Listing(meta->files), c.files) << c.label;
  }
}

// What libtorrent refuses is refused, saying why in libtorrent's words.
TEST(DescribeTorrent, RefusesWhatLibtorrentRefuses) {
  const std::string valid = Torrent(SingleFile("x", 1));
  ASSERT_TRUE(DescribeTorrent(valid).has_value());
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  const std::string kBencoding = "invalid bencoding", kLength = "invalid length of torrent",
                    kName = "missing name in torrent file";
  const struct {
    const char* label;
    std::string bytes;
    std::string reason;
  } cases[] = {
      {"empty input", "", "unexpected end of file in bencoded string"},
      {"integer at top", "i1e", "torrent file is not a dictionary"},
      {"list at top", Bencode(List{"info", SingleFile("x", 1)}).Encode(),
       "torrent file is not a dictionary"},
      {"truncated", valid.substr(0, valid.size() - 1), "unexpected end of file in bencoded string"},
      {"empty integer", Torrent(Dict{{"length", Raw("ie")}, {"name", "x"}}),
       "expected digit in bencoded string"},
      {"integer overflow",
       Torrent(Dict{{"length", Raw("i9223372036854775808e")},
                    {"name", "x"},
                    {"piece length", 16384},
                    {"pieces", Pieces(1)}}),
       "incorrect number of piece hashes in torrent file"},  // the length read as no number
      {"string past the end",
       TorrentOf(SingleFile("x", 1), {{"announce", Raw("100000:short")}}).bytes,
       "unexpected end of file in bencoded string"},
      {"integer key", "di1e1:v" + TorrentOf(SingleFile("x", 1)).bytes.substr(1),
       "expected digit in bencoded string"},
      {"nesting far too deep",
       Torrent(Dict{{"extra", Raw(Nested(1000000))}, {"length", 1}, {"name", "n"}}),
       "bencoded nesting depth exceeded"},
      {"no info", Bencode(Dict{{"announce", "x"}}).Encode(),
       "missing or invalid 'info' section in torrent file"},
      {"info not a dictionary", Bencode(Dict{{"info", List{SingleFile("x", 1)}}}).Encode(),
       "missing or invalid 'info' section in torrent file"},
      {"no name", Torrent(Dict{{"length", 1}, {"piece length", 16384}, {"pieces", Pieces(1)}}),
       kName},
      {"negative length", Torrent(SingleFile("x", -1)), kLength},
      {"empty single file", Torrent(SingleFile("empty", 0)), kLength},
      {"no piece length", Torrent(Dict{{"length", 1}, {"name", "x"}, {"pieces", Pieces(1)}}),
       "invalid or missing 'piece length' entry in torrent file"},
      {"too few pieces", Torrent(SingleFile("x", 20000, std::string(20, 'p'))),
       "incorrect number of piece hashes in torrent file"},
      {"negative file length", Torrent(MultiFile({FileEntry(-5, {"a"}), FileEntry(1, {"b"})})),
       kLength},
      {"total overflows", Torrent(MultiFile({FileEntry(kMax, {"a"}), FileEntry(kMax, {"b"})})),
       kLength},
      {"empty file tree", Torrent(V2Info({})), "no files in torrent"},
      {"file tree root is a file", Torrent(V2Info(Leaf(1))),
       "failed to parse files from torrent file"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(DescribeTorrent(c.bytes, &why)) << c.label;
    EXPECT_EQ(why, c.reason) << c.label;
  }

  // The size cap: a torrent of exactly kMaxTorrentBytes is read, one byte more is not. The
  // comment's zero bytes are pages mapped and never written, so the test touches two pages.
  auto withComment = [](size_t length) {
    const std::string head = "d7:comment" + std::to_string(length) + ":";
    const std::string tail = TorrentOf(SingleFile("x", 1)).bytes.substr(1);  // "4:info" on
    const size_t size = head.size() + length + tail.size();
    void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(map, MAP_FAILED);
    std::memcpy(map, head.data(), head.size());
    std::memcpy(static_cast<char*>(map) + size - tail.size(), tail.data(), tail.size());
    return std::shared_ptr<const std::string_view>(
        new std::string_view(static_cast<const char*>(map), size),
        [size](const std::string_view* v) {
          munmap(const_cast<char*>(v->data()), size);
          delete v;
        });
  };
  const size_t overhead = withComment(0)->size() + std::to_string(kMaxTorrentBytes).size() - 1;
  EXPECT_TRUE(DescribeTorrent(*withComment(kMaxTorrentBytes - overhead)));
  EXPECT_FALSE(DescribeTorrent(*withComment(kMaxTorrentBytes - overhead + 1)));
}

// An info dictionary nests as deep as libtorrent takes it from the swarm, and no deeper.
TEST(DescribeTorrent, NestsAsDeepAsLibtorrentTakesMetadata) {
  for (int depth = 96; depth <= 101; ++depth) {
    Dict info = SingleFile("n", 1);
    info.emplace("extra", Raw(Nested(depth)));
    const std::string bytes = Encoded(info);
    lt::error_code ec;
    lt::bdecode(lt::span<const char>(bytes.data(), static_cast<long>(bytes.size())), ec);
    EXPECT_EQ(DescribeTorrent(Torrent(info)).has_value(), !ec) << depth;
  }
}

TEST(DescribeTorrent, HashesRawInfoBytes) {
  const Bencode infos[] = {
      SingleFile("x", 1),
      InOrder({{"pieces", std::string(20, '\0')},
               {"piece length", 16384},
               {"name", "x"},
               {"length", 1}}),  // keys in reverse
      InOrder({{"length", 1},
               {"name", "x"},
               {"piece length", 16384},
               {"pieces", std::string(20, '\0')},
               {"zz", InOrder({{"b", 1}, {"a", List{"y"}}})},
               {"private", 1},
               {"comment", "extra keys stay in the hash"}}),
      SingleFile("中文", 1),
  };
  std::set<std::string> hashes;
  for (const Bencode& info : infos) {
    const std::string bytes = info.Encode();
    const std::optional<TorrentMeta> meta = DescribeTorrent(Torrent(info));
    ASSERT_TRUE(meta) << bytes;
    EXPECT_EQ(meta->infoHash, Hex(pellucor::Sha1(bytes))) << bytes;
    hashes.insert(meta->infoHash);
    // Keys outside the info dictionary do not change the hash.
    EXPECT_EQ(DescribeTorrent(Torrent(info, "udp://other.test:80"))->infoHash, meta->infoHash);
  }
  EXPECT_EQ(hashes.size(), std::size(infos));
}

std::string Sha256Hex(const std::string& bytes) {
  return HexEncode(pellucor::Sha256(bytes), HexCase::Lower);
}

// The hashes a v2 or hybrid torrent is known by, and whether it is complete without the piece
// layers it lacks.
TEST(DescribeTorrent, V2HashesAndPieceLayers) {
  // "big" is 20000 bytes: two pieces, whose hashes make its piece layer; its root is their
  // Merkle parent.
  const std::string layer = std::string(32, 'l') + std::string(32, 'm');
  const std::string root = ToBytes(pellucor::Sha256(layer));
  const Dict layers = {{root, layer}};
  const struct {
    const char* label;
    std::string torrent;
    std::string info;
    bool hybrid;
    bool pieceLayers;
    std::string files;
  } cases[] = {
      {"hybrid, a file over one piece", Torrent(HybridInfo(20000, root)),
       Encoded(HybridInfo(20000, root)), true, false, "20000 big\n5 small\n"},
      {"hybrid with piece layers",
       TorrentOf(HybridInfo(20000, root), {{"piece layers", layers}}).bytes,
       Encoded(HybridInfo(20000, root)), true, true, "20000 big\n5 small\n"},
      {"hybrid of small files", Torrent(HybridInfo(16384)), Encoded(HybridInfo(16384)), true, true,
       "16384 big\n5 small\n"},
      {"v2 only", Torrent(V2Info({{"a", Leaf(3)}})), Encoded(V2Info({{"a", Leaf(3)}})), false, true,
       "3 a\n"},
      {"v2 only, a file over one piece", Torrent(V2Info({{"a", Leaf(20000, root)}})),
       Encoded(V2Info({{"a", Leaf(20000, root)}})), false, false, "20000 a\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string why;
    const std::optional<TorrentMeta> meta = DescribeTorrent(c.torrent, &why);
    ASSERT_TRUE(meta) << why;
    EXPECT_EQ(meta->infoHashV2, Sha256Hex(c.info));
    EXPECT_EQ(meta->infoHash,
              c.hybrid ? Hex(pellucor::Sha1(c.info)) : meta->infoHashV2.substr(0, 40));
    EXPECT_EQ(meta->pieceLayers, c.pieceLayers);
    EXPECT_EQ(Listing(meta->files), c.files);
  }
  const std::optional<TorrentMeta> v1 = DescribeTorrent(Torrent(SingleFile("x", 1)));
  ASSERT_TRUE(v1);
  EXPECT_EQ(v1->infoHashV2, "");
  EXPECT_TRUE(v1->pieceLayers);
}

// A distinct torrent per number, with zero bytes and some bulk in its pieces.
std::string NumberedTorrent(int n, size_t pieceCount = 1) {
  std::string pieces;
  for (size_t i = 0; i < pieceCount * 20; ++i) pieces += static_cast<char>((n + i) % 7 * 37);
  const int64_t length = static_cast<int64_t>(pieceCount - 1) * 16384 + 1 + n % 16384;
  return Torrent(SingleFile("file-" + std::to_string(n), length, pieces));
}

// A store's address as logs and messages show it: never a password.
TEST(Store, ShownHidesPasswords) {
  const std::pair<std::string, std::string> cases[] = {
      {"sqlite:/var/lib/pellucor/torrents.sqlite", "sqlite:/var/lib/pellucor/torrents.sqlite"},
      {"postgresql://u:secret@db/p", "postgresql://u:***@db/p"},
      {"postgres://u@db/p", "postgres://u@db/p"},
      {"postgresql://u@db/p?password=secret", "postgresql://u@db/p?password=***"},
      {"postgresql://u:a@db/p?sslmode=require&password=b&x=1",
       "postgresql://u:***@db/p?sslmode=require&password=***&x=1"},
      {"postgresql://db/p?mypassword=x", "postgresql://db/p?mypassword=x"},
  };
  for (const auto& [location, shown] : cases) EXPECT_EQ(Store::Shown(location), shown) << location;
}

// /metrics reads a count kept at hand: counted at the start, then off the caller's thread, each
// new count handed over through `post` (a queue here, the io thread in the service).
TEST(StoredCount, CountsAwayFromTheCallerAndHandsTheCountOver) {
  const testing::Sandbox sandbox{"count"};
  std::string error;
  std::unique_ptr<Store> store = Store::Open("sqlite:" + sandbox.path() + "/t.db", &error);
  ASSERT_TRUE(store) << error;
  ASSERT_TRUE(store->Add(Torrent(SingleFile("a", 1)), "import", &error)) << error;
  std::mutex mutex;
  std::vector<std::function<void()>> posted;
  StoredCount count(
      *store,
      [&](std::function<void()> task) {
        std::lock_guard lock(mutex);
        posted.push_back(std::move(task));
      },
      std::chrono::milliseconds(20));
  EXPECT_EQ(count.Value(), 1);
  ASSERT_TRUE(store->Add(Torrent(SingleFile("b", 1)), "import", &error)) << error;
  for (int i = 0; i < 500 && count.Value() != 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::function<void()>> tasks;
    {
      std::lock_guard lock(mutex);
      tasks.swap(posted);
    }
    for (auto& task : tasks) task();
  }
  EXPECT_EQ(count.Value(), 2);
}

enum class Backend { kSqlite, kPostgresql };

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "Sqlite" : "Postgresql";
}

// The same cases against both back ends: a fresh SQLite file, or a fresh database on the test
// program's PostgreSQL server.
class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kSqlite) {
      location_ = "sqlite:" + DbPath();
      return;
    }
    std::string error;
    server_ = PostgresServer::Shared(&error);
    ASSERT_TRUE(server_) << error;
    database_ = server_->CreateDatabase(&error);
    ASSERT_FALSE(database_.empty()) << error;
    location_ = server_->Uri(database_);
  }

  std::string DbPath() const { return dir_ + "/torrents.db"; }
  std::unique_ptr<Store> OpenStore(const StoreOptions& options = {}) {
    std::string error;
    std::unique_ptr<Store> store = Store::Open(location_, &error, options);
    EXPECT_TRUE(store) << error;
    return store;
  }
  // Runs SQL on the store's database beside the store (tests that damage it).
  void Sql(const std::string& sql) {
    if (GetParam() == Backend::kSqlite) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
      char* message = nullptr;
      EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
          << sql << ": " << (message ? message : "");
      sqlite3_free(message);
      sqlite3_close(db);
    } else {
      std::string error;
      EXPECT_TRUE(server_->Execute(database_, sql, nullptr, &error)) << sql << ": " << error;
    }
  }
  std::vector<std::string> Problems(Store& store) {
    std::vector<std::string> problems;
    store.Check(&problems);
    return problems;
  }

  const testing::Sandbox sandbox_{"store"};
  const std::string& dir_ = sandbox_.path();
  std::string location_;
  PostgresServer* server_ = nullptr;
  std::string database_;
};

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgresql), BackendName);

TEST_P(StoreTest, RoundTrip) {
  const std::string torrents[] = {
      NumberedTorrent(1, 50),
      Torrent(MultiFile({FileEntry(5, {"a\tb", "c\\d\ne"}), FileEntry(0, {"空"})})),
      Torrent(SingleFile("\xb5\xe7\xd3\xb0", 3)),  // a legacy code-page name
      Torrent(V2Info({{"b", Leaf(4)}, {"dir", Dict{{"a", Leaf(3)}}}})),
      Torrent(SingleFile("saved with a line feed", 7)) + "\n",  // kept as it came
  };
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  ASSERT_NE(torrents[0].find('\0'), std::string::npos);
  for (const std::string& bytes : torrents) {
    std::string why;
    const std::optional<TorrentMeta> want = DescribeTorrent(bytes, &why);
    ASSERT_TRUE(want) << why;
    const int64_t before = std::time(nullptr);
    std::string error;
    TorrentMeta meta;
    ASSERT_TRUE(store->Add(bytes, "import", &error, &meta)) << error;
    EXPECT_EQ(meta.infoHash, want->infoHash);
    const std::optional<StoredTorrent> found =
        store->Find(UpperCaseAscii(GbkText(want->infoHash)).str());
    ASSERT_TRUE(found);
    EXPECT_EQ(found->bytes, bytes);
    EXPECT_EQ(found->meta.infoHash, want->infoHash);
    EXPECT_EQ(found->meta.name, want->name);
    EXPECT_EQ(found->meta.totalSize, want->totalSize);
    EXPECT_EQ(Listing(found->meta.files), Listing(want->files));
    EXPECT_EQ(found->source, "import");
    EXPECT_GE(found->addedAt, before);
    EXPECT_LE(found->addedAt, std::time(nullptr));
  }
  EXPECT_EQ(store->Count(), static_cast<int64_t>(std::size(torrents)));
  const std::string hash = DescribeTorrent(torrents[0])->infoHash;
  for (const std::string& miss : {DescribeTorrent(NumberedTorrent(2))->infoHash, hash.substr(1),
                                  hash + "0", hash.substr(0, 39) + "g", std::string("' OR 1=1 --")})
    EXPECT_FALSE(store->Find(miss)) << miss;
}

TEST_P(StoreTest, DuplicateKeepsFirst) {
  const std::string first = Torrent(SingleFile("x", 1), "http://first.test/");
  const std::string second = Torrent(SingleFile("x", 1), "http://second.test/");
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  std::string error;
  ASSERT_TRUE(store->Add(first, "import", &error)) << error;
  ASSERT_TRUE(store->Add(second, "swarm", &error)) << error;
  const std::optional<StoredTorrent> found = store->Find(DescribeTorrent(first)->infoHash);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->bytes, first);
  EXPECT_EQ(found->source, "import");
  EXPECT_EQ(store->Count(), 1);
}

// A hybrid torrent is found by its SHA-1, its SHA-256 and its truncated SHA-256; a v2-only one
// by its SHA-256 and the truncated form it is kept under. The row says so.
TEST_P(StoreTest, FindsV2TorrentsByEachHash) {
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  for (const std::string& bytes : {Torrent(HybridInfo(20000)), Torrent(V2Info({{"a", Leaf(3)}}))}) {
    const std::optional<TorrentMeta> meta = DescribeTorrent(bytes);
    ASSERT_TRUE(meta);
    ASSERT_TRUE(store->Add(bytes, "swarm", nullptr));
    for (const std::string& hash :
         {meta->infoHash, meta->infoHashV2, meta->infoHashV2.substr(0, 40),
          UpperCaseAscii(GbkText(meta->infoHashV2)).str()}) {
      SCOPED_TRACE(hash);
      const std::optional<StoredTorrent> found = store->Find(hash);
      ASSERT_TRUE(found);
      EXPECT_EQ(found->bytes, bytes);
      EXPECT_EQ(found->meta.infoHash, meta->infoHash);
      EXPECT_EQ(found->meta.infoHashV2, meta->infoHashV2);
      EXPECT_EQ(found->meta.pieceLayers, meta->pieceLayers);
    }
  }
  EXPECT_EQ(store->Count(), 2);
  EXPECT_FALSE(store->Find(Sha256Hex("nothing")));
}

// A SQLite store written before v2 hashes were kept: opened, its v2 torrents get their hashes
// and aliases, once. (PostgreSQL stores began with that schema.)
class SqliteStoreTest : public StoreTest {};
INSTANTIATE_TEST_SUITE_P(Backends, SqliteStoreTest, ::testing::Values(Backend::kSqlite),
                         BackendName);

TEST_P(SqliteStoreTest, UpgradesAnOlderStore) {
  const std::string hybrid = Torrent(HybridInfo(20000));
  const std::string v1 = NumberedTorrent(7);
  const std::optional<TorrentMeta> meta = DescribeTorrent(hybrid);
  ASSERT_TRUE(meta);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE torrents(info_hash TEXT PRIMARY KEY NOT NULL, name TEXT "
                           "NOT NULL, total_size INTEGER NOT NULL, files TEXT NOT NULL, bytes "
                           "BLOB NOT NULL, added_at INTEGER NOT NULL, source TEXT NOT NULL)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    for (const std::string* bytes : {&hybrid, &v1}) {
      sqlite3_stmt* insert = nullptr;
      sqlite3_prepare_v2(db, "INSERT INTO torrents VALUES (?, 'old', 1, '1\tx\n', ?, 5, 'import')",
                         -1, &insert, nullptr);
      const std::string key = Hex(pellucor::Sha1(*TorrentInfoBytes(*bytes)));
      sqlite3_bind_text(insert, 1, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(insert, 2, bytes->data(), static_cast<int>(bytes->size()),
                        SQLITE_TRANSIENT);
      EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_finalize(insert);
    }
    sqlite3_close(db);
  }
  for (int open = 0; open < 2; ++open) {
    std::unique_ptr<Store> store = OpenStore();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->Count(), 2);
    const std::optional<StoredTorrent> found = store->Find(meta->infoHashV2);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->bytes, hybrid);
    EXPECT_FALSE(found->meta.pieceLayers);
    EXPECT_TRUE(store->Find(meta->infoHashV2.substr(0, 40)));
    const std::optional<StoredTorrent> old = store->Find(DescribeTorrent(v1)->infoHash);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->meta.infoHashV2, "");
    EXPECT_TRUE(old->meta.pieceLayers);
  }
  EXPECT_EQ(Column(DbPath(), "PRAGMA user_version"), std::vector<std::string>{"1"});
}

TEST_P(StoreTest, RefusesCorrupt) {
  const std::string good = NumberedTorrent(3);
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  for (const auto& [bad, why] : std::vector<std::pair<std::string, std::string>>{
           {good.substr(0, good.size() - 1), "unexpected end of file in bencoded string"},
           {good.substr(1), "torrent file is not a dictionary"},
           {"<html>", "expected value (list, dict, int or string) in bencoded string"}}) {
    std::string error;
    EXPECT_FALSE(store->Add(bad, "import", &error));
    EXPECT_EQ(error, "not a valid torrent file: " + why);
  }
  EXPECT_EQ(store->Count(), 0);
  EXPECT_FALSE(store->Find(DescribeTorrent(good)->infoHash));
}

TEST_P(StoreTest, OpenFailures) {
  std::vector<std::string> locations;
  if (GetParam() == Backend::kSqlite) {
    const std::string notDatabase = dir_ + "/notes.txt";
    FILE* f = fopen(notDatabase.c_str(), "w");
    ASSERT_TRUE(f);
    fputs(std::string(4096, 'x').c_str(), f);
    fclose(f);
    locations = {dir_ + "/missing/torrents.db", "sqlite:" + notDatabase, "sqlite:"};
  } else {
    // A port nothing listens on: taken from a socket closed again.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    close(fd);
    locations = {"postgresql://pellucor@127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x",
                 server_->Uri("no_such_database"), "postgresql://pellucor@127.0.0.1:99999/x"};
  }
  for (const std::string& location : locations) {
    std::string error;
    EXPECT_FALSE(Store::Open(location, &error)) << location;
    EXPECT_FALSE(error.empty()) << location;
  }
}

// A store whose schema a later version of the service wrote is left alone.
TEST_P(StoreTest, RefusesAStoreFromANewerVersion) {
  ASSERT_TRUE(OpenStore());
  Sql(GetParam() == Backend::kSqlite ? "PRAGMA user_version = 2"
                                     : "UPDATE schema_version SET version = 2");
  std::string error;
  EXPECT_FALSE(Store::Open(location_, &error));
  EXPECT_NE(error.find("newer pellucor-service (schema version 2"), std::string::npos) << error;
}

// Instances started side by side on an empty database all come up, on one schema.
TEST_P(StoreTest, OpensSideBySideOnAnEmptyStore) {
  std::vector<std::thread> threads;
  std::vector<std::string> errors(6);
  for (size_t i = 0; i < errors.size(); ++i)
    threads.emplace_back([&, i] {
      if (Store::Open(location_, &errors[i])) errors[i] = "opened";
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& error : errors) EXPECT_EQ(error, "opened");
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->Add(NumberedTorrent(1), "import", nullptr));
  EXPECT_EQ(store->Count(), 1);
}

// The consistency check finds each kind of damage done beside the store, and nothing in a
// store left alone.
TEST_P(StoreTest, CheckFindsDamage) {
  const std::string v1 = NumberedTorrent(5);
  const std::string hybrid = Torrent(HybridInfo(20000));
  const std::string v1Hash = DescribeTorrent(v1)->infoHash;
  const TorrentMeta hybridMeta = *DescribeTorrent(hybrid);
  const std::string other = std::string(40, 'e');
  const struct {
    const char* label;
    std::string sql;
    std::string problem;
  } cases[] = {
      {"bytes of another torrent",
       "UPDATE torrents SET bytes = (SELECT bytes FROM torrents WHERE info_hash = '" +
           hybridMeta.infoHash + "') WHERE info_hash = '" + v1Hash + "'",
       v1Hash + ": the bytes hash to " + hybridMeta.infoHash},
      {"bytes that are no torrent", "UPDATE torrents SET bytes = name",
       ": the stored bytes are not a torrent"},
      {"size", "UPDATE torrents SET total_size = total_size + 1", ": the size differs"},
      {"file list", "UPDATE torrents SET files = name", ": the file list differs"},
      {"v2 hash", "UPDATE torrents SET info_hash_v2 = NULL", ": the v2 hash differs"},
      {"alias to nothing",
       "INSERT INTO hash_aliases(alias, info_hash) VALUES ('" + other + "', '" + other + "')",
       "alias " + other + " names " + other + ", which is not stored"},
      {"alias to the wrong row",
       "UPDATE hash_aliases SET info_hash = '" + v1Hash + "' WHERE alias = '" +
           hybridMeta.infoHashV2 + "'",
       "alias " + hybridMeta.infoHashV2 + " names " + v1Hash + ", whose torrent has no such hash"},
      {"alias gone", "DELETE FROM hash_aliases WHERE alias = '" + hybridMeta.infoHashV2 + "'",
       hybridMeta.infoHash + ": no alias " + hybridMeta.infoHashV2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    {
      std::unique_ptr<Store> store = OpenStore();
      ASSERT_TRUE(store);
      Sql("DELETE FROM torrents; DELETE FROM hash_aliases");
      ASSERT_TRUE(store->Add(v1, "import", nullptr));
      ASSERT_TRUE(store->Add(hybrid, "swarm", nullptr));
      EXPECT_EQ(Problems(*store), std::vector<std::string>{});
    }
    Sql(c.sql);
    std::unique_ptr<Store> store = OpenStore();
    ASSERT_TRUE(store);
    const std::vector<std::string> problems = Problems(*store);
    EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.find(c.problem) != p.npos;
    })) << ::testing::PrintToString(problems);
  }
}

TEST_P(StoreTest, ReopenKeepsData) {
  {
    std::unique_ptr<Store> store = OpenStore();
    ASSERT_TRUE(store);
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(store->Add(NumberedTorrent(n), "demo", nullptr));
  }
  std::unique_ptr<Store> store = OpenStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->Count(), 3);
  for (int n = 0; n < 3; ++n) {
    const std::optional<StoredTorrent> found =
        store->Find(DescribeTorrent(NumberedTorrent(n))->infoHash);
    ASSERT_TRUE(found) << n;
    EXPECT_EQ(found->bytes, NumberedTorrent(n));
    EXPECT_EQ(found->source, "demo");
  }
}

// Four threads on one store; a PostgreSQL store with two connections makes them take turns.
TEST_P(StoreTest, ConcurrentAdds) {
  StoreOptions options;
  options.connections = 2;
  std::unique_ptr<Store> store = OpenStore(options);
  ASSERT_TRUE(store);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (int i = 0; i < 25; ++i) {
        std::string error;
        EXPECT_TRUE(store->Add(NumberedTorrent(t * 100 + i), "import", &error)) << error;
        EXPECT_TRUE(store->Find(DescribeTorrent(NumberedTorrent(t * 100 + i))->infoHash));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(store->Count(), 100);
}

// The first column of every row `sql` returns, read with a connection of its own.
std::vector<std::string> Column(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::vector<std::string> values;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** row, char**) {
          static_cast<std::vector<std::string>*>(out)->push_back(row[0] ? row[0] : "(null)");
          return 0;
        },
        &values, nullptr);
  }
  sqlite3_close(db);
  return values;
}

// The child: imports torrents until killed, writing each stored hash to `fd` once Add returned.
[[noreturn]] void ImportUntilKilled(const std::string& location, int round, int fd) {
  std::unique_ptr<Store> store = Store::Open(location, nullptr);
  if (!store) _exit(2);
  for (int i = 0;; ++i) {
    // Now and then a large torrent, so that one commit spans many pages.
    const std::string bytes = NumberedTorrent(round * 1000000 + i, i % 16 == 0 ? 5000 : 20);
    TorrentMeta meta;
    if (!store->Add(bytes, "import", nullptr, &meta)) _exit(3);
    const std::string line = meta.infoHash + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
  }
}

// Everything `fd` delivers until `deadline`, or until it closes when there is no deadline.
std::string ReadPipe(int fd, std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::string out;
  char buffer[4096];
  for (;;) {
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      timeout = static_cast<int>(left.count());
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout) <= 0) break;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

TEST_P(StoreTest, SurvivesKilledImports) {
  std::mt19937 random(std::random_device{}());
  std::set<std::string> reported;  // hashes whose Add had returned in a child
  int64_t lastCount = 0;
  for (int round = 0; round < 4; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      ImportUntilKilled(location_, round, fds[1]);
    }
    close(fds[1]);
    const auto killAt =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(100 + random() % 200);
    std::string lines = ReadPipe(fds[0], killAt);
    kill(pid, SIGKILL);
    lines += ReadPipe(fds[0], std::nullopt);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    for (size_t at = 0; at + 41 <= lines.size(); at += 41) reported.insert(lines.substr(at, 40));

    std::unique_ptr<Store> store = OpenStore();
    ASSERT_TRUE(store);
    // SQLite's integrity check among them.
    ASSERT_EQ(Problems(*store), std::vector<std::string>{}) << "round " << round;
    std::vector<std::string> hashes;
    ASSERT_TRUE(store->ForEach(
        [&](const StoredTorrent& t) {
          hashes.push_back(t.meta.infoHash);
          return true;
        },
        nullptr));
    const int64_t count = store->Count();
    EXPECT_EQ(count, static_cast<int64_t>(hashes.size()));
    EXPECT_GE(count, lastCount);
    EXPECT_GE(count, static_cast<int64_t>(reported.size()));
    lastCount = count;
    for (const std::string& hash : hashes) {
      const std::optional<StoredTorrent> found = store->Find(hash);
      ASSERT_TRUE(found) << hash;
      const std::optional<TorrentMeta> meta = DescribeTorrent(found->bytes);
      ASSERT_TRUE(meta) << hash;
      EXPECT_EQ(meta->infoHash, hash);
    }
    for (const std::string& hash : reported) EXPECT_TRUE(store->Find(hash)) << hash;
  }
  EXPECT_GT(reported.size(), 0u) << "the children stored nothing before being killed";
}

}  // namespace
}  // namespace pellucor::service
