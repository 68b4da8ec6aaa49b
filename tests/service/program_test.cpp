// pellucor-service, the program, against what a hostile client or a careless command line does
// to it, and what an operator sees of it: strict options; the log and /metrics; 50 slow readers
// of a 50 MB torrent; 1,000 lookups whose clients hang up at once; 4,000 idle connections from
// one address. Everything on loopback; no swarm beyond the program's own demo seed.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_peer.h"
#include "support/http_exchange.h"
#include "support/process.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "support/torrents.h"

namespace pellucor::service {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::Body;
using testing::Exchange;
using testing::Get;
using testing::Headers;
using testing::Status;

class Program : public ::testing::Test {
 protected:
  // The program on the store Import fills; each start in a directory of its own.
  std::unique_ptr<testing::ServiceProcess> Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--data", (dir_ / "data").string()});
    auto service = std::make_unique<testing::ServiceProcess>(
        dir_ / ("run" + std::to_string(started_++)), args);
    EXPECT_NE(service->Port(), 0) << service->Log();
    return service;
  }

  // Writes `torrent` to a file and imports it into the store of Start(); its info hash.
  std::string Import(const std::string& torrent) {
    const fs::path file = dir_ / ("import-" + std::to_string(imported_++) + ".torrent");
    std::ofstream(file, std::ios::binary) << torrent;
    const testing::ProgramRun run = testing::RunProgram(
        PELLUCOR_SERVICE_BINARY, {"import", "--data", (dir_ / "data").string(), file.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return run.out.substr(0, 40);
  }

  const testing::Sandbox sandbox_{"program"};
  const fs::path& dir_ = sandbox_.fs();
  int imported_ = 0;
  int started_ = 0;
};

// The value of a line "NAME VALUE" in a metrics page; -1 when there is none.
double Metric(const std::string& page, const std::string& name) {
  const size_t at = page.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(page.substr(at + name.size() + 2));
}

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS").
long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// This process may need thousands of sockets: the soft limit goes up to the hard one.
void RaiseFileLimit(rlim_t wanted) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  ASSERT_GE(limit.rlim_cur, wanted) << "raise the hard limit on open files (ulimit -Hn)";
}

TEST_F(Program, OptionsAreReadStrictly) {
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--listen", "127.0.0.1:abc"}, "--listen 127.0.0.1:abc: port must be 0 to 65535"},
      {{"--listen", "127.0.0.1:86x0"}, "--listen 127.0.0.1:86x0: port must be 0 to 65535"},
      {{"--listen", "127.0.0.1:65536"}, "--listen 127.0.0.1:65536: port must be 0 to 65535"},
      {{"--listen", "localhost:8600"}, "--listen localhost:8600: not an IP address: localhost"},
      {{"--peer", "127.0.0.1:0"}, "--peer 127.0.0.1:0: port must be 1 to 65535"},
      {{"--dht-bootstrap", "a:1,,b:2"}, "--dht-bootstrap a:1,,b:2: has an empty item"},
      {{"--max-fetches", "0"}, "--max-fetches 0: must be a whole number from 1 to 1000"},
      {{"--resolve-timeout", "5s"}, "--resolve-timeout 5s: must be a whole number"},
      {{"--cache-mb", "-1"}, "--cache-mb -1: must be a whole number"},
      {{"--max-client-lookups", "1e3"}, "--max-client-lookups 1e3: must be a whole number"},
      {{"--log-level", "loud"}, "--log-level loud: must be error, warn, info or debug"},
      {{"--trusted-proxy", "10.0.0"}, "--trusted-proxy 10.0.0: not an IP address"},
      {{"--site-tag", "a]b"}, "--site-tag a]b: may not hold"},
      {{"--resolve-timeout"}, "--resolve-timeout needs a value"},
      {{"--data", "--no-dht"}, "--data needs a value"},
      {{"--no-dht=yes"}, "--no-dht takes no value"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"import", "--listen", "127.0.0.1:1", "x.torrent"}, "--listen is not an option of import"},
      {{"import"}, "import needs one or more FILEs"},
      {{"--db-connections", "0"}, "--db-connections 0: must be a whole number from 1 to 1000"},
      {{"--lookup-lease", "1.5"}, "--lookup-lease 1.5: must be a whole number from 1 to 3600"},
      {{"--store", "sqlite:"}, "--store sqlite:: must be sqlite:PATH or postgresql://"},
      {{"--from", "sqlite:a"}, "--from is not an option of serve"},
      {{"check", "--listen", "127.0.0.1:1"}, "--listen is not an option of check"},
      {{"migrate", "--from", "sqlite:a"}, "migrate needs --from and --to"},
  };
  for (const auto& c : cases) {
    const testing::ProgramRun run = testing::RunProgram(
        PELLUCOR_SERVICE_BINARY, c.args, {.directory = dir_.string(), .timeoutSeconds = 30});
    EXPECT_EQ(run.exitCode, 2) << c.message;
    EXPECT_NE(run.err.find("pellucor-service: " + c.message), std::string::npos)
        << c.message << "\n"
        << run.err;
  }
  EXPECT_EQ(testing::RunProgram(PELLUCOR_SERVICE_BINARY, {"--help"}).exitCode, 0);
  const testing::ProgramRun version = testing::RunProgram(PELLUCOR_SERVICE_BINARY, {"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("pellucor-service 1.", 0), 0u) << version.out;
  EXPECT_FALSE(fs::exists(dir_ / "pellucor-data"));  // nothing was started
}

// What the log and /metrics say after a few requests: the settings, a line per request and per
// lookup, the counts by site, status and outcome, and the gauges. The cache stays in its bound.
// With no DHT and no peers or trackers, a lookup has nowhere to look and ends at once.
TEST_F(Program, TheOperatorSeesWhatItDoes) {
  std::vector<std::string> hashes;
  for (int i = 0; i < 3; ++i)
    hashes.push_back(Import(testing::MakeTorrent(400000, "t" + std::to_string(i)).bytes));
  auto service = Start({"--no-dht", "--resolve-timeout", "1", "--cache-mb", "1"});
  const int port = service->Port();
  for (const std::string& hash : hashes)
    EXPECT_EQ(Status(Exchange(port, Get("/magnet-bt/down.php?hash=" + hash))), "HTTP/1.1 200 OK");
  EXPECT_EQ(Status(Exchange(port, "HEAD /magnet-bt/down.php?hash=" + hashes[0] +
                                      " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")),
            "HTTP/1.1 200 OK");
  // The desktop tool follows the download link of a miss page, which has none: "/magnet-bt".
  EXPECT_EQ(Status(Exchange(port, Get("/magnet-bt"))), "HTTP/1.1 404 Not Found");
  const std::string unknown(40, 'e');
  const std::string longValue(100, 'v');
  EXPECT_EQ(
      Status(Exchange(port, Get("/api/v1/torrents/" + unknown + "?resolve=1&x=" + longValue))),
      "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Exchange(port, Get("/nothing"))), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Exchange(port, Get("/healthz"))), "HTTP/1.1 200 OK");
  const std::string metrics = Body(Exchange(port, Get("/metrics")));

  for (const auto& [name, value] :
       {std::pair{"pellucor_http_requests_total{site=\"second\",status=\"200\"}", 4.0},
        std::pair{"pellucor_http_requests_total{site=\"api\",status=\"404\"}", 1.0},
        std::pair{"pellucor_http_requests_total{site=\"other\",status=\"404\"}", 1.0},
        std::pair{"pellucor_http_requests_total{site=\"second\",status=\"404\"}", 1.0},
        std::pair{"pellucor_connections_refused_total{reason=\"client_limit\"}", 0.0},
        std::pair{"pellucor_connections_refused_total{reason=\"idle\"}", 0.0},
        std::pair{"pellucor_http_requests_total{site=\"healthz\",status=\"200\"}", 1.0},
        std::pair{"pellucor_lookups_total{outcome=\"no_peers\"}", 1.0},
        std::pair{"pellucor_lookup_duration_seconds_bucket{le=\"0.25\"}", 1.0},
        std::pair{"pellucor_lookup_duration_seconds_bucket{le=\"+Inf\"}", 1.0},
        std::pair{"pellucor_lookup_duration_seconds_count", 1.0},
        std::pair{"pellucor_store_errors_total", 0.0}, std::pair{"pellucor_torrents_stored", 3.0},
        std::pair{"pellucor_dht_nodes", 0.0}, std::pair{"pellucor_open_connections", 1.0}})
    EXPECT_EQ(Metric(metrics, name), value) << name << "\n" << metrics;
  EXPECT_NE(metrics.find("# TYPE pellucor_lookup_duration_seconds histogram\n"), std::string::npos);
  // Two of the three 400 KB torrents fit in 1 MiB.
  EXPECT_GT(Metric(metrics, "pellucor_cache_bytes"), 800000);
  EXPECT_LE(Metric(metrics, "pellucor_cache_bytes"), 1 << 20);

  EXPECT_EQ(service->Stop(), 0);
  const std::string log = service->Log();
  for (const std::string& line :
       {"level=info event=start listen=127.0.0.1:" + std::to_string(port) + " ",
        std::string(" cache_mb=1 "), std::string(" max_client_lookups=4 "),
        std::string(" store=sqlite store_at="), std::string(" lookup_leases=false "),
        "event=access client=127.0.0.1 method=HEAD path=\"/magnet-bt/down.php?hash=" + hashes[0] +
            "\" status=200 bytes=",
        "event=access client=127.0.0.1 method=GET path=\"/api/v1/torrents/" + unknown +
            "?resolve=1&x=\u2026\" status=404 bytes=",
        std::string("event=access client=127.0.0.1 method=GET path=/nothing status=404 bytes="),
        std::string("event=access client=127.0.0.1 method=GET path=/healthz status=200 bytes="),
        "event=lookup hash=" + unknown + " outcome=no_peers seconds=0 ", std::string("event=stop")})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(log.find(longValue), std::string::npos);
}

// Every reply shares the stored torrent's one buffer: 50 readers that stall in the middle of a
// 50 MB torrent cost the service its socket buffers, not 50 copies.
TEST_F(Program, FiftySlowReadersOfAFiftyMegabyteTorrent) {
  const std::string torrent = testing::MakeTorrent(50 << 20, "big.bin").bytes;
  const std::string hash = Import(torrent);
  // All from one address, as 50 clients behind one proxy would be.
  auto service = Start({"--no-dht", "--max-client-connections", "0"});
  std::vector<int> readers;
  for (int i = 0; i < 50; ++i) {
    const int fd = testing::Connect(service->Port(), nullptr, 10);
    ASSERT_GE(fd, 0);
    const std::string request = Get("/magnet-bt/down.php?hash=" + hash);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    readers.push_back(fd);
  }
  // Each reads the start of its reply, then stops reading.
  for (int fd : readers) {
    std::string start;
    char buffer[16384];
    while (start.size() < 65536) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      start.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(Status(start), "HTTP/1.1 200 OK");
    EXPECT_NE(Headers(start).find("Content-Length: " + std::to_string(torrent.size())),
              std::string::npos);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long peakKb = StatusKb(service->Pid(), "VmHWM");
  ASSERT_GT(peakKb, 0);
  std::printf("peak %ld kB\n", peakKb);
  EXPECT_LT(peakKb, 400 * 1024) << "peak resident memory of the service, kB";
  for (int fd : readers) ::close(fd);
}

// A hostile peer offers 16 fetches at once the largest metadata a fetch takes (30 MiB) and
// sends all of it unasked: the service's memory grows by its metadata budget (64 MiB) at most,
// not by what every fetch could be made to hold (16 x 30 MiB, twice over).
TEST_F(Program, AHostilePeerCannotMakeEveryFetchHoldTheLargestMetadata) {
  constexpr int kSize = 30 * 1024 * 1024;
  std::map<std::string, testing::FakePeer::Behaviour> behaviours;
  std::vector<std::string> hashes;
  for (int i = 0; i < 16; ++i) {
    hashes.push_back(std::string(38, 'a') +
                     HexEncode(std::string(1, static_cast<char>(i)), HexCase::Lower));
    behaviours[*HexDecode(hashes.back())] = {testing::FakePeer::Mode::kFlood, kSize};
  }
  testing::FakePeer peer(behaviours);
  ASSERT_NE(peer.Port(), 0);
  auto service = Start({"--no-dht", "--peer", "127.0.0.1:" + std::to_string(peer.Port()),
                        "--resolve-timeout", "8", "--max-client-lookups", "0"});
  const int port = service->Port();
  ASSERT_NE(port, 0) << service->Log();
  const long before = StatusKb(service->Pid(), "VmRSS");
  std::vector<std::string> replies(hashes.size());
  std::vector<std::thread> clients;
  for (size_t i = 0; i < hashes.size(); ++i)
    clients.emplace_back([&, i] {
      replies[i] = Exchange(port, Get("/api/v1/torrents/" + hashes[i] + "?resolve=1"), 0, 30);
    });
  for (std::thread& client : clients) client.join();
  const long peak = StatusKb(service->Pid(), "VmHWM");
  std::printf("resident before %ld kB, peak %ld kB\n", before, peak);
  EXPECT_LT(peak - before, 100 * 1024) << "kB the flood added to the service's memory";
  for (const std::string& reply : replies) EXPECT_EQ(Status(reply), "HTTP/1.1 404 Not Found");
  EXPECT_GT(peer.Connections(), 0);
}

// 1,000 lookups whose clients hang up at once are cancelled as they go, so a real lookup right
// after them ends within its own timeout and two seconds.
TEST_F(Program, HangUpsDoNotHoldUpTheNextLookup) {
  RaiseFileLimit(2048);
  constexpr int kTimeout = 5;
  auto service = Start({"--no-dht", "--demo", "--resolve-timeout", std::to_string(kTimeout),
                        "--max-client-lookups", "0", "--max-client-connections", "0"});
  ASSERT_TRUE(
      testing::WaitForText(service->Out(), "magnet:?xt=urn:btih:", std::chrono::seconds(10)));
  const std::string said = service->Said();
  const size_t link = said.find("magnet:?xt=urn:btih:");
  ASSERT_NE(link, std::string::npos) << said;
  const std::string demo = said.substr(link + 20, 40);

  std::mt19937_64 random(std::random_device{}());
  for (int i = 0; i < 1000; ++i) {
    char hash[41];
    std::snprintf(hash, sizeof hash, "%016llx%016llx%08x",
                  static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(random()), static_cast<unsigned>(random()));
    const int fd = testing::Connect(service->Port());
    ASSERT_GE(fd, 0) << i;
    const std::string request = Get("/api/v1/torrents/" + std::string(hash) + "?resolve=1");
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::close(fd);
  }
  const Clock::time_point start = Clock::now();
  const std::string reply =
      Exchange(service->Port(), Get("/api/v1/torrents/" + demo + "?resolve=1"), 0, kTimeout + 10);
  const auto took = Clock::now() - start;
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << service->Log().substr(0, 4000);
  EXPECT_LT(took, std::chrono::seconds(kTimeout + 2));

  // Each of the thousand was cancelled, none ran to its timeout.
  int cancelled = service->LogCount(" outcome=cancelled ");
  for (int wait = 0; wait < 100 && cancelled < 1000; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    cancelled = service->LogCount(" outcome=cancelled ");
  }
  EXPECT_EQ(cancelled, 1000);
  EXPECT_EQ(service->Log().find(" outcome=no_peers "), std::string::npos);
}

// 4,000 idle connections from 127.0.0.2, more than there are slots, do not lock out a client
// on 127.0.0.1: by default the per-client limit closes all but 32 of them at once; with no such
// limit, the connection that has waited longest for a request header makes room for a new one.
TEST_F(Program, IdleConnectionsFromOneAddressLockNobodyOut) {
  RaiseFileLimit(6000);
  const struct {
    std::vector<std::string> settings;
    double mostOpen;  // the idle ones the service still holds, and the client's own
  } cases[] = {
      {{}, 32 + 1},
      {{"--max-client-connections", "0"}, 2000 + 1},  // one evicted may still be closing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings.size());
    std::vector<std::string> args = {"--no-dht", "--max-connections", "2000"};
    args.insert(args.end(), c.settings.begin(), c.settings.end());
    auto service = Start(args);
    std::vector<int> idle;
    for (int i = 0; i < 4000; ++i) {
      const int fd = testing::Connect(service->Port(), "127.0.0.2");
      if (fd >= 0) idle.push_back(fd);
    }
    EXPECT_EQ(idle.size(), 4000u);
    const Clock::time_point start = Clock::now();
    const std::string reply = Exchange(service->Port(), Get("/metrics"), 0, 5);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
    EXPECT_LE(Metric(Body(reply), "pellucor_open_connections"), c.mostOpen) << Body(reply);
    for (int fd : idle) ::close(fd);
  }
}

}  // namespace
}  // namespace pellucor::service
