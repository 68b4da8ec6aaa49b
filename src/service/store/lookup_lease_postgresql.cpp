// Lookup leases in PostgreSQL: one row per hash in lookup_leases. While an instance searches, the
// row names it as owner until an expiry that the owner's thread pushes on every third of the
// lease time. When the search ends the owner deletes the row (found: the torrent is stored) or
// turns it into a miss record (owner NULL, the report, an expiry one miss memory away), and
// notifies the channel "pellucor_lookup" with the hash in the same transaction.
//
// Waiters live in this process's lease thread, off the io thread because its LISTEN connection
// waits in poll() for notifications: each is tried when it is added, when a notification
// names its hash, when the lease it waits for would expire, and at least every five seconds (a
// notification sent while the listening connection was down is lost, never the waiter). A try
// is one statement: stored? else take the row when it is free, expired or already ours; else
// the miss it records, or how long its lease still runs.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "service/core/log.h"
#include "service/store/postgresql_pool.h"

namespace pellucor::service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char kChannel[] = "pellucor_lookup";
// The longest a waiter goes untried.
constexpr milliseconds kRecheck{5000};

const PgStatement kTry{
    "try_lease",
    "WITH stored AS (SELECT 1 FROM torrents WHERE info_hash ="
    "  COALESCE((SELECT info_hash FROM hash_aliases WHERE alias = $1), $1)),"
    " taken AS (INSERT INTO lookup_leases(info_hash, owner, expires_at)"
    "  SELECT $1, $2, now() + $3::float8 * interval '1 millisecond'"
    "  WHERE NOT EXISTS (SELECT 1 FROM stored)"
    "  ON CONFLICT (info_hash) DO UPDATE SET owner = EXCLUDED.owner,"
    "   expires_at = EXCLUDED.expires_at, report = NULL"
    "  WHERE lookup_leases.expires_at <= now() OR lookup_leases.owner = EXCLUDED.owner"
    "  RETURNING 1)"
    // The row as it was before this statement: who holds it, or the miss it records.
    " SELECT EXISTS (SELECT 1 FROM stored), EXISTS (SELECT 1 FROM taken),"
    "  (SELECT report FROM lookup_leases WHERE info_hash = $1),"
    "  (SELECT GREATEST(0, CEIL(EXTRACT(EPOCH FROM expires_at - now()) * 1000))::bigint"
    "   FROM lookup_leases WHERE info_hash = $1)"};
const PgStatement kDrop{"drop_lease",
                        "DELETE FROM lookup_leases WHERE info_hash = $1 AND owner = $2"};
const PgStatement kMiss{"miss_lease",
                        "UPDATE lookup_leases SET owner = NULL, report = $3,"
                        " expires_at = now() + $4::float8 * interval '1 millisecond'"
                        " WHERE info_hash = $1 AND owner = $2"};
const PgStatement kNotify{"notify_lease", "SELECT pg_notify('pellucor_lookup', $1)"};
const PgStatement kRenew{"renew_leases",
                         "UPDATE lookup_leases SET"
                         " expires_at = now() + $2::float8 * interval '1 millisecond'"
                         " WHERE owner = $1"};
const PgStatement kForget{"forget_leases",
                          "DELETE FROM lookup_leases WHERE expires_at < now() - interval '1 hour'"};
const PgStatement kDropAll{"drop_own_leases",
                           "WITH gone AS (DELETE FROM lookup_leases WHERE owner = $1"
                           " RETURNING info_hash)"
                           " SELECT pg_notify('pellucor_lookup', info_hash) FROM gone"};

// "no_peers 12 0 0 20.0": the outcome's code and the counts of a report.
std::string EncodeReport(const LookupReport& r) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", r.seconds);
  return std::string(OutcomeCode(r.outcome)) + " " + std::to_string(r.dhtNodes) + " " +
         std::to_string(r.peersSeen) + " " + std::to_string(r.peersTried) + " " + seconds;
}

LookupReport DecodeReport(const std::string& text) {
  std::istringstream in(text);
  std::string code;
  LookupReport r;
  in >> code >> r.dhtNodes >> r.peersSeen >> r.peersTried >> r.seconds;
  r.outcome = OutcomeFromCode(code).value_or(Outcome::kNoPeers);
  return r;
}

// This process among the instances: host, process id and a random number (process ids repeat
// across machines and restarts).
std::string OwnerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::random_device random;
  char tail[32];
  std::snprintf(tail, sizeof tail, "%08x%08x", random(), random());
  return std::string(host) + ":" + std::to_string(getpid()) + ":" + tail;
}

// The LISTEN connection on the leases' channel, on the lease thread: connected again at most
// once a second after it broke, read once poll() says it has something.
class LeaseListener {
 public:
  explicit LeaseListener(PostgresqlPool& pool) : pool_(pool) {}

