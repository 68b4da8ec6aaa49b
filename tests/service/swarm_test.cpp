// pellucor-service, the program itself, in a small internet on loopback (LoopbackSwarm): about
// twenty DHT nodes named by host name, seeds of v1, hybrid and v2-only torrents, a seed only the
// tracker knows, opentracker, and a fake peer that misbehaves on purpose. The cases share the
// swarm and run in order: the last one stops the swarm's bootstrap nodes.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/bdecode.hpp>

#include "base/hex.h"
#include "service/core/outcome.h"
#include "service/store/store.h"
#include "support/fake_peer.h"
#include "support/http_exchange.h"
#include "support/loopback_swarm.h"
#include "support/sandbox.h"
#include "support/service_process.h"
#include "torrent/bencode.h"
#include "torrent/torrent_check.h"

namespace pellucor::service {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::Body;
using testing::Exchange;
using testing::FakePeer;
using testing::Get;
using testing::LoopbackSwarm;
using testing::Post;
using testing::ServiceProcess;
using testing::Status;
namespace lt = libtorrent;

// Hashes only the fake peer answers for, through the tracker.
const std::string kStalls(40, '1');
const std::string kSendsWrongData(40, '2');
const std::string kOffersTooMuch(40, '3');
const std::string kClosesAtOnce(40, '4');
const std::string kNobodyHas(40, '5');

std::string Raw(const std::string& hex) {
  return HexDecode(hex).value_or("");
}

// The raw info dictionary of a .torrent ("" when there is none).
std::string InfoOf(const std::string& torrent) {
  return std::string(TorrentInfoBytes(torrent).value_or(""));
}

// The raw "piece layers" of a .torrent ("" when there are none).
std::string LayersOf(const std::string& torrent) {
  lt::error_code ec;
  const lt::bdecode_node root =
      lt::bdecode(lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), ec);
  const lt::bdecode_node layers = ec ? lt::bdecode_node() : root.dict_find_dict("piece layers");
  if (!layers) return "";
  const lt::span<const char> bytes = layers.data_section();
  return std::string(bytes.data(), static_cast<size_t>(bytes.size()));
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

class SwarmTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new testing::Sandbox("swarm");
    dir_ = &sandbox_->fs();
    fake_ = new FakePeer({{Raw(kStalls), {FakePeer::Mode::kStall, 1000}},
                          {Raw(kSendsWrongData), {FakePeer::Mode::kWrongData, 1000}},
                          {Raw(kOffersTooMuch), {FakePeer::Mode::kOversized, 100000}}});
    LoopbackSwarm::Options options;
    options.trackerHashes = {kStalls, kSendsWrongData, kOffersTooMuch, kClosesAtOnce};
    std::string error;
    swarm_ = LoopbackSwarm::Start((*dir_ / "swarm").string(), options, &error).release();
    ASSERT_TRUE(swarm_) << error;
    for (const std::string& hash : options.trackerHashes)
      ASSERT_TRUE(swarm_->AnnounceToTracker(hash, fake_->Port())) << hash;
    std::ofstream((*dir_ / "trackers.txt").string()) << swarm_->TrackerUrl() << "\n";
  }
  static void TearDownTestSuite() {
    delete swarm_;
    delete fake_;
    delete sandbox_;
  }
  void SetUp() override { ASSERT_TRUE(swarm_); }

  static std::vector<std::string> SwarmArgs(int timeoutSeconds) {
    return {"--dht-bootstrap",   Join(swarm_->BootstrapNodes()),
            "--trackers",        (*dir_ / "trackers.txt").string(),
            "--resolve-timeout", std::to_string(timeoutSeconds)};
  }

  static testing::Sandbox* sandbox_;
  static const fs::path* dir_;
  static FakePeer* fake_;
  static LoopbackSwarm* swarm_;
};

testing::Sandbox* SwarmTest::sandbox_ = nullptr;
const fs::path* SwarmTest::dir_ = nullptr;
FakePeer* SwarmTest::fake_ = nullptr;
LoopbackSwarm* SwarmTest::swarm_ = nullptr;

std::string FirstRoute(int port, const std::string& hash) {
  return Exchange(port, Post("/download.aspx", "hash=magnet%3A%3Fxt%3Durn%3Abtih%3A" + hash), 0,
                  30);
}
std::string SecondRoute(int port, const std::string& hash) {
  return Exchange(
      port, Post("/magnet-bt/index.php", "magnet=magnet%3A%3Fxt%3Durn%3Abtih%3A" + hash), 0, 30);
}
std::string Api(int port, const std::string& target) {
  return Exchange(port, Get("/api/v1/torrents/" + target), 0, 30);
}

