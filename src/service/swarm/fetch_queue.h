// The resolver's books of who waits for what: fetches running and fetches waiting their turn, by
// info hash, and the callers (tickets) waiting for each. A request for a hash already running or
// queued joins it; at most `maxRunning` fetches run at once; a fetch whose every caller withdrew
// goes. Waiting fetches take turns across client addresses: the next to start is the oldest of
// those whose address has the fewest fetches running, so that the lookups of a few addresses do
// not hold back everyone else's. It only keeps the books: the resolver starts and stops the
// fetches they name.
// Runs on the resolver's io thread.
//   maxRunning 1:  Add(A) -> ticket 1, kStart     Add(A) -> ticket 2, kJoined
//                  Add(B) -> ticket 3, kQueued    Cancel(1) -> kOthersWait
//                  Cancel(2) -> kRunningEmptied (the resolver stops A), Next() -> B
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/swarm/fetcher.h"
#include "torrent/info_hash.h"

namespace pellucor::service {

class FetchQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Done = std::function<void(FetchResult)>;

  // A fetch asks at most this many of its callers' trackers, and as many of their peers.
  static constexpr std::size_t kMaxSources = 10;

  // The callers of one fetch, by ticket, when the first of them asked (and from which client
  // address), and the sources they named (each once, the first kMaxSources of each kind).
  struct Callers {
    std::vector<std::pair<std::uint64_t, Done>> byTicket;
    Clock::time_point since;
    std::string client;
    FetchSources sources;
  };

  explicit FetchQueue(int maxRunning) : maxRunning_(maxRunning < 1 ? 1 : maxRunning) {}

  enum class Added {
    kStart,   // the hash counts as running: the caller starts its fetch now
    kJoined,  // a fetch of the hash runs or waits already
    kQueued,  // as many fetches run as may: it starts when Next() names it
  };
  // Books the request of `done` for `hash` from `client`'s address, with the sources it names;
  // the ticket is for Cancel.
  std::pair<std::uint64_t, Added> Add(const InfoHash& hash, const FetchSources& sources,
                                      const std::string& client, Done done);
  // When the first caller of a booked fetch asked.
  Clock::time_point Since(const InfoHash& hash) const { return entries_.at(hash).callers.since; }
  // Adds sources to a booked fetch (each once, up to kMaxSources of each kind).
  void AddSources(const InfoHash& hash, const FetchSources& sources);
  // The sources the callers of a booked fetch named so far; none for a hash not booked.
  FetchSources SourcesOf(const InfoHash& hash) const;
  // The booked hash that names the torrent of `hash`: itself, or the other one of a v2
  // torrent's SHA-256 and its 40-digit truncation (peers know a v2 torrent by the truncation,
  // so the two are one fetch); none when neither is booked.
  std::optional<InfoHash> Booked(const InfoHash& hash) const;
  // The running fetch `from` turned out to be the torrent of the running fetch `into`: its
  // callers and sources join `into`, and `from` is off the books (the caller stops it).
  void Merge(const InfoHash& from, const InfoHash& into);

  enum class Withdrawn {
    kUnknown,         // no such ticket: its result was handed on already, or it never was
    kOthersWait,      // withdrawn; other callers still wait for the fetch
    kRunningEmptied,  // withdrawn, and nobody waits for that running fetch: the caller stops it
    kQueuedEmptied,   // withdrawn, and the queued fetch is gone from the queue
  };
  // Withdraws a ticket's request; with the hash of its fetch unless kUnknown.
  std::pair<Withdrawn, std::optional<InfoHash>> Cancel(std::uint64_t ticket);

  // Ends the books of a fetch that was running: its callers, whose tickets are forgotten.
  Callers Finish(const InfoHash& hash);
  // The next queued hash when a fetch may start; it counts as running from then on.
  std::optional<InfoHash> Next();
  // Takes the queued fetches first asked for before `before` off the books, with their callers.
  std::vector<std::pair<InfoHash, Callers>> TakeQueuedBefore(Clock::time_point before);
  // When the queued fetch asked for first was asked for; none while nothing waits.
  std::optional<Clock::time_point> OldestQueued() const;

 private:
  struct Entry {
    Callers callers;
    bool running = false;
  };

  void Started(Entry& entry);
  void Stopped(const Entry& entry);

  const int maxRunning_;
  int running_ = 0;
  std::map<std::string, int> runningByClient_;  // addresses with fetches running
  std::map<InfoHash, Entry> entries_;
  std::deque<InfoHash> queued_;                // in the order they came
  std::map<std::uint64_t, InfoHash> tickets_;  // requests still waiting
  std::uint64_t lastTicket_ = 0;
};

}  // namespace pellucor::service