  // The socket to poll, connecting first when it is time to; -1 while there is none.
  int Socket(Clock::time_point now) {
    if (!connection_ && now >= retryAt_) {
      std::string error;
      connection_ = pool_.Connect(&error);
      try {
        if (connection_) receiver_ = std::make_unique<Receiver>(*connection_, &woken_);
      } catch (const std::exception&) {
        receiver_.reset();
      }
      if (!receiver_) Drop();
    }
    return connection_ ? connection_->sock() : -1;
  }
  // When to connect again; far off while connected.
  Clock::time_point RetryAt() const { return connection_ ? Clock::time_point::max() : retryAt_; }
  // Reads what came; the hashes notifications named since the last call go into `woken`.
  void Read(std::set<std::string>& woken) {
    if (!connection_) return;
    try {
      connection_->get_notifs();
      if (!connection_->is_open()) Drop();
    } catch (const std::exception&) {
      Drop();
    }
    woken.merge(woken_);
  }

 private:
  // Runs inside get_notifs().
  class Receiver final : public pqxx::notification_receiver {
   public:
    Receiver(pqxx::connection& c, std::set<std::string>* woken)
        : pqxx::notification_receiver(c, kChannel), woken_(woken) {}
    void operator()(const std::string& payload, int) override { woken_->insert(payload); }

   private:
    std::set<std::string>* woken_;
  };

  void Drop() {
    receiver_.reset();
    connection_.reset();
    retryAt_ = Clock::now() + std::chrono::seconds(1);
  }

  PostgresqlPool& pool_;
  std::unique_ptr<pqxx::connection> connection_;
  std::unique_ptr<Receiver> receiver_;
  std::set<std::string> woken_;
  Clock::time_point retryAt_{};
};

class PostgresqlLeases final : public LookupLeases {
 public:
  PostgresqlLeases(std::shared_ptr<PostgresqlPool> pool, const LeaseSettings& settings, Post post,
                   int wakeFd, std::function<void()> onError)
      : pool_(std::move(pool)),
        settings_(settings),
        post_(std::move(post)),
        onError_(std::move(onError)),
        owner_(OwnerName()),
        wakeFd_(wakeFd) {
    settings_.leaseMilliseconds = std::max(settings_.leaseMilliseconds, 300);
    thread_ = std::thread([this] { Loop(); });
  }

