#include "fuzz_input.h"
#include "torrent/torrent_check.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto info = TorrentInfoBytes(bytes);
  if (!info) return 0;
  // The info bytes lie inside the input and are themselves one well-formed dictionary.
  Check(info->data() >= bytes.data() && info->data() + info->size() <= bytes.data() + bytes.size());
  Check(!info->empty() && info->front() == 'd' && info->back() == 'e');
  const std::string wrapped = "d4:info" + std::string(*info) + "e";
  Check(TorrentInfoBytes(wrapped) ==
        std::optional<std::string_view>(std::string_view(wrapped).substr(7, info->size())));
  return 0;
}
