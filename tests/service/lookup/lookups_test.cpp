// The lookup broker (lookup/lookups.h) as clients meet it, over real sockets on 127.0.0.1:
// per-client quotas, and lookups that wait for another instance's lease. The store is empty and
// the swarm has nobody to ask, so every lookup waits until its client hangs up or the test
// answers its lease.
#include "service/lookup/lookups.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "service/store/store.h"
#include "support/http_exchange.h"
#include "support/local_service.h"
#include "support/sandbox.h"

namespace pellucor::service {
namespace {

using testing::Body;
using testing::Status;

// A lookup of `hash` through the API (or, with `firstService`, through the first service's
// form), with an X-Forwarded-For header when `forwarded` is given.
std::string LookupRequest(const std::string& hash, const std::string& forwarded = "",
                          bool firstService = false) {
  const std::string proxy = forwarded.empty() ? "" : "X-Forwarded-For: " + forwarded + "\r\n";
  if (firstService)
    return "POST /download.aspx HTTP/1.1\r\nHost: x\r\nContent-Length: " +
           std::to_string(5 + hash.size()) + "\r\n" + proxy +
           "Connection: close\r\n\r\nhash=" + hash;
  return "GET /api/v1/torrents/" + hash + "?resolve=1 HTTP/1.1\r\nHost: x\r\n" + proxy +
         "Connection: close\r\n\r\n";
}

// `request` sent on a new connection from `from` (nullptr: 127.0.0.1); the connection, its reply
// still to come.
int Send(int port, const std::string& request, const char* from = nullptr) {
  const int fd = testing::Connect(port, from, 3);
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

// The whole reply on `fd`, which is closed then.
std::string Reply(int fd) {
  std::string reply = testing::ReadAll(fd);
  ::close(fd);
  return reply;
}

// Whether `fd` still waits for its reply 300 ms on.
bool Waiting(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 300) == 0;
}

// True once `condition` holds, within two seconds.
bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Lookup leases that answer only when the test says so, as another instance's search would.
class HeldLeases : public LookupLeases {
 public:
  void Acquire(const std::string& hash, std::function<void(LeaseTurn)> done) override {
    std::lock_guard lock(mutex_);
    asked_[hash] = std::move(done);
  }
  void Release(const std::string& hash, const LookupReport& report) override {
    std::lock_guard lock(mutex_);
    released_.emplace_back(hash, report.outcome);
  }
  bool Asked(const std::string& hash) {
    std::lock_guard lock(mutex_);
    return asked_.count(hash) > 0;
  }
  // Hands the lookup that asked for `hash`'s lease its answer, on the service's thread.
  void Answer(testing::LocalService& service, const std::string& hash, const LeaseTurn& turn) {
    std::lock_guard lock(mutex_);
    service.RunOnService([done = std::move(asked_[hash]), turn] { done(turn); });
    asked_.erase(hash);
  }
  std::vector<std::pair<std::string, Outcome>> Released() {
    std::lock_guard lock(mutex_);
    return released_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::function<void(LeaseTurn)>> asked_;
  std::vector<std::pair<std::string, Outcome>> released_;
};

class LookupsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store_ = Store::Open((sandbox_.fs() / "torrents.sqlite").string(), &error);
    ASSERT_TRUE(store_) << error;
    local_.swarm = ResolverSettings{};
    // One peer to ask, which refuses every connection: every lookup waits for its timeout.
    local_.swarm->dht = false;
    local_.swarm->peers = {"127.0.0.1:9"};
    local_.swarm->timeoutSeconds = 20;
  }

