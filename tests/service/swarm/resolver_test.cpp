// The resolver against real libtorrent seeds on loopback: metadata exchange with a known peer,
// joined, queued and withdrawn fetches, the timeout, malformed hashes, teardown and a DHT-only
// lookup.
#include "service/swarm/resolver.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/torrent_info.hpp>

#include "service/swarm/seeder.h"
#include "support/sandbox.h"
#include "torrent/bencode.h"

namespace pellucor::service {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Results = std::vector<FetchResult>;

// A callback for Fetch that keeps what it is handed, in order.
std::function<void(FetchResult)> Into(Results& results) {
  return [&results](FetchResult result) { results.push_back(std::move(result)); };
}

// What the resolver makes of a torrent fetched without trackers: its info dictionary alone.
// The .torrent the resolver makes of a seeded torrent: its info dictionary as seeded and, for a
// v2 or hybrid torrent, the seed's piece layers.
std::string Fetched(const MadeTorrent& torrent) {
  Bencode::Dict made{{"info", Bencode::Raw(torrent.infoSection)}};
  lt::error_code ec;
  const lt::bdecode_node root = lt::bdecode(
      lt::span<const char>(torrent.bytes.data(), static_cast<long>(torrent.bytes.size())), ec);
  if (const lt::bdecode_node layers =
          ec ? lt::bdecode_node() : root.dict_find_dict("piece layers")) {
    const lt::span<const char> raw = layers.data_section();
    made.emplace("piece layers",
                 Bencode::Raw(std::string(raw.data(), static_cast<size_t>(raw.size()))));
  }
  return Bencode(std::move(made)).Encode();
}

lt::torrent_info Parsed(const std::string& bytes) {
  lt::error_code ec;
  lt::torrent_info info(lt::span<const char>(bytes), ec, lt::from_span);
  EXPECT_FALSE(ec) << ec.message();
  return info;
}

// Runs `io` in this thread until `finished` holds or `limit` passes. Returns whether `finished`
// held.
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& finished,
              std::chrono::milliseconds limit) {
  auto guard = boost::asio::make_work_guard(io);
  const Clock::time_point deadline = Clock::now() + limit;
  while (!finished() && Clock::now() < deadline) io.run_for(std::chrono::milliseconds(20));
  return finished();
}

void RunFor(boost::asio::io_context& io, std::chrono::milliseconds time) {
  RunUntil(
      io, [] { return false; }, time);
}

class ResolverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new testing::Sandbox("resolver");
    const fs::path& root = sandbox_->fs();
    const fs::path content = root / "示例种子";
    fs::create_directories(content);
    std::mt19937 random(20240501);
    const std::pair<const char*, std::size_t> files[] = {
        {"第一部分.bin", 300000}, {"第二部分.bin", 200001}, {"说明.txt", 123457}};
    for (const auto& [name, size] : files) {
      std::ofstream out(content / name, std::ios::binary);
      for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(random()));
    }
    // One content, five torrents: the piece size and the format change the info hash.
    torrents_ = new std::vector<MadeTorrent>;
    auto make = [&](TorrentFormat format, int pieceSize) {
      std::string error;
      const std::optional<MadeTorrent> made =
          MakeTorrentOfFiles(root.string(), "示例种子", format, pieceSize, &error);
      EXPECT_TRUE(made) << error;
      return made.value_or(MadeTorrent{});
    };
    for (const TorrentFormat format : {TorrentFormat::kV1, TorrentFormat::kHybrid}) {
      for (const int pieceSize : {16 * 1024, 32 * 1024, 64 * 1024}) {
        if (format == TorrentFormat::kHybrid && pieceSize == 16 * 1024) continue;
        torrents_->push_back(make(format, pieceSize));
      }
    }
    v1_ = &torrents_->front();
    hybrid_ = &torrents_->back();
    v2Only_ = new MadeTorrent(make(TorrentFormat::kV2, 16384));
  }

  static void TearDownTestSuite() {
    delete torrents_;
    delete v2Only_;
    delete sandbox_;
  }

  // A seeder of `torrents`; nothing when it cannot start.
  static std::unique_ptr<Seeder> Seed(const std::vector<const MadeTorrent*>& torrents,
                                      SeederSettings settings = {}) {
    std::string error;
    std::unique_ptr<Seeder> seeder = Seeder::Start(std::move(settings), &error);
    for (const MadeTorrent* torrent : torrents)
      if (seeder && !seeder->Add(torrent->bytes, sandbox_->fs().string(), &error)) seeder.reset();
    EXPECT_TRUE(seeder) << error;
    return seeder;
  }

  static ResolverSettings PeerSettings(const Seeder& seed) {
    ResolverSettings settings;
    settings.dht = false;
    settings.peers = {seed.Peer()};
    settings.timeoutSeconds = 10;
    return settings;
  }

  static testing::Sandbox* sandbox_;
  static std::vector<MadeTorrent>* torrents_;
  static MadeTorrent* v1_;
  static MadeTorrent* hybrid_;
  static MadeTorrent* v2Only_;
  boost::asio::io_context io_;
};