// Every way a lookup fails, each once: the log line, the sentence on the miss page after the
// text the desktop tool looks for, and the API's answer for a lookup of the last minute.
TEST_F(SwarmTest, EachFailureSaysWhy) {
  // The store cannot write one torrent, as with a full disk.
  const fs::path dataB = *dir_ / "failing" / "data";
  fs::create_directories(dataB);
  ASSERT_TRUE(Store::Open((dataB / "torrents.sqlite").string(), nullptr));
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dataB / "torrents.sqlite").string().c_str(), &db), SQLITE_OK);
    const std::string trigger =
        "CREATE TRIGGER refuse BEFORE INSERT ON torrents WHEN NEW.info_hash = '" +
        swarm_->TrackerOnly().v1 + "' BEGIN SELECT RAISE(ABORT, 'disk full'); END";
    EXPECT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::vector<std::string> args = SwarmArgs(6);
  // The lookups below come at once from one address.
  args.insert(args.end(), {"--max-metadata", "4096", "--max-client-lookups", "0"});
  ServiceProcess swarmed(*dir_ / "failing", args);
  // A DHT whose only node is gone, and nothing else to ask.
  ServiceProcess stranded(*dir_ / "stranded",
                          {"--dht-bootstrap", "localhost:9", "--resolve-timeout", "3"});
  ASSERT_NE(swarmed.Port(), 0) << swarmed.Log();
  ASSERT_NE(stranded.Port(), 0) << stranded.Log();

  enum class Via { kFirst, kSecond, kApi };
  const struct {
    const char* code;
    std::string hash;
    ServiceProcess* service;
    Via via;
  } cases[] = {
      {"no_dht_nodes", kNobodyHas, &stranded, Via::kFirst},
      {"no_peers", kNobodyHas, &swarmed, Via::kFirst},
      {"no_metadata", kClosesAtOnce, &swarmed, Via::kSecond},
      {"bad_metadata", kSendsWrongData, &swarmed, Via::kApi},
      {"too_large", kOffersTooMuch, &swarmed, Via::kFirst},
      {"timed_out", kStalls, &swarmed, Via::kSecond},
  };
  std::vector<std::string> replies(std::size(cases));
  std::vector<std::thread> lookups;
  for (size_t i = 0; i < std::size(cases); ++i) {
    lookups.emplace_back([&, i] {
      const auto& c = cases[i];
      const int port = c.service->Port();
      replies[i] = c.via == Via::kFirst    ? FirstRoute(port, c.hash)
                   : c.via == Via::kSecond ? SecondRoute(port, c.hash)
                                           : Api(port, c.hash + "?resolve=1");
    });
  }
  for (std::thread& t : lookups) t.join();

  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.code);
    const std::string body = Body(replies[i]);
    EXPECT_EQ(Status(replies[i]), "HTTP/1.1 404 Not Found");
    const std::string code = std::string("\"outcome\":\"") + c.code + "\"";
    if (c.via == Via::kApi) {
      EXPECT_NE(body.find(code), std::string::npos) << body;
    } else {
      // The text the tool searches for, then the outcome's sentence with the counts.
      const size_t toolText =
          body.find(c.via == Via::kFirst ? "您输入的HASH暂未存储" : "该磁力链接无法生成BT种子");
      ASSERT_NE(toolText, std::string::npos) << body;
      const size_t why = body.find("（DHT 节点 ");
      EXPECT_NE(why, std::string::npos) << body;
      EXPECT_GT(why, toolText);
      // Without resolve=1 the API gives the outcome of the lookup that just finished.
      const std::string api = Body(Api(c.service->Port(), c.hash));
      EXPECT_NE(api.find(code), std::string::npos) << api;
    }
    EXPECT_NE(c.service->Log().find("event=lookup hash=" + c.hash + " outcome=" + c.code + " "),
              std::string::npos)
        << c.service->Log();
  }
  // The counts say what was there: no node at all; nodes but no peer; a peer that was tried.
  EXPECT_NE(Body(Api(stranded.Port(), kNobodyHas)).find("\"dhtNodes\":0,\"peersSeen\":0"),
            std::string::npos);
  EXPECT_EQ(Body(Api(swarmed.Port(), kNobodyHas)).find("\"dhtNodes\":0,"), std::string::npos);
  EXPECT_EQ(Body(Api(swarmed.Port(), kClosesAtOnce)).find("\"peersTried\":0"), std::string::npos);

  // A repeat within the minute is answered at once, from the remembered outcome.
  const Clock::time_point start = Clock::now();
  EXPECT_NE(Body(FirstRoute(swarmed.Port(), kStalls)).find("您输入的HASH暂未存储"),
            std::string::npos);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  const std::string log = swarmed.Log();
  EXPECT_EQ(log.find("event=lookup hash=" + kStalls), log.rfind("event=lookup hash=" + kStalls))
      << log;

  // The torrent the store cannot write is served all the same, from memory, by both services;
  // the failure is logged and counted.
  const LoopbackSwarm::Torrent& unwritable = swarm_->TrackerOnly();
  std::string reply = Api(swarmed.Port(), unwritable.v1 + "?resolve=1");
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << swarmed.Log();
  EXPECT_NE(Body(reply).find("\"infoHash\":\"" + unwritable.v1 + "\""), std::string::npos);
  reply = Exchange(swarmed.Port(), Get("/magnet-bt/down.php?hash=" + unwritable.v1));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK");
  EXPECT_EQ(InfoOf(Body(reply)), unwritable.infoSection);
  EXPECT_NE(swarmed.Log().find("level=error event=store_error hash=" + unwritable.v1 +
                               " error=\"disk full\""),
            std::string::npos)
      << swarmed.Log();
  EXPECT_NE(
      Body(Exchange(swarmed.Port(), Get("/metrics"))).find("\npellucor_store_errors_total 1\n"),
      std::string::npos);
}

