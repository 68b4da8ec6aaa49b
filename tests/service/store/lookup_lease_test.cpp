// Lookup leases of stores that share one PostgreSQL database, as several service instances do:
// each "instance" here is a Store of its own with its leases, on the test program's server.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service/store/lookup_lease.h"
#include "service/store/store.h"
#include "support/postgres_server.h"
#include "support/torrents.h"

namespace pellucor::service {
namespace {

using Clock = std::chrono::steady_clock;
using pellucor::testing::PostgresServer;
using std::chrono::milliseconds;

// The turns handed to the callbacks, by a name for each Acquire.
class Turns {
 public:
  std::function<void(LeaseTurn)> For(const std::string& name) {
    return [this, name](LeaseTurn turn) {
      std::lock_guard lock(mutex_);
      got_.emplace(name, turn);
      changed_.notify_all();
    };
  }
  std::optional<LeaseTurn> Wait(const std::string& name, milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return got_.count(name) > 0; });
    const auto it = got_.find(name);
    if (it == got_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, LeaseTurn> got_;
};

// A small, valid torrent.
const std::string kTorrent =
    testing::TorrentOf(testing::SingleFile("a.bin", 5, std::string(20, 'a'))).bytes;

class LookupLeaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    server_ = PostgresServer::Shared(&error);
    ASSERT_TRUE(server_) << error;
    database_ = server_->CreateDatabase(&error);
    ASSERT_FALSE(database_.empty()) << error;
    hash_ = DescribeTorrent(kTorrent)->infoHash;
  }

  struct Instance {
    std::unique_ptr<Store> store;
    std::unique_ptr<LookupLeases> leases;
  };
  Instance Start(int leaseMilliseconds = 30000) {
    Instance instance;
    std::string error;
    instance.store = Store::Open(server_->Uri(database_), &error);
    EXPECT_TRUE(instance.store) << error;
    if (!instance.store) return instance;
    LeaseSettings settings;
    settings.leaseMilliseconds = leaseMilliseconds;
    // Callbacks run on the leases' own thread; Turns takes care of the rest.
    instance.leases = instance.store->OpenLeases(
        settings, [](std::function<void()> task) { task(); }, &error);
    EXPECT_TRUE(instance.leases) << error;
    return instance;
  }

  PostgresServer* server_ = nullptr;
  std::string database_;
  std::string hash_;
  Turns turns_;
};

// Asked of two instances, a hash is searched by one; the other waits and, woken by the
// notification (sooner than its five-second re-check), answers from the store.
TEST_F(LookupLeaseTest, OneSearchesTheOtherAnswersFromTheStore) {
  Instance a = Start(), b = Start();
  ASSERT_TRUE(a.leases && b.leases);
  a.leases->Acquire(hash_, turns_.For("a"));
  const std::optional<LeaseTurn> first = turns_.Wait("a", milliseconds(10000));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind, LeaseTurn::Kind::kSearch);
  b.leases->Acquire(hash_, turns_.For("b"));
  EXPECT_FALSE(turns_.Wait("b", milliseconds(500))) << "both instances were let search";

  ASSERT_TRUE(a.store->Add(kTorrent, "swarm", nullptr));
  LookupReport found;
  found.outcome = Outcome::kFoundDht;
  const Clock::time_point released = Clock::now();
  a.leases->Release(hash_, found);
  const std::optional<LeaseTurn> second = turns_.Wait("b", milliseconds(10000));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->kind, LeaseTurn::Kind::kStored);
  EXPECT_LT(Clock::now() - released, milliseconds(2500));

  // Stored: answered at once from then on.
  a.leases->Acquire(hash_, turns_.For("a again"));
  const std::optional<LeaseTurn> third = turns_.Wait("a again", milliseconds(10000));
  ASSERT_TRUE(third);
  EXPECT_EQ(third->kind, LeaseTurn::Kind::kStored);
}

// A miss is handed to the waiters with its report, and to later askers while it is remembered.
TEST_F(LookupLeaseTest, AMissReachesTheWaitersAndIsRemembered) {
  Instance a = Start(), b = Start();
  ASSERT_TRUE(a.leases && b.leases);
  a.leases->Acquire(hash_, turns_.For("a"));
  ASSERT_TRUE(turns_.Wait("a", milliseconds(10000)));
  b.leases->Acquire(hash_, turns_.For("b"));
  LookupReport miss;
  miss.outcome = Outcome::kNoMetadata;
  miss.dhtNodes = 12;
  miss.peersSeen = 3;
  miss.peersTried = 2;
  miss.seconds = 20.5;
  a.leases->Release(hash_, miss);
  for (const char* name : {"b", "later"}) {
    if (std::string(name) == "later") b.leases->Acquire(hash_, turns_.For(name));
    const std::optional<LeaseTurn> turn = turns_.Wait(name, milliseconds(10000));
    ASSERT_TRUE(turn) << name;
    EXPECT_EQ(turn->kind, LeaseTurn::Kind::kMissed) << name;
    EXPECT_EQ(turn->report.outcome, Outcome::kNoMetadata) << name;
    EXPECT_EQ(turn->report.dhtNodes, 12) << name;
    EXPECT_EQ(turn->report.peersSeen, 3) << name;
    EXPECT_EQ(turn->report.peersTried, 2) << name;
    EXPECT_DOUBLE_EQ(turn->report.seconds, 20.5) << name;
  }
}

