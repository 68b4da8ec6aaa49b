// The service over real sockets on 127.0.0.1: the sites against a store in a temporary directory
// (no swarm), the helpers their pages are made of, and the server's limits. The lookups' own
// rules (quotas, leases) are in lookup/lookups_test.cpp.
#include "service/sites/sites.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <poll.h>

#include <atomic>
#include <cctype>
#include <filesystem>
#include <thread>
#include <utility>
#include <vector>

#include "service/http/http_server.h"
#include "service/sites/forms.h"
#include "service/sites/pages.h"
#include "service/store/store.h"
#include "support/http_exchange.h"
#include "support/local_service.h"
#include "support/sandbox.h"
#include "support/torrents.h"

namespace pellucor::service {
namespace {

using testing::Body;
using testing::Connect;
using testing::Exchange;
using testing::Get;
using testing::Headers;
using testing::Post;
using testing::ReadAll;
using testing::Status;

// One torrent with the given files (path → size), as the shared builder writes it.
std::string MakeTorrent(const std::string& name,
                        const std::vector<std::pair<std::string, int64_t>>& files) {
  std::vector<testing::FileEntry> entries;
  for (const auto& [path, size] : files) {
    Bencode::List components;
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1)
      components.emplace_back(path.substr(start, slash - start));
    components.emplace_back(path.substr(start));
    entries.emplace_back(size, std::move(components));
  }
  return testing::TorrentOf(testing::MultiFile(entries, name)).bytes;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = Store::Open((dir_ / "torrents.sqlite").string(), &error);
    ASSERT_TRUE(store_) << error;
    TorrentMeta meta;
    ASSERT_TRUE(store_->Add(torrent_, "import", &error, &meta)) << error;
    hash_ = meta.infoHash;
    SiteSettings settings;
    settings.advert = true;
    settings.advertPicture = std::string(1500, 'p');
    settings.advertLink = "http://ad.example/";
    testing::LocalServiceSettings local;
    local.site = settings;
    local.http.maxBodyBytes = 4096;
    local.http.readTimeout = std::chrono::milliseconds(500);
    service_ = std::make_unique<testing::LocalService>(*store_, local);
    port_ = service_->Port();
    ASSERT_NE(port_, 0);
  }
  void TearDown() override { service_.reset(); }

  std::string Add(const std::string& torrent) {
    TorrentMeta meta;
    EXPECT_TRUE(store_->Add(torrent, "import", nullptr, &meta));
    return meta.infoHash;
  }

  const std::string torrent_ =
      MakeTorrent("电影 & <合集>", {{"a/第一集.mkv", 734264934}, {"b.txt", 12}, {"c.nfo", 1000}});
  const testing::Sandbox sandbox_{"service"};
  const std::filesystem::path& dir_ = sandbox_.fs();
  std::unique_ptr<Store> store_;
  std::string hash_;
  std::unique_ptr<testing::LocalService> service_;
  int port_ = 0;
};

