// Lookups that missed lately, by hash: a repeat within `span` (a minute in the service) is
// answered with the miss's report at once rather than asking the swarm again so soon. A find
// forgets the miss. Runs on the io thread (serve.cpp), inside the lookups.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

#include "service/core/outcome.h"

namespace pellucor::service {

class MissMemory {
 public:
  using Clock = std::chrono::steady_clock;

  explicit MissMemory(Clock::duration span) : span_(span) {}

  void Remember(const std::string& hash, const LookupReport& report);
  void Forget(const std::string& hash) { misses_.erase(hash); }
  // The report of a miss of `hash` within the span; null when there is none. Valid until the
  // next call.
  const LookupReport* Recent(const std::string& hash);

 private:
  struct Miss {
    LookupReport report;
    Clock::time_point at;
  };
  const Clock::duration span_;
  std::unordered_map<std::string, Miss> misses_;
  std::deque<std::pair<Clock::time_point, std::string>> order_;  // oldest first
};

}  // namespace pellucor::service
