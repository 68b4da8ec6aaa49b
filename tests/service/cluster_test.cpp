// pellucor-service past one process, end to end on loopback: a PostgreSQL server, two service
// programs on it, nginx in front of them with the site in deploy/nginx/pellucor.conf (ports and
// paths replaced), and the demo seed. Both of the desktop tool's routes go through nginx; a hash
// asked of both instances at once is searched by one; an instance killed while it searches
// leaves its lease to the other; the conversions after that still succeed; the store passes its
// consistency check. The steps share what they start and run in order, as one case.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "base/codepage.h"
#include "base/env.h"
#include "convert/routes.h"
#include "service/store/store.h"
#include "service/swarm/demo_seed.h"
#include "support/http_exchange.h"
#include "support/loopback_swarm.h"
#include "support/postgres_server.h"
#include "support/printers.h"
#include "support/process.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "support/torrents.h"
#include "torrent/torrent_check.h"

namespace pellucor::service {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using pellucor::testing::Body;
using pellucor::testing::ChildProcess;
using pellucor::testing::Exchange;
using pellucor::testing::Get;
using pellucor::testing::Headers;
using pellucor::testing::PostgresServer;
using pellucor::testing::ReadWholeFile;
using pellucor::testing::RunProgram;
using pellucor::testing::ServiceProcess;
using pellucor::testing::Status;

using testing::FreePort;
using testing::G;
using testing::RecordingView;

// `text` with its one `from` replaced by `to`; empty when `from` is not there exactly once (the
// deployed site changed shape: the test must follow).
std::string ReplaceOnce(const std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos) return "";
  return text.substr(0, at) + to + text.substr(at + from.size());
}

