// The resolver against real libtorrent seeds on loopback: metadata exchange with a known peer,
// joined and queued fetches, the timeout, malformed hashes, teardown and a DHT-only lookup.
#include "service/swarm/resolver.h"
#include "base/hex.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

#include "support/sandbox.h"

namespace pellucor::service {
namespace {

namespace lt = libtorrent;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Result = std::optional<std::string>;

template <typename Hash>
std::string Hex(const Hash& hash) {
  return HexEncode(hash, HexCase::Lower);
}

// A torrent made from the files under a directory, as a seed would publish it.
struct MadeTorrent {
  std::shared_ptr<const lt::torrent_info> info;
  std::string infoSection;  // the raw info dictionary
  std::string v1;           // hex v1 info hash, or for a v2-only torrent the truncated v2 hash
  std::string v2;           // hex v2 info hash, or empty
};

// `flags`: v1_only, v2_only, or none for a hybrid torrent.
MadeTorrent MakeTorrent(const fs::path& root, const fs::path& content, lt::create_flags_t flags,
                        int pieceSize) {
  lt::file_storage files;
  lt::add_files(files, content.string());
  lt::create_torrent creator(files, pieceSize, flags);
  lt::error_code ec;
  lt::set_piece_hashes(creator, root.string(), ec);
  EXPECT_FALSE(ec) << ec.message();
  std::vector<char> bytes;
  lt::bencode(std::back_inserter(bytes), creator.generate());
  MadeTorrent made;
  auto info = std::make_shared<lt::torrent_info>(lt::span<const char>(bytes), ec, lt::from_span);
  EXPECT_FALSE(ec) << ec.message();
  made.infoSection.assign(info->info_section().data(), info->info_section().size());
  const lt::info_hash_t& hashes = info->info_hashes();
  made.v1 = Hex(hashes.has_v1() ? hashes.v1 : hashes.get_best());  // get_best() prefers v2
  if (info->info_hashes().has_v2()) made.v2 = Hex(info->info_hashes().v2);
  made.info = std::move(info);
  return made;
}

lt::settings_pack LoopbackPack(bool dht, const std::string& bootstrap) {
  lt::settings_pack pack = SessionSettings(
      "127.0.0.1:0", dht, bootstrap.empty() ? std::vector<std::string>{} : std::vector{bootstrap});
  pack.set_int(lt::settings_pack::alert_mask, 0);
  return pack;
}

// A session seeding the given torrents from `root`.
class Seed {
 public:
  Seed(const fs::path& root, const std::vector<const MadeTorrent*>& torrents, bool dht = false,
       const std::string& bootstrap = "")
      : session_(lt::session_params(LoopbackPack(dht, bootstrap))) {
    for (const MadeTorrent* torrent : torrents) {
      lt::add_torrent_params params;
      params.ti = std::make_shared<lt::torrent_info>(*torrent->info);
      params.save_path = root.string();
      params.flags |= lt::torrent_flags::seed_mode;
      params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
      handles_.push_back(session_.add_torrent(std::move(params)));
    }
  }

  std::string Endpoint() const { return "127.0.0.1:" + std::to_string(session_.listen_port()); }
  void AnnounceToDht() {
    for (lt::torrent_handle& handle : handles_) handle.force_dht_announce();
  }

 private:
  lt::session session_;
  std::vector<lt::torrent_handle> handles_;
};

// Runs `io` in this thread until `finished` holds or `limit` passes; `tick`, if given, runs
// between slices. Returns whether `finished` held.
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& finished,
              std::chrono::milliseconds limit, const std::function<void()>& tick = {}) {
  auto guard = boost::asio::make_work_guard(io);
  const Clock::time_point deadline = Clock::now() + limit;
  while (!finished() && Clock::now() < deadline) {
    io.run_for(std::chrono::milliseconds(20));
    if (tick) tick();
  }
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
    root_ = &sandbox_->fs();
    const fs::path content = *root_ / "示例种子";
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
    for (const bool hybrid : {false, true}) {
      for (const int pieceSize : {16 * 1024, 32 * 1024, 64 * 1024}) {
        if (hybrid && pieceSize == 16 * 1024) continue;
        torrents_->push_back(
            MakeTorrent(*root_, content,
                        hybrid ? lt::create_flags_t{} : lt::create_torrent::v1_only, pieceSize));
      }
    }
    v1_ = &torrents_->front();
    hybrid_ = &torrents_->back();
    v2Only_ = new MadeTorrent(MakeTorrent(*root_, content, lt::create_torrent::v2_only, 16384));
  }

  static void TearDownTestSuite() {
    delete torrents_;
    delete v2Only_;
    delete sandbox_;
  }

  static ResolverSettings PeerSettings(const std::string& peer) {
    ResolverSettings settings;
    settings.dht = false;
    settings.peers = {peer};
    settings.timeoutSeconds = 10;
    return settings;
  }