// A link's own trackers and peers join its lookup, through the second service's form and the
// API's link=; a service of the public swarm (here: no closed DHT) refuses a link's peer on a
// private or loopback address, and the lookup, with nowhere else to look, ends at once.
TEST_F(SwarmTest, ALinksOwnSourcesAndWhoMayUseThem) {
  const std::string& hash = swarm_->TrackerOnly().v1;
  auto encode = [](const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
      if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
        out += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      }
    }
    return out;
  };
  const std::string viaPeer = "magnet:?xt=urn:btih:" + hash + "&x.pe=" + swarm_->TrackerOnlySeed();
  const std::string viaTracker = "magnet:?xt=urn:btih:" + hash + "&tr=" + swarm_->TrackerUrl();
  // Closed: DHT nodes on loopback, and neither --peer nor --trackers.
  ServiceProcess closed(*dir_ / "closed", {"--dht-bootstrap", Join(swarm_->BootstrapNodes()),
                                           "--resolve-timeout", "8"});
  ServiceProcess open(*dir_ / "open", {"--no-dht", "--resolve-timeout", "8"});
  ASSERT_NE(closed.Port(), 0) << closed.Log();
  ASSERT_NE(open.Port(), 0) << open.Log();

  std::string reply =
      Exchange(closed.Port(), Post("/magnet-bt/index.php", "magnet=" + encode(viaPeer)), 0, 30);
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << Body(reply);
  EXPECT_NE(Body(reply).find("part-1.bin"), std::string::npos) << Body(reply);
  // A file for hash-to-torrent scripts, looked up on a miss: the link's tracker travels with it.
  ServiceProcess fresh(*dir_ / "fresh", {"--dht-bootstrap", Join(swarm_->BootstrapNodes()),
                                         "--resolve-timeout", "8"});
  ASSERT_NE(fresh.Port(), 0) << fresh.Log();
  reply = Api(fresh.Port(), hash + ".torrent?resolve=1&link=" + encode(viaTracker));
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << Body(reply);
  EXPECT_EQ(InfoOf(Body(reply)), swarm_->TrackerOnly().infoSection);
  EXPECT_NE(Body(reply).find(swarm_->TrackerUrl()), std::string::npos);
  // A request that joins a search under way brings its link's peer to it: the bare hash,
  // which the DHT cannot find, is found too.
  ServiceProcess joined(*dir_ / "joined", {"--dht-bootstrap", Join(swarm_->BootstrapNodes()),
                                           "--resolve-timeout", "8"});
  ASSERT_NE(joined.Port(), 0) << joined.Log();
  std::string bare;
  std::thread first([&] { bare = Api(joined.Port(), hash + "?resolve=1"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  reply = Api(joined.Port(), hash + "?resolve=1&link=" + encode(viaPeer));
  first.join();
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << Body(reply);
  EXPECT_EQ(Status(bare), "HTTP/1.1 200 OK") << Body(bare);

  const Clock::time_point start = Clock::now();
  reply = Exchange(open.Port(), Post("/magnet-bt/index.php", "magnet=" + encode(viaPeer)), 0, 30);
  EXPECT_NE(Body(reply).find("该磁力链接无法生成BT种子"), std::string::npos) << Body(reply);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 3.0);
  EXPECT_NE(Body(Api(open.Port(), hash)).find("\"outcome\":\"no_peers\""), std::string::npos);
  // A link of another hash is no link of this one.
  EXPECT_EQ(Status(Api(open.Port(), std::string(40, 'a') + "?link=" + encode(viaPeer))),
            "HTTP/1.1 400 Bad Request");
}

// Started cold, the service fetches each torrent from the swarm; restarted with its saved DHT
// state while every bootstrap node is gone, it still finds a seed through the saved table.
TEST_F(SwarmTest, ColdStartThenWarmRestart) {
  const LoopbackSwarm::Torrent& v1 = swarm_->V1();
  const LoopbackSwarm::Torrent& hybrid = swarm_->Hybrid();
  const LoopbackSwarm::Torrent& v2 = swarm_->V2Only();
  const LoopbackSwarm::Torrent& tracked = swarm_->TrackerOnly();
  // The first key of the torrent, its tracker.
  const std::string announce =
      "d" + Bencode("announce").Encode() + Bencode(swarm_->TrackerUrl()).Encode();
  {
    ServiceProcess service(*dir_ / "service", SwarmArgs(15));
    ASSERT_NE(service.Port(), 0) << service.Log();
    // The first route, as the tool sends it; the tracker goes into the torrent, the info bytes
    // stay as the seed made them.
    std::string reply = FirstRoute(service.Port(), v1.v1);
    ASSERT_EQ(Status(reply), "HTTP/1.1 200 OK") << service.Log();
    EXPECT_EQ(Body(reply).rfind(announce, 0), 0u);
    EXPECT_EQ(InfoOf(Body(reply)), v1.infoSection);

    // The hybrid torrent by its truncated SHA-256 from the swarm, then by its other two hashes
    // from the store.
    for (const std::string& hash : {hybrid.v2.substr(0, 40), hybrid.v2, hybrid.v1}) {
      reply = Api(service.Port(), hash + "?resolve=1");
      ASSERT_EQ(Status(reply), "HTTP/1.1 200 OK") << hash << "\n" << service.Log();
      const std::string json = Body(reply);
      for (const std::string& field :
           {"\"infoHash\":\"" + hybrid.v1 + "\"", "\"infoHashV2\":\"" + hybrid.v2 + "\"",
            std::string("\"source\":\"swarm\""), std::string("\"pieceLayers\":true")})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
    }
    // Its piece layers came with it, as the seed's torrent has them, the info bytes untouched.
    reply = Api(service.Port(), hybrid.v1 + ".torrent");
    EXPECT_EQ(InfoOf(Body(reply)), hybrid.infoSection);
    ASSERT_NE(LayersOf(hybrid.bytes), "");
    EXPECT_EQ(LayersOf(Body(reply)), LayersOf(hybrid.bytes));

    // The v2-only torrent through the second service, by the tool's "btih" + 64 hex digits.
    reply = SecondRoute(service.Port(), v2.v2);
    ASSERT_EQ(Status(reply), "HTTP/1.1 200 OK") << service.Log();
    EXPECT_NE(Body(reply).find("down.php?hash=" + v2.v1 + "\""), std::string::npos);
    reply = Exchange(service.Port(), Get("/magnet-bt/down.php?hash=" + v2.v2));
    EXPECT_EQ(InfoOf(Body(reply)), v2.infoSection);
    EXPECT_EQ(LayersOf(Body(reply)), LayersOf(v2.bytes));

    // The torrent only the tracker knows.
    ASSERT_EQ(Status(Api(service.Port(), tracked.v1 + "?resolve=1")), "HTTP/1.1 200 OK");
    reply = Api(service.Port(), tracked.v1 + ".torrent");
    EXPECT_EQ(Body(reply).rfind(announce, 0), 0u);
    EXPECT_EQ(InfoOf(Body(reply)), tracked.infoSection);

    const std::string log = service.Log();
    for (const auto& [hash, code] :
         {std::pair{v1.v1, "found_dht"}, std::pair{hybrid.v2.substr(0, 40), "found_dht"},
          std::pair{hybrid.v2, "found_store"}, std::pair{v2.v2, "found_dht"},
          std::pair{tracked.v1, "found_tracker"}})
      EXPECT_NE(log.find("event=lookup hash=" + hash + " outcome=" + code + " "), std::string::npos)
          << code << "\n"
          << log;
    EXPECT_EQ(service.Stop(), 0);
  }
  ASSERT_GT(fs::file_size(*dir_ / "service" / "data" / "dht-state.dat"), 0u);

  swarm_->StopBootstrapNodes();
  ServiceProcess restarted(*dir_ / "service", SwarmArgs(15));
  ASSERT_NE(restarted.Port(), 0) << restarted.Log();
  EXPECT_NE(restarted.Said().find("saved routing table"), std::string::npos) << restarted.Said();
  const std::string reply = Api(restarted.Port(), swarm_->Spare().v1 + "?resolve=1");
  EXPECT_EQ(Status(reply), "HTTP/1.1 200 OK") << restarted.Log();
  EXPECT_NE(restarted.Log().find("event=lookup hash=" + swarm_->Spare().v1 + " outcome=found_dht"),
            std::string::npos)
      << restarted.Log();
}

}  // namespace
}  // namespace pellucor::service