TEST(ServiceHelpers, FormsHashesSizes) {
  const auto form = ParseForm("hash=magnet%3A%3Fxt%3Durn%3Abtih%3AABC&x=1+2&hash=second&flag");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->at("hash"), "magnet:?xt=urn:btih:ABC");  // the first of repeated names
  EXPECT_EQ(form->at("x"), "1 2");
  EXPECT_EQ(form->at("flag"), "");
  for (const char* broken : {"a=%4", "a=%zz", "%=1"}) EXPECT_FALSE(ParseForm(broken)) << broken;

  const std::string hex = "0123456789abcdef0123456789abcdef01234567";
  const std::string hex64 = hex + "89abcdef0123456789abcdef";
  const struct {
    std::string value;
    std::optional<std::string> hash;
  } hashes[] = {
      {"magnet:?xt=urn:btih:0123456789ABCDEF0123456789ABCDEF01234567", hex},
      {"  magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&dn=x  ", hex},
      {"MAGNET:?XT=URN:BTIH:0123456789abcdef0123456789abcdef01234567", hex},
      {"0123456789abcdef0123456789abcdef01234567\r\n", hex},
      {"magnet:?xt=urn:btih:  0123456789ABCDEF0123456789ABCDEF01234567  ", hex},
      {"magnet:?dn=x&xt=urn:btih:AERUKZ4JVPG66AJDIVTYTK6N54ASGRLH",
       hex},  // base32 of the same 20 bytes
      {"magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef0123456", std::nullopt},
      {"magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef0123456g", std::nullopt},
      {"magnet:?xt=urn:sha1:0123456789abcdef0123456789abcdef01234567", std::nullopt},
      {"", std::nullopt},
      // v2: the tool's "btih" + 64 hex digits, a bare hash, a BEP 52 link
      {"magnet:?xt=urn:btih:" + Upper(hex64), hex64},
      {"magnet:?xt=urn:btih:" + hex64 + "&dn=x", hex64},
      {" " + Upper(hex64) + "\r\n", hex64},
      {"magnet:?xt=urn:btmh:1220" + hex64 + "&dn=x", hex64},
      {"magnet:?xt=urn:btmh:1220" + hex64 + "&xt=urn:btih:" + hex, hex},  // hybrid: v1 wins
      {"magnet:?xt=urn:btmh:1221" + hex64, std::nullopt},                 // not SHA-256
      {"magnet:?xt=urn:btih:" + hex64.substr(1), std::nullopt},
      {hex64 + "0", std::nullopt},
  };
  for (const auto& c : hashes) EXPECT_EQ(HashFromValue(c.value), c.hash) << c.value;
  for (const auto& [path, hash] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {Upper(hex), hex},
           {hex64, hex64},
           {"aerukz4jvpg66ajdivtytk6n54asgrlh", hex},
           {hex.substr(1), std::nullopt},
           {"AERUKZ4JVPG66AJDIVTYTK6N54ASGRL1", std::nullopt},
           {"magnet:?xt=urn:btih:" + hex, std::nullopt}})
    EXPECT_EQ(HashFromPath(path), hash) << path;

  const struct {
    int64_t bytes;
    const char* text;
  } sizes[] = {{0, "0 B"},
               {999, "999 B"},
               {1000, "0.98 KB"},
               {1024, "1.00 KB"},
               {1048575, "1.00 MB"},
               {734264934, "700.25 MB"},
               {1023LL << 30, "1.00 TB"},
               {-5, "0 B"},
               {INT64_MAX, "8.00 EB"}};
  for (const auto& c : sizes) {
    EXPECT_EQ(HumanSize(c.bytes), c.text) << c.bytes;
    EXPECT_LE(HumanSize(c.bytes).size(), 9u) << c.bytes;
  }
  EXPECT_EQ(HtmlEscape("a<b>&\"c\""), "a&lt;b&gt;&amp;&quot;c&quot;");
}

// The name in the download's header: what the tool's pattern ("filename=(.{1,300})\[" + tag +
// "\]\.torrent", the tag's dots matching any character) reads back whole.
TEST(ServiceHelpers, DownloadNames) {
  const std::string tag = "pellucor.local";
  std::string film;
  for (int i = 0; i < 100; ++i) film += "电";
  const struct {
    std::string name;
    size_t maxBytes;
    std::string shown;
  } cases[] = {
      {"plain.name", 240, "plain.name"},
      {"a/b\\c\r\nd\x7f", 240, "a_b_cd"},
      {"", 240, "torrent"},
      {"x[pellucor.local].torrent y", 240, "x(pellucor.local).torrent y"},
      {"x[pellucorXlocal].torrent", 240, "x(pellucorXlocal).torrent"},  // "." stands for any
      {"x[pellucor电local].torrent", 240, "x(pellucor电local).torrent"},
      {"[pellucor.local].torrent[pellucor.local].torrent", 240,
       "(pellucor.local).torrent(pellucor.local).torrent"},
      {"x[pellucor.local].torrentz[other].torrent[pellucor.local]", 240,
       "x(pellucor.local).torrentz[other].torrent[pellucor.local]"},
      {std::string(300, 'a'), 240, std::string(240, 'a')},
      {"a" + film, 240, ("a" + film).substr(0, 238)},  // not inside a character
      {"a" + film, 3, "a"},
  };
  for (const auto& c : cases) EXPECT_EQ(DownloadName(c.name, tag, c.maxBytes), c.shown) << c.name;
}