  const testing::Sandbox sandbox_{"lookups"};
  std::unique_ptr<Store> store_;
  testing::LocalServiceSettings local_;
};

// A client may have `maxLookupsPerClient` lookups waiting; one more gets the miss page (429) at
// once, on the API a 429 error. Behind a trusted proxy the client is the address the proxy added
// last to X-Forwarded-For; anyone else's X-Forwarded-For counts for nothing. A client that hangs
// up frees its place.
TEST_F(LookupsTest, PerClient) {
  local_.lookup.maxLookupsPerClient = 2;
  local_.http.trustedProxies = {boost::asio::ip::make_address("127.0.0.3")};
  testing::LocalService service(*store_, local_);
  int n = 0;
  // A lookup of a hash nobody has, sent and left waiting.
  auto ask = [&](const char* from, const std::string& forwarded, bool firstService = false) {
    const std::string hash = std::string(39, 'a') + "0123456789"[n++ % 10];
    return Send(service.Port(), LookupRequest(hash, forwarded, firstService), from);
  };
  const std::string client = "10.0.0.1, 10.0.0.7";  // the proxy added 10.0.0.7
  const int first = ask("127.0.0.3", client), second = ask("127.0.0.3", client);
  EXPECT_TRUE(Waiting(first));
  EXPECT_TRUE(Waiting(second));
  std::string reply = Reply(ask("127.0.0.3", client));
  EXPECT_EQ(Status(reply), "HTTP/1.1 429 Too Many Requests");
  EXPECT_NE(Body(reply).find("\"error\":\"too_many_lookups\""), std::string::npos) << reply;
  reply = Reply(ask("127.0.0.3", "10.0.0.7", true));
  EXPECT_EQ(Status(reply), "HTTP/1.1 429 Too Many Requests");
  EXPECT_NE(Body(reply).find("您输入的HASH暂未存储"), std::string::npos) << reply;
  EXPECT_NE(Body(reply).find("查找过多"), std::string::npos) << reply;

  std::vector<int> others = {ask("127.0.0.3", "10.0.0.8"), ask("127.0.0.2", "10.0.0.7"),
                             ask("127.0.0.2", "10.0.0.7")};
  for (int other : others) EXPECT_TRUE(Waiting(other));
  ::close(first);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  others.push_back(ask("127.0.0.3", client));
  EXPECT_TRUE(Waiting(others.back()));
  ::close(second);
  for (int other : others) ::close(other);
}

// A lookup waiting for another instance's search counts against its client's lookups and is
// cancelled when the client hangs up; the lease, when it comes after that, is handed back at
// once (not left to expire). Another instance's miss is the answer of a lookup that waited.
TEST_F(LookupsTest, WaitingForALease) {
  std::mutex mutex;
  std::vector<std::pair<std::string, Outcome>> finished;
  local_.lookup.maxLookupsPerClient = 1;
  local_.lookup.onLookup = [&](const std::string& hash, const LookupReport& report) {
    std::lock_guard lock(mutex);
    finished.emplace_back(hash, report.outcome);
  };
  HeldLeases leases;
  local_.leases = &leases;
  testing::LocalService service(*store_, local_);
  auto ended = [&](const std::string& hash, Outcome outcome) {
    std::lock_guard lock(mutex);
    return std::count(finished.begin(), finished.end(), std::pair{hash, outcome}) == 1;
  };
  const std::string a(40, 'a'), b(40, 'b'), c(40, 'c');
  const int waiting = Send(service.Port(), LookupRequest(a));
  ASSERT_TRUE(Eventually([&] { return leases.Asked(a); }));
  EXPECT_EQ(Status(Reply(Send(service.Port(), LookupRequest(b)))),
            "HTTP/1.1 429 Too Many Requests");
  EXPECT_FALSE(leases.Asked(b));

  ::close(waiting);
  EXPECT_TRUE(Eventually([&] { return ended(a, Outcome::kCancelled); }));
  leases.Answer(service, a, LeaseTurn{LeaseTurn::Kind::kSearch, {}});
  EXPECT_TRUE(Eventually([&] { return !leases.Released().empty(); }));
  EXPECT_EQ(leases.Released(),
            (std::vector<std::pair<std::string, Outcome>>{{a, Outcome::kCancelled}}));

  // The client's place is free again; this lookup waits, then has the other instance's miss.
  const int fd = Send(service.Port(), LookupRequest(c));
  ASSERT_TRUE(Eventually([&] { return leases.Asked(c); }));
  LookupReport miss;
  miss.outcome = Outcome::kNoMetadata;
  miss.peersSeen = 3;
  leases.Answer(service, c, LeaseTurn{LeaseTurn::Kind::kMissed, miss});
  const std::string reply = Reply(fd);
  EXPECT_EQ(Status(reply), "HTTP/1.1 404 Not Found");
  EXPECT_NE(Body(reply).find("\"outcome\":\"no_metadata\""), std::string::npos) << reply;
  EXPECT_NE(Body(reply).find("\"peersSeen\":3"), std::string::npos) << reply;
  EXPECT_TRUE(ended(c, Outcome::kNoMetadata));
  EXPECT_EQ(leases.Released().size(), 1u);  // nothing to hand back: this instance never searched
}

}  // namespace
}  // namespace pellucor::service