// "postgresql://USER@…" with ":PASSWORD" after USER.
std::string PasswordUri(const std::string& uri, const std::string& password) {
  const size_t at = uri.find('@');
  return uri.substr(0, at) + ":" + password + uri.substr(at);
}

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "out");
    // nginx's workers run as nobody when the test runs as root: they must reach their files.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  }
  // nginx on a loopback port with the deployed site in front of `ports`; its port, 0 when it
  // does not come up.
  int StartNginx(const std::vector<int>& ports) {
    std::ifstream in(std::string(PELLUCOR_SOURCE_DIR) + "/deploy/nginx/pellucor.conf");
    std::string site((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const fs::path prefix = dir_ / "nginx";
    fs::create_directories(prefix / "temp");
    const int port = FreePort();
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1:8601", "127.0.0.1:" + std::to_string(ports[0])},
             {"127.0.0.1:8602", "127.0.0.1:" + std::to_string(ports[1])},
             {"listen 80;", "listen 127.0.0.1:" + std::to_string(port) + ";"},
             {"/var/cache/pellucor-nginx", (prefix / "cache").string()}}) {
      site = ReplaceOnce(site, from, to);
      EXPECT_FALSE(site.empty()) << "deploy/nginx/pellucor.conf has no single " << from;
      if (site.empty()) return 0;
    }
    const std::string p = prefix.string();
    std::ofstream(prefix / "nginx.conf")
        << "daemon off;\nworker_processes 1;\npid " << p << "/nginx.pid;\nerror_log " << p
        << "/error.log info;\nevents { worker_connections 256; }\nhttp {\n  access_log " << p
        << "/access.log;\n  client_body_temp_path " << p << "/temp/body;\n  proxy_temp_path " << p
        << "/temp/proxy;\n  fastcgi_temp_path " << p << "/temp/fastcgi;\n  uwsgi_temp_path " << p
        << "/temp/uwsgi;\n  scgi_temp_path " << p << "/temp/scgi;\n"
        << site << "}\n";
    nginx_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/nginx", "-p", p + "/", "-c", p + "/nginx.conf", "-e",
                                 p + "/error.log"},
        p + "/out.txt", p + "/out.txt");
    for (int i = 0; i < 250; ++i) {
      if (Status(Exchange(port, Get("/healthz"))) == "HTTP/1.1 200 OK") return port;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << ReadWholeFile(p + "/out.txt") << ReadWholeFile(p + "/error.log");
    return 0;
  }

  // The tool names files in GBK; the file system holds UTF-8.
  GbkText OutDir() const { return GbkText(Utf16ToGbk(Utf8ToUtf16((dir_ / "out").string()))); }
  std::optional<std::string> SavedInfo(const char* utf8Name) const {
    const auto bytes = ReadBytesFromFile(ConcatText(OutDir(), kPathSeparator, G(utf8Name)));
    if (!bytes) return std::nullopt;
    fs::remove(dir_ / "out" / utf8Name);
    const auto info = TorrentInfoBytes(bytes->view());
    return info ? std::optional<std::string>(std::string(*info)) : std::nullopt;
  }

  // Both routes of the tool through nginx for the demo link: each saves the demo torrent.
  void ConvertThroughNginx(int port, const DemoSeed& seed, const std::string& info) {
    const GbkText host("127.0.0.1:" + std::to_string(port));
    RecordingView first(GbkText(seed.MagnetLink()));
    RunFirstRoute(first, OutDir(), host);
    EXPECT_EQ(first.messages, std::vector<std::string>{});
    EXPECT_EQ(first.log.rfind(G("种子获取成功，种子文件<"), 0), 0u)
        << ::testing::PrintToString(GbkText(first.log));
    for (const auto& entry : fs::directory_iterator(dir_ / "out")) {
      const auto bytes = ReadBytesFromFile(GbkText(Utf16ToGbk(Utf8ToUtf16(entry.path().string()))));
      ASSERT_TRUE(bytes);
      EXPECT_EQ(TorrentInfoBytes(bytes->view()), info);
      fs::remove(entry.path());
    }
    RecordingView second(GbkText(seed.MagnetLink()));
    RunSecondRoute(second, OutDir(), host, "pellucor.local");
    EXPECT_NE(second.log.find(G("种子获取成功，种子文件<Pellucor演示.torrent>")), std::string::npos)
        << ::testing::PrintToString(GbkText(second.log));
    EXPECT_EQ(SavedInfo("Pellucor演示.torrent"), info);
  }

  const pellucor::testing::Sandbox sandbox_{"cluster"};
  const fs::path& dir_ = sandbox_.fs();
  std::unique_ptr<ChildProcess> nginx_;
};