testing::Sandbox* ResolverTest::sandbox_ = nullptr;
std::vector<MadeTorrent>* ResolverTest::torrents_ = nullptr;
MadeTorrent* ResolverTest::v1_ = nullptr;
MadeTorrent* ResolverTest::hybrid_ = nullptr;
MadeTorrent* ResolverTest::v2Only_ = nullptr;

// The .torrent holds the seed's info dictionary byte for byte, v1 and hybrid alike, and the
// torrent it describes is the seed's. All five are fetched at once.
TEST_F(ResolverTest, FetchesTheInfoDictionaryFromAPeer) {
  std::vector<const MadeTorrent*> cases;
  for (const MadeTorrent& torrent : *torrents_) cases.push_back(&torrent);
  const auto seed = Seed(cases);
  ASSERT_TRUE(seed);
  Resolver resolver(io_, PeerSettings(*seed));
  std::vector<Results> results(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) resolver.Fetch(cases[i]->v1, Into(results[i]));
  const auto allCalled = [&] {
    return std::none_of(results.begin(), results.end(), [](const Results& r) { return r.empty(); });
  };
  ASSERT_TRUE(RunUntil(io_, allCalled, std::chrono::seconds(10)));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const lt::torrent_info seeded = Parsed(cases[i]->bytes);
    SCOPED_TRACE(std::string(seeded.info_hashes().has_v2() ? "hybrid " : "v1 ") + cases[i]->v1);
    EXPECT_EQ(results[i].size(), 1u);
    const std::optional<std::string>& torrent = results[i][0].torrent;
    ASSERT_TRUE(torrent.has_value());
    EXPECT_EQ(*torrent, Fetched(*cases[i]));
    lt::error_code ec;
    lt::torrent_info parsed(lt::span<const char>(*torrent), ec, lt::from_span);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(parsed.info_hashes(), seeded.info_hashes());
    EXPECT_EQ(parsed.files().file_path(0), seeded.files().file_path(0));
  }
  EXPECT_TRUE(Parsed(hybrid_->bytes).info_hashes().has_v2());
}

// A v2 or hybrid torrent is fetched by each hash it is known by: the SHA-1, the SHA-256 and the
// truncated SHA-256 (which libtorrent alone would take for a SHA-1 hash and refuse). The outcome
// names the listed peer, with the counts of one peer seen and tried. One at a time: two fetches of
// one torrent under two of its hashes meet in libtorrent once the metadata names both.
TEST_F(ResolverTest, FetchesByEveryHashAndSaysWhoGaveIt) {
  const auto seed = Seed({hybrid_, v2Only_});
  ASSERT_TRUE(seed);
  Resolver resolver(io_, PeerSettings(*seed));
  const std::pair<const MadeTorrent*, std::string> cases[] = {
      {hybrid_, hybrid_->v1}, {hybrid_, hybrid_->v2}, {hybrid_, hybrid_->v2.substr(0, 40)},
      {v2Only_, v2Only_->v2}, {v2Only_, v2Only_->v1},  // the truncated SHA-256
  };
  for (const auto& [torrent, hash] : cases) {
    SCOPED_TRACE(hash);
    Results results;
    resolver.Fetch(hash, Into(results));
    // Past the fetch's own timeout: a slow fetch on a loaded machine ends with its outcome.
    ASSERT_TRUE(RunUntil(
        io_, [&] { return !results.empty(); }, std::chrono::seconds(15)));
    const FetchResult& r = results[0];
    EXPECT_EQ(r.report.outcome, Outcome::kFoundPeer);
    ASSERT_TRUE(r.torrent.has_value());
    EXPECT_EQ(*r.torrent, Fetched(*torrent));
    EXPECT_EQ(r.report.peersTried, 1);
    EXPECT_GE(r.report.peersSeen, 1);
    EXPECT_GT(r.report.seconds, 0.0);
  }
}