  static testing::Sandbox* sandbox_;
  static const fs::path* root_;
  static std::vector<MadeTorrent>* torrents_;
  static MadeTorrent* v1_;
  static MadeTorrent* hybrid_;
  static MadeTorrent* v2Only_;
  boost::asio::io_context io_;
};

testing::Sandbox* ResolverTest::sandbox_ = nullptr;
const fs::path* ResolverTest::root_ = nullptr;
std::vector<MadeTorrent>* ResolverTest::torrents_ = nullptr;
MadeTorrent* ResolverTest::v1_ = nullptr;
MadeTorrent* ResolverTest::hybrid_ = nullptr;
MadeTorrent* ResolverTest::v2Only_ = nullptr;

// The .torrent holds the seed's info dictionary byte for byte, v1 and hybrid alike, and the
// torrent it describes is the seed's. All five are fetched at once.
TEST_F(ResolverTest, FetchesTheInfoDictionaryFromAPeer) {
  std::vector<const MadeTorrent*> cases;
  for (const MadeTorrent& torrent : *torrents_) cases.push_back(&torrent);
  Seed seed(*root_, cases);
  Resolver resolver(io_, PeerSettings(seed.Endpoint()));
  std::vector<Result> results(cases.size());
  std::vector<int> calls(cases.size(), 0);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    resolver.Fetch(cases[i]->v1, [&, i](FetchResult fetched) {
      Result result = std::move(fetched.torrent);
      results[i] = std::move(result);
      ++calls[i];
    });
  }
  const auto allCalled = [&] { return std::count(calls.begin(), calls.end(), 0) == 0; };
  ASSERT_TRUE(RunUntil(io_, allCalled, std::chrono::seconds(10)));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const lt::info_hash_t& hashes = cases[i]->info->info_hashes();
    SCOPED_TRACE(std::string(hashes.has_v2() ? "hybrid " : "v1 ") + cases[i]->v1);
    EXPECT_EQ(calls[i], 1);
    ASSERT_TRUE(results[i].has_value());
    EXPECT_EQ(*results[i], "d4:info" + cases[i]->infoSection + "e");
    lt::error_code ec;
    lt::torrent_info parsed(lt::span<const char>(*results[i]), ec, lt::from_span);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(parsed.info_hashes(), hashes);
    EXPECT_EQ(parsed.files().file_path(0), cases[i]->info->files().file_path(0));
  }
  EXPECT_TRUE(hybrid_->info->info_hashes().has_v2());
}

// A v2 or hybrid torrent is fetched by each hash it is known by: the SHA-1, the SHA-256 and the
// truncated SHA-256 (which libtorrent alone would take for a SHA-1 hash and refuse). The outcome
// names the listed peer, with the counts of one peer seen and tried. One at a time: two fetches of
// one torrent under two of its hashes meet in libtorrent once the metadata names both.
TEST_F(ResolverTest, FetchesByEveryHashAndSaysWhoGaveIt) {
  Seed seed(*root_, {hybrid_, v2Only_});
  Resolver resolver(io_, PeerSettings(seed.Endpoint()));
  const std::pair<const MadeTorrent*, std::string> cases[] = {
      {hybrid_, hybrid_->v1}, {hybrid_, hybrid_->v2}, {hybrid_, hybrid_->v2.substr(0, 40)},
      {v2Only_, v2Only_->v2}, {v2Only_, v2Only_->v1},  // the truncated SHA-256
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].second);
    std::optional<FetchResult> result;
    resolver.Fetch(cases[i].second, [&](FetchResult r) { result = std::move(r); });
    // Past the fetch's own timeout: a slow fetch on a loaded machine ends with its outcome.
    ASSERT_TRUE(RunUntil(
        io_, [&] { return result.has_value(); }, std::chrono::seconds(15)));
    const FetchResult& r = *result;
    EXPECT_EQ(r.report.outcome, Outcome::kFoundPeer);
    ASSERT_TRUE(r.torrent.has_value());
    EXPECT_EQ(*r.torrent, "d4:info" + cases[i].first->infoSection + "e");
    EXPECT_EQ(r.report.peersTried, 1);
    EXPECT_GE(r.report.peersSeen, 1);
    EXPECT_GT(r.report.seconds, 0.0);
  }
}

