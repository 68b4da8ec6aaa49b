// The resolver's books: whose waiting fetch starts next, and which waited out their time.
#include "service/swarm/fetch_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace pellucor::service {
namespace {

InfoHash Hash(char digit) {
  return *InfoHash::FromHex(std::string(40, digit));
}

// A free slot goes to the oldest waiting fetch of the addresses with the fewest fetches running:
// an address that asked first for many does not hold back those that asked later for one.
TEST(FetchQueue, WaitingFetchesTakeTurnsAcrossAddresses) {
  FetchQueue queue(2);
  const struct {
    char hash;
    const char* client;
    FetchQueue::Added added;
  } asked[] = {
      {'1', "a", FetchQueue::Added::kStart},  {'2', "a", FetchQueue::Added::kStart},
      {'3', "a", FetchQueue::Added::kQueued}, {'4', "a", FetchQueue::Added::kQueued},
      {'5', "b", FetchQueue::Added::kQueued}, {'6', "c", FetchQueue::Added::kQueued},
      {'5', "c", FetchQueue::Added::kJoined},
  };
  for (const auto& a : asked)
    EXPECT_EQ(queue.Add(Hash(a.hash), {}, a.client, [](FetchResult) {}).second, a.added) << a.hash;
  const struct {
    char finished;
    char next;  // what starts in its place
  } turns[] = {
      {'1', '5'},  // a runs 2, b none: b's
      {'5', '6'},  // a runs 2, c none: c's
      {'2', '3'},  // a runs none now, c one: a's oldest
      {'6', '4'},
  };
  for (const auto& t : turns) {
    EXPECT_EQ(queue.Finish(Hash(t.finished)).byTicket.size(), t.finished == '5' ? 2u : 1u);
    EXPECT_EQ(queue.Next(), Hash(t.next)) << t.finished;
    EXPECT_EQ(queue.Next(), std::nullopt) << "two run at most";
  }
}

// Queued fetches asked for before a time leave the books with their callers, joined ones
// included; running ones stay; withdrawing a ticket of theirs then finds nothing.
TEST(FetchQueue, QueuedFetchesLeaveAtTheirTime) {
  FetchQueue queue(1);
  const auto running = queue.Add(Hash('1'), {}, "a", [](FetchResult) {}).first;
  const auto queued = queue.Add(Hash('2'), {}, "a", [](FetchResult) {}).first;
  queue.Add(Hash('2'), {}, "b", [](FetchResult) {});
  const auto asked = FetchQueue::Clock::now();
  const auto later = queue.Add(Hash('3'), {}, "b", [](FetchResult) {}).first;
  EXPECT_LE(queue.OldestQueued(), asked);

  const auto taken = queue.TakeQueuedBefore(asked);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].first, Hash('2'));
  EXPECT_EQ(taken[0].second.byTicket.size(), 2u);
  EXPECT_EQ(taken[0].second.client, "a");
  EXPECT_EQ(queue.Cancel(queued).first, FetchQueue::Withdrawn::kUnknown);
  EXPECT_GE(queue.OldestQueued(), asked);

  EXPECT_TRUE(queue.TakeQueuedBefore(FetchQueue::Clock::now() + std::chrono::seconds(1)).size() ==
              1);
  EXPECT_EQ(queue.OldestQueued(), std::nullopt);
  EXPECT_EQ(queue.Cancel(later).first, FetchQueue::Withdrawn::kUnknown);
  EXPECT_EQ(queue.Cancel(running).first, FetchQueue::Withdrawn::kRunningEmptied);
}

}  // namespace
}  // namespace pellucor::service