// A second request for a hash being fetched joins it: both get the one result, once each.
TEST_F(ResolverTest, JoinsAFetchInProgress) {
  const auto seed = Seed({v1_});
  ASSERT_TRUE(seed);
  Resolver resolver(io_, PeerSettings(*seed));
  Results results;
  resolver.Fetch(v1_->v1, Into(results));
  resolver.Fetch(v1_->v1, Into(results));
  ASSERT_TRUE(RunUntil(
      io_, [&] { return results.size() >= 2; }, std::chrono::seconds(10)));
  RunFor(io_, std::chrono::milliseconds(200));
  ASSERT_EQ(results.size(), 2u);
  ASSERT_TRUE(results[0].torrent.has_value());
  EXPECT_EQ(results[0].torrent, results[1].torrent);
  EXPECT_EQ(*results[0].torrent, Fetched(*v1_));
}

// With one fetch at a time, a hash nobody seeds holds the next request back until its timeout
// ends it with nothing; then the queued one runs.
TEST_F(ResolverTest, TimesOutAndThenRunsTheQueuedFetch) {
  const auto seed = Seed({v1_});
  ASSERT_TRUE(seed);
  ResolverSettings settings = PeerSettings(*seed);
  // The queued fetch gets the whole timeout (as the converter's do): long enough for a loopback
  // seed under load.
  settings.waitingCounts = false;
  settings.timeoutSeconds = 3;
  settings.maxParallel = 1;
  Resolver resolver(io_, settings);
  const Clock::time_point start = Clock::now();
  std::vector<std::string> order;
  Results missing, found;
  Clock::duration missingAfter{};
  resolver.Fetch(std::string(40, '7'), [&](FetchResult fetched) {
    missingAfter = Clock::now() - start;
    missing.push_back(std::move(fetched));
    order.push_back("missing");
  });
  resolver.Fetch(v1_->v1, [&](FetchResult fetched) {
    found.push_back(std::move(fetched));
    order.push_back("found");
  });
  ASSERT_TRUE(RunUntil(
      io_, [&] { return order.size() == 2; }, std::chrono::seconds(20)));
  ASSERT_EQ(order, (std::vector<std::string>{"missing", "found"}));
  EXPECT_EQ(missing[0].torrent, std::nullopt);
  EXPECT_GE(missingAfter, std::chrono::milliseconds(2900));
  EXPECT_LT(missingAfter, std::chrono::seconds(10));  // generous: ctest runs tests side by side
  ASSERT_TRUE(found[0].torrent.has_value());
  EXPECT_EQ(*found[0].torrent, Fetched(*v1_));
}

// Where the time spent waiting counts (the service), a queued fetch ends within its own time
// from the request: busy, as no fetch came free with a second of it left; where it does not (the
// converter), it runs its whole time after the one before it.
TEST_F(ResolverTest, WaitingCountsTowardTheTimeoutWhereSet) {
  const struct {
    bool waitingCounts;
    std::chrono::milliseconds atLeast, below;
    bool busy;
  } cases[] = {
      {true, std::chrono::milliseconds(1900), std::chrono::milliseconds(3000), true},
      {false, std::chrono::milliseconds(3900), std::chrono::seconds(10), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.waitingCounts);
    ResolverSettings settings;
    settings.dht = false;
    settings.peers = {"127.0.0.1:9"};  // somewhere to look, where nobody answers
    settings.timeoutSeconds = 2;
    settings.maxParallel = 1;
    settings.waitingCounts = c.waitingCounts;
    boost::asio::io_context io;  // one per resolver: the last one's timers are gone with it
    Resolver resolver(io, settings);
    Results first, queued;
    const Clock::time_point start = Clock::now();
    resolver.Fetch(std::string(40, '7'), Into(first));
    resolver.Fetch(std::string(40, '8'), FetchSources{}, "client", Into(queued));
    ASSERT_TRUE(RunUntil(
        io, [&] { return !queued.empty(); }, std::chrono::seconds(12)));
    const auto after = Clock::now() - start;
    EXPECT_GE(after, c.atLeast);
    EXPECT_LT(after, c.below);
    EXPECT_EQ(queued[0].torrent, std::nullopt);
    EXPECT_EQ(queued[0].report.outcome == Outcome::kBusy, c.busy);
    EXPECT_GE(queued[0].report.seconds, c.atLeast.count() / 1000.0);
  }
}

