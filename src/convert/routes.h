// The two conversion routes. Each reads the magnet box, asks its service, reports in the
// status log (the first route's two service failures in message boxes) and saves the torrent
// in `directory` — the run directory in the program; tests give a directory and the fake
// server's host. `host` is "host[:port]" (Deployment, app/deployment.h, in the programs).
#pragma once

#include <initializer_list>
#include <optional>

#include "base/text.h"
#include "convert/route_view.h"

namespace pellucor {

// Posts the hash to the first service and saves the torrent it returns under a random
// four-digit name ("1437.torrent"), never over another file.
void RunFirstRoute(RouteView& view, const GbkText& directory, const GbkText& host);

// Posts the link to the second service, previews the file list from the page, follows the
// page's download link and saves the torrent under the name the service sends.
void RunSecondRoute(RouteView& view, const GbkText& directory, const GbkText& host,
                    const GbkText& siteTag);

// The name the second service sends, made safe to write inside the run directory: the part
// after the last "/" or "\", characters Windows forbids in names replaced by "_", trailing
// dots and spaces trimmed, a Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, any
// case, with any extension) given a "_" in front; empty for a name that cannot stand ("",
// ".", ".."). Both builds save the same names.
//   "../../x:y" -> "x_y";   "a\x95\x5C" -> kept (5C is the trail byte of a character)
//   "lpt1.x"    -> "_lpt1.x"
// The route saves it as NAME.torrent, cut by whole characters to 255 bytes of UTF-8; when
// that cannot be written either, under the hash.
GbkText SafeFileName(const GbkText& name);

// When a file under the name a torrent is to be saved as is that torrent already.
enum class SameFile {
  kSameBytes,  // byte for byte (the routes: what a service sent)
  kSameInfo,   // the same info dictionary, whatever its trackers
};

// Saves the torrent `bytes` in `directory` as NAME.torrent under the first of `bases` (each a
// SafeFileName) that can be written, or as "NAME (2).torrent", "NAME (3).torrent" … when
// another file has the name, each cut by whole characters to 255 bytes of UTF-8. A file that is
// this torrent already (`same`) is kept, and its name given. Names are taken exclusively, so
// conversions side by side never write one name twice. Nothing when no name could be written.
std::optional<GbkText> SaveTorrentFile(const GbkText& directory,
                                       std::initializer_list<GbkText> bases,
                                       const ByteBuffer& bytes, SameFile same);

}  // namespace pellucor
