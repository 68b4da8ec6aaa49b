#include "base/random.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/env.h"

namespace pellucor {
namespace {

thread_local uint32_t tState = 1;
std::atomic<int32_t> gSeedCounter{0};

int32_t Draw() {
  tState = tState * 214013u + 2531011u;
  return static_cast<int32_t>((tState >> 16) & 0x7FFF);
}

}  // namespace

namespace detail {

uint32_t SeedFromTick(uint32_t tick) {
  int32_t counter = gSeedCounter.load();
  uint32_t seed;
  int32_t next;
  do {
    seed = tick + static_cast<uint32_t>(counter);
    next = static_cast<int32_t>(static_cast<uint32_t>(counter) + (seed & 0xFF) + 100u);
  } while (!gSeedCounter.compare_exchange_weak(counter, next));
  tState = seed;
  return seed;
}

int32_t SeedCounter() {
  return gSeedCounter.load();
}

}  // namespace detail

void SeedRandom(std::optional<uint32_t> seed) {
  if (seed) {
    tState = *seed;
  } else {
    detail::SeedFromTick(TickCount());
  }
}

int32_t RandomInt(std::optional<int32_t> min, std::optional<int32_t> max) {
  int32_t lo = min ? std::max(*min, 0) : 0;
  int32_t hi = max ? std::max(*max, 0) : 2147483647;
  if (lo > hi) std::swap(lo, hi);
  if (lo == hi) return lo;
  int32_t span = hi - lo;
  if (span == 2147483647) span = 2147483646;
  return lo + Draw() % (span + 1);
}

}  // namespace pellucor