  ~PostgresqlLeases() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    Wake();
    thread_.join();
    // Searches still running are abandoned: their waiters elsewhere try again at once.
    std::string error;
    pool_->Run([&](pqxx::work& t) { Exec(t, kDropAll, owner_); }, &error);
    ::close(wakeFd_);
  }

  void Acquire(const std::string& hash, std::function<void(LeaseTurn)> done) override {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      waiters_.push_back({hash, std::move(done), Clock::now()});
    }
    Wake();
  }

  void Release(const std::string& hash, const LookupReport& report) override {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      releases_.emplace_back(hash, report);
    }
    Wake();
  }

 private:
  struct Waiter {
    std::string hash;
    std::function<void(LeaseTurn)> done;
    Clock::time_point next;  // when to try again without a notification
  };

  enum class Tried { kStored, kTaken, kMissed, kHeld, kFailed };

  void Wake() {
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
      // The counter is full: the thread is awake anyway.
    }
  }

  // One try for `hash`: what it found, the miss report, and how long the lease held by another
  // instance still runs.
  Tried Try(const std::string& hash, LookupReport* report, milliseconds* left) {
    Tried tried = Tried::kFailed;
    std::string error;
    const bool ran = pool_->Run(
        [&](pqxx::work& t) {
          const pqxx::row row = Exec(t, kTry, hash, owner_, settings_.leaseMilliseconds)[0];
          *left = milliseconds(row[3].is_null() ? 200 : row[3].as<int64_t>());
          if (row[0].as<bool>()) {
            tried = Tried::kStored;
          } else if (row[1].as<bool>()) {
            tried = Tried::kTaken;
          } else if (!row[2].is_null()) {
            tried = Tried::kMissed;
            *report = DecodeReport(row[2].as<std::string>());
          } else {
            tried = Tried::kHeld;
          }
        },
        &error);
    if (!ran) {
      Log(LogLevel::kError, "store_error",
          {{"hash", hash},
           {"during", "lease"},
           {"error", error},
           {"note", "searching without one"}});
      if (onError_) onError_();
      return Tried::kFailed;
    }
    return tried;
  }

  void DoRelease(const std::string& hash, const LookupReport& report) {
    std::string error;
    // A search whose clients all went away leaves no miss behind: a waiter takes the lease over.
    const bool found = IsFound(report.outcome) || report.outcome == Outcome::kCancelled;
    const std::string line = EncodeReport(report);
    if (!pool_->Run(
            [&](pqxx::work& t) {
              if (found) {
                Exec(t, kDrop, hash, owner_);
              } else {
                Exec(t, kMiss, hash, owner_, line, settings_.missMemoryMilliseconds);
              }
              Exec(t, kNotify, hash);
            },
            &error)) {
      Log(LogLevel::kError, "store_error",
          {{"hash", hash}, {"during", "release"}, {"error", error}});
      if (onError_) onError_();
    }
  }

  void Deliver(Waiter& waiter, LeaseTurn::Kind kind, const LookupReport& report = {}) {
    LeaseTurn turn;
    turn.kind = kind;
    turn.report = report;
    post_([done = std::move(waiter.done), turn] { done(turn); });
  }

  // Tries the waiters that are due or were named by a notification; puts back those that still
  // wait. Returns when the next of them is due.
  Clock::time_point TryWaiters(std::set<std::string>& woken) {
    std::vector<Waiter> due;
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard lock(mutex_);
      auto waiting = std::partition(waiters_.begin(), waiters_.end(), [&](const Waiter& w) {
        return !(w.next <= now || woken.count(w.hash));
      });
      std::move(waiting, waiters_.end(), std::back_inserter(due));
      waiters_.erase(waiting, waiters_.end());
    }
    woken.clear();
    std::vector<Waiter> still;
    for (Waiter& waiter : due) {
      LookupReport report;
      milliseconds left{0};
      switch (Try(waiter.hash, &report, &left)) {
        case Tried::kStored:
          Deliver(waiter, LeaseTurn::Kind::kStored);
          break;
        case Tried::kTaken:
        case Tried::kFailed:
          Deliver(waiter, LeaseTurn::Kind::kSearch);
          break;
        case Tried::kMissed:
          Deliver(waiter, LeaseTurn::Kind::kMissed, report);
          break;
        case Tried::kHeld:
          waiter.next =
              Clock::now() + std::clamp(left + milliseconds(10), milliseconds(50), kRecheck);
          still.push_back(std::move(waiter));
          break;
      }
    }
    std::lock_guard lock(mutex_);
    for (Waiter& waiter : still) waiters_.push_back(std::move(waiter));
    Clock::time_point next = Clock::time_point::max();
    for (const Waiter& waiter : waiters_) next = std::min(next, waiter.next);
    return next;
  }

  void Loop() {
    LeaseListener listener(*pool_);
    std::set<std::string> woken;  // hashes named by notifications
    const milliseconds renewEvery(settings_.leaseMilliseconds / 3);
    Clock::time_point renewAt = Clock::now() + renewEvery,
                      forgetAt = Clock::now() + std::chrono::minutes(1);
    for (;;) {
      std::deque<std::pair<std::string, LookupReport>> releases;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        releases.swap(releases_);
      }
      for (const auto& [hash, report] : releases) DoRelease(hash, report);
      const int listening = listener.Socket(Clock::now());

      Clock::time_point next = TryWaiters(woken);
      const Clock::time_point now = Clock::now();
      if (now >= renewAt) {
        std::string error;
        pool_->Run([&](pqxx::work& t) { Exec(t, kRenew, owner_, settings_.leaseMilliseconds); },
                   &error);
        renewAt = now + renewEvery;
      }
      if (now >= forgetAt) {
        std::string error;
        pool_->Run([&](pqxx::work& t) { Exec(t, kForget); }, &error);
        forgetAt = now + std::chrono::minutes(1);
      }
      next = std::min({next, renewAt, forgetAt, listener.RetryAt()});

      pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {listening, POLLIN, 0}};
      const auto wait = std::chrono::duration_cast<milliseconds>(next - Clock::now()).count();
      ::poll(fds, listening >= 0 ? 2 : 1, static_cast<int>(std::clamp<int64_t>(wait, 0, 2000)));
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        if (::read(wakeFd_, &count, sizeof count) < 0) {
          // Nothing to read: another wake-up took it.
        }
      }
      listener.Read(woken);
    }
  }

  std::shared_ptr<PostgresqlPool> pool_;
  LeaseSettings settings_;
  Post post_;
  const std::function<void()> onError_;
  const std::string owner_;
  const int wakeFd_;
  std::thread thread_;  // the LISTEN connection's: it blocks in poll(), so never the io thread

  std::mutex mutex_;  // Acquire and Release come on the io thread, Loop reads on the lease thread
  bool stopping_ = false;
  std::vector<Waiter> waiters_;
  std::deque<std::pair<std::string, LookupReport>> releases_;
};

}  // namespace

std::unique_ptr<LookupLeases> OpenPostgresqlLeases(std::shared_ptr<PostgresqlPool> pool,
                                                   const LeaseSettings& settings, Post post,
                                                   std::string* error,
                                                   std::function<void()> countError) {
  const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    if (error) *error = "eventfd failed";
    return nullptr;
  }
  return std::make_unique<PostgresqlLeases>(std::move(pool), settings, std::move(post), wakeFd,
                                            std::move(countError));
}

}  // namespace pellucor::service
