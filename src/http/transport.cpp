#include "http/transport.h"

#include <algorithm>
#include <new>

#include "base/runtime_fault.h"

namespace pellucor {

bool AppendBodyChunk(std::string& body, std::string_view chunk, int64_t announced) {
  const size_t need = body.size() + chunk.size();
  if (need > static_cast<size_t>(kMaxBodyBytes)) return false;
  FallibleAllocations fallible;
  try {
    if (need > body.capacity()) {
      constexpr size_t kLeast = 64 * 1024;
      size_t room = std::max(need, std::max<size_t>(2 * body.size(), kLeast));
      // An announcement larger than that is believed only as far as the data goes.
      if (announced >= static_cast<int64_t>(need))
        room = std::min(room, static_cast<size_t>(announced));
      body.reserve(std::min(room, static_cast<size_t>(kMaxBodyBytes)));
    }
    body.append(chunk);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace pellucor