TEST_F(ServiceTest, FirstService) {
  const std::string prefix = "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A";
  std::string reply = Exchange(port_, Post("/download.aspx", prefix + Upper(hash_)));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Headers(reply).find("Content-Type: application/x-bittorrent"), std::string::npos);
  EXPECT_EQ(Body(reply), torrent_);  // byte-identical

  const struct {
    const char* name;
    std::string body;
    std::string status;
    std::string text;  // in the page
  } misses[] = {
      {"unknown hash", prefix + std::string(40, 'a'), "HTTP/1.1 404 Not Found",
       "您输入的HASH暂未存储"},
      {"not a hash", prefix + "xyz", "HTTP/1.1 404 Not Found", "您输入的HASH暂未存储"},
      {"no hash field", "magnet=1", "HTTP/1.1 400 Bad Request", "hash"},
      {"broken escape", "hash=%G1", "HTTP/1.1 400 Bad Request", "hash"},
  };
  for (const auto& m : misses) {
    reply = Exchange(port_, Post("/download.aspx", m.body));
    EXPECT_EQ(Status(reply), m.status) << m.name;
    EXPECT_NE(Body(reply).find(m.text), std::string::npos) << m.name;
    // A lookup that ran says why it failed, after the text the tool looks for.
    if (m.name == std::string("unknown hash")) {
      const size_t why = Body(reply).find("未找到：没有找到拥有这个种子的节点（DHT 节点 0 个");
      EXPECT_NE(why, std::string::npos) << Body(reply);
      EXPECT_GT(why, Body(reply).find(m.text));
    }
    EXPECT_NE(Headers(reply).find("charset=utf-8"), std::string::npos) << m.name;
  }
}

