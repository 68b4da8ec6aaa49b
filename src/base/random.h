// The program's random generator: the classic linear congruential one,
//   state = state * 214013 + 2531011 (mod 2^32), draw = bits 16..30 of the new state,
// with one state per thread, so a draw is 0..32767.
#pragma once

#include <cstdint>
#include <optional>

namespace pellucor {

// With a seed, seeds the calling thread's generator with it. Without one, seeds it with the
// tick count plus a process-wide counter, which then grows by ((tick + counter) & 0xFF) + 100
// so that two seedings within the same millisecond still differ.
void SeedRandom(std::optional<uint32_t> seed = {});

// A number in [min, max]. Omitted bounds are 0 and 2147483647; negative bounds are raised to 0;
// reversed bounds are swapped. Draws never exceed 32767, so a range wider than 32768 numbers is
// never fully covered.
//   RandomInt(1000, 2000) -> always four digits
int32_t RandomInt(std::optional<int32_t> min = {}, std::optional<int32_t> max = {});

namespace detail {
// The unseeded path with a given tick: returns the seed it used and advances the counter.
uint32_t SeedFromTick(uint32_t tick);
int32_t SeedCounter();
}  // namespace detail

}  // namespace pellucor
