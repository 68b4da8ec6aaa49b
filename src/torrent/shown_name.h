// Names inside a torrent (its name, its files' path components) as Pellucor shows them and
// names saved files after them: UTF-8, legacy code-page names read right, shaped the way
// clients shape what they write to disk. The service's pages and the converter's swarm mode
// read names by these rules alike.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pellucor {

// A name from a torrent as UTF-8: UTF-8 as it is; otherwise read as code page 936 (the legacy
// Chinese encoding older clients wrote) when every byte pair is a character of it; otherwise
// each malformed sequence becomes U+FFFD.
//   "\xe7\x94\xb5" (电, UTF-8) -> itself;  "\xb5\xe7" (电, GBK) -> "\xe7\x94\xb5";
//   "a\x81" (a lead byte without its pair) -> "a\xef\xbf\xbd"
std::string ReadableUtf8(std::string_view raw);

// One component of a name or path as shown, following libtorrent's rule for the names it
// writes on a POSIX system, after a name in the legacy code page was read as UTF-8, and cut to
// 255 bytes (ending in "…", at a character):
//   "." and ".." are dropped (nothing: the component is left out), an empty component is "_",
//   "/" and "\\" and the bidirectional controls (U+202A-U+202E, U+200E, U+200F) are removed,
//   a control character is "_".
//   "a/b" -> "ab";  "" -> "_";  ".." -> nothing;  "..." -> "..."
std::optional<std::string> ShownNameComponent(std::string_view raw);

}  // namespace pellucor
