#include "service/lookup/miss_memory.h"

namespace pellucor::service {

void MissMemory::Remember(const std::string& hash, const LookupReport& report) {
  const Clock::time_point now = Clock::now();
  misses_[hash] = Miss{report, now};
  order_.emplace_back(now, hash);
}

const LookupReport* MissMemory::Recent(const std::string& hash) {
  const Clock::time_point now = Clock::now();
  while (!order_.empty() && now - order_.front().first >= span_) {
    // A miss remembered again since keeps its newer entry.
    const auto it = misses_.find(order_.front().second);
    if (it != misses_.end() && it->second.at == order_.front().first) misses_.erase(it);
    order_.pop_front();
  }
  const auto it = misses_.find(hash);
  return it == misses_.end() ? nullptr : &it->second.report;
}

}  // namespace pellucor::service