TEST_F(ClusterTest, TwoInstancesOnePostgresqlBehindNginx) {
  std::string error;
  PostgresServer* postgres = PostgresServer::Shared(&error);
  ASSERT_TRUE(postgres) << error;
  const std::string database = postgres->CreateDatabase(&error);
  ASSERT_FALSE(database.empty()) << error;
  const std::string uri = postgres->Uri(database);
  const auto seed = DemoSeed::Start((dir_ / "seed").string(), &error);
  ASSERT_TRUE(seed) << error;
  const std::string hash = seed->InfoHash();
  const std::string info = std::string(*TorrentInfoBytes(seed->TorrentBytes()));

  // Both ask the demo seed; `b` gives up on the swarm sooner. Leases of two seconds: how long
  // an instance waits for one that died.
  auto args = [&](const char* timeout) {
    return std::vector<std::string>{
        "--store",        uri, "--no-dht",          "--peer", seed->Peer(),
        "--lookup-lease", "2", "--resolve-timeout", timeout,  "--trusted-proxy",
        "127.0.0.1"};
  };
  ServiceProcess a(dir_ / "a", args("30"));
  ServiceProcess b(dir_ / "b", args("4"));
  ASSERT_NE(a.Port(), 0) << a.Log();
  ASSERT_NE(b.Port(), 0) << b.Log();
  EXPECT_NE(a.Said().find("lookups leased"), std::string::npos) << a.Said();
  // The start-up line names the store, never a password (the test server needs none: one is
  // put in the URI to be left out).
  {
    ServiceProcess withPassword(dir_ / "password",
                                {"--store", PasswordUri(uri, "s3cret"), "--no-dht"});
    const std::string log = withPassword.Log();
    EXPECT_NE(log.find(" store=postgresql store_at=postgresql://pellucor:***@"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
    EXPECT_EQ(withPassword.Said().find("s3cret"), std::string::npos) << withPassword.Said();
  }

  // The same unknown hash asked of both instances at once: one swarm fetch between them.
  {
    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    auto ask = [ready, &hash](int port) {
      ready.wait();
      return Exchange(port, Get("/api/v1/torrents/" + hash + "?resolve=1"), 0, 60);
    };
    auto fromA = std::async(std::launch::async, ask, a.Port());
    auto fromB = std::async(std::launch::async, ask, b.Port());
    go.set_value();
    for (const std::string& reply : {fromA.get(), fromB.get()}) {
      EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << reply;
      EXPECT_NE(Body(reply).find("\"infoHash\":\"" + hash + "\""), std::string::npos) << reply;
    }
    const std::string logs = a.Log() + b.Log();
    for (const char* outcome : {"found_peer", "found_store"}) {
      const std::string line = "event=lookup hash=" + hash + " outcome=" + outcome + " ";
      EXPECT_EQ(a.LogCount(line) + b.LogCount(line), 1) << logs;
    }
  }

  // Both routes through nginx; the download is then kept by nginx.
  const int front = StartNginx({a.Port(), b.Port()});
  ASSERT_NE(front, 0);
  ConvertThroughNginx(front, *seed, info);
  const std::string download = "/magnet-bt/down.php?hash=" + hash;
  const std::string cached = Exchange(front, Get(download));
  EXPECT_NE(Headers(cached).find("X-Cache-Status: HIT"), std::string::npos) << Headers(cached);
  const std::string cachedBody = Body(cached);
  EXPECT_EQ(TorrentInfoBytes(cachedBody), info);
  // The operator's pages answer this machine's own address only; the sites answer everyone.
  for (const char* page : {"/metrics", "/healthz"}) {
    EXPECT_EQ(Status(Exchange(front, Get(page))), "HTTP/1.1 200 OK") << page;
    EXPECT_EQ(Status(Exchange(front, Get(page), 0, 5, "127.0.0.2")), "HTTP/1.1 403 Forbidden")
        << page;
  }
  EXPECT_EQ(Status(Exchange(front, Get(download), 0, 5, "127.0.0.2")), "HTTP/1.1 200 OK");

  // An instance killed while it searches: its lease expires and the other one searches.
  const std::string nobodys(40, 'd');
  auto askA = std::async(std::launch::async, [&] {
    return Exchange(a.Port(), Get("/api/v1/torrents/" + nobodys + "?resolve=1"), 0, 60);
  });
  std::vector<std::vector<std::string>> owner;
  for (int i = 0; i < 250 && owner.empty(); ++i) {
    postgres->Execute(
        database,
        "SELECT owner FROM lookup_leases WHERE owner IS NOT NULL AND info_hash = '" + nobodys + "'",
        &owner);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(owner.empty()) << "instance a took no lease\n" << a.Log();
  auto askB = std::async(std::launch::async, [&] {
    return Exchange(b.Port(), Get("/api/v1/torrents/" + nobodys + "?resolve=1"), 0, 60);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(a.Stop(std::chrono::milliseconds(0), SIGKILL), -1);
  EXPECT_EQ(askA.get(), "");
  const Clock::time_point killed = Clock::now();
  const std::string reply = askB.get();
  EXPECT_EQ(Status(reply), "HTTP/1.1 404 Not Found") << reply;
  EXPECT_NE(Body(reply).find("\"outcome\":\"no_"), std::string::npos) << reply;
  // Its own search of four seconds, after at most two of waiting for the lease.
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(20));
  EXPECT_EQ(b.LogCount("event=lookup hash=" + nobodys + " outcome=no_"), 1) << b.Log();

  // The conversions after the kill go through the instance that is left.
  ConvertThroughNginx(front, *seed, info);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Status(Exchange(front, Get("/api/v1/torrents/" + hash))), "HTTP/1.1 200 OK") << i;

  // The store as the instances left it.
  std::unique_ptr<Store> store = Store::Open(uri, &error);
  ASSERT_TRUE(store) << error;
  std::vector<std::string> problems;
  EXPECT_TRUE(store->Check(&problems)) << ::testing::PrintToString(problems);
  EXPECT_EQ(store->Count(), 1);
  nginx_.reset();
  b.Stop();
}

// An SQLite store moved into PostgreSQL by the command an operator runs: every torrent with its
// bytes, source and date; one the target holds with other bytes is kept and reported; a second
// run copies nothing more; the target passes its check.
TEST_F(ClusterTest, MigrateMovesAnSqliteStoreIntoPostgresql) {
  std::string error;
  PostgresServer* postgres = PostgresServer::Shared(&error);
  ASSERT_TRUE(postgres) << error;
  const std::string target = postgres->Uri(postgres->CreateDatabase(&error));
  const std::string source = "sqlite:" + (dir_ / "torrents.sqlite").string();
  const std::vector<pellucor::testing::Torrent> torrents = {
      pellucor::testing::MakeTorrent(1100, "a.bin"),
      pellucor::testing::MakeTorrent(5000, "\xb5\xe7\xd3\xb0.mkv"),  // a legacy code-page name
      pellucor::testing::MakeTorrent(1300, "c.bin")};
  {
    std::unique_ptr<Store> from = Store::Open(source, &error);
    ASSERT_TRUE(from) << error;
    for (size_t i = 0; i < torrents.size(); ++i)
      ASSERT_TRUE(from->Add(torrents[i].bytes, i ? "swarm" : "import", &error, nullptr,
                            1700000000 + static_cast<int64_t>(i)))
          << error;
    // The third already in the target, with other bytes around the same info dictionary.
    std::unique_ptr<Store> to = Store::Open(target, &error);
    ASSERT_TRUE(to) << error;
    ASSERT_TRUE(to->Add(pellucor::testing::MakeTorrent(1400, "c.bin").bytes, "import", &error));
  }
  const std::string binary = PELLUCOR_SERVICE_BINARY;
  auto run = pellucor::testing::RunProgram(binary, {"migrate", "--from", source, "--to", target});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_EQ(run.out, "2 copied, 0 already there, 1 failed; 3 torrents in the target\n");
  EXPECT_NE(run.err.find("stored with other bytes in the target; kept"), std::string::npos)
      << run.err;
  run = pellucor::testing::RunProgram(binary, {"migrate", "--from", source, "--to", target});
  EXPECT_EQ(run.out, "0 copied, 2 already there, 1 failed; 3 torrents in the target\n");

  std::unique_ptr<Store> from = Store::Open(source, &error);
  std::unique_ptr<Store> to = Store::Open(target, &error);
  ASSERT_TRUE(from && to) << error;
  for (size_t i = 0; i < 2; ++i) {
    const std::optional<StoredTorrent> was = from->Find(torrents[i].hash);
    const std::optional<StoredTorrent> is = to->Find(torrents[i].hash);
    ASSERT_TRUE(was && is) << i;
    EXPECT_EQ(is->bytes, torrents[i].bytes) << i;
    EXPECT_EQ(is->meta.name, was->meta.name) << i;
    EXPECT_EQ(is->source, was->source) << i;
    EXPECT_EQ(is->addedAt, 1700000000 + static_cast<int64_t>(i)) << i;
  }
  EXPECT_EQ(to->Find(torrents[2].hash)->bytes, pellucor::testing::MakeTorrent(1400, "c.bin").bytes);
  run = pellucor::testing::RunProgram(binary, {"check", "--store", target});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out, "ok: 3 torrents\n");
}

}  // namespace
}  // namespace pellucor::service