// A search whose clients all went away leaves no miss behind: a waiting instance is woken and
// searches itself, long before the lease would have expired.
TEST_F(LookupLeaseTest, ACancelledSearchHandsTheLeaseOn) {
  Instance a = Start(), b = Start();
  ASSERT_TRUE(a.leases && b.leases);
  a.leases->Acquire(hash_, turns_.For("a"));
  ASSERT_TRUE(turns_.Wait("a", milliseconds(10000)));
  b.leases->Acquire(hash_, turns_.For("b"));
  EXPECT_FALSE(turns_.Wait("b", milliseconds(300)));
  LookupReport cancelled;
  cancelled.outcome = Outcome::kCancelled;
  const Clock::time_point released = Clock::now();
  a.leases->Release(hash_, cancelled);
  const std::optional<LeaseTurn> turn = turns_.Wait("b", milliseconds(10000));
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->kind, LeaseTurn::Kind::kSearch);
  EXPECT_LT(Clock::now() - released, milliseconds(2500));
}

// A lease lives while its owner renews it, and is taken over once it is not renewed: an owner
// that died leaves a row nobody renews; one that stopped lets go of its leases.
TEST_F(LookupLeaseTest, LeasesLiveWhileRenewedAndAreTakenOver) {
  Instance b = Start();
  ASSERT_TRUE(b.leases);
  // A lease of an instance that died, a second from its end.
  ASSERT_TRUE(server_->Execute(
      database_, "INSERT INTO lookup_leases(info_hash, owner, expires_at) VALUES ('" + hash_ +
                     "', 'dead', now() + interval '1 second')"));
  const Clock::time_point asked = Clock::now();
  b.leases->Acquire(hash_, turns_.For("after the dead"));
  const std::optional<LeaseTurn> takeover = turns_.Wait("after the dead", milliseconds(10000));
  ASSERT_TRUE(takeover);
  EXPECT_EQ(takeover->kind, LeaseTurn::Kind::kSearch);
  EXPECT_GE(Clock::now() - asked, milliseconds(800)) << "taken before the lease ended";

  // A live owner with leases of 900 ms keeps its lease for longer than that.
  const std::string other(40, 'a');
  {
    Instance a = Start(900);
    ASSERT_TRUE(a.leases);
    a.leases->Acquire(other, turns_.For("owner"));
    ASSERT_TRUE(turns_.Wait("owner", milliseconds(10000)));
    b.leases->Acquire(other, turns_.For("waiter"));
    EXPECT_FALSE(turns_.Wait("waiter", milliseconds(2500))) << "a renewed lease was taken";
  }
  const std::optional<LeaseTurn> afterStop = turns_.Wait("waiter", milliseconds(10000));
  ASSERT_TRUE(afterStop);
  EXPECT_EQ(afterStop->kind, LeaseTurn::Kind::kSearch);
}

// Without its database the instance searches by itself rather than wait for ever.
TEST_F(LookupLeaseTest, AnUnreachableStoreMeansSearchingAlone) {
  Instance a = Start();
  ASSERT_TRUE(a.leases);
  ASSERT_TRUE(server_->Execute("postgres", "DROP DATABASE " + database_ + " WITH (FORCE)"));
  a.leases->Acquire(hash_, turns_.For("a"));
  const std::optional<LeaseTurn> turn = turns_.Wait("a", milliseconds(20000));
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->kind, LeaseTurn::Kind::kSearch);
  std::string error;
  EXPECT_FALSE(a.store->Reachable(&error));
  EXPECT_NE(error.find(database_), std::string::npos) << error;
}

// The store's connections, ended by the server (a restart, an administrator), are opened anew.
TEST_F(LookupLeaseTest, TheStoreReconnectsAfterTheServerEndedItsConnections) {
  Instance a = Start();
  ASSERT_TRUE(a.store);
  ASSERT_TRUE(a.store->Add(kTorrent, "import", nullptr));
  std::vector<std::vector<std::string>> ended;
  ASSERT_TRUE(server_->Execute("postgres",
                               "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                               " WHERE datname = '" +
                                   database_ + "'",
                               &ended));
  ASSERT_FALSE(ended.empty());
  std::string error;
  EXPECT_TRUE(a.store->Reachable(&error)) << error;
  EXPECT_TRUE(a.store->Find(hash_));
  EXPECT_EQ(a.store->Count(), 1);
}

}  // namespace
}  // namespace pellucor::service