// A withdrawn request is never answered. A running fetch whose every request was withdrawn
// stops, and the next queued one starts at once rather than at the first one's timeout; a queued
// fetch whose every request was withdrawn never starts. A ticket answered or withdrawn already
// cannot be withdrawn.
TEST_F(ResolverTest, WithdrawnFetchesMakeRoom) {
  const auto seed = Seed({v1_});
  ASSERT_TRUE(seed);
  ResolverSettings settings = PeerSettings(*seed);
  settings.timeoutSeconds = 30;
  settings.maxParallel = 1;
  Resolver resolver(io_, settings);
  Results withdrawn, found;
  const std::uint64_t running = resolver.Fetch(std::string(40, '7'), Into(withdrawn));
  const std::uint64_t joined = resolver.Fetch(std::string(40, '7'), Into(withdrawn));
  const std::uint64_t queued = resolver.Fetch(std::string(40, '8'), Into(withdrawn));
  const std::uint64_t next = resolver.Fetch(v1_->v1, Into(found));
  EXPECT_TRUE(resolver.Cancel(queued));
  EXPECT_TRUE(resolver.Cancel(running));  // the joined request still waits
  EXPECT_TRUE(resolver.Cancel(joined));   // nobody does: the fetch stops, `next` starts
  EXPECT_FALSE(resolver.Cancel(joined));
  ASSERT_TRUE(RunUntil(
      io_, [&] { return !found.empty(); }, std::chrono::seconds(10)));
  RunFor(io_, std::chrono::milliseconds(200));
  EXPECT_TRUE(withdrawn.empty());
  ASSERT_TRUE(found[0].torrent.has_value());
  EXPECT_EQ(*found[0].torrent, Fetched(*v1_));
  EXPECT_FALSE(resolver.Cancel(next));
}

// Anything but 40 or 64 hex digits ends at once with nothing, on the io_context, not inside
// Fetch.
TEST_F(ResolverTest, RejectsMalformedHashes) {
  ResolverSettings settings;
  settings.dht = false;
  settings.timeoutSeconds = 30;
  Resolver resolver(io_, settings);
  const std::string hashes[] = {
      "",
      std::string(39, 'a'),
      std::string(41, 'a'),
      std::string(39, 'a') + "g",
      std::string(38, 'a') + " a",
      "0x" + std::string(38, 'a'),
      std::string(20, 'a'),
  };
  for (const std::string& hash : hashes) {
    SCOPED_TRACE("hash \"" + hash + "\"");
    Results results;
    resolver.Fetch(hash, Into(results));
    EXPECT_TRUE(results.empty());
    io_.restart();
    io_.poll();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].torrent, std::nullopt);
  }
}

// Destroying the resolver with fetches running and queued drops them: no callback runs later,
// and tasks libtorrent posted before the end find nothing to act on.
TEST_F(ResolverTest, DestructionDropsFetchesInFlight) {
  const auto seed = Seed({v1_});
  ASSERT_TRUE(seed);
  Results results;
  {
    ResolverSettings settings = PeerSettings(*seed);
    settings.timeoutSeconds = 1;
    settings.maxParallel = 1;
    Resolver resolver(io_, settings);
    resolver.Fetch(std::string(40, 'e'), Into(results));
    resolver.Fetch(v1_->v1, Into(results));
    RunFor(io_, std::chrono::milliseconds(100));
  }
  RunFor(io_, std::chrono::milliseconds(1500));
  EXPECT_TRUE(results.empty());
}

// The resolver finds the seed through the DHT alone: a bootstrap node, a seed announcing
// itself twice a second and the resolver, all on 127.0.0.1.
TEST_F(ResolverTest, FindsTheSeedThroughTheDht) {
  SeederSettings dht;
  dht.dht = true;
  const auto node = Seed({}, dht);
  ASSERT_TRUE(node);
  dht.dhtBootstrap = {node->Peer()};
  dht.announceEvery = std::chrono::milliseconds(500);
  const auto seed = Seed({hybrid_}, dht);
  ASSERT_TRUE(seed);
  ResolverSettings settings;
  settings.dht = true;
  settings.dhtBootstrap = {node->Peer()};
  settings.timeoutSeconds = 15;
  Resolver resolver(io_, settings);
  Results results;
  resolver.Fetch(hybrid_->v1, Into(results));
  ASSERT_TRUE(RunUntil(
      io_, [&] { return !results.empty(); }, std::chrono::seconds(16)));
  ASSERT_TRUE(results[0].torrent.has_value());
  EXPECT_EQ(*results[0].torrent, Fetched(*hybrid_));
}

}  // namespace
}  // namespace pellucor::service
