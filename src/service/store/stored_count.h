// How many torrents the store holds, for /metrics, without a count of the store per request
// (on PostgreSQL a full scan of a table that may hold millions of rows, shared with other
// instances that add to it). Counted at the start, then once a minute on a thread of its own;
// each count is handed to the io thread with `post`, where Value() is read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "service/store/lookup_lease.h"
#include "service/store/store.h"

namespace pellucor::service {

class StoredCount {
 public:
  // Counts once now (the caller's thread: start-up), then every `every` on its own thread.
  StoredCount(Store& store, Post post, std::chrono::milliseconds every = std::chrono::minutes(1));
  ~StoredCount();
  StoredCount(const StoredCount&) = delete;
  StoredCount& operator=(const StoredCount&) = delete;

  // The last count (-1 when the store could not be counted). On the io thread.
  int64_t Value() const { return value_; }

 private:
  void Loop();

  Store& store_;
  const Post post_;
  const std::chrono::milliseconds every_;
  int64_t value_;  // the io thread's
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;  // the store's count may take a while: never on the io thread
};

}  // namespace pellucor::service