TEST_F(ServiceTest, SecondService) {
  std::string reply = Exchange(
      port_, Post("/magnet-bt/index.php", "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + hash_));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Headers(reply).find("charset=UTF-8"), std::string::npos);
  EXPECT_EQ(reply.find("charset=utf-8"), std::string::npos);  // the tool converts it itself
  const std::string body = Body(reply);
  for (const std::string row : {"<tr><td>a/第一集.mkv</td><td style=\"text-align:right\">700.25 "
                                "MB</td></tr>",
                                "<tr><td>b.txt</td><td style=\"text-align:right\">12 B</td></tr>"})
    EXPECT_NE(body.find(row), std::string::npos) << row << "\n" << body;
  const std::string link = "<a href=\"./down.php?hash=" + hash_ +
                           "\" class=\"btn btn-primary\" target=\"_blank\">点击下载</a>";
  EXPECT_NE(body.find(link), std::string::npos) << body;

  // A row never holds a line break or another control byte: the tool's row pattern stops at
  // one, and its log may go to a terminal.
  const std::string odd =
      Add(MakeTorrent("odd\nname", {{"line\nbreak\r.mkv", 5}, {"esc\x1b[31m", 7}}));
  const std::string page = Body(
      Exchange(port_, Post("/magnet-bt/index.php", "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + odd)));
  for (const std::string row :
       {"<h2>odd_name</h2>", "<tr><td>line_break_.mkv</td>", "<tr><td>esc_[31m</td>"})
    EXPECT_NE(page.find(row), std::string::npos) << row << "\n" << page;

  reply = Exchange(port_, Get("/magnet-bt/down.php?hash=" + hash_));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Headers(reply).find("Content-Disposition: attachment; filename*=UTF-8''"
                                "%E7%94%B5%E5%BD%B1%20&%20%3C%E5%90%88%E9%9B%86%3E%5Bpellucor.local"
                                "%5D.torrent; filename=电影 & <合集>[pellucor.local].torrent\r\n"),
            std::string::npos)
      << Headers(reply);
  // A name cannot add parameters of its own, nor turn its extension around.
  const std::string evil =
      Add(MakeTorrent("x; filename*=UTF-8''evil.html; \"q\" \\ \xE2\x80\xAEgpj.exe", {{"x", 1}}));
  const std::string header = Headers(Exchange(port_, Get("/magnet-bt/down.php?hash=" + evil)));
  EXPECT_NE(header.find("; filename=x filename*=UTF-8''evil.html q  gpj.exe[pellucor.local]"
                        ".torrent\r\n"),
            std::string::npos)
      << header;
  for (const char* parameter : {"; filename*=", "; filename="}) {  // each once, none added
    const size_t first = header.find(parameter);
    EXPECT_NE(first, std::string::npos) << parameter;
    EXPECT_EQ(header.find(parameter, first + 1), std::string::npos) << parameter;
  }
  EXPECT_EQ(Body(reply), torrent_);
  // A long name is cut so that the tool reads the whole header block and the name in it.
  std::string longName;
  while (longName.size() < 3000) longName += "长名字";
  reply =
      Exchange(port_, Get("/magnet-bt/down.php?hash=" + Add(MakeTorrent(longName, {{"x", 1}}))));
  EXPECT_LT(Headers(reply).size() + 4, 2000u);
  EXPECT_NE(Headers(reply).find("filename=" + longName.substr(0, 240) + "[pellucor.local].torrent"),
            std::string::npos)
      << Headers(reply);

  for (const std::string& r :
       {Exchange(port_, Post("/magnet-bt/index.php",
                             "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + std::string(40, 'b'))),
        Exchange(port_, Get("/magnet-bt/down.php?hash=" + std::string(40, 'b'))),
        Exchange(port_, Get("/magnet-bt/down.php"))}) {
    EXPECT_EQ(Status(r), "HTTP/1.1 404 Not Found");
    EXPECT_NE(Body(r).find("该磁力链接无法生成BT种子"), std::string::npos);
  }
}

// A torrent of very many files, or of very long paths, makes a bounded page and description:
// the first files (fewer when their rows run long), then a row for those left out.
TEST_F(ServiceTest, LongFileListsAreBounded) {
  const struct {
    const char* name;
    size_t files;
    std::string component;  // each path is three of these and a number
    size_t listed;          // 0: stopped by the bytes, before 1000
  } cases[] = {
      {"many files", 1500, "d", 1000},
      {"long paths", 900, std::string(255, '"'), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::pair<std::string, int64_t>> files;
    for (size_t i = 0; i < c.files; ++i)
      files.emplace_back(c.component + "/" + c.component + "/" + c.component + std::to_string(i),
                         1024);
    const std::string hash = Add(MakeTorrent(c.name, files));
    const std::string page = Body(Exchange(
        port_, Post("/magnet-bt/index.php", "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + hash)));
    EXPECT_LT(page.size(), (1u << 20) + 4096);
    size_t rows = 0;
    for (size_t at = 0; (at = page.find("<tr><td>", at)) != std::string::npos; ++at) ++rows;
    const size_t listed = rows - 1;
    if (c.listed) {
      EXPECT_EQ(listed, c.listed);
    }
    EXPECT_GT(listed, 100u);
    const size_t leftOut = c.files - listed;
    const std::string more = "<tr><td>……另有 " + std::to_string(leftOut) +
                             " 个文件未列出</td><td style=\"text-align:right\">" +
                             HumanSize(static_cast<int64_t>(leftOut) * 1024) + "</td></tr>";
    EXPECT_NE(page.find(more), std::string::npos) << more;
    EXPECT_NE(page.find("点击下载"), std::string::npos);

    const std::string json = Body(Exchange(port_, Get("/api/v1/torrents/" + hash)));
    EXPECT_LT(json.size(), (1u << 20) + 4096);
    size_t entries = 0;
    for (size_t at = 0; (at = json.find("{\"path\":", at)) != std::string::npos; ++at) ++entries;
    if (c.listed) {
      EXPECT_EQ(entries, c.listed);
    }
    EXPECT_LT(entries, c.files);
    EXPECT_NE(json.find("],\"fileCount\":" + std::to_string(c.files) + ","), std::string::npos);
  }
}

// A HEAD request gets the GET reply's header block and no body, so the next reply on the same
// connection starts where it should.
TEST_F(ServiceTest, HeadIsAnsweredWithTheHeadersAlone) {
  for (const std::string& target :
       {"/magnet-bt/down.php?hash=" + hash_, "/api/v1/torrents/" + hash_ + ".torrent",
        "/api/v1/torrents/" + hash_, std::string("/"), std::string("/nothing")}) {
    SCOPED_TRACE(target);
    const std::string get = Exchange(port_, Get(target));
    std::string head = Headers(get) + "\r\n\r\n";
    head.erase(head.find("Connection: close\r\n"), sizeof("Connection: close\r\n") - 1);
    EXPECT_NE(head.find("Content-Length: " + std::to_string(Body(get).size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(Exchange(port_, "HEAD " + target + " HTTP/1.1\r\nHost: 127.0.0.1:8600\r\n\r\n" +
                                  Get(target)),
              head + get);
  }
}

TEST_F(ServiceTest, JsonApi) {
  std::string reply = Exchange(port_, Get("/api/v1/torrents/" + hash_));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Headers(reply).find("Content-Type: application/json"), std::string::npos);
  const std::string json = Body(reply);
  EXPECT_EQ(json.rfind("{\"infoHash\":\"" + hash_ +
                           "\",\"infoHashV2\":null,\"name\":\"电影 & <合集>\",\"size\":734265946,"
                           "\"files\":[{\"path\":\"a/第一集.mkv\",\"size\":734264934},{\"path\":"
                           "\"b.txt\",\"size\":12},{\"path\":\"c.nfo\",\"size\":1000}],"
                           "\"fileCount\":3,\"source\":\"import\",\"added\":\"20",
                       0),
            0u)
      << json;
  EXPECT_NE(json.find("Z\",\"pieceLayers\":true}"), std::string::npos) << json;
  EXPECT_EQ(Body(Exchange(port_, Get("/api/v1/torrents/" + Upper(hash_)))), json);
  reply = Exchange(port_, Get("/api/v1/torrents/" + Upper(hash_) + ".torrent"));
  EXPECT_NE(Headers(reply).find("Content-Type: application/x-bittorrent"), std::string::npos);
  EXPECT_EQ(Body(reply), torrent_);

  const std::string other(40, 'b');
  const struct {
    const char* name;
    std::string request;
    std::string status;
    std::string body;
  } errors[] = {
      {"miss", Get("/api/v1/torrents/" + other), "HTTP/1.1 404 Not Found",
       "{\"error\":\"not_found\",\"message\":\"not in the store\"}\n"},
      {"miss of the file", Get("/api/v1/torrents/" + other + ".torrent"), "HTTP/1.1 404 Not Found",
       "{\"error\":\"not_found\",\"message\":\"not in the store\"}\n"},
      {"short hash", Get("/api/v1/torrents/" + other.substr(1)), "HTTP/1.1 400 Bad Request",
       "{\"error\":\"bad_hash\",\"message\":\"the hash must be 40 or 64 hex digits or 32 "
       "base-32 letters\"}\n"},
      {"unknown path", Get("/api/v1/other"), "HTTP/1.1 404 Not Found",
       "{\"error\":\"not_found\",\"message\":\"no such API path\"}\n"},
      {"post", Post("/api/v1/torrents/" + hash_, ""), "HTTP/1.1 405 Method Not Allowed",
       "{\"error\":\"method_not_allowed\",\"message\":\"only GET and HEAD are served here\"}\n"},
  };
  for (const auto& e : errors) {
    reply = Exchange(port_, e.request);
    EXPECT_EQ(Status(reply), e.status) << e.name;
    EXPECT_NE(Headers(reply).find("Content-Type: application/json"), std::string::npos) << e.name;
    EXPECT_EQ(Body(reply), e.body) << e.name;
  }
  // resolve=1 with no swarm to ask: the lookup's outcome; and for a minute after, without it.
  for (const std::string& target : {other + "?resolve=1", other}) {
    reply = Exchange(port_, Get("/api/v1/torrents/" + target));
    EXPECT_EQ(Status(reply), "HTTP/1.1 404 Not Found") << target;
    EXPECT_EQ(Body(reply),
              "{\"error\":\"not_found\",\"outcome\":\"no_peers\",\"message\":\"no peers "
              "found\",\"dhtNodes\":0,\"peersSeen\":0,\"peersTried\":0,\"seconds\":0.0}\n")
        << target;
  }
}

TEST_F(ServiceTest, PublisherSite) {
  std::string reply = Exchange(port_, Get("/ggurl.html"));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Headers(reply).find("text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(
      Body(reply).find("Pellucor广告投放ok\n广告图片地址：http://127.0.0.1:8600/advert-picture\n"
                       "广告地址：http://ad.example/\n"),
      std::string::npos)
      << Body(reply);
  reply = Exchange(port_, Get("/advert-picture"));
  EXPECT_EQ(Body(reply), std::string(1500, 'p'));
  reply = Exchange(port_, Get("/"));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_NE(Body(reply).find("Pellucor"), std::string::npos);
}

// The health check says whether the store answers (the sites here have no swarm session).
TEST_F(ServiceTest, HealthCheck) {
  std::string reply = Exchange(port_, Get("/healthz"));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(reply), "ok\n");
  EXPECT_EQ(Status(Exchange(port_, Post("/healthz", ""))), "HTTP/1.1 405 Method Not Allowed");
  // The store's table taken away beside the service.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "torrents.sqlite").string().c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "DROP TABLE torrents", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  reply = Exchange(port_, Get("/healthz"));
  EXPECT_EQ(Status(reply), "HTTP/1.1 503 Service Unavailable");
  EXPECT_EQ(Body(reply), "store: no such table: torrents\n");
}

// The server's own rules: what never reaches a site.
TEST_F(ServiceTest, RefusesWhatItCannotServe) {
  const struct {
    const char* name;
    std::string request;
    std::string status;
  } cases[] = {
      {"unknown path", Get("/nothing/here"), "HTTP/1.1 404 Not Found"},
      {"wrong method", Get("/download.aspx"), "HTTP/1.1 405 Method Not Allowed"},
      {"body over the limit", Post("/download.aspx", "hash=" + std::string(5000, 'a')),
       "HTTP/1.1 413 Payload Too Large"},
      {"announced body over the limit",
       "POST /download.aspx HTTP/1.1\r\nContent-Length: 100000000\r\n\r\nhash=",
       "HTTP/1.1 413 Payload Too Large"},
      {"header block over the limit",
       "GET / HTTP/1.1\r\nX-Big: " + std::string(20000, 'h') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large"},
      {"not HTTP", "HELLO THERE\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"bad content length", "POST /download.aspx HTTP/1.1\r\nContent-Length: x\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& c : cases) EXPECT_EQ(Status(Exchange(port_, c.request)), c.status) << c.name;
}

// Requests whose body length cannot be told for sure are answered and their connection closed
// (what follows would be read as the next request); a request without one Host is refused.
TEST_F(ServiceTest, FramingIsReadStrictly) {
  const std::string post = "POST /download.aspx HTTP/1.1\r\nHost: a\r\n";
  const struct {
    std::string request;
    std::string status;
  } cases[] = {
      {post + "Transfer-Encoding: xchunked\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {post + "Transfer-Encoding: chunked, identity\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {post + "Transfer-Encoding: identity\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {post + "Transfer-Encoding: gzip, chunked\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
      {"POST /download.aspx HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400 Bad Request"},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = Exchange(port_, c.request, 0, 3);
    EXPECT_EQ(Status(reply), c.status) << c.request;
    EXPECT_EQ(reply.find("HTTP/1.1 200"), std::string::npos) << c.request;  // nothing smuggled
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "left open";
  }
  // A chunked body, and HTTP/1.0 without a Host, are fine.
  EXPECT_EQ(Status(Exchange(port_, post + "Transfer-Encoding: Chunked\r\nConnection: close\r\n\r\n"
                                          "5\r\nhash=\r\n0\r\n\r\n")),
            "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Exchange(port_, "GET / HTTP/1.0\r\n\r\n")), "HTTP/1.1 200 OK");

  // A client that waits for leave to send its body gets it at once.
  const int fd = Connect(port_);
  ASSERT_GE(fd, 0);
  const std::string head = post +
                           "Expect: 100-continue\r\nConnection: close\r\n"
                           "Content-Length: 5\r\n\r\n";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  char buf[64] = {};
  const ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "HTTP/1.1 100 Continue\r\n\r\n");
  ::send(fd, "hash=", 5, MSG_NOSIGNAL);
  EXPECT_EQ(Status(ReadAll(fd)), "HTTP/1.1 404 Not Found");
  ::close(fd);
}

TEST_F(ServiceTest, SlowClientIsDisconnectedAndOthersAreServed) {
  // One byte every 100 ms: the 500 ms deadline for a whole request passes first.
  std::string slow;
  std::thread slowClient([&] { slow = Exchange(port_, Get("/"), 100); });
  // Meanwhile others are served at once: the slow one holds no thread.
  EXPECT_EQ(Status(Exchange(port_, Get("/"))), "HTTP/1.1 200 OK");
  slowClient.join();
  EXPECT_EQ(slow, "");
}

TEST_F(ServiceTest, TwoHundredConcurrentDownloads) {
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 200; ++i)
    clients.emplace_back([&] {
      const std::string reply = Exchange(port_, Get("/magnet-bt/down.php?hash=" + hash_));
      if (Status(reply) == "HTTP/1.1 200 OK" && Body(reply) == torrent_) ++good;
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(good, 200);
}

// Whether the server closed `fd` (it reads as ended) rather than keeping it open.
bool ClosedByServer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 50) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// One address may hold `maxConnectionsPerClient` connections; more are closed at once. A
// trusted proxy is not limited. Others are served meanwhile.
TEST_F(ServiceTest, ConnectionsPerClient) {
  testing::LocalServiceSettings local;
  local.http.maxConnectionsPerClient = 3;
  local.http.trustedProxies = {boost::asio::ip::make_address("127.0.0.3")};
  testing::LocalService service(*store_, local);
  for (const auto& [from, kept] : {std::pair{"127.0.0.2", 3}, std::pair{"127.0.0.3", 6}}) {
    std::vector<int> fds;
    for (int i = 0; i < 6; ++i) fds.push_back(testing::Connect(service.Port(), from));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int open = 0;
    for (int fd : fds) open += ClosedByServer(fd) ? 0 : 1;
    EXPECT_EQ(open, kept) << from;
    EXPECT_EQ(Status(Exchange(service.Port(), Get("/"))), "HTTP/1.1 200 OK");
    for (int fd : fds) ::close(fd);
  }
}

// While more than half of the slots are taken, a connection that has not sent its request
// header within the idle timeout is closed; with half or fewer taken it may wait for the read
// deadline.
TEST_F(ServiceTest, IdleConnectionsAreClosedWhenSlotsRunShort) {
  testing::LocalServiceSettings local;
  local.http.maxConnections = 8;
  local.http.maxConnectionsPerClient = 0;
  local.http.idleHeaderTimeout = std::chrono::milliseconds(300);
  testing::LocalService service(*store_, local);
  std::vector<int> fds;
  for (int i = 0; i < 4; ++i) fds.push_back(testing::Connect(service.Port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  for (int fd : fds) EXPECT_FALSE(ClosedByServer(fd));
  // A fifth: the four that waited are closed, which ends the shortage, so the fifth may stay.
  fds.push_back(testing::Connect(service.Port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  for (size_t i = 0; i < fds.size(); ++i) EXPECT_EQ(ClosedByServer(fds[i]), i < 4) << i;
  for (int fd : fds) ::close(fd);
}

}  // namespace
}  // namespace pellucor::service