// A second request for a hash being fetched joins it: both get the one result, once each.
TEST_F(ResolverTest, JoinsAFetchInProgress) {
  Seed seed(*root_, {v1_});
  Resolver resolver(io_, PeerSettings(seed.Endpoint()));
  std::vector<Result> results;
  resolver.Fetch(v1_->v1, [&](FetchResult fetched) {
    Result result = std::move(fetched.torrent);
    results.push_back(std::move(result));
  });
  resolver.Fetch(v1_->v1, [&](FetchResult fetched) {
    Result result = std::move(fetched.torrent);
    results.push_back(std::move(result));
  });
  ASSERT_TRUE(RunUntil(
      io_, [&] { return results.size() >= 2; }, std::chrono::seconds(10)));
  RunFor(io_, std::chrono::milliseconds(200));
  ASSERT_EQ(results.size(), 2u);
  ASSERT_TRUE(results[0].has_value());
  EXPECT_EQ(results[0], results[1]);
  EXPECT_EQ(*results[0], "d4:info" + v1_->infoSection + "e");
}

// With one fetch at a time, a hash nobody seeds holds the next request back until its timeout
// ends it with nothing; then the queued one runs.
TEST_F(ResolverTest, TimesOutAndThenRunsTheQueuedFetch) {
  Seed seed(*root_, {v1_});
  ResolverSettings settings = PeerSettings(seed.Endpoint());
  // The queued fetch gets the same timeout: long enough for a loopback seed under load.
  settings.timeoutSeconds = 3;
  settings.maxParallel = 1;
  Resolver resolver(io_, settings);
  const Clock::time_point start = Clock::now();
  std::vector<std::string> order;
  Result missing = std::string("unset");
  Result found;
  Clock::duration missingAfter{};
  resolver.Fetch(std::string(40, '7'), [&](FetchResult fetched) {
    Result result = std::move(fetched.torrent);
    missingAfter = Clock::now() - start;
    missing = std::move(result);
    order.push_back("missing");
  });
  resolver.Fetch(v1_->v1, [&](FetchResult fetched) {
    Result result = std::move(fetched.torrent);
    found = std::move(result);
    order.push_back("found");
  });
  ASSERT_TRUE(RunUntil(
      io_, [&] { return order.size() == 2; }, std::chrono::seconds(20)));
  EXPECT_EQ(order, (std::vector<std::string>{"missing", "found"}));
  EXPECT_EQ(missing, std::nullopt);
  EXPECT_GE(missingAfter, std::chrono::milliseconds(2900));
  EXPECT_LT(missingAfter, std::chrono::seconds(10));  // generous: ctest runs tests side by side
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, "d4:info" + v1_->infoSection + "e");
}

// Anything but 40 hex digits ends at once with nothing, on the io_context, not inside Fetch.
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
    bool called = false;
    Result result = std::string("unset");
    resolver.Fetch(hash, [&](FetchResult fetched) {
      Result r = std::move(fetched.torrent);
      called = true;
      result = std::move(r);
    });
    EXPECT_FALSE(called);
    io_.restart();
    io_.poll();
    EXPECT_TRUE(called);
    EXPECT_EQ(result, std::nullopt);
  }
}

// Destroying the resolver with fetches running and queued drops them: no callback runs later,
// and tasks libtorrent posted before the end find nothing to act on.
TEST_F(ResolverTest, DestructionDropsFetchesInFlight) {
  Seed seed(*root_, {v1_});
  int calls = 0;
  {
    ResolverSettings settings = PeerSettings(seed.Endpoint());
    settings.timeoutSeconds = 1;
    settings.maxParallel = 1;
    Resolver resolver(io_, settings);
    resolver.Fetch(std::string(40, 'e'), [&](FetchResult) { ++calls; });
    resolver.Fetch(v1_->v1, [&](FetchResult) { ++calls; });
    RunFor(io_, std::chrono::milliseconds(100));
  }
  RunFor(io_, std::chrono::milliseconds(1500));
  EXPECT_EQ(calls, 0);
}

// The resolver finds the seed through the DHT alone: a bootstrap node, a seed announcing
// itself and the resolver, all on 127.0.0.1.
TEST_F(ResolverTest, FindsTheSeedThroughTheDht) {
  lt::session node(lt::session_params(LoopbackPack(true, "")));
  const std::string bootstrap = "127.0.0.1:" + std::to_string(node.listen_port());
  Seed seed(*root_, {hybrid_}, true, bootstrap);
  ResolverSettings settings;
  settings.dht = true;
  settings.dhtBootstrap = {bootstrap};
  settings.timeoutSeconds = 15;
  Resolver resolver(io_, settings);
  Result result;
  bool called = false;
  resolver.Fetch(hybrid_->v1, [&](FetchResult fetched) {
    Result r = std::move(fetched.torrent);
    result = std::move(r);
    called = true;
  });
  Clock::time_point nextAnnounce = Clock::now();
  ASSERT_TRUE(RunUntil(
      io_, [&] { return called; }, std::chrono::seconds(16),
      [&] {
        if (Clock::now() < nextAnnounce) return;
        seed.AnnounceToDht();
        nextAnnounce = Clock::now() + std::chrono::milliseconds(500);
      }));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, "d4:info" + hybrid_->infoSection + "e");
}

}  // namespace
}  // namespace pellucor::service
